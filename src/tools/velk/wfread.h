// wfread.h -- reading one channel's samples for a time window from a
// database's wfdisc rows, as segments in time order.
#ifndef VELK_WFREAD_H
#define VELK_WFREAD_H

#include <string>
#include <vector>

#include "db.h"
#include "pictures.h"

namespace velk {

// One segment of a channel with the wfdisc row it came from.
struct ChannelSegment {
    Segment seg;
    long record = -1;    // wfdisc row
    double calib = 0;    // the row's calib (0 when unknown)
    double samprate = 0;
    std::string datatype;
};

// Reads the wfdisc rows of sta and chan that overlap t0..t1, each through
// trgetwf, into segments sorted by time; with calib, samples are multiplied
// by the row's calib where it is known.  A row whose samples cannot be read
// is reported on standard error and left out.  False (with a message in the
// error register) when the wfdisc table cannot be read.
bool read_channel(Dbptr db, const std::string &sta, const std::string &chan, double t0, double t1, bool calib,
                  std::vector<ChannelSegment> *out);

// Joins the segments into one series at the first segment's rate from its
// start to the last one's end, gap samples and the holes between segments
// set to zero.  Segments at another rate are left out (and counted in
// *skipped).  Empty input gives an empty result.
Segment fill_gaps(const std::vector<ChannelSegment> &segments, long *skipped);

}  // namespace velk

#endif
