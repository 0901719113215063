// The drawing code of velk: the min/max waveform path, axes and ticks, text
// escaping, and gap filling of channel segments.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "pictures.h"
#include "svg.h"
#include "velk.h"
#include "wfread.h"

using namespace velk;

namespace {

// The (x, y) points of path data, and the number of subpaths.
std::vector<std::pair<double, double>> points(const std::string &d, int *subpaths = nullptr) {
    std::vector<std::pair<double, double>> pts;
    std::string clean;
    int m = 0;
    for (char c : d) {
        if (c == 'M') m++;
        clean += (c == 'M' || c == 'L') ? ' ' : c;
    }
    std::istringstream in(clean);
    double x, y;
    while (in >> x >> y) pts.emplace_back(x, y);
    if (subpaths) *subpaths = m;
    return pts;
}

}  // namespace

TEST(WaveformPath, OneMinAndMaxPerColumnKeepsEveryPeak) {
    // An hour at 100 samples per second on 1000 pixels: 360 samples a column.
    const long n = 360000;
    std::vector<float> data((size_t)n);
    for (long k = 0; k < n; k++) data[(size_t)k] = (float)std::sin(k * 0.01);
    data[123457] = 50.0f;   // a one-sample spike up
    data[300001] = -70.0f;  // and one down
    Axis x{0, 3600, 0, 1000};
    Axis y{-100, 100, 200, 0};
    std::string d = waveform_path(data.data(), n, 0.0, 0.01, x, y);
    auto pts = points(d);
    EXPECT_LE(pts.size(), 2000u);
    EXPECT_GE(pts.size(), 1000u);
    EXPECT_LT(d.size(), 30000u);
    bool up = false, down = false;
    for (auto &p : pts) {
        up = up || std::fabs(p.second - y.px(50)) < 0.06;
        down = down || std::fabs(p.second - y.px(-70)) < 0.06;
    }
    EXPECT_TRUE(up) << "the upward spike is lost";
    EXPECT_TRUE(down) << "the downward spike is lost";
    // Columns advance left to right and stay inside the axis.
    for (size_t i = 1; i < pts.size(); i++) ASSERT_GE(pts[i].first, pts[i - 1].first);
    EXPECT_GE(pts.front().first, 0);
    EXPECT_LE(pts.back().first, 1000.5);
}

TEST(WaveformPath, MinAndMaxInTheOrderTheyOccur) {
    // Two columns of two samples: max before min, then min before max.
    std::vector<float> data = {5, -5, -3, 3};
    Axis x{0, 4, 0, 2};  // two samples a pixel
    Axis y{-10, 10, 20, 0};
    auto pts = points(waveform_path(data.data(), 4, 0.0, 1.0, x, y));
    ASSERT_EQ(pts.size(), 4u);
    EXPECT_DOUBLE_EQ(pts[0].second, y.px(5));
    EXPECT_DOUBLE_EQ(pts[1].second, y.px(-5));
    EXPECT_DOUBLE_EQ(pts[2].second, y.px(-3));
    EXPECT_DOUBLE_EQ(pts[3].second, y.px(3));
}

TEST(WaveformPath, GapsBreakTheLineAndOutsideIsLeftOut) {
    std::vector<float> data(100, 1.0f);
    for (int k = 40; k < 50; k++) data[(size_t)k] = 1e30f;
    data[70] = NAN;
    Axis x{0, 100, 0, 1000};  // ten pixels a sample: every sample its own point
    Axis y{0, 2, 100, 0};
    int sub = 0;
    auto pts = points(waveform_path(data.data(), 100, 0.0, 1.0, x, y), &sub);
    EXPECT_EQ(sub, 3);
    EXPECT_EQ(pts.size(), 89u);
    for (auto &p : pts) EXPECT_DOUBLE_EQ(p.second, 50);

    // A window that starts and ends inside the samples.
    Axis part{20.5, 30.5, 0, 100};
    pts = points(waveform_path(data.data(), 100, 0.0, 1.0, part, y));
    ASSERT_EQ(pts.size(), 10u);  // samples 21..30
    EXPECT_NEAR(pts.front().first, part.px(21), 0.051);
    // Nothing visible, bad steps and no data give nothing.
    Axis before{-50, -10, 0, 100};
    EXPECT_EQ(waveform_path(data.data(), 100, 0.0, 1.0, before, y), "");
    EXPECT_EQ(waveform_path(data.data(), 100, 0.0, 0.0, x, y), "");
    EXPECT_EQ(waveform_path(nullptr, 100, 0.0, 1.0, x, y), "");
    // A lone sample between gaps is still drawn (as a zero-length segment).
    std::vector<float> lone = {1e30f, 1.0f, 1e30f};
    pts = points(waveform_path(lone.data(), 3, 0.0, 1.0, Axis{0, 2, 0, 20}, y));
    EXPECT_EQ(pts.size(), 2u);
}

TEST(Axes, TicksAndLogAxes) {
    auto t = nice_ticks(0, 1600, 8);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.front(), 0);
    EXPECT_EQ(t.back(), 1600);
    EXPECT_EQ(t[1] - t[0], 200);
    t = nice_ticks(-0.013, 0.021, 5);
    for (double v : t) EXPECT_TRUE(v >= -0.013 && v <= 0.021);
    EXPECT_TRUE(nice_ticks(NAN, 1, 5).empty());
    EXPECT_EQ(decade_ticks(0.001, 20).size(), 5u);  // 0.001 .. 10
    EXPECT_TRUE(decade_ticks(-1, 10).empty());
    Axis lg{0.001, 100, 0, 500, true};
    EXPECT_DOUBLE_EQ(lg.px(0.1), 200);
    EXPECT_EQ(tick_label(1e-4), "1e-4");
    EXPECT_EQ(tick_label(200), "200");
}

TEST(Text, EscapingKeepsDocumentsWellFormed) {
    EXPECT_EQ(xml_escape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
    EXPECT_EQ(xml_escape("40\u00b0"), "40\u00b0");                // UTF-8 kept
    EXPECT_EQ(xml_escape(std::string("x\xff\x01y\xc3")), "x?y?");  // bad bytes and controls
    EXPECT_EQ(json_string("a\"\\\n\x01\xe9"), "\"a\\\"\\\\\\n\\u0001\\u00e9\"");
    EXPECT_EQ(json_number(NAN), "null");
    EXPECT_EQ(json_number(3), "3");
    EXPECT_EQ(num(-0.04), "0");
    EXPECT_EQ(num(12.34), "12.3");
}

TEST(Times, EveryLibraryFormAndRefusals) {
    EXPECT_DOUBLE_EQ(parse_time("2025-03-14 06:21:37.4", "t"), 1741933297.4);
    EXPECT_DOUBLE_EQ(parse_time("2025073 06:21:37.4", "t"), 1741933297.4);
    EXPECT_DOUBLE_EQ(parse_time("2025-03-14T06:21:37.4Z", "t"), 1741933297.4);
    EXPECT_DOUBLE_EQ(parse_time("2025/03/14 06:21:37.4 UTC", "t"), 1741933297.4);
    EXPECT_DOUBLE_EQ(parse_time("1741933297.4", "t"), 1741933297.4);
    EXPECT_THROW(parse_time("yesterday", "start time"), UsageError);
    EXPECT_THROW(parse_time("", "start time"), UsageError);
    EXPECT_THROW(parse_time("2025-13-40", "start time"), UsageError);
    EXPECT_THROW(check_sta_chan("TOOLONGSTA", "BHZ"), UsageError);
    EXPECT_THROW(check_sta_chan("AB C", "BHZ"), UsageError);
    EXPECT_NO_THROW(check_sta_chan("ANMO", "BHZ_00"));
}

TEST(FillGaps, JoinsSegmentsWithZerosAndSkipsOtherRates) {
    std::vector<ChannelSegment> segs(3);
    segs[0].seg = Segment{100.0, 0.5, {1, 2, 1e30f, 4}};  // a gap sample inside
    segs[1].seg = Segment{104.0, 0.5, {5, 6}};            // after a hole of 1.5 s
    segs[2].seg = Segment{101.0, 0.1, {9, 9, 9}};         // another rate
    long skipped = 0;
    Segment s = fill_gaps(segs, &skipped);
    EXPECT_EQ(skipped, 1);
    EXPECT_DOUBLE_EQ(s.t0, 100.0);
    std::vector<float> want = {1, 2, 0, 4, 0, 0, 0, 0, 5, 6};
    EXPECT_EQ(s.data, want);
    EXPECT_TRUE(fill_gaps({}, &skipped).data.empty());
}

TEST(Pictures, RecordSectionCarriesItsMapping) {
    SectionTrace a;
    a.sta = "AA<1";
    a.distance = 10;
    a.ptime = 140;
    a.segments.push_back(Segment{1000.0, 0.5, std::vector<float>(2000, 1.0f)});
    a.segments[0].data[500] = 5;
    SectionTrace b = a;
    b.sta = "BB";
    b.distance = 50;
    b.ptime = 2000;  // beyond the time axis: no mark
    std::string svg = record_section_svg({a, b}, {Curve{"P", {{10, 140}, {50, NAN}, {60, 620}}}}, 1000.0, 1000, "t");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("data-x0=\"([0-9.]+)\" data-x1=\"([0-9.]+)\"")));
    double x0 = std::stod(m[1]), x1 = std::stod(m[2]);
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("class=\"pmark\" data-sta=\"AA&lt;1\"[^>]*x1=\"([0-9.]+)\"")));
    EXPECT_NEAR(std::stod(m[1]), x0 + 140.0 / 1000 * (x1 - x0), 0.06);
    EXPECT_EQ(svg.find("data-sta=\"BB\" data-time"), std::string::npos);
    // Both traces are drawn; the curve is broken where the phase is absent.
    EXPECT_NE(svg.find("class=\"trace\" data-sta=\"BB\""), std::string::npos);
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("class=\"ttcurve\" data-phase=\"P\" d=\"([^\"]*)\"")));
    EXPECT_EQ(std::count(m[1].first, m[1].second, 'M'), 2);
}
