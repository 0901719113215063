// wfread.cpp -- channels read through a station-channel view, and gap
// filling for display and export.
#include "wfread.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "stock.h"
#include "tr.h"
#include "velk.h"

namespace velk {

ChannelReader::ChannelReader(const std::string &dbname, double t0, double t1, int threads, const std::string &accept,
                             const std::string &reject, bool verbose) {
    std::vector<std::string> words;
    if (t0 != 0 || t1 != 0) {
        words.push_back("-tstart");
        words.push_back(strprintf("%.5f", t0));
        words.push_back("-tend");
        words.push_back(strprintf("%.5f", t1));
    }
    if (!accept.empty()) words.push_back("-stachan_accept"), words.push_back(accept);
    if (!reject.empty()) words.push_back("-stachan_reject"), words.push_back(reject);
    words.push_back("-nthreads");
    words.push_back(std::to_string(threads));
    if (verbose) words.push_back("-v");
    words.push_back(dbname);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    if (koscv_create((int)words.size(), argv.data(), handle_) < 0) {
        if (handle_[0]) koscv_destroy(handle_);
        handle_[0] = 0;
        throw Failure("cannot build the station-channel view of " + dbname);
    }
    scv_ = koscv_get(handle_);
    if (!scv_) {
        koscv_destroy(handle_);
        handle_[0] = 0;
        throw Failure("cannot find the station-channel view of " + dbname);
    }
}

ChannelReader::~ChannelReader() {
    if (handle_[0]) koscv_destroy(handle_);
}

bool ChannelReader::read(const std::string &sta, const std::string &chan, double t0, double t1, bool calib,
                         bool zero_gaps, std::vector<ChannelSegment> *out) {
    out->clear();
    std::string key = sta + " " + chan;
    KOSCVStaChan *sc = nullptr;
    if (koscv_subset(handle_, (char *)key.c_str(), t0, t1, 1, 0, 0, &sc) < 0) {
        koscv_free_stachan(sc);
        return false;
    }
    Tbl *traces = nullptr;
    int rc = koscv_trace_get_table(scv_, sc, t0, t1, 2, 1, &traces);
    koscv_free_stachan(sc);
    if (rc < 0 || (zero_gaps && koscv_trace_process_gaps(traces, (char *)"zero") < 0)) {
        koscv_trace_free_table(traces);
        return false;
    }
    for (long i = 0; i < maxtbl(traces); i++) {
        KOSCVTrace *tr = (KOSCVTrace *)gettbl(traces, i);
        if (!tr) continue;
        bool nofile = false;
        for (long s = 0; s < maxtbl(tr->segments); s++)
            if (((KOSCVTraceSegment *)gettbl(tr->segments, s))->data_type == KOSCV_SEG_NOFILE) nofile = true;
        if (nofile || !tr->data || tr->nsamp <= 0) {
            if (nofile) elog_complain(0, "velk: the waveform file of wfdisc row %ld (%s %s) is missing; left out\n",
                                      tr->db.record, sta.c_str(), chan.c_str());
            continue;
        }
        ChannelSegment cs;
        cs.record = tr->db.record;
        cs.calib = tr->calib > 0 && std::isfinite(tr->calib) ? tr->calib : 0;
        cs.seg.t0 = tr->tstart;
        cs.seg.dt = tr->dt;
        cs.seg.data.assign(tr->data, tr->data + tr->nsamp);
        for (float &v : cs.seg.data) {
            if (std::fabs(v) > 1e29f || !std::isfinite(v)) {
                cs.gap_samples++;
                continue;
            }
            if (calib && cs.calib > 0) v = (float)(v * cs.calib);
        }
        out->push_back(std::move(cs));
    }
    koscv_trace_free_table(traces);
    std::stable_sort(out->begin(), out->end(),
                     [](const ChannelSegment &a, const ChannelSegment &b) { return a.seg.t0 < b.seg.t0; });
    return true;
}

Segment fill_gaps(const std::vector<ChannelSegment> &segments, long *skipped) {
    Segment out;
    if (skipped) *skipped = 0;
    if (segments.empty()) return out;
    const Segment &first = segments[0].seg;
    double dt = first.dt, tend = first.t0;
    for (const ChannelSegment &c : segments) {
        if (std::fabs(c.seg.dt - dt) > dt * 1e-6) continue;
        tend = std::max(tend, c.seg.t0 + dt * ((double)c.seg.data.size() - 1));
    }
    long n = (long)std::llround((tend - first.t0) / dt) + 1;
    out.t0 = first.t0;
    out.dt = dt;
    out.data.assign((size_t)n, 0.0f);
    for (const ChannelSegment &c : segments) {
        if (std::fabs(c.seg.dt - dt) > dt * 1e-6) {
            if (skipped) (*skipped)++;
            continue;
        }
        long off = (long)std::llround((c.seg.t0 - first.t0) / dt);
        for (size_t k = 0; k < c.seg.data.size(); k++) {
            long i = off + (long)k;
            if (i < 0 || i >= n) continue;
            float v = c.seg.data[k];
            // A gap sample never overwrites a sample an earlier row gave.
            if (std::fabs(v) > 1e29f || !std::isfinite(v)) continue;
            out.data[(size_t)i] = v;
        }
    }
    return out;
}

}  // namespace velk
