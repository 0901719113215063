// rzv_demo: a tour of the library on data it makes itself.
//
// It builds a small CSS 3.0 waveform database for a synthetic earthquake
// (two stations, one channel each, samples written as t4 files), reads it
// back through subsets, joins and trace tables, predicts the P arrivals,
// passes the work through the thread pool and a FIFO, draws the records as
// plot vectors, writes SAC files, grids the travel times and packs the grid,
// and decomposes the event's moment tensor.  Everything it writes goes into
// the directory named as its argument.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "db.h"
#include "tr.h"
#include "tt.h"
#include "velkutil.h"

namespace {

int fail(const char *what) {
    fprintf(stderr, "rzv_demo: %s failed:\n", what);
    elog_clear_register(1);
    return 1;
}

const char *kConfig =
    "# demo settings\n"
    "event {\n"
    "  lat 35.0\n"
    "  lon -117.0\n"
    "  depth 10.0\n"
    "  time \"2024-03-01 12:00:00\"\n"
    "}\n"
    "stations [\n"
    "  ANMO 34.946 -106.457 1.850\n"
    "  COR  44.586 -123.305 0.121\n"
    "]\n"
    "samprate 20\n"
    "seconds 600\n";

struct Station {
    std::string sta;
    double lat, lon, elev;
};

struct SumJob {
    const float *data;
    double sum;
};

int64_t sum_slice(int64_t ioffset, int64_t number, void *user) {
    SumJob *job = static_cast<SumJob *>(user);
    double s = 0;
    for (int64_t i = ioffset; i < ioffset + number; i++) s += std::fabs(job->data[i]);
    job->sum = s;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string out = argc > 1 ? argv[1] : ".";
    mkdir(out.c_str(), 0775);
    printf("rzv_demo: writing into %s\n", out.c_str());

    // ---- settings from a parameter file
    Pf *pf = nullptr;
    if (pfread_string(kConfig, &pf) < 0) return fail("pfread_string");
    void *ev = nullptr;
    pfget(pf, "event", &ev);
    double elat = pfget_double((Pf *)ev, "lat"), elon = pfget_double((Pf *)ev, "lon");
    double edepth = pfget_double((Pf *)ev, "depth");
    double otime = str2epoch(pfget_string((Pf *)ev, "time"));
    double samprate = pfget_double(pf, "samprate");
    long nsamp = (long)(pfget_double(pf, "seconds") * samprate);
    std::vector<Station> stations;
    Tbl *rows = pfget_tbl(pf, "stations");
    for (long i = 0; i < maxtbl(rows); i++) {
        char name[16];
        Station s;
        if (sscanf((char *)gettbl(rows, i), "%15s %lf %lf %lf", name, &s.lat, &s.lon, &s.elev) == 4) {
            s.sta = name;
            stations.push_back(s);
        }
    }
    freetbl(rows, nullptr);
    char when[64];
    printf("event: %.3f %.3f depth %.1f km at %s, %zu stations\n", elat, elon, edepth,
           strtime_r(otime, when, sizeof when), stations.size());

    // ---- a waveform database: site and wfdisc rows, t4 sample files
    std::string dbname = out + "/demo";
    for (const char *t : {".site", ".wfdisc", ".origin"}) remove((dbname + t).c_str());
    Dbptr db;
    if (dbopen(dbname.c_str(), "r+", &db) < 0) return fail("dbopen");
    Dbptr site = dblookup(db, 0, "site", 0, 0), wfdisc = dblookup(db, 0, "wfdisc", 0, 0);
    Dbptr origin = dblookup(db, 0, "origin", 0, 0);
    if (dbaddv(origin, 0, "lat", elat, "lon", elon, "depth", edepth, "time", otime, "orid", 1L, "evid", 1L,
               "nass", 0L, "ndef", 0L, (char *)0) < 0)
        return fail("dbaddv origin");
    for (size_t k = 0; k < stations.size(); k++) {
        const Station &s = stations[k];
        double delta, az;
        dist(elat * M_PI / 180, elon * M_PI / 180, s.lat * M_PI / 180, s.lon * M_PI / 180, &delta, &az);
        double ptime = tt_ptime(delta * 180 / M_PI, edepth);
        // A P wavelet on low noise, starting one minute before the origin.
        double t0 = otime - 60.0;
        std::vector<float> data((size_t)nsamp);
        unsigned seed = 12345u + (unsigned)k;
        for (long i = 0; i < nsamp; i++) {
            double t = t0 + i / samprate - (otime + ptime);
            seed = seed * 1103515245u + 12345u;
            double noise = ((seed >> 16) % 1000) / 1000.0 - 0.5;
            data[(size_t)i] = (float)(noise + (t > 0 ? 200.0 * exp(-t / 8.0) * sin(2 * M_PI * t) : 0.0));
        }
        std::string dfile = s.sta + ".w";
        FILE *fp = fopen((out + "/" + dfile).c_str(), "wb");
        if (!fp) return fail("fopen waveform");
        for (float v : data) {  // t4: big-endian IEEE floats
            unsigned char b[4], *p = b;
            hf2mf(&v, &p, 1);
            fwrite(b, 1, 4, fp);
        }
        fclose(fp);
        if (dbaddv(site, 0, "sta", s.sta.c_str(), "lat", s.lat, "lon", s.lon, "elev", s.elev, "ondate", 2000001L,
                   (char *)0) < 0 ||
            dbaddv(wfdisc, 0, "sta", s.sta.c_str(), "chan", "BHZ", "time", t0, "endtime",
                   t0 + (nsamp - 1) / samprate, "nsamp", nsamp, "samprate", samprate, "calib", 1.0, "calper", 1.0,
                   "datatype", "t4", "dir", ".", "dfile", dfile.c_str(), "foff", 0L, "wfid", (long)k + 1, "jdate", yearday(t0),
                   "chanid", (long)k + 1, (char *)0) < 0)
            return fail("dbaddv");
        printf("  %s: %.2f deg, azimuth %.1f, P predicted at +%.2f s\n", s.sta.c_str(), delta * 180 / M_PI,
               az * 180 / M_PI, ptime);
    }
    dbclose(db);

    // ---- read it back: subset, join with site, load traces
    if (dbopen(dbname.c_str(), "r", &db) < 0) return fail("dbopen r");
    wfdisc = dblookup(db, 0, "wfdisc", 0, 0);
    long n = 0;
    dbquery(wfdisc, dbRECORD_COUNT, &n);
    Dbptr bh = dbsubset(wfdisc, "chan =~ /BH./ && samprate > 10", 0);
    Dbptr joined = dbjoin(bh, dblookup(db, 0, "site", 0, 0), 0, 0, 0, 0, 0);
    long nj = 0;
    dbquery(joined, dbRECORD_COUNT, &nj);
    printf("database: %ld wfdisc rows, %ld joined with site\n", n, nj);
    char t0s[64], t1s[64];
    snprintf(t0s, sizeof t0s, "%.3f", otime - 10);
    snprintf(t1s, sizeof t1s, "%.3f", otime + 400);
    Dbptr tr = dbinvalid();
    joined.record = dbALL;
    if (trload_cssgrp(joined, t0s, t1s, &tr, 0, 0) < 0) return fail("trload_cssgrp");
    long ntr = 0;
    dbquery(tr, dbRECORD_COUNT, &ntr);
    printf("traces: %ld loaded\n", ntr);

    // ---- per trace: threads, FIFO, vectors, SAC
    Pmtfifo *fifo = pmtfifo_create(0, 1, 0);
    Pmtcomp *pool = pmtcomp_create();
    for (tr.record = 0; tr.record < ntr; tr.record++) {
        char sta[16], chan[16];
        double time, rate, lat, lon;
        long ns;
        float *data = nullptr;
        dbgetv(tr, 0, "sta", sta, "chan", chan, "time", &time, "samprate", &rate, "nsamp", &ns, "lat", &lat, "lon",
               &lon, "data", &data, (char *)0);
        // The sum of absolute samples, in two halves on the pool.
        SumJob jobs[2] = {{data, 0}, {data, 0}};
        while (pmtcomp_nthreads(pool) > 0) pmtcomp_deletethread(pool, 0);
        pmtcomp_addthread(pool, sum_slice, 0, ns / 2, &jobs[0]);
        pmtcomp_addthread(pool, sum_slice, ns / 2, ns - ns / 2, &jobs[1]);
        pmtcomp_processthreads(pool);
        pmtfifo_push(fifo, strdup(sta));

        // A time-sampled plot vector of the trace, and its extent.
        std::vector<double> d(data, data + ns);
        char vh[32];
        if (!kovector2_create_tsamp((int)ns, time, rate, d.data(), (char *)"demo", vh)) return fail("vector");
        double x0, x1, y0, y1;
        kovector2_maxmin(vh, 0, &x0, &x1, &y0, &y1);
        // The first sample above a tenth of the peak: a crude P pick.
        double pick = 0;
        for (long i = 0; i < ns; i++)
            if (std::fabs(data[i]) > 0.1 * std::max(std::fabs(y0), std::fabs(y1))) {
                pick = time + i / rate;
                break;
            }
        printf("  %s %s: %ld samples, amplitude %.1f..%.1f, mean |x| %.3f, first motion at +%.2f s\n", sta, chan, ns,
               y0, y1, (jobs[0].sum + jobs[1].sum) / ns, pick - otime);

        // A SAC file of the trace with the event, read back.
        KOSac *sac = kosac_create(0, 0);
        Dbptr org = dblookup(db, 0, "origin", 0, 0);
        org.record = 0;
        if (!sac || kosac_putevent_kosac(sac, tr, org) < 0) return fail("kosac_putevent");
        std::string sacfile = out + "/" + sta + "." + chan + ".sac";
        if (kosac_write_to_file_kosac(sac, (char *)sacfile.c_str()) < 0) return fail("kosac_write");
        kosac_free_kosac(sac);
        KOSac *back = kosac_read_from_file_kosac((char *)sacfile.c_str(), 0, 0);
        if (!back) return fail("kosac_read");
        double gcarc = 0, baz = 0;
        kosac_gethdr_kosac(back, "GCARC", &gcarc, "BAZ", &baz, (char *)0);
        printf("    SAC %s: GCARC %.2f deg, BAZ %.1f\n", sacfile.c_str(), gcarc, baz);
        kosac_free_kosac(back);
        kovector2_free(vh);
    }
    pmtcomp_destroy(pool);
    void *item;
    printf("fifo:");
    while (pmtfifo_data_available(fifo) > 0 && pmtfifo_pop(fifo, &item) == 1) {
        printf(" %s", (char *)item);
        free(item);
    }
    printf("\n");
    pmtfifo_destroy(fifo, free);
    trdestroy(&tr);

    // ---- travel times: every arrival at 60 degrees, and a grid of P times
    TTGeometry g = {};
    g.source.z = edepth;
    g.receiver.lon = 60.0;
    Tbl *times = nullptr;
    Hook *hook = nullptr;
    if (ttcalc(0, 0, "P,S,PcP,ScS,SKS", TT_ALL, &g, &times, &hook) < 0) return fail("ttcalc");
    printf("arrivals at 60 deg:");
    for (long i = 0; i < maxtbl(times); i++) {
        TTTime *t = (TTTime *)gettbl(times, i);
        printf(" %s %.2f", t->phase, t->value);
    }
    printf("\n");
    freetbl(times, nullptr);
    free_hook(&hook);

    std::vector<float> xs, ys;
    for (int i = 0; i < 91; i++) xs.push_back((float)(i * 2));
    for (int j = 0; j < 8; j++) ys.push_back((float)(j * 100));
    char gh[32];
    if (!kogrid_create("tt", (long)xs.size(), xs.data(), "distance", "deg", (long)ys.size(), ys.data(), "depth",
                       "km", "ptime", "s", "demo", gh))
        return fail("kogrid_create");
    std::vector<float> frame;
    for (float z : ys)
        for (float x : xs) frame.push_back((float)tt_ptime(x, z));
    kogrid_put(gh, otime, 1, 1.0, frame.data());
    float qx = 45.5f, qy = 250.0f, *val = nullptr;
    long vsize = 0;
    kogrid_eval(gh, 0, 1, &qx, &qy, "bilinear", "none", &val, &vsize);
    printf("grid: P time at 45.5 deg, 250 km interpolated %.2f s (calculator %.2f s)\n", val[0],
           tt_ptime(45.5, 250.0));
    free(val);
    char *packet = nullptr;
    int nbytes = 0, packetsz = 0;
    kogrid_stuff(gh, &packet, &nbytes, &packetsz);
    KOGrid *copy = nullptr;
    if (kogrid_unstuff(packet, nbytes, &copy) < 0) return fail("kogrid_unstuff");
    printf("grid packet: %d bytes, unpacked %ld x %ld nodes\n", nbytes, (long)copy->nxgrid, (long)copy->nygrid);
    free(packet);
    kogrid_free_kogrid(copy);
    kogrid_free(gh);

    // ---- the event's moment tensor
    char mh[32];
    KOMoment *m = komoment_create(0.3, -1.0, 0.7, 0.2, 0.5, -0.4, (char *)"demo", mh);
    if (!m) return fail("komoment_create");
    printf("moment tensor: eigenvalues %.3f %.3f %.3f, %.1f%% double couple\n", m->eig1, m->eig2, m->eig3,
           m->percent_dc);
    char o1[32] = "", o2[32] = "", f1[32] = "", f2[32] = "", d1[32] = "", d2[32] = "";
    if (komoment_compute_bb(mh, o1, o2, f1, f2, d1, d2) < 0) return fail("komoment_compute_bb");
    int nx = 0;
    if (o1[0]) {
        double x, y;
        kovector2_get_point(o1, 0, &x, &y, nullptr);
        KOVector2 *v = kovector2_get_vector(o1);
        nx = v ? v->nx : 0;
    }
    printf("beach ball: first nodal outline has %d points (see beachball.svg)\n", nx);
    komoment_free(mh);

    pffree(pf);
    dbclose(db);
    printf("rzv_demo: done\n");
    return 0;
}
