// picture_panels.cpp -- traces stacked in panels over one time axis, with
// picks and predicted arrival times marked.
#include <algorithm>
#include <cmath>

#include "pictures.h"
#include "svg.h"
#include "velk.h"

namespace velk {

std::string panels_svg(const std::vector<Panel> &panels, double t0, double t1, double tref,
                       const std::string &title) {
    const double W = 1100, left = 90, right = 1080, top = 60, ph = 120, gapv = 10;
    size_t np = std::max<size_t>(1, panels.size());
    double bottom = top + (double)np * ph + (double)(np - 1) * gapv;
    double H = bottom + 70;
    if (!(t1 > t0)) t1 = t0 + 1;
    Axis xa{t0, t1, left, right};
    Axis xrel{t0 - tref, t1 - tref, left, right};

    SvgDoc doc(W, H, title);
    doc.text(W / 2, 28, title, "text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\"");
    doc.text(W / 2, 46, "time in seconds after " + format_time(tref) + " UTC; each panel scaled to its peak",
             "text-anchor=\"middle\" fill=\"#555\"");
    doc.open_group("id=\"panels\" data-t0=\"" + strprintf("%.3f", t0) + "\" data-t1=\"" + strprintf("%.3f", t1) +
                   "\" data-x0=\"" + num(left) + "\" data-x1=\"" + num(right) + "\"");
    for (size_t i = 0; i < panels.size(); i++) {
        const Panel &p = panels[i];
        double ptop = top + (double)i * (ph + gapv), pbot = ptop + ph;
        doc.rect(left, ptop, right - left, ph, "fill=\"none\" stroke=\"#333\"");
        for (double t : nice_ticks(xrel.v0, xrel.v1, 8))
            doc.line(xrel.px(t), ptop, xrel.px(t), pbot, "stroke=\"#e4e4e4\" stroke-width=\"0.5\"");
        doc.text(left - 8, ptop + ph / 2 + 4, p.label, "text-anchor=\"end\" font-weight=\"bold\"");
        double mean = 0, peak = 0;
        segment_extent(p.segments, t0, t1, &mean, &peak);
        if (peak <= 0) peak = 1;
        Axis ya{mean - peak, mean + peak, pbot - 6, ptop + 6};
        std::string d;
        for (const Segment &s : p.segments) {
            std::string part = waveform_path(s.data.data(), (long)s.data.size(), s.t0, s.dt, xa, ya);
            if (part.empty()) continue;
            if (!d.empty()) d += ' ';
            d += part;
        }
        doc.raw("<path class=\"trace\" data-label=\"" + xml_escape(p.label) + "\" d=\"" + d +
                "\" fill=\"none\" stroke=\"#222\" stroke-width=\"0.7\"/>\n");
        doc.text(right - 4, ptop + 14, strprintf("peak %.4g", peak), "text-anchor=\"end\" font-size=\"10\" fill=\"#777\"");
        for (const Mark &m : p.marks) {
            if (!xa.contains(m.time)) continue;
            double x = xa.px(m.time);
            bool pick = m.kind == "pick";
            std::string colour = pick ? "#c0392b" : "#1f5fbf";
            doc.raw("<line class=\"" + std::string(pick ? "pick" : "predicted") + "\" data-time=\"" +
                    strprintf("%.3f", m.time) + "\" x1=\"" + num(x) + "\" y1=\"" + num(ptop) + "\" x2=\"" + num(x) +
                    "\" y2=\"" + num(pbot) + "\" stroke=\"" + colour + "\" stroke-width=\"1.2\"" +
                    (pick ? "" : " stroke-dasharray=\"5 3\"") + "/>\n");
            doc.text(x + 3, pick ? ptop + 12 : pbot - 4, m.label, "font-size=\"11\" fill=\"" + colour + "\"");
        }
    }
    doc.close_group();
    // The time axis under the last panel.
    for (double t : nice_ticks(xrel.v0, xrel.v1, 8)) {
        double x = xrel.px(t);
        doc.line(x, bottom, x, bottom + 5, "stroke=\"#333\"");
        doc.text(x, bottom + 18, tick_label(t), "text-anchor=\"middle\"");
    }
    doc.text((left + right) / 2, bottom + 36, "time (s)", "text-anchor=\"middle\"");
    doc.line(left, H - 16, left + 20, H - 16, "stroke=\"#c0392b\" stroke-width=\"1.2\"");
    doc.text(left + 26, H - 12, "pick", "");
    doc.line(left + 80, H - 16, left + 100, H - 16, "stroke=\"#1f5fbf\" stroke-width=\"1.2\" stroke-dasharray=\"5 3\"");
    doc.text(left + 106, H - 12, "predicted", "");
    return doc.str();
}

}  // namespace velk
