// svg.h -- writing SVG pictures: a document builder, axes that map values to
// pixels (linear or logarithmic), tick positions, and the waveform path that
// draws a trace as the minimum and maximum of its samples in each pixel
// column, so an hour at 100 samples per second stays a small file that still
// shows every peak.
#ifndef VELK_SVG_H
#define VELK_SVG_H

#include <string>
#include <vector>

namespace velk {

// A map from values v0..v1 to pixels p0..p1 (either may run backwards).
// A logarithmic axis needs v0 and v1 positive.
struct Axis {
    double v0 = 0, v1 = 1, p0 = 0, p1 = 1;
    bool log = false;
    double px(double v) const;
    bool contains(double v) const;  // v between v0 and v1 (inclusive)
};

// Coordinates as SVG text: one decimal, no trailing ".0".
std::string num(double v);
// Text with &, <, >, " and ' escaped (and control characters dropped).
std::string xml_escape(const std::string &text);

class SvgDoc {
public:
    SvgDoc(double width, double height, const std::string &title);
    void raw(const std::string &text) { body_ += text; }
    void line(double x1, double y1, double x2, double y2, const std::string &attrs);
    void text(double x, double y, const std::string &text, const std::string &attrs);
    void rect(double x, double y, double w, double h, const std::string &attrs);
    void path(const std::string &d, const std::string &attrs);
    void open_group(const std::string &attrs);
    void close_group();
    std::string str() const;
    double width() const { return width_; }
    double height() const { return height_; }

private:
    double width_, height_;
    std::string title_, body_;
    int depth_ = 0;
};

// About `approx` round tick values (steps of 1, 2 or 5 times a power of ten)
// between a and b inclusive.
std::vector<double> nice_ticks(double a, double b, int approx);
// The powers of ten between a and b (both positive).
std::vector<double> decade_ticks(double a, double b);
// A tick label: integers without decimals, others with up to 4 significant
// digits; powers of ten beyond 1e4 or below 1e-3 as 1e5.
std::string tick_label(double v);

// The path data of a sampled trace: samples data[0..n) at t0 + k dt, mapped
// through x (time) and y (value).  Samples outside x's range are left out;
// a gap sample (magnitude above 1e29, or not finite) breaks the line.  Each
// pixel column holding several samples contributes its minimum and maximum
// in the order they occur; a column with one sample, that sample.  Returns
// "" when nothing is visible.
std::string waveform_path(const float *data, long n, double t0, double dt, const Axis &x, const Axis &y);

// Draws a frame with tick marks and labels for a time axis (x) at the
// bottom of the rectangle x.p0..x.p1, ytop..ybottom.
void draw_x_axis(SvgDoc &doc, const Axis &x, double ytop, double ybottom, const std::string &label);

}  // namespace velk

#endif
