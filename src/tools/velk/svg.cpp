// svg.cpp -- the SVG document builder, axes, ticks and the min/max waveform
// path used by every picture velk draws.
#include "svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "velk.h"

namespace velk {

double Axis::px(double v) const {
    if (log) {
        double a = std::log10(v0), b = std::log10(v1);
        return p0 + (std::log10(v) - a) / (b - a) * (p1 - p0);
    }
    return p0 + (v - v0) / (v1 - v0) * (p1 - p0);
}

bool Axis::contains(double v) const { return v >= std::min(v0, v1) && v <= std::max(v0, v1); }

std::string num(double v) {
    if (!std::isfinite(v)) return "0";
    double r = std::round(v * 10) / 10;
    if (r == 0) return "0";  // no "-0"
    char buf[40];
    if (r == std::floor(r))
        snprintf(buf, sizeof buf, "%.0f", r);
    else
        snprintf(buf, sizeof buf, "%.1f", r);
    return buf;
}

namespace {

// The length of the well-formed UTF-8 sequence at s[i], or 0.
size_t utf8_length(const std::string &s, size_t i) {
    unsigned char c = (unsigned char)s[i];
    size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++)
        if (((unsigned char)s[i + k] & 0xc0) != 0x80) return 0;
    return n;
}

}  // namespace

std::string xml_escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = (unsigned char)text[i];
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // XML 1.0 forbids most control characters; bytes above 0x7f are
            // kept when they form UTF-8, else replaced (a field user's table
            // may hold any bytes).
            if (c < 0x20 && c != '\t' && c != '\n') {
                continue;
            } else if (c >= 0x80) {
                size_t n = utf8_length(text, i);
                if (n == 0) {
                    out += '?';
                } else {
                    out.append(text, i, n);
                    i += n - 1;
                }
            } else {
                out += (char)c;
            }
        }
    }
    return out;
}

SvgDoc::SvgDoc(double width, double height, const std::string &title)
    : width_(width), height_(height), title_(title) {}

void SvgDoc::line(double x1, double y1, double x2, double y2, const std::string &attrs) {
    body_ += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) + "\" " +
             attrs + "/>\n";
}

void SvgDoc::text(double x, double y, const std::string &t, const std::string &attrs) {
    body_ += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" " + attrs + ">" + xml_escape(t) + "</text>\n";
}

void SvgDoc::rect(double x, double y, double w, double h, const std::string &attrs) {
    body_ += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" + num(h) + "\" " +
             attrs + "/>\n";
}

void SvgDoc::path(const std::string &d, const std::string &attrs) {
    if (d.empty()) return;
    body_ += "<path d=\"" + d + "\" " + attrs + "/>\n";
}

void SvgDoc::open_group(const std::string &attrs) {
    body_ += "<g " + attrs + ">\n";
    depth_++;
}

void SvgDoc::close_group() {
    if (depth_ == 0) return;
    body_ += "</g>\n";
    depth_--;
}

std::string SvgDoc::str() const {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width_) + "\" height=\"" + num(height_) +
           "\" viewBox=\"0 0 " + num(width_) + " " + num(height_) +
           "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"12\">\n";
    out += "<title>" + xml_escape(title_) + "</title>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += body_;
    for (int i = 0; i < depth_; i++) out += "</g>\n";
    out += "</svg>\n";
    return out;
}

std::vector<double> nice_ticks(double a, double b, int approx) {
    std::vector<double> ticks;
    if (!std::isfinite(a) || !std::isfinite(b) || approx < 1) return ticks;
    if (a > b) std::swap(a, b);
    double range = b - a;
    if (range <= 0) return {a};
    double raw = range / approx;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double step = mag;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * mag >= raw) {
            step = m * mag;
            break;
        }
    double first = std::ceil(a / step - 1e-9) * step;
    for (int i = 0; i < 1000; i++) {
        double v = first + i * step;
        if (v > b + step * 1e-9) break;
        ticks.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    }
    return ticks;
}

std::vector<double> decade_ticks(double a, double b) {
    std::vector<double> ticks;
    if (!(a > 0) || !(b > 0)) return ticks;
    if (a > b) std::swap(a, b);
    for (int e = (int)std::ceil(std::log10(a) - 1e-9); e <= (int)std::floor(std::log10(b) + 1e-9) && e < 400; e++)
        ticks.push_back(std::pow(10.0, e));
    return ticks;
}

std::string tick_label(double v) {
    double av = std::fabs(v);
    if (av != 0 && (av >= 1e5 || av < 1e-3)) {
        int e = (int)std::lround(std::log10(av));
        if (std::fabs(av - std::pow(10.0, e)) < 1e-9 * av) return strprintf("%s1e%d", v < 0 ? "-" : "", e);
        return strprintf("%.3g", v);
    }
    if (v == std::round(v)) return strprintf("%.0f", v);
    return strprintf("%.4g", v);
}

std::string waveform_path(const float *data, long n, double t0, double dt, const Axis &x, const Axis &y) {
    std::string d;
    if (!data || n <= 0 || !(dt > 0) || !std::isfinite(t0)) return d;
    double tlo = std::min(x.v0, x.v1), thi = std::max(x.v0, x.v1);
    double kfirst = std::max(0.0, std::ceil((tlo - t0) / dt - 1e-9));
    double klast = std::min((double)(n - 1), std::floor((thi - t0) / dt + 1e-9));
    if (!(kfirst <= klast)) return d;
    long k0 = (long)kfirst, k1 = (long)klast;

    // Points of the current unbroken run, written out at a gap or the end.
    std::vector<std::pair<double, double>> run;
    auto write_run = [&]() {
        if (run.empty()) return;
        if (run.size() == 1) run.push_back(run[0]);  // a lone sample: a zero-length segment
        if (!d.empty()) d += ' ';
        d += 'M' + num(run[0].first) + ' ' + num(run[0].second) + " L";
        for (size_t i = 1; i < run.size(); i++) {
            d += num(run[i].first);
            d += ' ';
            d += num(run[i].second);
            if (i + 1 < run.size()) d += ' ';
        }
        run.clear();
    };
    // The current pixel column: index, sample count, extremes and where
    // they occurred.
    long col = 0, count = 0, kmin = 0, kmax = 0;
    float vmin = 0, vmax = 0;
    double first_px = 0;
    auto flush_column = [&]() {
        if (count == 0) return;
        double cx = col + 0.5;
        if (count == 1 || vmin == vmax) {
            run.emplace_back(count == 1 ? first_px : cx, y.px(vmin));
        } else if (kmin < kmax) {
            run.emplace_back(cx, y.px(vmin));
            run.emplace_back(cx, y.px(vmax));
        } else {
            run.emplace_back(cx, y.px(vmax));
            run.emplace_back(cx, y.px(vmin));
        }
        count = 0;
    };
    for (long k = k0; k <= k1; k++) {
        float v = data[k];
        if (!std::isfinite(v) || std::fabs(v) > 1e29f) {
            flush_column();
            write_run();
            continue;
        }
        double p = x.px(t0 + (double)k * dt);
        long c = (long)std::floor(p);
        if (count > 0 && c != col) flush_column();
        if (count == 0) {
            col = c;
            first_px = p;
            vmin = vmax = v;
            kmin = kmax = k;
        } else {
            if (v < vmin) vmin = v, kmin = k;
            if (v > vmax) vmax = v, kmax = k;
        }
        count++;
    }
    flush_column();
    write_run();
    return d;
}

void draw_x_axis(SvgDoc &doc, const Axis &x, double ytop, double ybottom, const std::string &label) {
    double left = std::min(x.p0, x.p1), right = std::max(x.p0, x.p1);
    doc.rect(left, ytop, right - left, ybottom - ytop, "fill=\"none\" stroke=\"#333\" stroke-width=\"1\"");
    std::vector<double> ticks = x.log ? decade_ticks(x.v0, x.v1) : nice_ticks(x.v0, x.v1, 8);
    for (double t : ticks) {
        double p = x.px(t);
        doc.line(p, ybottom, p, ybottom + 5, "stroke=\"#333\"");
        doc.line(p, ytop, p, ybottom, "stroke=\"#ddd\" stroke-width=\"0.5\"");
        doc.text(p, ybottom + 18, tick_label(t), "text-anchor=\"middle\"");
    }
    doc.text((left + right) / 2, ybottom + 36, label, "text-anchor=\"middle\"");
}

}  // namespace velk
