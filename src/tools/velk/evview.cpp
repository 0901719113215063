// evview.cpp -- binding an event view to a database and listing its events,
// origins, magnitudes, moment tensors, associations and detections.
#include "evview.h"

#include <cmath>
#include <cstring>

#include "pf.h"
#include "stock.h"
#include "velk.h"

namespace velk {

std::unique_ptr<KOEventView> open_event_view(const std::string &dbname) {
    if (dbname.empty()) throw UsageError("the database name is empty");
    Pf *pf = pfnew(PFFILE);
    if (!pf || pfput_string(pf, "dbname", dbname.c_str()) < 0) {
        pffree(pf);
        throw Failure("cannot make the event view's parameters");
    }
    // The constructor prints (and empties) the register when it fails, so
    // the library's reasons have already reached standard error.
    std::unique_ptr<KOEventView> view;
    try {
        view.reset(new KOEventView(pf));
    } catch (const char *what) {
        pffree(pf);
        throw Failure(std::string("cannot open an event view of ") + dbname + " (" + what + ")");
    }
    pffree(pf);
    if (view->koev.db.database == dbINVALID) throw Failure("cannot open an event view of " + dbname);
    return view;
}

namespace {

std::string text_field(Dbptr row, const char *field) {
    char buf[128] = "";
    if (row.record < 0 || dbgetv(row, 0, field, buf, (char *)0) < 0) return "";
    return buf;
}

struct Lists {
    KOEventView &view;
    Tbl *events = nullptr;
    ~Lists() { view.freeEvents(events); }
};

}  // namespace

void list_events(KOEventView &view, const EventListing &what, std::string *out) {
    Lists lists{view};
    if (view.refreshEvents(&lists.events) < 0) throw Failure("cannot read the events");
    std::string &o = *out;
    std::string json = "[";
    long nev = maxtbl(lists.events);
    for (long i = 0; i < nev; i++) {
        KOEVEvent *ev = (KOEVEvent *)gettbl(lists.events, i);
        if (!ev->origins) continue;  // an event row without origins
        std::string evname = text_field(ev->dbevent, "evname");
        if (what.json) {
            json += std::string(json.size() > 1 ? "," : "") + "{\"evid\":" + json_number((double)ev->evid) +
                    ",\"evname\":" + json_string(evname) + ",\"prefor\":" + json_number((double)ev->prefor) +
                    ",\"origins\":[";
        } else {
            o += strprintf("event %ld%s%s: %ld origin%s, preferred %ld\n", ev->evid, evname.empty() ? "" : " ",
                           evname.c_str(), maxtbl(ev->origins), maxtbl(ev->origins) == 1 ? "" : "s", ev->prefor);
        }
        for (long k = 0; k < maxtbl(ev->origins); k++) {
            KOEVOrigin *org = (KOEVOrigin *)gettbl(ev->origins, k);
            std::string auth = text_field(org->dborigin, "auth");
            double smaj = -1, smin = -1, stime = -1;
            if (org->dborigerr.record >= 0)
                dbgetv(org->dborigerr, 0, "smajax", &smaj, "sminax", &smin, "stime", &stime, (char *)0);
            std::string mags, jmags;
            for (long m = 0; m < maxtbl(org->magnitudes); m++) {
                KOEVMagnitude *mg = (KOEVMagnitude *)gettbl(org->magnitudes, m);
                mags += strprintf("%s%s %.1f", mags.empty() ? "" : ", ", mg->magtype, mg->magnitude);
                jmags += std::string(jmags.empty() ? "" : ",") + "{\"magtype\":" + json_string(mg->magtype) +
                         ",\"magnitude\":" + json_number(mg->magnitude) + "}";
            }
            bool pref = org == ev->pref_origin;
            if (what.json) {
                json += std::string(k ? "," : "") + "{\"orid\":" + json_number((double)org->orid) +
                        ",\"time\":" + json_number(org->time) + ",\"lat\":" + json_number(org->lat) +
                        ",\"lon\":" + json_number(org->lon) + ",\"depth\":" + json_number(org->depth) +
                        ",\"nass\":" + json_number((double)org->nass) + ",\"ndef\":" +
                        json_number((double)org->ndef) + ",\"auth\":" + json_string(auth) +
                        ",\"preferred\":" + (pref ? "true" : "false") + ",\"smajax\":" +
                        json_number(smaj >= 0 ? smaj : NAN) + ",\"sminax\":" + json_number(smin >= 0 ? smin : NAN) +
                        ",\"magnitudes\":[" + jmags + "],\"moments\":" +
                        json_number((double)maxtbl(org->moments));
            } else {
                o += strprintf("  %s origin %ld  %s  %9.4f %9.4f %6.1f km  nass %ld ndef %ld  %s%s%s\n",
                               pref ? "*" : " ", org->orid, format_time(org->time).c_str(), org->lat, org->lon,
                               org->depth, org->nass, org->ndef, auth.c_str(), mags.empty() ? "" : "  ",
                               mags.c_str());
                if (smaj >= 0)
                    o += strprintf("      error ellipse %.1f x %.1f km, time +-%.2f s\n", smaj, smin, stime);
                if (org->pref_moment) {
                    Dbptr mt = org->pref_moment->dbmt;
                    double scm = 0, pdc = 0;
                    dbgetv(mt, 0, "scm", &scm, "pdc", &pdc, (char *)0);
                    double mw = scm > 0 ? 2.0 / 3.0 * (std::log10(scm) - 9.1) : NAN;
                    o += strprintf("      moment tensor %ld: scalar moment %.3g N m (Mw %.1f), %.0f%% double couple\n",
                                   org->pref_moment->mtid, scm, mw, pdc);
                }
            }
            if (pref && what.arrivals) {
                if (view.refreshAssociations(org) < 0) throw Failure("cannot read the associations");
                std::string ja;
                if (!what.json)
                    o += strprintf("      %-6s %-6s %9s %12s %12s %12s %8s\n", "sta", "phase", "delta", "arrival",
                                   "pred_P", "pred_S", "res");
                for (long a = 0; a < maxtbl(org->associations); a++) {
                    KOEVAssociation *as = (KOEVAssociation *)gettbl(org->associations, a);
                    if (as->dbassoc.record < 0) continue;
                    std::string sta = text_field(as->dbassoc, "sta"), phase = text_field(as->dbassoc, "phase");
                    double atime = NAN, res = NAN;
                    if (as->dbarrival.record >= 0) dbgetv(as->dbarrival, 0, "time", &atime, (char *)0);
                    dbgetv(as->dbassoc, 0, "timeres", &res, (char *)0);
                    KOEVOriginStation *st = as->station;
                    double pp = st && st->predicted_P_time > 0 ? st->predicted_P_time - org->time : NAN;
                    double ps = st && st->predicted_S_time > 0 ? st->predicted_S_time - org->time : NAN;
                    double delta = st ? st->distance : NAN;
                    if (what.json)
                        ja += std::string(ja.empty() ? "" : ",") + "{\"sta\":" + json_string(sta) +
                              ",\"phase\":" + json_string(phase) + ",\"arid\":" + json_number((double)as->arid) +
                              ",\"time\":" + json_number(atime) + ",\"distance\":" + json_number(delta) +
                              ",\"predicted_P\":" + json_number(pp) + ",\"predicted_S\":" + json_number(ps) +
                              ",\"timeres\":" + json_number(res) + ",\"defining\":" +
                              json_number(as->defining) + "}";
                    else
                        o += strprintf("      %-6s %-6s %9.2f %12.2f %12.2f %12.2f %8.2f\n", sta.c_str(),
                                       phase.c_str(), delta, atime - org->time, pp, ps, res);
                }
                if (what.json) json += ",\"associations\":[" + ja + "]";
            }
            if (pref && what.detections) {
                if (view.refreshDetections(org, 0) < 0) throw Failure("cannot read the detections");
                std::string jd;
                for (long d = 0; d < maxtbl(org->detections); d++) {
                    KOEVDetection *de = (KOEVDetection *)gettbl(org->detections, d);
                    if (!de->phase[0]) continue;
                    if (what.json)
                        jd += std::string(jd.empty() ? "" : ",") + "{\"sta\":" + json_string(de->station.sta) +
                              ",\"chan\":" + json_string(de->station.chan) + ",\"phase\":" +
                              json_string(de->phase) + ",\"time\":" + json_number(de->time) +
                              ",\"residual\":" + json_number(de->residual) + "}";
                    else
                        o += strprintf("      detection %-6s %-8s %-4s %s  %+.2f s from predicted P\n",
                                       de->station.sta, de->station.chan, de->phase, format_time(de->time).c_str(),
                                       de->residual);
                }
                if (what.json) json += ",\"detections\":[" + jd + "]";
            }
            if (what.json) json += "}";
        }
        if (what.json) json += "]}";
    }
    if (what.json) o += json + "]\n";
}

}  // namespace velk
