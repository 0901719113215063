// wfread.h -- reading channels of a waveform database through a
// station-channel view: the segments of one channel in a time window,
// calibrated and with gaps filled on request.
#ifndef VELK_WFREAD_H
#define VELK_WFREAD_H

#include <string>
#include <vector>

#include "koscv.h"
#include "pictures.h"

namespace velk {

// One waveform row's samples in a window.  Gap samples hold the trace
// layer's gap marker (above 1e29).
struct ChannelSegment {
    Segment seg;
    long record = -1;    // wfdisc row
    double calib = 0;    // the row's calib (from the calibration table when the row has none; 0 unknown)
    long gap_samples = 0;
};

// A station-channel view of a database (koscv), its cache built once for a
// window (0 and 0: every row) with `threads` workers, and read from as
// often as needed.  Accept expressions (koscv syntax, "STA:CHAN" with ':'
// for the blank) narrow the cache when given.
class ChannelReader {
public:
    ChannelReader(const std::string &dbname, double t0, double t1, int threads,
                  const std::string &accept = "", const std::string &reject = "", bool verbose = false);
    ~ChannelReader();
    ChannelReader(const ChannelReader &) = delete;
    ChannelReader &operator=(const ChannelReader &) = delete;

    KOSCV *view() const { return scv_; }
    const char *handle() const { return handle_; }

    // The wfdisc rows of sta and chan that overlap t0..t1, one segment per
    // row in time order; with calib the samples are multiplied by the
    // row's calibration; with zero_gaps gap samples inside rows become 0.
    // A row whose waveform file is missing is reported on standard error
    // and left out.  False (with messages in the error register) on failure.
    bool read(const std::string &sta, const std::string &chan, double t0, double t1, bool calib, bool zero_gaps,
              std::vector<ChannelSegment> *out);

private:
    char handle_[64] = "";
    KOSCV *scv_ = nullptr;
};

// Joins the segments into one series at the first segment's rate from its
// start to the last one's end, gap samples and the holes between segments
// set to zero.  Segments at another rate are left out (and counted in
// *skipped).  Empty input gives an empty result.
Segment fill_gaps(const std::vector<ChannelSegment> &segments, long *skipped);

}  // namespace velk

#endif
