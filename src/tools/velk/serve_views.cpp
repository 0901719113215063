// serve_views.cpp -- the two views of "velk serve", their locks, caches and
// JSON answers, the event monitor's callback and the wfdisc watcher.
#include "serve_views.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "KOEventView.h"
#include "evview.h"
#include "koscv.h"
#include "pictures.h"
#include "serve_reduce.h"
#include "stock.h"
#include "tr.h"
#include "velk.h"

namespace velk {

using nlohmann::json;

namespace {

// The messages in the calling thread's error register, emptied.
std::string take_register() {
    char *s = elog_string();
    std::string text = s ? s : "";
    free(s);
    elog_clear_register(0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// A library failure while answering: a 500 with the library's reasons.
[[noreturn]] void fail(const std::string &what) {
    std::string reasons = take_register();
    throw ApiError(500, reasons.empty() ? what : what + ": " + reasons);
}

std::string text_field(Dbptr row, const char *field) {
    char buf[128] = "";
    if (row.record < 0 || dbgetv(row, 0, field, buf, (char *)0) < 0) return "";
    return buf;
}

double real_field(Dbptr row, const char *field) {
    double v = NAN;
    if (row.record < 0 || dbgetv(row, 0, field, &v, (char *)0) < 0) return NAN;
    return v;
}

// A time from the library, null when it is a null value or none.
json time_or_null(double t) { return std::isfinite(t) && t > 0 && t < 9e9 ? json(t) : json(nullptr); }

json magnitudes_of(const KOEVOrigin *org) {
    json mags = json::array();
    for (long m = 0; m < maxtbl(org->magnitudes); m++) {
        const KOEVMagnitude *mg = (const KOEVMagnitude *)gettbl(org->magnitudes, m);
        if (mg->magnitude <= -900) continue;  // a null magnitude
        mags.push_back({{"magtype", mg->magtype}, {"magnitude", mg->magnitude}});
    }
    return mags;
}

// Frees an event list with the view that made it.
struct EventList {
    KOEventView &view;
    Tbl *events = nullptr;
    ~EventList() { view.freeEvents(events); }
};

struct TraceTable {
    Tbl *traces = nullptr;
    KOSCVStaChan *sc = nullptr;
    ~TraceTable() {
        koscv_trace_free_table(traces);
        koscv_free_stachan(sc);
    }
};

}  // namespace

Views::Views(const std::string &dbname, double interval) : dbname_(dbname) {
    std::string name = dbname;
    char opt[] = "-nthreads", nthreads[] = "2";
    char *argv[] = {opt, nthreads, &name[0]};
    if (koscv_create(3, argv, scv_handle_) < 0) {
        if (scv_handle_[0]) koscv_destroy(scv_handle_);
        throw Failure("cannot open a station-channel view of " + dbname);
    }
    {
        std::lock_guard<std::mutex> lock(scv_mutex_);
        rebuild_channels_locked();
    }
    try {
        ev_ = open_event_view(dbname);
    } catch (...) {
        koscv_destroy(scv_handle_);
        throw;
    }
    if (ev_->monitorChangesThread(interval, &Views::on_change, this) < 0) {
        ev_.reset();
        koscv_destroy(scv_handle_);
        throw Failure("cannot start the event monitor");
    }
    watcher_ = std::thread([this, interval] { watch_wfdisc(interval); });
}

Views::~Views() {
    stop();
    ev_.reset();
    if (scv_handle_[0]) koscv_destroy(scv_handle_);
}

void Views::stop() {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    if (stopped_) return;
    stopped_ = true;
    watching_ = false;
    if (watcher_.joinable()) watcher_.join();
    {
        std::lock_guard<std::mutex> evlock(ev_mutex_);
        if (ev_) ev_->monitorChangesThread(0, nullptr, nullptr);
    }
    notices_.close();
}

// On the monitor thread: note which tables changed and post a notice.  Takes
// no view lock (the next request refreshes the list).
int Views::on_change(int, void *self, void *changes) {
    Views *v = (Views *)self;
    Arr *arr = (Arr *)changes;
    if (!arr || cntarr(arr) == 0) return 0;
    json tables = json::array();
    Tbl *keys = keysarr(arr);
    for (long i = 0; i < maxtbl(keys); i++) tables.push_back((const char *)gettbl(keys, i));
    freetbl(keys, 0);
    v->ev_version_++;
    v->notices_.post(json{{"kind", "events"}, {"tables", tables}}.dump());
    return 0;
}

void Views::watch_wfdisc(double interval) {
    auto step = std::chrono::milliseconds(50);
    auto wait = std::chrono::duration<double>(interval);
    auto next = std::chrono::steady_clock::now() + wait;
    while (watching_) {
        if (std::chrono::steady_clock::now() < next) {
            std::this_thread::sleep_for(step);
            continue;
        }
        next = std::chrono::steady_clock::now() + wait;
        bool grew = false;
        {
            std::lock_guard<std::mutex> lock(scv_mutex_);
            KOSCV *scv = koscv_get(scv_handle_);
            long n = -1;
            if (scv && dbquery(dblookup(scv->db, 0, (char *)"wfdisc", 0, 0), dbRECORD_COUNT, &n) == 0 &&
                n != wfdisc_rows_) {
                koscv_subset_refresh(scv_handle_);
                if (koscv_create_cache(scv_handle_) == 0) {
                    rebuild_channels_locked();
                    grew = true;
                }
            }
            elog_clear_register(0);
        }
        if (grew) notices_.post(json{{"kind", "channels"}, {"tables", {"wfdisc"}}}.dump());
    }
}

// Under scv_mutex_: the channel list's JSON and the station names from the
// cache, and the wfdisc row count they reflect.
void Views::rebuild_channels_locked() {
    KOSCV *scv = koscv_get(scv_handle_);
    json list = json::array();
    std::vector<std::string> stations;
    long n = -1;
    if (scv) {
        dbquery(dblookup(scv->db, 0, (char *)"wfdisc", 0, 0), dbRECORD_COUNT, &n);
        for (long i = 0; i < maxtbl(scv->stachans_tbl); i++) {
            const char *key = (const char *)gettbl(scv->stachans_tbl, i);
            const KOSCVStaChan *sc = (const KOSCVStaChan *)getarr(scv->stachans_arr, key);
            if (!sc) continue;
            list.push_back({{"sta", sc->sta},
                            {"chan", sc->chan},
                            {"tstart", time_or_null(sc->tstart)},
                            {"tend", time_or_null(sc->tend)},
                            {"wfdisc", maxtbl(sc->wfdiscrows)},
                            {"arrival", maxtbl(sc->arrivalrows)},
                            {"detection", maxtbl(sc->detectionrows)}});
            if (stations.empty() || stations.back() != sc->sta) stations.push_back(sc->sta);
        }
    }
    elog_clear_register(0);
    wfdisc_rows_ = n;
    generation_++;
    channels_cache_ = json{{"channels", list}, {"generation", generation_}}.dump();
    stations_ = std::move(stations);
}

std::string Views::channels_json() {
    std::lock_guard<std::mutex> lock(scv_mutex_);
    return channels_cache_;
}

std::vector<std::string> Views::station_names() {
    std::lock_guard<std::mutex> lock(scv_mutex_);
    std::vector<std::string> names = stations_;
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::string Views::samples_json(const std::string &sta, const std::string &chan, double t0, double t1, int width) {
    if (!std::isfinite(t0) || !std::isfinite(t1) || !(t1 > t0))
        throw ApiError(400, "the window must end after it starts (t1 > t0)");
    if (t1 - t0 > kMaxWindowSeconds)
        throw ApiError(400, strprintf("the window is longer than %.0f seconds", kMaxWindowSeconds));
    if (width < 1 || width > kMaxWidth) throw ApiError(400, strprintf("width must be from 1 to %d", kMaxWidth));
    if (sta.empty() || chan.empty() || sta.size() > 6 || chan.size() > 8)
        throw ApiError(400, "unknown channel " + sta + " " + chan);
    std::string key = sta + " " + chan;

    std::lock_guard<std::mutex> lock(scv_mutex_);
    KOSCV *scv = koscv_get(scv_handle_);
    if (!scv) fail("the station-channel view is gone");
    if (!getarr(scv->stachans_arr, key.c_str())) throw ApiError(400, "unknown channel " + key);
    TraceTable tt;
    if (koscv_subset(scv_handle_, &key[0], t0, t1, 1, 0, 0, &tt.sc) < 0) fail("cannot select the channel's rows");
    // First the rows alone, to weigh the window before reading it.
    if (koscv_trace_get_table(scv, tt.sc, t0, t1, 0, 0, &tt.traces) < 0) fail("cannot list the channel's rows");
    // The window is weighed at the channel's highest rate in it, whether
    // or not every sample is there, so a client can tell what it may ask.
    double rate = 0;
    for (long i = 0; i < maxtbl(tt.traces); i++) {
        const KOSCVTrace *tr = (const KOSCVTrace *)gettbl(tt.traces, i);
        if (tr->dt > 0) rate = std::max(rate, 1 / tr->dt);
    }
    double weight = (t1 - t0) * rate;
    if (weight > kMaxWindowSamples)
        throw ApiError(400, strprintf("the window holds %.0f samples at %g samples per second, more than the %ld "
                                      "one request may read",
                                      weight, rate, kMaxWindowSamples));
    // Each row's samples straight from its file; a row that cannot be read
    // (a missing file) shows as a gap, like the gap markers inside a row.
    std::vector<SampleRun> rows;
    std::vector<std::unique_ptr<float, void (*)(void *)>> buffers;
    long gaps = 0;
    for (long i = 0; i < maxtbl(tt.traces); i++) {
        const KOSCVTrace *tr = (const KOSCVTrace *)gettbl(tt.traces, i);
        float *data = nullptr;
        long size = 0, ns = 0;
        double ts = 0, te = 0;
        int rc = trgetwf(tr->db, &data, &size, t0, t1, &ts, &te, &ns);
        buffers.emplace_back(data, free);
        if (rc < 0 || ns <= 0 || !data) {
            gaps++;
            continue;
        }
        double dt = ns > 1 ? (te - ts) / (ns - 1) : (tr->dt > 0 ? tr->dt : 1);
        rows.push_back(SampleRun{ts, dt, data, ns});
    }
    elog_clear_register(0);
    // Most rows hold no gap marker: they are reduced whole, the reduction
    // looking for markers in the same pass, and only when it saw one are the
    // rows split at their gaps (NaN counting as a gap too) and reduced again.
    ColumnEnvelope env = reduce_columns(rows, t0, t1, width);
    size_t nruns = rows.size();
    if (env.marker_seen) {
        std::vector<SampleRun> runs;
        for (const SampleRun &row : rows) {
            const float *data = row.data;
            long ns = row.n;
            for (long k = 0; k < ns;) {
                long g = k;
                while (k < ns && !(std::fabs(data[k]) < 1e29f)) k++;
                if (k > g) gaps++;  // a run of gap markers
                long k0 = k;
                while (k < ns && std::fabs(data[k]) < 1e29f) k++;
                if (k > k0) runs.push_back(SampleRun{row.t0 + k0 * row.dt, row.dt, data + k0, k - k0});
            }
        }
        env = reduce_columns(runs, t0, t1, width);
        nruns = runs.size();
    }
    std::string body = envelope_json(env);
    body.pop_back();
    body += ",\"sta\":" + json(sta).dump() + ",\"chan\":" + json(chan).dump() +
            ",\"runs\":" + std::to_string(nruns) + ",\"gap_segments\":" + std::to_string(gaps) + "}";
    return body;
}

std::string Views::events_json() {
    std::lock_guard<std::mutex> lock(ev_mutex_);
    long version = ev_version_.load();
    if (version == events_version_ && !events_cache_.empty()) return events_cache_;
    EventList list{*ev_};
    if (ev_->refreshEvents(&list.events) < 0) fail("cannot read the events");
    json out = json::array();
    for (long i = 0; i < maxtbl(list.events); i++) {
        const KOEVEvent *ev = (const KOEVEvent *)gettbl(list.events, i);
        if (!ev->origins || !ev->pref_origin) continue;
        const KOEVOrigin *o = ev->pref_origin;
        json e = {{"evid", ev->evid},
                  {"prefor", ev->prefor},
                  {"norigins", maxtbl(ev->origins)},
                  {"time", o->time},
                  {"lat", o->lat},
                  {"lon", o->lon},
                  {"depth", o->depth},
                  {"nass", o->nass},
                  {"ndef", o->ndef},
                  {"auth", text_field(o->dborigin, "auth")},
                  {"evname", text_field(ev->dbevent, "evname")},
                  {"magnitudes", magnitudes_of(o)},
                  {"mtid", ev->pref_moment ? json(ev->pref_moment->mtid) : json(nullptr)}};
        out.push_back(std::move(e));
    }
    elog_clear_register(0);
    events_cache_ = json{{"events", out}}.dump();
    events_version_ = version;
    return events_cache_;
}

std::string Views::event_json(long evid, long orid) {
    std::vector<std::string> stations = station_names();  // before the event lock: never both at once
    std::lock_guard<std::mutex> lock(ev_mutex_);
    EventList list{*ev_};
    if (ev_->refreshEvents(&list.events) < 0) fail("cannot read the events");
    KOEVEvent *found = nullptr;
    for (long i = 0; i < maxtbl(list.events) && !found; i++) {
        KOEVEvent *ev = (KOEVEvent *)gettbl(list.events, i);
        if (!ev->origins) continue;
        if (evid >= 0 && ev->evid == evid) found = ev;
        for (long k = 0; k < maxtbl(ev->origins) && !found && evid < 0; k++)
            if (((KOEVOrigin *)gettbl(ev->origins, k))->orid == orid) found = ev;
    }
    if (!found)
        throw ApiError(404, evid >= 0 ? strprintf("no event %ld", evid) : strprintf("no event with origin %ld", orid));
    json origins = json::array();
    for (long k = 0; k < maxtbl(found->origins); k++) {
        KOEVOrigin *org = (KOEVOrigin *)gettbl(found->origins, k);
        if (ev_->refreshAssociations(org) < 0) fail("cannot read the associations");
        json assocs = json::array();
        for (long a = 0; a < maxtbl(org->associations); a++) {
            const KOEVAssociation *as = (const KOEVAssociation *)gettbl(org->associations, a);
            if (as->dbassoc.record < 0) continue;
            assocs.push_back({{"arid", as->arid},
                              {"sta", text_field(as->dbassoc, "sta")},
                              {"chan", text_field(as->dbarrival, "chan")},
                              {"phase", text_field(as->dbassoc, "phase")},
                              {"time", time_or_null(real_field(as->dbarrival, "time"))},
                              {"timeres", real_field(as->dbassoc, "timeres")},
                              {"delta", real_field(as->dbassoc, "delta")},
                              {"defining", as->defining == 0}});
        }
        json preds = json::array();
        for (const std::string &sta : stations) {
            KOEVOriginStation *st = nullptr;
            std::string name = sta;
            if (ev_->lookupStation(org, &name[0], org->time, &st) < 0) fail("cannot look up station " + sta);
            if (!st) continue;
            preds.push_back({{"sta", st->sta},
                             {"distance", st->distance},
                             {"P", time_or_null(st->predicted_P_time)},
                             {"S", time_or_null(st->predicted_S_time)}});
        }
        if (ev_->refreshDetections(org, 1) < 0) fail("cannot read the detections");
        json dets = json::array();
        for (long d = 0; d < maxtbl(org->detections); d++) {
            const KOEVDetection *de = (const KOEVDetection *)gettbl(org->detections, d);
            if (!de->phase[0]) continue;
            dets.push_back({{"sta", de->station.sta},
                            {"chan", de->station.chan},
                            {"phase", de->phase},
                            {"time", de->time}});
        }
        json moments = json::array();
        for (long m = 0; m < maxtbl(org->moments); m++)
            moments.push_back(((const KOEVMoment *)gettbl(org->moments, m))->mtid);
        origins.push_back({{"orid", org->orid},
                           {"preferred", org == found->pref_origin},
                           {"time", org->time},
                           {"lat", org->lat},
                           {"lon", org->lon},
                           {"depth", org->depth},
                           {"nass", org->nass},
                           {"ndef", org->ndef},
                           {"auth", text_field(org->dborigin, "auth")},
                           {"magnitudes", magnitudes_of(org)},
                           {"moments", moments},
                           {"mtid", org->pref_moment ? json(org->pref_moment->mtid) : json(nullptr)},
                           {"associations", assocs},
                           {"predicted", preds},
                           {"detections", dets}});
    }
    elog_clear_register(0);
    return json{{"evid", found->evid}, {"prefor", found->prefor}, {"origins", origins}}.dump();
}

std::string Views::beachball_svg(long mtid, int size) {
    double m[6];
    {
        std::lock_guard<std::mutex> lock(ev_mutex_);
        Dbptr mt = ev_->koev.mt.dbtable;
        long n = 0;
        if (mt.table < 0 || dbquery(mt, dbRECORD_COUNT, &n) < 0) n = 0;
        bool found = false;
        for (mt.record = 0; mt.record < n && !found; mt.record++) {
            long id = -1;
            if (dbgetv(mt, 0, "mtid", &id, (char *)0) < 0 || id != mtid) continue;
            double rr, tt, pp, rt, rp, tp;
            if (dbgetv(mt, 0, "tmrr", &rr, "tmtt", &tt, "tmpp", &pp, "tmrt", &rt, "tmrp", &rp, "tmtp", &tp,
                       (char *)0) < 0)
                fail("cannot read moment tensor " + std::to_string(mtid));
            // r up, t south, p east to x east, y north, z up.
            double v[6] = {pp, tt, rr, -tp, rp, -rt};
            memcpy(m, v, sizeof m);
            found = true;
        }
        elog_clear_register(0);
        if (!found) throw ApiError(404, strprintf("no moment tensor %ld", mtid));
    }
    std::string svg, summary;
    if (!velk::beachball_svg(m, size, true, "", &svg, &summary)) {
        std::string reasons = take_register();
        throw ApiError(400, "moment tensor " + std::to_string(mtid) + " cannot be drawn" +
                                (reasons.empty() ? "" : ": " + reasons));
    }
    return svg;
}

}  // namespace velk
