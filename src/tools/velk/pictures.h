// pictures.h -- the pictures velk draws, each built as SVG text: a record
// section with travel-time curves, stacked trace panels with picks and
// predicted times, a moment tensor's beach ball and an instrument response.
#ifndef VELK_PICTURES_H
#define VELK_PICTURES_H

#include <string>
#include <utility>
#include <vector>

struct Response;

namespace velk {

// A run of samples: sample k at t0 + k dt.  Gap samples (above 1e29 in
// magnitude) break the drawn line.
struct Segment {
    double t0 = 0, dt = 1;
    std::vector<float> data;
};

// The mean and the largest departure from it of the samples of the
// segments between tlo and thi (gaps left out); 0 and 0 when none.
void segment_extent(const std::vector<Segment> &segments, double tlo, double thi, double *mean, double *peak);

// One station in a record section: its vertical trace, its distance from
// the event (degrees) and its predicted first-arrival P time after the
// origin (seconds; negative for none).
struct SectionTrace {
    std::string sta;
    double distance = 0;
    double ptime = -1;
    std::vector<Segment> segments;
};

// A travel-time curve: (distance in degrees, seconds after the origin)
// points; a NaN time breaks the curve.
struct Curve {
    std::string phase;
    std::vector<std::pair<double, double>> points;
};

// A record section: every trace drawn at its distance (down the picture)
// against time after the origin (across, 0 to tmax seconds), each scaled to
// its own peak, with the curves drawn over them and each trace's predicted P
// marked.  The plot group carries its mapping as data-* attributes (origin,
// t0, t1, x0, x1, d0, d1, y0, y1), each trace is a path of class "trace" and
// each P mark a line of class "pmark", both with data-sta.
std::string record_section_svg(const std::vector<SectionTrace> &traces, const std::vector<Curve> &curves,
                               double origin, double tmax, const std::string &title);

// A time mark on a panel: kind "pick" (solid) or "predicted" (dashed).
struct Mark {
    double time = 0;
    std::string label;
    std::string kind;
};

// One panel of a stacked plot: a label, its samples, its marks.
struct Panel {
    std::string label;
    std::vector<Segment> segments;
    std::vector<Mark> marks;
};

// Panels stacked one above the other over a shared time axis t0..t1
// (labelled in seconds after tref), each scaled to its own peak.
std::string panels_svg(const std::vector<Panel> &panels, double t0, double t1, double tref,
                       const std::string &title);

// The beach ball of the tensor m = (mxx, myy, mzz, mxy, mxz, myz) in a
// square of `size` pixels: regions of positive radiation shaded, nodal
// curves of the deviatoric part solid, those of its best double couple
// dashed.  The frame's x axis points right and y up; the upper hemisphere
// is drawn as seen from +z, or with lower the lower hemisphere (the
// convention of focal mechanisms when x is east, y north and z up).  False
// (with the library's messages in the error register) when the tensor
// cannot be analysed; *summary receives a line on its eigenvalues and
// double-couple share.
bool beachball_svg(const double m[6], double size, bool lower, const std::string &title, std::string *svg,
                   std::string *summary);

// Amplitude and phase of a response against frequency (fmin..fmax Hz, log
// axes), in two panels.  Frequencies where it cannot be evaluated are left
// out.
std::string response_svg(Response *response, double fmin, double fmax, const std::string &title);

}  // namespace velk

#endif
