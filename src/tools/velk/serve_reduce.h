// serve_reduce.h -- reducing a channel's samples in a time window to the
// smallest and largest value per pixel column, so a long window travels to a
// display as a few columns of numbers whatever its sample count.
#ifndef VELK_SERVE_REDUCE_H
#define VELK_SERVE_REDUCE_H

#include <string>
#include <vector>

namespace velk {

// A run of good samples: sample k at t0 + k dt (dt > 0).
struct SampleRun {
    double t0 = 0, dt = 1;
    const float *data = nullptr;
    long n = 0;
};

// The envelope of the window t0..t1 cut into `width` equal columns: for
// column c, lo[c] <= hi[c] bound the line drawn through the samples of every
// run over that column (the line between two samples of a run counts, so a
// zoomed-in window has no holes between samples); a column no run reaches
// is a gap and has has[c] false.  The window is closed (a sample at t1
// belongs to the last column).  Samples outside the window are left out
// except as the ends of a line crossing its edge.  Width must be positive
// and t1 > t0; otherwise the result is empty.
struct ColumnEnvelope {
    double t0 = 0, t1 = 0;
    std::vector<float> lo, hi;
    std::vector<char> has;
    long samples = 0;  // samples that fell inside the window
    // A gap marker (magnitude 1e29 or more) or NaN was among the values
    // read: the runs were not all samples, and lo and hi are not to be
    // used.  A caller can pass whole rows optimistically and split them at
    // their gaps only when this is set.
    bool marker_seen = false;
};

ColumnEnvelope reduce_columns(const std::vector<SampleRun> &runs, double t0, double t1, int width);

// The envelope as a JSON object: t0, t1, width, samples, and arrays "min"
// and "max" with null in the gap columns (values with 6 significant digits).
std::string envelope_json(const ColumnEnvelope &env);

}  // namespace velk

#endif
