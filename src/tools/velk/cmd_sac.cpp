// cmd_sac.cpp -- "velk sac": SAC files: dump a file's header and samples,
// write a database channel (with its station and event) as SAC files, and
// load SAC files into a database.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "dbopen.h"
#include "kosac.h"
#include "stock.h"
#include "tr.h"
#include "velk.h"
#include "wfread.h"

namespace velk {

namespace {

// The header fields by kind, in file order.
const char *const kFloatFields[] = {
    "DELTA", "DEPMIN", "DEPMAX", "SCALE", "ODELTA", "B",     "E",      "O",      "A",      "T0",    "T1",
    "T2",    "T3",     "T4",     "T5",    "T6",     "T7",    "T8",     "T9",     "F",      "RESP0", "RESP1",
    "RESP2", "RESP3",  "RESP4",  "RESP5", "RESP6",  "RESP7", "RESP8",  "RESP9",  "STLA",   "STLO",  "STEL",
    "STDP",  "EVLA",   "EVLO",   "EVEL",  "EVDP",   "MAG",   "USER0",  "USER1",  "USER2",  "USER3", "USER4",
    "USER5", "USER6",  "USER7",  "USER8", "USER9",  "DIST",  "AZ",     "BAZ",    "GCARC",  "DEPMEN", "CMPAZ",
    "CMPINC", "XMINIMUM", "XMAXIMUM", "YMINIMUM", "YMAXIMUM"};
const char *const kIntFields[] = {"NZYEAR", "NZJDAY", "NZHOUR", "NZMIN", "NZSEC", "NZMSEC", "NVHDR", "NORID",
                                  "NEVID",  "NPTS",   "NWFID",  "NXSIZE", "NYSIZE", "IFTYPE", "IDEP", "IZTYPE",
                                  "IINST",  "ISTREG", "IEVREG", "IEVTYP", "IQUAL", "ISYNTH", "IMAGTYP", "IMAGSRC",
                                  "LEVEN",  "LPSPOL", "LOVROK", "LCALDA"};
const char *const kTextFields[] = {"KSTNM", "KEVNM", "KHOLE", "KO",  "KA",     "KT0",    "KT1",    "KT2",
                                   "KT3",   "KT4",   "KT5",   "KT6", "KT7",    "KT8",    "KT9",    "KF",
                                   "KUSER0", "KUSER1", "KUSER2", "KCMPNM", "KNETWK", "KDATRD", "KINST"};

struct SacArgs {
    // dump
    std::string file;
    bool json = false;
    long samples = 0;
    // from-db
    std::string db, sta, chan, t0s, t1s, out;
    long orid = -1;
    bool calib = false;
    // to-db
    std::vector<std::string> files;
};

std::unique_ptr<KOSac, void (*)(KOSac *)> read_sac(const std::string &path) {
    KOSac *s = kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr);
    if (!s) throw Failure("cannot read the SAC file " + path);
    return {s, kosac_free_kosac};
}

int run_dump(const SacArgs &a) {
    auto sac = read_sac(a.file);
    std::string json = "{\"file\":" + json_string(a.file) + ",\"header\":{";
    bool first = true;
    auto add = [&](const char *name, const std::string &jvalue, const std::string &text) {
        if (a.json) {
            json += std::string(first ? "" : ",") + json_string(name) + ":" + jvalue;
            first = false;
        } else {
            printf("  %-9s %s\n", name, text.c_str());
        }
    };
    if (!a.json) printf("# %s\n", a.file.c_str());
    for (const char *f : kFloatFields) {
        double v = 0;
        if (kosac_gethdr_kosac(sac.get(), f, &v, (char *)0) < 0) throw Failure("cannot read the header");
        if (v != -12345.0) add(f, json_number(v), strprintf("%.9g", v));
    }
    for (const char *f : kIntFields) {
        int64_t v = 0;
        if (kosac_gethdr_kosac(sac.get(), f, &v, (char *)0) < 0) throw Failure("cannot read the header");
        if (v != -12345) add(f, json_number((double)v), strprintf("%lld", (long long)v));
    }
    for (const char *f : kTextFields) {
        char v[32] = "";
        if (kosac_gethdr_kosac(sac.get(), f, v, (char *)0) < 0) throw Failure("cannot read the header");
        std::string s = v;
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (s != "-12345" && !s.empty()) add(f, json_string(s), s);
    }
    int nsamp = 0;
    double tstart = 0, rate = 0;
    float *data = nullptr;
    char segtype[2] = "";
    if (kosac_getdata_kosac(sac.get(), &nsamp, &tstart, &rate, &data, segtype) < 0)
        throw Failure("cannot read the samples of " + a.file);
    std::unique_ptr<float, void (*)(void *)> hold(data, free);
    double lo = HUGE_VAL, hi = -HUGE_VAL, sum = 0;
    for (int i = 0; i < nsamp; i++) lo = std::min(lo, (double)data[i]), hi = std::max(hi, (double)data[i]), sum += data[i];
    long shown = std::min<long>(a.samples, nsamp);
    if (a.json) {
        json += "},\"nsamp\":" + json_number(nsamp) + ",\"time\":" + json_number(tstart) +
                ",\"samprate\":" + json_number(rate) + ",\"min\":" + json_number(nsamp ? lo : NAN) +
                ",\"max\":" + json_number(nsamp ? hi : NAN) + ",\"mean\":" + json_number(nsamp ? sum / nsamp : NAN) +
                ",\"samples\":[";
        for (long i = 0; i < shown; i++) json += (i ? "," : "") + json_number(data[i]);
        printf("%s]}\n", json.c_str());
    } else {
        printf("# %d samples at %g per second from %s; min %g max %g mean %g\n", nsamp, rate,
               format_time(tstart).c_str(), nsamp ? lo : NAN, nsamp ? hi : NAN, nsamp ? sum / nsamp : NAN);
        for (long i = 0; i < shown; i++) printf("  %.6f %.9g\n", tstart + i / rate, data[i]);
    }
    return 0;
}

// The origin for a window: the one asked for, or the latest origin at most
// two hours before the window's start and not after its end, preferring an
// event's preferred origin.  -1 for none.
long pick_origin(Dbptr db, double t0, double t1, long want) {
    Dbptr org = dblookup(db, 0, "origin", 0, 0);
    Dbptr ev = dblookup(db, 0, "event", 0, 0);
    long n = 0, ne = 0;
    dbquery(org, dbRECORD_COUNT, &n);
    dbquery(ev, dbRECORD_COUNT, &ne);
    std::vector<long> prefors;
    for (ev.record = 0; ev.record < ne; ev.record++) {
        long p = -1;
        if (dbgetv(ev, 0, "prefor", &p, (char *)0) == 0) prefors.push_back(p);
    }
    long best = -1;
    double best_time = 0;
    bool best_pref = false;
    for (org.record = 0; org.record < n; org.record++) {
        long orid = -1;
        double time = 0;
        if (dbgetv(org, 0, "orid", &orid, "time", &time, (char *)0) < 0) continue;
        if (want >= 0) {
            if (orid == want) return org.record;
            continue;
        }
        if (time < t0 - 7200 || time > t1) continue;
        bool pref = std::find(prefors.begin(), prefors.end(), orid) != prefors.end();
        if (best < 0 || (pref && !best_pref) || (pref == best_pref && time > best_time))
            best = org.record, best_time = time, best_pref = pref;
    }
    return best;
}

int run_from_db(const SacArgs &a) {
    check_sta_chan(a.sta, a.chan);
    double t0 = parse_time(a.t0s, "start time"), t1 = parse_time(a.t1s, "end time");
    if (!(t1 > t0)) throw UsageError("the end time must be after the start time");
    OpenDb db(a.db, "r", "wfdisc");
    long orow = pick_origin(db.db(), t0, t1, a.orid);
    if (a.orid >= 0 && orow < 0) throw Failure(strprintf("no origin with orid %ld", a.orid));

    // The channel through the trace layer, joined with its station and
    // orientation where the database has them.
    Dbptr wf = db.table("wfdisc");
    std::string expr = "sta == \"" + a.sta + "\" && chan == \"" + a.chan + "\"";
    Dbptr view = dbsubset(wf, expr.c_str(), 0);
    if (view.table < 0) throw Failure("cannot select the channel's rows");
    for (const char *t : {"site", "sitechan"}) {
        if (!db.present(t)) continue;
        Dbptr j = dbjoin(view, db.table(t), 0, 0, 1, 0, 0);
        if (j.table < 0) throw Failure(std::string("cannot join with the ") + t + " table");
        view = j;
    }
    Dbptr tr = dbinvalid();
    view.record = dbALL;
    if (trload_cssgrp(view, strprintf("%.5f", t0).c_str(), strprintf("%.5f", t1).c_str(), &tr, 0, 0) < 0)
        throw Failure("cannot load the samples");
    struct TrHold {
        Dbptr *tr;
        ~TrHold() {
            if (tr->database >= 0) trdestroy(tr);
        }
    } hold{&tr};
    long ntr = 0;
    dbquery(tr, dbRECORD_COUNT, &ntr);
    if (ntr == 0) throw Failure("no samples of " + a.sta + " " + a.chan + " between " + format_time(t0) + " and " +
                                format_time(t1));
    trsplice(tr, 0.5, nullptr);
    if (a.calib) trapply_calib(tr);
    trsplit(tr, nullptr);
    dbcrunch(tr);
    dbquery(tr, dbRECORD_COUNT, &ntr);
    Dbptr org = db.table("origin");
    org.record = orow;
    int written = 0;
    for (tr.record = 0; tr.record < ntr; tr.record++) {
        KOSac *sac = kosac_create(nullptr, nullptr);
        if (!sac) throw Failure("cannot make a SAC image");
        std::unique_ptr<KOSac, void (*)(KOSac *)> own(sac, kosac_free_kosac);
        if (orow >= 0) {
            if (kosac_putevent_kosac(sac, tr, org) < 0) throw Failure("cannot fill the SAC image");
        } else {
            char sta[16] = "", chan[16] = "", net[16] = "", segtype[4] = "";
            double time = 0, rate = 0, lat = 0, lon = 0, elev = 0, edepth = 0, hang = 0, vang = 0;
            long nsamp = 0;
            void *data = nullptr;
            dbgetv(tr, 0, "sta", sta, "chan", chan, "net", net, "segtype", segtype, "time", &time, "samprate", &rate,
                   "nsamp", &nsamp, "data", &data, "lat", &lat, "lon", &lon, "elev", &elev, "edepth", &edepth, "hang",
                   &hang, "vang", &vang, (char *)0);
            if (kosac_putdata_kosac(sac, (int)nsamp, time, rate, (float *)data, segtype) < 0 ||
                kosac_puthdr_kosac(sac, "KSTNM", sta, "KCMPNM", chan, (char *)0) < 0)
                throw Failure("cannot fill the SAC image");
            // Station values only where the database has them.
            if (lat != -999.0 && lon != -999.0)
                kosac_puthdr_kosac(sac, "STLA", lat, "STLO", lon, (char *)0);
            if (elev != -999.0) kosac_puthdr_kosac(sac, "STEL", elev * 1000.0, (char *)0);
            if (hang != -1.0 && vang != -1.0) kosac_puthdr_kosac(sac, "CMPAZ", hang, "CMPINC", vang, (char *)0);
            if (net[0] && strcmp(net, "-") != 0) kosac_puthdr_kosac(sac, "KNETWK", net, (char *)0);
        }
        // SEED network and location codes where the database maps them.
        char sta[16] = "", chan[16] = "";
        dbgetv(tr, 0, "sta", sta, "chan", chan, (char *)0);
        if (db.present("snetsta")) {
            char snet[16] = "", fsta[16] = "";
            int mark = elog_mark();
            if (dbseed_net(db.db(), sta, snet, fsta) == 0 && snet[0])
                kosac_puthdr_kosac(sac, "KNETWK", snet, (char *)0);
            elog_flush(0, mark);
        }
        if (db.present("schanloc")) {
            char fchan[16] = "", loc[16] = "";
            int mark = elog_mark();
            if (dbseed_loc(db.db(), sta, chan, fchan, loc) == 0 && loc[0] && strcmp(loc, "-") != 0)
                kosac_puthdr_kosac(sac, "KHOLE", loc, (char *)0);
            elog_flush(0, mark);
        }
        std::string path = written == 0 ? a.out : a.out + "." + std::to_string(written + 1);
        if (kosac_write_to_file_kosac(sac, (char *)path.c_str()) < 0) throw Failure("cannot write " + path);
        long ns = 0;
        double time = 0;
        dbgetv(tr, 0, "nsamp", &ns, "time", &time, (char *)0);
        printf("%s: %s %s, %ld samples from %s%s\n", path.c_str(), a.sta.c_str(), a.chan.c_str(), ns,
               format_time(time).c_str(), orow >= 0 ? ", with its origin" : "");
        written++;
    }
    if (written > 1)
        printf("# the window holds %d segments separated by gaps: one file each\n", written);
    return 0;
}

// The next free value of an id field (one more than the largest).
long next_id(Dbptr table, const char *field) {
    long n = 0, best = 0;
    dbquery(table, dbRECORD_COUNT, &n);
    for (table.record = 0; table.record < n; table.record++) {
        long v = 0;
        if (dbgetv(table, 0, field, &v, (char *)0) == 0) best = std::max(best, v);
    }
    return best + 1;
}

bool has_row(Dbptr table, const char *sta, const char *chan) {
    long n = 0;
    dbquery(table, dbRECORD_COUNT, &n);
    for (table.record = 0; table.record < n; table.record++) {
        char s[16] = "", c[16] = "";
        if (chan ? dbgetv(table, 0, "sta", s, "chan", c, (char *)0) : dbgetv(table, 0, "sta", s, (char *)0)) continue;
        if (strcmp(s, sta) == 0 && (!chan || strcmp(c, chan) == 0)) return true;
    }
    return false;
}

// The orid of an existing origin at this time and place, or -1.
long find_origin(Dbptr org, double time, double lat, double lon) {
    long n = 0;
    dbquery(org, dbRECORD_COUNT, &n);
    for (org.record = 0; org.record < n; org.record++) {
        double t = 0, la = 0, lo = 0;
        long orid = -1;
        if (dbgetv(org, 0, "time", &t, "lat", &la, "lon", &lo, "orid", &orid, (char *)0) < 0) continue;
        if (std::fabs(t - time) < 0.01 && std::fabs(la - lat) < 1e-3 && std::fabs(lo - lon) < 1e-3) return orid;
    }
    return -1;
}

int run_to_db(const SacArgs &a) {
    // Every file is read before anything is written, so a bad file leaves
    // the database as it was.
    std::vector<std::unique_ptr<KOSac, void (*)(KOSac *)>> sacs;
    Progress readbar("reading", (long)a.files.size());
    for (size_t i = 0; i < a.files.size(); i++) {
        sacs.push_back(read_sac(a.files[i]));
        readbar.update((long)i + 1);
    }
    OpenDb db(a.db, "r+", nullptr);
    Dbptr mem = trnew(nullptr, nullptr);
    if (mem.database < 0) throw Failure("cannot make a trace table");
    struct MemHold {
        Dbptr *p;
        ~MemHold() { trdestroy(p); }
    } hold{&mem};
    Dbptr memorg = dblookup(mem, 0, "origin", 0, 0);

    std::string base = a.db;
    std::string dir = "sacwf";
    std::string dbdir = ".";
    size_t slash = base.rfind('/');
    if (slash != std::string::npos) dbdir = base.substr(0, slash);
    std::string wfdir = dbdir + "/" + dir;
    mkdir(wfdir.c_str(), 0775);

    Dbptr wf = db.table("wfdisc"), site = db.table("site"), sitechan = db.table("sitechan");
    Dbptr org = db.table("origin"), ev = db.table("event");
    long wfid = next_id(wf, "wfid"), orid = next_id(org, "orid"), evid = next_id(ev, "evid");
    Progress bar("loading", (long)sacs.size());
    for (size_t i = 0; i < sacs.size(); i++) {
        Dbptr trow = mem, orow = memorg;
        if (kosac_getevent_kosac(sacs[i].get(), &trow, &orow) < 0) throw Failure("cannot take " + a.files[i] + " apart");
        char sta[16] = "", chan[16] = "", segtype[4] = "";
        double time = 0, endtime = 0, rate = 0, lat = 0, lon = 0, elev = 0, edepth = 0, hang = 0, vang = 0;
        long nsamp = 0;
        void *data = nullptr;
        dbgetv(trow, 0, "sta", sta, "chan", chan, "segtype", segtype, "time", &time, "endtime", &endtime,
               "samprate", &rate, "nsamp", &nsamp, "data", &data, "lat", &lat, "lon", &lon, "elev", &elev, "edepth",
               &edepth, "hang", &hang, "vang", &vang, (char *)0);
        // The interval is a float in the file: 40 samples/s reads back as
        // 39.9999994.  Seven significant digits are all the file holds.
        rate = std::strtod(strprintf("%.7g", rate).c_str(), nullptr);
        if (!sta[0] || strcmp(sta, "-12345") == 0 || strcmp(sta, "-") == 0)
            throw Failure(a.files[i] + " names no station (KSTNM)");
        if (!chan[0] || strcmp(chan, "-12345") == 0 || strcmp(chan, "-") == 0)
            throw Failure(a.files[i] + " names no channel (KCMPNM)");
        // Samples as big-endian floats, one file per SAC file.
        std::string dfile = strprintf("%s.%s.%ld.w", sta, chan, wfid);
        std::string path = wfdir + "/" + dfile;
        FILE *fp = fopen(path.c_str(), "wb");
        if (!fp) {
            elog_log(1, "cannot open %s\n", path.c_str());
            throw Failure("cannot write the samples of " + a.files[i]);
        }
        std::vector<unsigned char> bytes((size_t)nsamp * 4);
        unsigned char *cur = bytes.data();
        hf2mf((const float *)data, &cur, nsamp);
        bool ok = fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
        ok = fclose(fp) == 0 && ok;
        if (!ok) {
            elog_log(1, "cannot write %s\n", path.c_str());
            throw Failure("cannot write the samples of " + a.files[i]);
        }
        endtime = time + (double)(nsamp - 1) / rate;
        if (dbaddv(wf, 0, "sta", sta, "chan", chan, "time", time, "endtime", endtime, "nsamp", nsamp, "samprate",
                   rate, "calib", 1.0, "calper", 1.0, "datatype", "t4", "segtype", segtype[0] ? segtype : "-", "dir",
                   dir.c_str(), "dfile", dfile.c_str(), "foff", 0L, "wfid", wfid, "jdate", yearday(time),
                   (char *)0) < 0)
            throw Failure("cannot add the wfdisc row of " + a.files[i]);
        wfid++;
        if (lat != -12345.0 && lon != -12345.0 && !has_row(site, sta, nullptr))
            dbaddv(site, 0, "sta", sta, "lat", lat, "lon", lon, "elev", elev != -12345.0 ? elev : 0.0, "ondate",
                   yearday(time), (char *)0);
        if (hang != -12345.0 && vang != -12345.0 && !has_row(sitechan, sta, chan))
            dbaddv(sitechan, 0, "sta", sta, "chan", chan, "ondate", yearday(time), "hang", hang, "vang", vang,
                   "edepth", edepth != -12345.0 ? edepth : 0.0, (char *)0);
        double otime = 0, olat = 0, olon = 0, odepth = 0;
        dbgetv(orow, 0, "time", &otime, "lat", &olat, "lon", &olon, "depth", &odepth, (char *)0);
        // An event in the header (location and origin time all set) becomes
        // an origin and event, once for all the files that share it.
        double o = 0, evla = 0, evlo = 0, evdp = 0;
        kosac_gethdr_kosac(sacs[i].get(), "O", &o, "EVLA", &evla, "EVLO", &evlo, "EVDP", &evdp, (char *)0);
        bool has_event = o != -12345.0 && evla != -12345.0 && evlo != -12345.0;
        if (evdp == -12345.0) odepth = 0;
        if (has_event && find_origin(org, otime, olat, olon) < 0) {
            if (dbaddv(org, 0, "lat", olat, "lon", olon, "depth", odepth, "time", otime, "orid", orid, "evid", evid,
                       "jdate", yearday(otime), "nass", 0L, "ndef", 0L, "auth", "sac", (char *)0) < 0 ||
                dbaddv(ev, 0, "evid", evid, "prefor", orid, "auth", "sac", (char *)0) < 0)
                throw Failure("cannot add the origin of " + a.files[i]);
            orid++;
            evid++;
        }
        printf("%s: %s %s, %ld samples from %s -> %s/%s\n", a.files[i].c_str(), sta, chan, nsamp,
               format_time(time).c_str(), dir.c_str(), dfile.c_str());
        bar.update((long)i + 1);
    }
    return 0;
}

}  // namespace

void register_sac(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<SacArgs>();
    CLI::App *sac = app.add_subcommand("sac", "SAC files: dump, write from a database, load into a database");
    sac->require_subcommand(1);

    CLI::App *dump = sac->add_subcommand("dump", "Print a SAC file's header fields and samples");
    dump->add_option("FILE", a->file, "The SAC file")->required();
    dump->add_option("--samples", a->samples, "Also print the first N samples")->check(CLI::NonNegativeNumber);
    dump->add_flag("--json", a->json, "Print as JSON");
    reg[dump] = [a] { return run_dump(*a); };

    CLI::App *from = sac->add_subcommand("from-db", "Write one channel of a database window as SAC files");
    from->add_option("DB", a->db, "The database")->required();
    from->add_option("STA", a->sta, "Station")->required();
    from->add_option("CHAN", a->chan, "Channel")->required();
    from->add_option("T0", a->t0s, "Start time")->required();
    from->add_option("T1", a->t1s, "End time")->required();
    from->add_option("OUT", a->out, "The SAC file (further segments after gaps: OUT.2, OUT.3, ...)")->required();
    from->add_option("--orid", a->orid, "The origin to describe (default: the latest origin before the window, "
                                        "an event's preferred one first)");
    from->add_flag("--calib", a->calib, "Multiply the samples by their calibration");
    reg[from] = [a] { return run_from_db(*a); };

    CLI::App *to = sac->add_subcommand("to-db", "Load SAC files into a database (wfdisc, site, sitechan, origin)");
    to->add_option("DB", a->db, "The database (created if absent)")->required();
    to->add_option("FILE", a->files, "SAC files")->required();
    reg[to] = [a] { return run_to_db(*a); };
}

}  // namespace velk
