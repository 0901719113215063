// picture_response.cpp -- an instrument response's amplitude and phase
// against frequency on logarithmic axes.
#include <algorithm>
#include <cmath>

#include "pictures.h"
#include "response.h"
#include "stock.h"
#include "svg.h"
#include "velk.h"

namespace velk {

std::string response_svg(Response *response, double fmin, double fmax, const std::string &title) {
    const double W = 900, H = 760, left = 90, right = 870;
    const double atop = 60, abot = 380, ptop = 420, pbot = 680;
    const int n = 400;
    std::vector<double> f, amp, phase;
    int mark = elog_mark();
    for (int i = 0; i < n; i++) {
        double fr = fmin * std::pow(fmax / fmin, (double)i / (n - 1));
        double re = 0, im = 0;
        if (eval_response(response, fr, &re, &im) < 0) continue;
        double a = std::hypot(re, im);
        if (!(a > 0) || !std::isfinite(a)) continue;
        f.push_back(fr);
        amp.push_back(a);
        phase.push_back(std::atan2(im, re) * 180 / M_PI);
    }
    elog_flush(0, mark);  // frequencies at a pole are simply left out

    SvgDoc doc(W, H, title);
    doc.text(W / 2, 28, title, "text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\"");
    Axis x{fmin, fmax, left, right, true};
    double amin = 1, amax = 10;
    if (!amp.empty()) {
        amin = *std::min_element(amp.begin(), amp.end());
        amax = *std::max_element(amp.begin(), amp.end());
    }
    // Whole decades around the amplitudes, at least one.
    double a0 = std::pow(10.0, std::floor(std::log10(amin))), a1 = std::pow(10.0, std::ceil(std::log10(amax)));
    if (a1 <= a0) a1 = a0 * 10;
    // A notch (a zero at the Nyquist frequency) would stretch the axis over
    // many empty decades: six below the peak's decade are enough.
    if (a1 / a0 > 1e7) a0 = a1 / 1e7;
    Axis ya{a0, a1, abot, atop, true};
    Axis yp{-180, 180, pbot, ptop};

    draw_x_axis(doc, x, atop, abot, "");
    draw_x_axis(doc, x, ptop, pbot, "frequency (Hz)");
    for (double v : decade_ticks(a0, a1)) {
        doc.line(left - 5, ya.px(v), left, ya.px(v), "stroke=\"#333\"");
        doc.line(left, ya.px(v), right, ya.px(v), "stroke=\"#ddd\" stroke-width=\"0.5\"");
        doc.text(left - 8, ya.px(v) + 4, tick_label(v), "text-anchor=\"end\"");
    }
    for (double v : {-180.0, -90.0, 0.0, 90.0, 180.0}) {
        doc.line(left - 5, yp.px(v), left, yp.px(v), "stroke=\"#333\"");
        doc.line(left, yp.px(v), right, yp.px(v), "stroke=\"#ddd\" stroke-width=\"0.5\"");
        doc.text(left - 8, yp.px(v) + 4, tick_label(v), "text-anchor=\"end\"");
    }
    doc.text(24, (atop + abot) / 2, "amplitude",
             "text-anchor=\"middle\" transform=\"rotate(-90 24 " + num((atop + abot) / 2) + ")\"");
    doc.text(24, (ptop + pbot) / 2, "phase (degrees)",
             "text-anchor=\"middle\" transform=\"rotate(-90 24 " + num((ptop + pbot) / 2) + ")\"");

    std::string da, dp;
    for (size_t i = 0; i < f.size(); i++) {
        double y = std::clamp(ya.px(std::max(amp[i], a0)), atop, abot);
        da += (i ? " L" : "M") + num(x.px(f[i])) + " " + num(y);
        // The phase wraps at +-180: a jump of more than 180 degrees starts a
        // new piece of line instead of a vertical stroke across the panel.
        bool jump = i > 0 && std::fabs(phase[i] - phase[i - 1]) > 180;
        dp += (i == 0 || jump ? (i ? " M" : "M") : " L") + num(x.px(f[i])) + " " + num(yp.px(phase[i]));
    }
    doc.raw("<path class=\"amplitude\" d=\"" + da + "\" fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.6\"/>\n");
    doc.raw("<path class=\"phase\" d=\"" + dp + "\" fill=\"none\" stroke=\"#c0392b\" stroke-width=\"1.6\"/>\n");
    return doc.str();
}

}  // namespace velk
