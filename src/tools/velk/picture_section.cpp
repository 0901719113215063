// picture_section.cpp -- the record section: traces against distance with
// travel-time curves and predicted P marks.
#include <algorithm>
#include <cmath>

#include "pictures.h"
#include "svg.h"
#include "velk.h"

namespace velk {

void segment_extent(const std::vector<Segment> &segments, double tlo, double thi, double *mean, double *peak) {
    double sum = 0;
    long count = 0;
    auto visit = [&](auto &&fn) {
        for (const Segment &s : segments) {
            if (!(s.dt > 0)) continue;
            long n = (long)s.data.size();
            long k0 = (long)std::max(0.0, std::ceil((tlo - s.t0) / s.dt));
            long k1 = (long)std::min((double)n - 1, std::floor((thi - s.t0) / s.dt));
            for (long k = k0; k <= k1; k++) {
                float v = s.data[(size_t)k];
                if (std::isfinite(v) && std::fabs(v) <= 1e29f) fn(v);
            }
        }
    };
    visit([&](float v) {
        sum += v;
        count++;
    });
    double m = count ? sum / (double)count : 0;
    double p = 0;
    visit([&](float v) { p = std::max(p, std::fabs(v - m)); });
    *mean = m;
    *peak = p;
}

namespace {

const char *curve_colour(const std::string &phase) {
    if (phase == "P") return "#1f5fbf";
    if (phase == "S") return "#c0392b";
    if (phase == "PP") return "#2e8b57";
    if (phase == "SS") return "#d4820a";
    return "#7a4fa0";
}

}  // namespace

std::string record_section_svg(const std::vector<SectionTrace> &traces, const std::vector<Curve> &curves,
                               double origin, double tmax, const std::string &title) {
    const double W = 1000, H = 760, left = 110, right = 980, top = 60, bottom = 690;
    double dmin = 0, dmax = 10;
    if (!traces.empty()) {
        dmin = dmax = traces[0].distance;
        for (const SectionTrace &t : traces) dmin = std::min(dmin, t.distance), dmax = std::max(dmax, t.distance);
    }
    double pad = std::max(2.0, (dmax - dmin) * 0.06);
    Axis x{0, tmax, left, right};
    Axis d{std::max(0.0, dmin - pad), std::min(180.0, dmax + pad), top, bottom};
    if (d.v1 <= d.v0) d.v1 = d.v0 + 1;

    // Half height of a trace: a little more than half the closest spacing.
    std::vector<double> ys;
    for (const SectionTrace &t : traces) ys.push_back(d.px(t.distance));
    std::sort(ys.begin(), ys.end());
    double gap = 60;
    for (size_t i = 1; i < ys.size(); i++)
        if (ys[i] - ys[i - 1] > 0.5) gap = std::min(gap, ys[i] - ys[i - 1]);
    double half = std::clamp(gap * 0.6, 8.0, 32.0);

    SvgDoc doc(W, H, title);
    doc.text(W / 2, 28, title, "text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\"");
    doc.text(W / 2, 46, "origin " + format_time(origin) + " UTC; each trace scaled to its peak",
             "text-anchor=\"middle\" fill=\"#555\"");
    draw_x_axis(doc, x, top, bottom, "time after origin (s)");
    for (double t : nice_ticks(d.v0, d.v1, 8)) {
        double p = d.px(t);
        doc.line(left - 5, p, left, p, "stroke=\"#333\"");
        doc.text(left - 8, p + 4, tick_label(t) + "\u00b0", "text-anchor=\"end\"");
    }
    doc.text(24, (top + bottom) / 2, "distance (degrees)",
             "text-anchor=\"middle\" transform=\"rotate(-90 24 " + num((top + bottom) / 2) + ")\"");

    doc.open_group("id=\"section\" data-origin=\"" + strprintf("%.3f", origin) + "\" data-t0=\"" + num(x.v0) +
                   "\" data-t1=\"" + strprintf("%.6g", x.v1) + "\" data-x0=\"" + num(x.p0) + "\" data-x1=\"" +
                   num(x.p1) + "\" data-d0=\"" + strprintf("%.6g", d.v0) + "\" data-d1=\"" + strprintf("%.6g", d.v1) +
                   "\" data-y0=\"" + num(d.p0) + "\" data-y1=\"" + num(d.p1) + "\"");
    doc.raw("<clipPath id=\"plotarea\"><rect x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" +
            num(right - left) + "\" height=\"" + num(bottom - top) + "\"/></clipPath>\n");

    // Traces first, curves over them.
    doc.open_group("clip-path=\"url(#plotarea)\"");
    for (const SectionTrace &t : traces) {
        double mean = 0, peak = 0;
        segment_extent(t.segments, origin + x.v0, origin + x.v1, &mean, &peak);
        double yc = d.px(t.distance);
        Axis ya{mean - (peak > 0 ? peak : 1), mean + (peak > 0 ? peak : 1), yc + half, yc - half};
        Axis xa{origin + x.v0, origin + x.v1, x.p0, x.p1};
        std::string dpath;
        for (const Segment &s : t.segments) {
            std::string p = waveform_path(s.data.data(), (long)s.data.size(), s.t0, s.dt, xa, ya);
            if (p.empty()) continue;
            if (!dpath.empty()) dpath += ' ';
            dpath += p;
        }
        doc.raw("<path class=\"trace\" data-sta=\"" + xml_escape(t.sta) + "\" data-distance=\"" +
                strprintf("%.4f", t.distance) + "\" d=\"" + dpath +
                "\" fill=\"none\" stroke=\"#222\" stroke-width=\"0.6\"/>\n");
    }
    for (const Curve &c : curves) {
        std::string dpath;
        bool pen = false;
        for (const auto &pt : c.points) {
            if (!std::isfinite(pt.second) || !x.contains(pt.second)) {
                pen = false;
                continue;
            }
            dpath += (pen ? " " : (dpath.empty() ? "M" : " M")) + num(x.px(pt.second)) + " " + num(d.px(pt.first));
            pen = true;
        }
        doc.raw("<path class=\"ttcurve\" data-phase=\"" + xml_escape(c.phase) + "\" d=\"" + dpath +
                "\" fill=\"none\" stroke=\"" + curve_colour(c.phase) +
                "\" stroke-width=\"1.4\" stroke-opacity=\"0.75\"/>\n");
    }
    for (const SectionTrace &t : traces) {
        if (!(t.ptime >= 0) || !x.contains(t.ptime)) continue;
        double px = x.px(t.ptime), yc = d.px(t.distance);
        doc.raw("<line class=\"pmark\" data-sta=\"" + xml_escape(t.sta) + "\" data-time=\"" +
                strprintf("%.3f", t.ptime) + "\" x1=\"" + num(px) + "\" y1=\"" + num(yc - half - 4) + "\" x2=\"" +
                num(px) + "\" y2=\"" + num(yc + half + 4) + "\" stroke=\"#1f5fbf\" stroke-width=\"2\"/>\n");
    }
    doc.close_group();
    for (const SectionTrace &t : traces)
        doc.text(left + 6, d.px(t.distance) - half * 0.55, t.sta, "font-size=\"11\" font-weight=\"bold\"");
    doc.close_group();

    // Legend.
    double lx = left;
    for (const Curve &c : curves) {
        doc.line(lx, H - 18, lx + 24, H - 18, std::string("stroke=\"") + curve_colour(c.phase) + "\" stroke-width=\"2\"");
        doc.text(lx + 30, H - 14, c.phase, "");
        lx += 80;
    }
    doc.line(lx, H - 24, lx, H - 12, "stroke=\"#1f5fbf\" stroke-width=\"2\"");
    doc.text(lx + 8, H - 14, "predicted P at the station", "");
    return doc.str();
}

}  // namespace velk
