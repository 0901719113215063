// demo_db.cpp -- writes the sample database of "velk demo": ten stations
// of a small network, 2 to 90 degrees from a synthetic earthquake, with
// their metadata, an hour of three-component waveforms whose P and S onsets
// sit at the predicted travel times, and the event's parametric data.
#include "demo_db.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <libmseed.h>

#include "db.h"
#include "komoment.h"
#include "stock.h"
#include "tt.h"
#include "velk.h"

namespace velk {

namespace {

const double kRad = M_PI / 180.0;

double round_to(double v, double unit) { return std::round(v / unit) * unit; }

// A reproducible pseudo-random sequence in [-1, 1].
struct Noise {
    uint64_t state;
    explicit Noise(uint64_t seed) : state(seed * 2862933555777941757ULL + 3037000493ULL) {}
    double next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (double)(state >> 11) / (double)(1ULL << 53) * 2.0 - 1.0;
    }
};

// The point at `distance` degrees and `azimuth` degrees from (lat, lon).
void destination(double lat, double lon, double distance, double azimuth, double *lat2, double *lon2) {
    double p1 = lat * kRad, l1 = lon * kRad, d = distance * kRad, az = azimuth * kRad;
    double p2 = std::asin(std::sin(p1) * std::cos(d) + std::cos(p1) * std::sin(d) * std::cos(az));
    double l2 = l1 + std::atan2(std::sin(az) * std::sin(d) * std::cos(p1), std::cos(d) - std::sin(p1) * std::sin(p2));
    *lat2 = p2 / kRad;
    double lo = std::fmod(l2 / kRad + 540.0, 360.0) - 180.0;
    *lon2 = lo;
}

// A damped wavelet starting at t = 0: frequency f (Hz), decay tau (s).
double wavelet(double t, double f, double tau) {
    if (t < 0) return 0;
    return std::sin(2 * M_PI * f * t) * std::exp(-t / tau) * (1 - std::exp(-t / 0.15));
}

// A dispersed surface-wave train centred at tc (s), period T, width w,
// starting no earlier than tstart (the S arrival) and tapered in over 20 s.
double surface(double t, double tc, double period, double width, bool quadrature, double tstart) {
    double x = (t - tc) / width;
    if (std::fabs(x) > 5 || t <= tstart) return 0;
    double taper = t - tstart < 20 ? 0.5 - 0.5 * std::cos(M_PI * (t - tstart) / 20) : 1.0;
    double ph = 2 * M_PI * (t - tc) / (period * (1 + 0.08 * x));
    return taper * std::exp(-x * x) * (quadrature ? std::cos(ph) : std::sin(ph));
}

void check(bool ok, const std::string &what) {
    if (!ok) throw Failure(what);
}

void add(Dbptr t, long rc, const char *what) {
    (void)t;
    check(rc >= 0, std::string("cannot add a row to the ") + what + " table");
}

// The first arrival of one phase, or -1 when the calculator has none (or
// does not know the phase, which is then recorded once).
double travel_time(const char *phase, const DemoInfo &info, const DemoStation &s, Hook **hook,
                   std::vector<std::string> *missing) {
    TTGeometry g = {};
    g.source.lat = info.lat;
    g.source.lon = info.lon;
    g.source.z = info.depth;
    g.receiver.lat = s.lat;
    g.receiver.lon = s.lon;
    g.receiver.z = -s.elev;
    Tbl *times = nullptr;
    int mark = elog_mark();
    if (ttcalc(0, "iasp91", phase, TT_FIRST, &g, &times, hook) < 0) {
        elog_flush(0, mark);
        bool seen = false;
        for (const std::string &m : *missing) seen = seen || m == phase;
        if (!seen) missing->push_back(phase);
        return -1;
    }
    double t = maxtbl(times) > 0 ? ((TTTime *)gettbl(times, 0))->value : -1;
    freetbl(times, nullptr);
    return t;
}

struct MseedSink {
    FILE *fp;
    bool ok;
};

void mseed_record(char *record, int reclen, void *priv) {
    MseedSink *sink = static_cast<MseedSink *>(priv);
    if (fwrite(record, 1, (size_t)reclen, sink->fp) != (size_t)reclen) sink->ok = false;
}

void write_mseed(const std::string &path, const char *net, const char *sta, const char *loc, const char *chan,
                 double t0, double rate, std::vector<int32_t> &counts) {
    FILE *fp = fopen(path.c_str(), "wb");
    if (!fp) {
        elog_log(1, "cannot open %s\n", path.c_str());
        throw Failure("cannot write the miniSEED file " + path);
    }
    MSRecord *msr = msr_init(nullptr);
    check(msr != nullptr, "cannot make a miniSEED record");
    snprintf(msr->network, sizeof msr->network, "%s", net);
    snprintf(msr->station, sizeof msr->station, "%s", sta);
    snprintf(msr->location, sizeof msr->location, "%s", loc);
    snprintf(msr->channel, sizeof msr->channel, "%s", chan);
    msr->dataquality = 'D';
    msr->starttime = (hptime_t)std::llround(t0 * HPTMODULUS);
    msr->samprate = rate;
    msr->reclen = 512;
    msr->encoding = DE_STEIM2;
    msr->byteorder = 1;
    msr->datasamples = counts.data();
    msr->numsamples = (int64_t)counts.size();
    msr->sampletype = 'i';
    MseedSink sink{fp, true};
    int64_t packed = 0;
    int nrec = msr_pack(msr, mseed_record, &sink, &packed, 1, 0);
    msr->datasamples = nullptr;
    msr_free(&msr);
    bool closed = fclose(fp) == 0;
    if (nrec < 0 || !sink.ok || !closed || packed != (int64_t)counts.size()) {
        elog_log(1, "cannot write %s\n", path.c_str());
        throw Failure("cannot write the miniSEED file " + path);
    }
}

void write_s4(const std::string &path, const int32_t *counts, size_t n) {
    std::vector<unsigned char> bytes(n * 4);
    for (size_t i = 0; i < n; i++) {
        uint32_t v = (uint32_t)counts[i];
        bytes[4 * i] = (unsigned char)(v >> 24);
        bytes[4 * i + 1] = (unsigned char)(v >> 16);
        bytes[4 * i + 2] = (unsigned char)(v >> 8);
        bytes[4 * i + 3] = (unsigned char)v;
    }
    FILE *fp = fopen(path.c_str(), "wb");
    bool ok = fp && fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    if (fp && fclose(fp) != 0) ok = false;
    if (!ok) {
        elog_log(1, "cannot write %s\n", path.c_str());
        throw Failure("cannot write the waveform file " + path);
    }
}

// The response of the demo's broadband sensor: velocity flat from about
// 0.01 Hz to 10 Hz (two long-period poles, two zeros at the origin, a
// high-frequency corner), normalised to 1 at 1 Hz, then a short smoothing
// filter of the digitiser at 40 samples per second.
std::string response_text() {
    const double poles[][2] = {{-0.03701, 0.03701}, {-0.03701, -0.03701}, {-62.83, 0.0}, {-88.86, 88.86},
                               {-88.86, -88.86}};
    // |prod(s - z) / prod(s - p)| at 1 Hz, for the normalisation.
    double sr = 0, si = 2 * M_PI;
    double num = sr * sr + si * si;  // two zeros at 0: |s|^2
    double den = 1;
    for (auto &p : poles) den *= std::hypot(sr - p[0], si - p[1]);
    double a0 = den / num;
    std::string t = "# velk demo: broadband velocity sensor and digitiser\n";
    t += "theoretical 1 velkdemo paz\n" + strprintf("%.6e 1.0\n", a0) + "5\n";
    for (auto &p : poles) t += strprintf("%.5f %.5f\n", p[0], p[1]);
    t += "2\n0 0\n0 0\n";
    t += "theoretical 2 velkdemo fir\n40 1\n5\n0.05\n0.25\n0.4\n0.25\n0.05\n0\n";
    return t;
}

void remove_old(const std::string &dbname) {
    static const char *const tables[] = {"site",   "sitechan", "sensor", "instrument", "calibration", "snetsta",
                                         "schanloc", "wfdisc", "event",  "origin",     "origerr",     "arrival",
                                         "assoc",  "netmag",   "stamag", "mt",         "detection",   "lastid"};
    for (const char *t : tables) unlink((dbname + "." + t).c_str());
}

}  // namespace

DemoInfo build_demo_database(const std::string &dir) {
    DemoInfo info;
    info.dir = dir;
    info.dbname = dir + "/demo";
    mkdir(dir.c_str(), 0775);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        elog_log(1, "cannot make the directory %s\n", dir.c_str());
        throw Failure("cannot make the output directory " + dir);
    }
    mkdir((dir + "/wf").c_str(), 0775);
    mkdir((dir + "/response").c_str(), 0775);
    remove_old(info.dbname);

    // The event, at the precision the origin table keeps.
    info.lat = -6.2;
    info.lon = 130.4;
    info.depth = 35.0;
    info.origin = round_to(str2epoch("2025-03-14 06:21:37.4"), 1e-5);
    info.samprate = 40.0;
    info.t0 = info.origin - 60.0;
    const long nsamp = 3600L * 40;
    info.t1 = info.t0 + (nsamp - 1) / info.samprate;

    struct Placement {
        const char *sta;
        double distance, azimuth, elev;
    };
    const Placement places[] = {{"KV01", 2.4, 35, 0.41},  {"KV02", 6.8, 118, 1.12}, {"KV03", 13.5, 205, 0.08},
                                {"KV04", 21.7, 292, 0.65}, {"KV05", 31.2, 12, 1.85}, {"KV06", 42.8, 258, 0.23},
                                {"KV07", 54.1, 76, 0.94},  {"KV08", 66.5, 328, 0.12}, {"KV09", 77.9, 166, 0.57},
                                {"KV10", 88.3, 231, 0.31}};
    Hook *hook = nullptr;
    int index = 0;
    for (const Placement &p : places) {
        DemoStation s;
        s.sta = p.sta;
        double la = 0, lo = 0;
        destination(info.lat, info.lon, p.distance, p.azimuth, &la, &lo);
        s.lat = round_to(la, 1e-4);
        s.lon = round_to(lo, 1e-4);
        s.elev = p.elev;
        double delta = 0, az = 0, baz = 0;
        dist(info.lat * kRad, info.lon * kRad, s.lat * kRad, s.lon * kRad, &delta, &az);
        dist(s.lat * kRad, s.lon * kRad, info.lat * kRad, info.lon * kRad, &delta, &baz);
        s.distance = delta / kRad;
        s.azimuth = az / kRad;
        s.backazimuth = baz / kRad;
        s.datatype = index % 2 == 0 ? "s4" : "sd";
        if (s.sta == "KV06") s.hang_n = 4.0, s.hang_e = 94.0;  // a sensor set a little off north
        s.ptime = travel_time("P", info, s, &hook, &info.missing_phases);
        s.stime = travel_time("S", info, s, &hook, &info.missing_phases);
        s.pptime = travel_time("PP", info, s, &hook, &info.missing_phases);
        s.sstime = travel_time("SS", info, s, &hook, &info.missing_phases);
        info.stations.push_back(s);
        index++;
    }
    free_hook(&hook);
    for (const DemoStation &s : info.stations)
        check(s.ptime > 0 && s.stime > 0, "no P or S travel time for station " + s.sta);

    Dbptr db;
    check(dbopen(info.dbname.c_str(), "r+", &db) == 0, "cannot create the database " + info.dbname);
    struct Closer {
        Dbptr db;
        ~Closer() { dbclose(db); }
    } closer{db};
    auto T = [&](const char *name) { return dblookup(db, 0, name, 0, 0); };
    Dbptr site = T("site"), sitechan = T("sitechan"), sensor = T("sensor"), instrument = T("instrument");
    Dbptr calibration = T("calibration"), snetsta = T("snetsta"), schanloc = T("schanloc"), wfdisc = T("wfdisc");
    Dbptr event = T("event"), origin = T("origin"), origerr = T("origerr"), arrival = T("arrival");
    Dbptr assoc = T("assoc"), netmag = T("netmag"), stamag = T("stamag"), mt = T("mt"), detection = T("detection");
    Dbptr lastid = T("lastid");

    // The instrument and its response file.
    info.response_file = dir + "/response/bbvel.paz";
    check(write_file(info.response_file, response_text()), "cannot write the response file");
    const double calib = 0.5, calper = 1.0;  // nm/s per count at 1 s
    const double install = str2epoch("2020-01-01");
    add(instrument,
        dbaddv(instrument, 0, "inid", 1L, "insname", "broadband velocity sensor, 24-bit digitiser", "instype",
               "bbvel", "band", "b", "digital", "d", "samprate", info.samprate, "ncalib", calib, "ncalper", calper,
               "dir", "response", "dfile", "bbvel.paz", "rsptype", "paz", (char *)0),
        "instrument");

    const char *chans[3] = {"BHZ", "BHN", "BHE"};
    long chanid = 0, wfid = 0, arid = 0;
    Noise noise(20250314);
    std::vector<double> z((size_t)nsamp), r((size_t)nsamp), tr((size_t)nsamp);
    std::vector<int32_t> counts((size_t)nsamp);
    Progress bar("writing waveforms", (long)info.stations.size());
    for (size_t si = 0; si < info.stations.size(); si++) {
        DemoStation &s = info.stations[si];
        const char *sta = s.sta.c_str();
        add(site,
            dbaddv(site, 0, "sta", sta, "ondate", 2020001L, "lat", s.lat, "lon", s.lon, "elev", s.elev, "staname",
                   ("velk demo network station " + std::to_string(si + 1)).c_str(), "statype", "ss", "refsta", sta,
                   (char *)0),
            "site");
        add(snetsta, dbaddv(snetsta, 0, "snet", "XV", "fsta", sta, "sta", sta, (char *)0), "snetsta");

        // Ground velocity (nm/s): P on the vertical and radial, S on the
        // transverse and radial, PP and SS weaker, then the surface waves.
        double dkm = deg2km(s.distance);
        double ap = 2500.0 * std::pow(10.0 / s.distance, 0.8), as = 2.5 * ap;
        double tp = info.origin + s.ptime, ts = info.origin + s.stime;
        double tpp = s.pptime > 0 ? info.origin + s.pptime : -1, tss = s.sstime > 0 ? info.origin + s.sstime : -1;
        double tray = info.origin + dkm / 3.7, tlove = info.origin + dkm / 4.3;
        double width = 40 + 0.8 * s.distance, asurf = 0.7 * as / std::sqrt(1 + s.distance / 10);
        double mph[3] = {noise.next() * M_PI, noise.next() * M_PI, noise.next() * M_PI};
        for (long k = 0; k < nsamp; k++) {
            double t = info.t0 + k / info.samprate;
            double p = wavelet(t - tp, 1.0, 6.0), sw = wavelet(t - ts, 0.35, 14.0);
            double pp = tpp > 0 ? wavelet(t - tpp, 0.8, 7.0) : 0, ss = tss > 0 ? wavelet(t - tss, 0.3, 15.0) : 0;
            double micro = 25 * std::sin(2 * M_PI * 0.14 * t + mph[0]) + 15 * std::sin(2 * M_PI * 0.19 * t + mph[1]);
            double ray = surface(t, tray, 20.0, width, false, ts), rayq = surface(t, tray, 20.0, width, true, ts);
            double love = surface(t, tlove, 25.0, width, false, ts);
            z[(size_t)k] = ap * (0.9 * p + 0.5 * pp) + as * (0.25 * sw + 0.15 * ss) + asurf * ray + micro +
                           6 * noise.next();
            r[(size_t)k] = ap * (0.4 * p + 0.35 * pp) + as * (0.45 * sw + 0.4 * ss) + asurf * 0.7 * rayq +
                           0.8 * micro * std::cos(mph[2]) + 6 * noise.next();
            tr[(size_t)k] = as * (0.9 * sw + 0.7 * ss) + asurf * 0.8 * love + 0.8 * micro * std::sin(mph[2]) +
                            6 * noise.next();
        }
        // Radial points away from the event: the back azimuth plus 180.
        double azr = (s.backazimuth + 180.0) * kRad;
        for (int c = 0; c < 3; c++) {
            const char *chan = chans[c];
            double hang = c == 0 ? -1.0 : c == 1 ? s.hang_n : s.hang_e, vang = c == 0 ? 0.0 : 90.0;
            chanid++;
            add(sitechan,
                dbaddv(sitechan, 0, "sta", sta, "chan", chan, "ondate", 2020001L, "chanid", chanid, "ctype", "n",
                       "edepth", 0.005, "hang", c == 0 ? 0.0 : hang, "vang", vang, "descrip",
                       c == 0 ? "broadband vertical" : c == 1 ? "broadband north" : "broadband east", (char *)0),
                "sitechan");
            add(sensor,
                dbaddv(sensor, 0, "sta", sta, "chan", chan, "time", install, "endtime", 9999999999.999, "inid", 1L,
                       "chanid", chanid, "jdate", yearday(install), "calratio", 1.0, "calper", calper, "tshift", 0.0,
                       "instant", "n", (char *)0),
                "sensor");
            add(calibration,
                dbaddv(calibration, 0, "sta", sta, "chan", chan, "time", install, "endtime", 9999999999.999, "calib",
                       calib, "calper", calper, "fc", 1.0 / calper, "units", "nm/s", "segtype", "V", "dlsta", sta,
                       "dlchan", chan, (char *)0),
                "calibration");
            add(schanloc, dbaddv(schanloc, 0, "sta", sta, "fchan", chan, "loc", "00", "chan", chan, (char *)0),
                "schanloc");
            // Counts as the channel records them along its own orientation.
            double h = (c == 0 ? 0.0 : hang) * kRad;
            for (long k = 0; k < nsamp; k++) {
                double v;
                if (c == 0) {
                    v = z[(size_t)k];
                } else {
                    double n = r[(size_t)k] * std::cos(azr) - tr[(size_t)k] * std::sin(azr);
                    double e = r[(size_t)k] * std::sin(azr) + tr[(size_t)k] * std::cos(azr);
                    v = n * std::cos(h) + e * std::sin(h);
                }
                counts[(size_t)k] = (int32_t)std::lround(v / calib);
            }
            std::string dfile = s.sta + "." + chan + (s.datatype == "sd" ? ".mseed" : ".s4");
            if (s.datatype == "sd") {
                write_mseed(dir + "/wf/" + dfile, "XV", sta, "00", chan, info.t0, info.samprate, counts);
                info.miniseed_files++;
            } else {
                write_s4(dir + "/wf/" + dfile, counts.data(), counts.size());
            }
            // One row per channel; the gap channel has two rows around its
            // missing 40 seconds (the file keeps its samples, unreferenced).
            bool gap = s.sta == "KV04" && c == 0;
            struct Row {
                long first, count;
            };
            std::vector<Row> rows;
            if (gap) {
                long g0 = (long)((info.origin + 1500.0 - info.t0) * info.samprate);
                long g1 = g0 + (long)(40 * info.samprate);
                rows = {{0, g0}, {g1, nsamp - g1}};
                info.gap_sta = s.sta;
                info.gap_chan = chan;
                info.gap_t0 = info.t0 + (g0 - 1) / info.samprate;
                info.gap_t1 = info.t0 + g1 / info.samprate;
            } else {
                rows = {{0, nsamp}};
            }
            for (const Row &row : rows) {
                double t = info.t0 + row.first / info.samprate;
                wfid++;
                add(wfdisc,
                    dbaddv(wfdisc, 0, "sta", sta, "chan", chan, "time", t, "endtime",
                           t + (row.count - 1) / info.samprate, "wfid", wfid, "chanid", chanid, "jdate", yearday(t),
                           "nsamp", row.count, "samprate", info.samprate, "calib", calib, "calper", calper,
                           "instype", "bbvel", "segtype", "V", "datatype", s.datatype.c_str(), "clip", "n", "dir",
                           "wf", "dfile", dfile.c_str(), "foff", s.datatype == "sd" ? 0L : row.first * 4, (char *)0),
                    "wfdisc");
                info.wfdisc_rows++;
            }
        }
        bar.update((long)si + 1);
    }

    // The event: an automatic origin and the analyst's, which is preferred.
    const double o1lat = info.lat + 0.14, o1lon = info.lon - 0.09, o1depth = 28.0, o1time = info.origin + 1.3;
    add(event, dbaddv(event, 0, "evid", 1L, "evname", "velk demo event", "prefor", 2L, "auth", "XV:analyst", (char *)0),
        "event");
    add(origin,
        dbaddv(origin, 0, "lat", o1lat, "lon", o1lon, "depth", o1depth, "time", o1time, "orid", 1L, "evid", 1L,
               "jdate", yearday(o1time), "nass", 10L, "ndef", 10L, "grn", 256L, "srn", 46L, "etype", "qb", "dtype",
               "f", "mb", 5.5, "mbid", 3L, "algorithm", "demo-auto", "auth", "XV:auto", (char *)0),
        "origin");
    add(origin,
        dbaddv(origin, 0, "lat", info.lat, "lon", info.lon, "depth", info.depth, "time", info.origin, "orid", 2L,
               "evid", 1L, "jdate", yearday(info.origin), "nass", 20L, "ndef", 20L, "ndp", 0L, "grn", 256L, "srn",
               46L, "etype", "qb", "dtype", "f", "mb", 5.6, "mbid", 1L, "ms", 5.4, "msid", 2L, "algorithm",
               "demo-review", "auth", "XV:analyst", (char *)0),
        "origin");
    add(origerr,
        dbaddv(origerr, 0, "orid", 1L, "sxx", 95.0, "syy", 80.0, "szz", 140.0, "stt", 1.4, "sxy", 12.0, "sxz", -4.0,
               "syz", 6.0, "stx", 0.2, "sty", -0.1, "stz", 0.6, "sdobs", 1.1, "smajax", 18.5, "sminax", 11.2,
               "strike", 62.0, "sdepth", 14.0, "stime", 1.2, "conf", 0.9, (char *)0),
        "origerr");
    add(origerr,
        dbaddv(origerr, 0, "orid", 2L, "sxx", 21.0, "syy", 17.0, "szz", 40.0, "stt", 0.3, "sxy", 3.0, "sxz", -1.0,
               "syz", 1.5, "stx", 0.05, "sty", -0.02, "stz", 0.1, "sdobs", 0.45, "smajax", 8.1, "sminax", 5.3,
               "strike", 57.0, "sdepth", 6.5, "stime", 0.55, "conf", 0.9, (char *)0),
        "origerr");
    add(netmag,
        dbaddv(netmag, 0, "magid", 1L, "net", "XV", "orid", 2L, "evid", 1L, "magtype", "mb", "nsta", 10L, "magnitude",
               5.6, "uncertainty", 0.2, "auth", "XV:analyst", (char *)0),
        "netmag");
    add(netmag,
        dbaddv(netmag, 0, "magid", 2L, "net", "XV", "orid", 2L, "evid", 1L, "magtype", "Ms", "nsta", 6L, "magnitude",
               5.4, "uncertainty", 0.25, "auth", "XV:analyst", (char *)0),
        "netmag");
    add(netmag,
        dbaddv(netmag, 0, "magid", 3L, "net", "XV", "orid", 1L, "evid", 1L, "magtype", "mb", "nsta", 8L, "magnitude",
               5.5, "uncertainty", 0.3, "auth", "XV:auto", (char *)0),
        "netmag");

    // Picks near the predicted times, their associations and station
    // magnitudes, and the detector's output.
    for (size_t si = 0; si < info.stations.size(); si++) {
        DemoStation &s = info.stations[si];
        const char *sta = s.sta.c_str();
        double pres = 0.15 * (double)((long)si % 5 - 2), sres = 0.4 * (double)((long)si % 3 - 1);
        s.ppick = info.origin + s.ptime + pres;
        s.spick = info.origin + s.stime + sres;
        long parid = ++arid, sarid = ++arid;
        double amp = 2500.0 * std::pow(10.0 / s.distance, 0.8) / (2 * M_PI);  // displacement, nm
        add(arrival,
            dbaddv(arrival, 0, "sta", sta, "time", s.ppick, "arid", parid, "jdate", yearday(s.ppick), "chanid",
                   (long)(3 * si + 1), "chan", "BHZ", "iphase", "P", "stype", "t", "deltim", 0.05, "azimuth",
                   s.backazimuth, "delaz", 8.0, "slow", 7.5, "delslo", 1.0, "ema", 25.0, "rect", 0.8, "amp", amp,
                   "per", 1.0, "clip", "n", "fm", "c.", "snr", 35.0, "qual", "i", "auth", "XV:analyst", (char *)0),
            "arrival");
        add(arrival,
            dbaddv(arrival, 0, "sta", sta, "time", s.spick, "arid", sarid, "jdate", yearday(s.spick), "chanid",
                   (long)(3 * si + 2), "chan", "BHN", "iphase", "S", "stype", "t", "deltim", 0.3, "clip", "n", "snr",
                   12.0, "qual", "e", "auth", "XV:analyst", (char *)0),
            "arrival");
        add(assoc,
            dbaddv(assoc, 0, "arid", parid, "orid", 2L, "sta", sta, "phase", "P", "belief", 1.0, "delta", s.distance,
                   "seaz", s.backazimuth, "esaz", s.azimuth, "timeres", pres, "timedef", "d", "azdef", "n", "slodef",
                   "n", "wgt", 1.0, "vmodel", "iasp91", (char *)0),
            "assoc");
        add(assoc,
            dbaddv(assoc, 0, "arid", sarid, "orid", 2L, "sta", sta, "phase", "S", "belief", 1.0, "delta", s.distance,
                   "seaz", s.backazimuth, "esaz", s.azimuth, "timeres", sres, "timedef", "d", "azdef", "n", "slodef",
                   "n", "wgt", 0.5, "vmodel", "iasp91", (char *)0),
            "assoc");
        // The automatic origin has the P picks, with its own residuals.
        add(assoc,
            dbaddv(assoc, 0, "arid", parid, "orid", 1L, "sta", sta, "phase", "P", "belief", 0.9, "delta", s.distance,
                   "seaz", s.backazimuth, "esaz", s.azimuth, "timeres", pres - 1.3, "timedef", "d", "wgt", 1.0,
                   "vmodel", "iasp91", (char *)0),
            "assoc");
        double mb = 5.6 + 0.12 * (double)((long)si % 4 - 1.5);
        add(stamag,
            dbaddv(stamag, 0, "magid", 1L, "sta", sta, "arid", parid, "orid", 2L, "evid", 1L, "phase", "P", "delta",
                   s.distance, "magtype", "mb", "magnitude", mb, "uncertainty", 0.3, "auth", "XV:analyst", (char *)0),
            "stamag");
        const char *src = "velkdemo-stalta";
        add(detection,
            dbaddv(detection, 0, "srcid", src, "tagname", "demo", "sta", sta, "chan", "BHZ", "time", s.ppick - 0.4,
                   "vmodel", "iasp91", "filter", "BW 0.8 4 3.0 4", "state", "ON", "snr", 8.5, (char *)0),
            "detection");
        add(detection,
            dbaddv(detection, 0, "srcid", src, "tagname", "demo", "sta", sta, "chan", "BHZ", "time", s.ppick, "arid",
                   parid, "vmodel", "iasp91", "filter", "BW 0.8 4 3.0 4", "state", "P", "snr", 35.0, (char *)0),
            "detection");
        add(detection,
            dbaddv(detection, 0, "srcid", src, "tagname", "demo", "sta", sta, "chan", "BHZ", "time", s.ppick + 45.0,
                   "vmodel", "iasp91", "filter", "BW 0.8 4 3.0 4", "state", "OFF", "snr", 2.0, (char *)0),
            "detection");
    }
    // A detection that belongs to no event: noise at one station.
    add(detection,
        dbaddv(detection, 0, "srcid", "velkdemo-stalta", "tagname", "demo", "sta", "KV03", "chan", "BHZ", "time",
               info.origin - 31.7, "filter", "BW 0.8 4 3.0 4", "state", "ON", "snr", 3.1, (char *)0),
        "detection");

    // The moment tensor, in the table's spherical frame (r up, t south,
    // p east), with its axes from the library's analysis.
    const double mrr = 1.10e17, mtt = -0.35e17, mpp = -0.75e17, mrt = 0.28e17, mrp = -0.52e17, mtp = 0.41e17;
    // x east, y north, z up: xx = pp, yy = tt, zz = rr, xy = -tp, xz = rp, yz = -rt.
    double m[6] = {mpp, mtt, mrr, -mtp, mrp, -mrt};
    for (int i = 0; i < 6; i++) info.mt[i] = m[i];
    KOMoment *km = komoment_create(m[0], m[1], m[2], m[3], m[4], m[5], nullptr, nullptr);
    check(km != nullptr, "cannot analyse the demo moment tensor");
    auto axis = [](const double *v, double *plunge, double *azimuth) {
        double e = v[0], n = v[1], u = v[2];
        if (u > 0) e = -e, n = -n, u = -u;  // the downward end
        *plunge = std::asin(std::min(1.0, -u)) / kRad;
        double a = std::atan2(e, n) / kRad;
        *azimuth = a < 0 ? a + 360 : a;
    };
    double tp = 0, ta = 0, np = 0, na = 0, pp = 0, pa = 0;
    axis(km->t_axis, &tp, &ta);
    axis(km->n_axis, &np, &na);
    axis(km->p_axis, &pp, &pa);
    double scm = (std::fabs(km->eig1) + std::fabs(km->eig3)) / 2;
    long mrc = dbaddv(mt, 0, "mtid", 1L, "pubid", "velkdemo-2025-03-14", "evid", 1L, "orid", 2L, "tmrr", mrr, "tmtt",
                      mtt, "tmpp", mpp, "tmrt", mrt, "tmrp", mrp, "tmtp", mtp, "taxlength", km->eig3, "taxplunge", tp,
                      "taxazimuth", ta, "naxlength", km->eig2, "naxplunge", np, "naxazimuth", na, "paxlength",
                      km->eig1, "paxplunge", pp, "paxazimuth", pa, "scm", scm, "pdc", km->percent_dc, "auth",
                      "XV:analyst", (char *)0);
    komoment_free_komoment(km);
    add(mt, mrc, "mt");

    struct Id {
        const char *name;
        long value;
    };
    for (const Id &id : {Id{"arid", arid}, Id{"chanid", chanid}, Id{"evid", 1}, Id{"inid", 1}, Id{"magid", 3},
                         Id{"mtid", 1}, Id{"orid", 2}, Id{"wfid", wfid}})
        add(lastid, dbaddv(lastid, 0, "keyname", id.name, "keyvalue", id.value, (char *)0), "lastid");
    return info;
}

}  // namespace velk
