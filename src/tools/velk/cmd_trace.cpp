// cmd_trace.cpp -- "velk trace": one channel's samples in a time window:
// its segments (gaps between them), their extent, and a picture.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>

#include "dbopen.h"
#include "pictures.h"
#include "stock.h"
#include "velk.h"
#include "wfread.h"

namespace velk {

namespace {

struct TraceArgs {
    std::string db, sta, chan, t0s, t1s, svg;
    bool calib = false, fill = false, json = false;
};

int run_trace(const TraceArgs &a) {
    check_sta_chan(a.sta, a.chan);
    double t0 = parse_time(a.t0s, "start time"), t1 = parse_time(a.t1s, "end time");
    if (!(t1 > t0)) throw UsageError("the end time must be after the start time");
    {
        OpenDb check(a.db, "r", "wfdisc");  // a clear message for a database without waveforms
    }
    // A view of this channel in this window: names of plain characters
    // narrow the cache to the pair (others are matched by the subset).
    bool plain = true;
    for (char c : a.sta + a.chan) plain = plain && (isalnum((unsigned char)c) || c == '_' || c == '-');
    ChannelReader reader(a.db, t0, t1, 1, plain ? a.sta + ":" + a.chan : "");
    std::vector<ChannelSegment> segs;
    if (!reader.read(a.sta, a.chan, t0, t1, a.calib, a.fill, &segs))
        throw Failure("cannot read " + a.sta + " " + a.chan);
    if (segs.empty()) throw Failure("no samples of " + a.sta + " " + a.chan + " between " + format_time(t0) +
                                    " and " + format_time(t1));

    std::vector<Segment> shown;
    long skipped = 0;
    if (a.fill) {
        shown.push_back(fill_gaps(segs, &skipped));
    } else {
        for (const ChannelSegment &c : segs) shown.push_back(c.seg);
    }
    std::string json = "{\"sta\":" + json_string(a.sta) + ",\"chan\":" + json_string(a.chan) +
                       ",\"calibrated\":" + (a.calib ? "true" : "false") + ",\"segments\":[";
    if (!a.json)
        printf("# %s %s from %s to %s%s%s\n# %-23s %-23s %9s %9s %12s %12s %12s %6s\n", a.sta.c_str(),
               a.chan.c_str(), format_time(t0).c_str(), format_time(t1).c_str(), a.calib ? ", calibrated" : "",
               a.fill ? ", gaps filled with zeros" : "", "start", "end", "nsamp", "samprate", "min", "max", "mean",
               "gaps");
    for (size_t i = 0; i < shown.size(); i++) {
        const Segment &s = shown[i];
        double lo = HUGE_VAL, hi = -HUGE_VAL, sum = 0;
        long good = 0, gaps = 0;
        for (float v : s.data) {
            if (!std::isfinite(v) || std::fabs(v) > 1e29f) {
                gaps++;
                continue;
            }
            lo = std::min(lo, (double)v);
            hi = std::max(hi, (double)v);
            sum += v;
            good++;
        }
        double mean = good ? sum / (double)good : NAN;
        double end = s.t0 + s.dt * ((double)s.data.size() - 1);
        if (a.json)
            json += std::string(i ? "," : "") + "{\"time\":" + json_number(s.t0) + ",\"endtime\":" +
                    json_number(end) + ",\"nsamp\":" + json_number((double)s.data.size()) +
                    ",\"samprate\":" + json_number(1.0 / s.dt) + ",\"min\":" + json_number(good ? lo : NAN) +
                    ",\"max\":" + json_number(good ? hi : NAN) + ",\"mean\":" + json_number(mean) +
                    ",\"gap_samples\":" + json_number((double)gaps) + "}";
        else
            printf("  %-23s %-23s %9zu %9.4g %12.6g %12.6g %12.6g %6ld\n", format_time(s.t0).c_str(),
                   format_time(end).c_str(), s.data.size(), 1.0 / s.dt, good ? lo : NAN, good ? hi : NAN, mean,
                   gaps);
    }
    if (a.json) printf("%s]}\n", json.c_str());
    if (skipped) fprintf(stderr, "velk trace: %ld segment(s) at another sample rate left out of the filled trace\n", skipped);
    if (!a.svg.empty()) {
        Panel p;
        p.label = a.sta + " " + a.chan;
        p.segments = shown;
        // The picture spans the window, or the samples when they cover less.
        double first = shown.front().t0, last = first;
        for (const Segment &s : shown) {
            first = std::min(first, s.t0);
            last = std::max(last, s.t0 + s.dt * ((double)s.data.size() - 1));
        }
        double p0 = std::max(t0, first), p1 = std::min(t1, last);
        if (!(p1 > p0)) p1 = p0 + shown.front().dt;
        std::string svg = panels_svg({p}, p0, p1, p0, a.sta + " " + a.chan + (a.calib ? " (calibrated)" : ""));
        if (!write_file(a.svg, svg)) throw Failure("cannot write " + a.svg);
        if (!a.json) printf("# picture: %s\n", a.svg.c_str());
    }
    return 0;
}

}  // namespace

void register_trace(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<TraceArgs>();
    CLI::App *sub = app.add_subcommand("trace", "One channel's samples in a time window, listed and drawn");
    sub->add_option("DB", a->db, "The database (path prefix of its table files)")->required();
    sub->add_option("STA", a->sta, "Station")->required();
    sub->add_option("CHAN", a->chan, "Channel")->required();
    sub->add_option("T0", a->t0s, "Start time (epoch seconds, \"2024-03-01 12:00:00\", \"2024061 12:00\", ...)")
        ->required();
    sub->add_option("T1", a->t1s, "End time")->required();
    sub->add_flag("--calib", a->calib, "Multiply the samples by their calibration (ground units)");
    sub->add_flag("--fill-gaps", a->fill, "Join the segments, with zeros in the gaps");
    sub->add_option("--svg", a->svg, "Draw the trace into this SVG file");
    sub->add_flag("--json", a->json, "List as JSON");
    reg[sub] = [a] { return run_trace(*a); };
}

}  // namespace velk
