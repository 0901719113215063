// wfread.cpp -- one channel's samples in a window, read row by row through
// the trace layer, and gap filling for display and export.
#include "wfread.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "stock.h"
#include "tr.h"

namespace velk {

bool read_channel(Dbptr db, const std::string &sta, const std::string &chan, double t0, double t1, bool calib,
                  std::vector<ChannelSegment> *out) {
    out->clear();
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    if (wf.table < 0) return false;
    long n = 0;
    if (dbquery(wf, dbRECORD_COUNT, &n) < 0) return false;
    float *buf = nullptr;
    long cap = 0;
    for (wf.record = 0; wf.record < n; wf.record++) {
        char rsta[16] = "", rchan[16] = "", dtype[8] = "";
        double time = 0, endtime = 0, rate = 0, rcalib = 0;
        int mark = elog_mark();
        if (dbgetv(wf, 0, "sta", rsta, "chan", rchan, "time", &time, "endtime", &endtime, "samprate", &rate,
                   "calib", &rcalib, "datatype", dtype, (char *)0) < 0) {
            // A row that cannot be read is not ours to judge unless it is
            // of this channel; its text fields were still read.
            if (sta == rsta && chan == rchan) elog_complain(0, "velk: wfdisc row %ld cannot be read, left out\n", wf.record);
            else elog_flush(0, mark);
            continue;
        }
        if (sta != rsta || chan != rchan || endtime < t0 || time > t1) continue;
        double ts = 0, te = 0;
        long ns = 0;
        int rc = trgetwf(wf, &buf, &cap, t0, t1, &ts, &te, &ns);
        if (rc < 0) {
            trgetwf_error(rc, wf);
            elog_complain(0, "velk: wfdisc row %ld (%s %s) left out\n", wf.record, rsta, rchan);
            continue;
        }
        if (ns <= 0) continue;
        ChannelSegment cs;
        cs.record = wf.record;
        cs.calib = rcalib > 0 && std::isfinite(rcalib) ? rcalib : 0;
        cs.samprate = rate;
        cs.datatype = dtype;
        cs.seg.t0 = ts;
        cs.seg.dt = 1.0 / rate;
        cs.seg.data.assign(buf, buf + ns);
        if (calib && cs.calib > 0)
            for (float &v : cs.seg.data)
                if (std::fabs(v) <= 1e29f) v = (float)(v * cs.calib);
        out->push_back(std::move(cs));
    }
    free(buf);
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
            out.data[(size_t)i] = std::fabs(v) > 1e29f || !std::isfinite(v) ? 0.0f : v;
        }
    }
    return out;
}

}  // namespace velk
