// demo_tour.cpp -- the demo's pass through the thread pool and FIFO, a grid
// of travel times and its packet, and SAC files of one station.
#include "demo_tour.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kogrid.h"
#include "kosac.h"
#include "pmtcomp.h"
#include "pmtfifo.h"
#include "stock.h"
#include "tr.h"
#include "tt.h"
#include "velk.h"
#include "wfread.h"

namespace velk {

namespace {

// One station's job on the pool: the peak and RMS of its vertical in the
// first 30 s after the predicted P, against the minute before it.
struct AmplitudeJob {
    std::string sta;
    std::vector<float> samples;
    double t0 = 0, dt = 1, ptime = 0;
    Pmtfifo *results = nullptr;
};

int64_t measure(int64_t, int64_t, void *user) {
    AmplitudeJob *job = static_cast<AmplitudeJob *>(user);
    double peak = 0, signal = 0, noise = 0;
    long ns = 0, nn = 0;
    for (size_t k = 0; k < job->samples.size(); k++) {
        double t = job->t0 + (double)k * job->dt - job->ptime;
        double v = job->samples[k];
        if (std::fabs(v) > 1e29) continue;
        if (t >= 0 && t < 30) signal += v * v, ns++, peak = std::max(peak, std::fabs(v));
        if (t >= -60 && t < -1) noise += v * v, nn++;
    }
    double snr = nn && ns && noise > 0 ? std::sqrt(signal / ns) / std::sqrt(noise / nn) : 0;
    char *line = strdup(strprintf("  %-5s P peak %8.1f nm/s, signal/noise %6.1f", job->sta.c_str(), peak, snr).c_str());
    if (!line || pmtfifo_push(job->results, line) < 0) {
        free(line);
        return -1;
    }
    return 0;
}

}  // namespace

std::vector<std::string> demo_tour(const DemoInfo &info, Dbptr db, ChannelReader &reader, const std::string &sta) {
    std::vector<std::string> lines;

    // The pool: one worker per station, one lock-step pass; each worker
    // hands its line back through the FIFO.
    std::unique_ptr<Pmtfifo, void (*)(Pmtfifo *)> fifo(pmtfifo_create(0, 1, 0),
                                                       [](Pmtfifo *f) { pmtfifo_destroy(f, free); });
    std::unique_ptr<Pmtcomp, int (*)(Pmtcomp *)> pool(pmtcomp_create(), pmtcomp_destroy);
    if (!fifo || !pool) throw Failure("cannot start the compute pool");
    std::vector<AmplitudeJob> jobs(info.stations.size());
    for (size_t i = 0; i < info.stations.size(); i++) {
        const DemoStation &s = info.stations[i];
        std::vector<ChannelSegment> cs;
        double tp = info.origin + s.ptime;
        if (!reader.read(s.sta, "BHZ", tp - 60, tp + 30, true, false, &cs) || cs.empty())
            throw Failure("cannot read " + s.sta + " BHZ");
        Segment seg = fill_gaps(cs, nullptr);
        jobs[i] = AmplitudeJob{s.sta, seg.data, seg.t0, seg.dt, tp, fifo.get()};
        if (pmtcomp_addthread(pool.get(), measure, 0, 1, &jobs[i]) < 0) throw Failure("cannot add a worker");
    }
    if (pmtcomp_processthreads(pool.get()) < 0) throw Failure("the compute pass failed");
    lines.push_back(strprintf("compute pool: %ld workers measured the P waves in one pass:",
                              pmtcomp_nthreads(pool.get())));
    // The workers finish in any order; the lines are listed by station.
    std::vector<std::string> results;
    void *item = nullptr;
    while (pmtfifo_data_available(fifo.get()) > 0 && pmtfifo_pop(fifo.get(), &item) == 1) {
        results.push_back(static_cast<char *>(item));
        free(item);
    }
    std::sort(results.begin(), results.end());
    lines.insert(lines.end(), results.begin(), results.end());

    // A grid of P travel times against distance and depth, read back at
    // each station and through its packet form.
    std::vector<float> xs, ys, frame;
    for (int i = 0; i <= 100; i++) xs.push_back((float)i);
    for (int j = 0; j <= 14; j++) ys.push_back((float)(50 * j));
    for (float z : ys)
        for (float x : xs) frame.push_back((float)tt_ptime(x, z));
    char gh[32] = "";
    if (!kogrid_create("ptime", (long)xs.size(), xs.data(), "distance", "deg", (long)ys.size(), ys.data(), "depth",
                       "km", "ptime", "s", "velkdemo", gh) ||
        kogrid_put(gh, info.origin, 1, 1.0, frame.data()) < 0)
        throw Failure("cannot build the travel-time grid");
    std::vector<float> qx, qy;
    for (const DemoStation &s : info.stations) qx.push_back((float)s.distance), qy.push_back((float)info.depth);
    float *val = nullptr;
    long vsize = 0;
    if (kogrid_eval(gh, 0, (long)qx.size(), qx.data(), qy.data(), "bilinear", "none", &val, &vsize) < 0) {
        kogrid_free(gh);
        throw Failure("cannot evaluate the travel-time grid");
    }
    double worst = 0;
    for (size_t i = 0; i < qx.size(); i++) worst = std::max(worst, std::fabs(val[i] - tt_ptime(qx[i], info.depth)));
    free(val);
    char *packet = nullptr;
    int nbytes = 0, packetsz = 0;
    KOGrid *copy = nullptr;
    if (kogrid_stuff(gh, &packet, &nbytes, &packetsz) < 0 || kogrid_unstuff(packet, nbytes, &copy) < 0) {
        free(packet);
        kogrid_free(gh);
        throw Failure("cannot pack the travel-time grid");
    }
    lines.push_back(strprintf("grid %s: P times on %ld x %ld nodes (1 degree, 50 km); bilinear at the stations "
                              "within %.2f s of the calculator; packet %d bytes, unpacked %ld x %ld",
                              gh, (long)xs.size(), (long)ys.size(), worst, nbytes, (long)copy->nxgrid,
                              (long)copy->nygrid));
    free(packet);
    kogrid_free_kogrid(copy);
    kogrid_free(gh);

    // SAC files of one station's components with the event.
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    std::string expr = "sta == \"" + sta + "\"";
    Dbptr view = dbsubset(wf, expr.c_str(), 0);
    for (const char *t : {"site", "sitechan"})
        if (view.table >= 0) view = dbjoin(view, dblookup(db, 0, t, 0, 0), 0, 0, 1, 0, 0);
    if (view.table < 0) throw Failure("cannot select the rows of " + sta);
    Dbptr tr = dbinvalid();
    view.record = dbALL;
    if (trload_cssgrp(view, strprintf("%.5f", info.origin).c_str(), strprintf("%.5f", info.origin + 1800).c_str(),
                      &tr, 0, 0) < 0)
        throw Failure("cannot load the samples of " + sta);
    trapply_calib(tr);
    Dbptr org = dblookup(db, 0, "origin", 0, 0);
    long norg = 0, ntr = 0;
    dbquery(org, dbRECORD_COUNT, &norg);
    for (org.record = 0; org.record < norg; org.record++) {
        long orid = 0;
        dbgetv(org, 0, "orid", &orid, (char *)0);
        if (orid == 2) break;
    }
    dbquery(tr, dbRECORD_COUNT, &ntr);
    for (tr.record = 0; tr.record < ntr; tr.record++) {
        char chan[16] = "";
        dbgetv(tr, 0, "chan", chan, (char *)0);
        std::unique_ptr<KOSac, void (*)(KOSac *)> sac(kosac_create(nullptr, nullptr), kosac_free_kosac);
        std::string path = info.dir + "/" + sta + "." + chan + ".sac";
        if (!sac || kosac_putevent_kosac(sac.get(), tr, org) < 0 ||
            kosac_write_to_file_kosac(sac.get(), (char *)path.c_str()) < 0) {
            trdestroy(&tr);
            throw Failure("cannot write " + path);
        }
        std::unique_ptr<KOSac, void (*)(KOSac *)> back(kosac_read_from_file_kosac((char *)path.c_str(), 0, 0),
                                                       kosac_free_kosac);
        double gcarc = 0, baz = 0, cmpaz = 0;
        if (!back || kosac_gethdr_kosac(back.get(), "GCARC", &gcarc, "BAZ", &baz, "CMPAZ", &cmpaz, (char *)0) < 0) {
            trdestroy(&tr);
            throw Failure("cannot read " + path + " back");
        }
        lines.push_back(strprintf("SAC %s: GCARC %.2f, BAZ %.1f, CMPAZ %.1f", path.c_str(), gcarc, baz, cmpaz));
    }
    trdestroy(&tr);
    return lines;
}

}  // namespace velk
