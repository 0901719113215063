// The velk program run as a user runs it: the demo and its pictures, every
// command on the demo database, and bad arguments (exit status and
// messages).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "db.h"
#include "rzvtest.h"
#include "stock.h"
#include "tt.h"
#include "velkrun.h"

using velktest::Result;
using velktest::velk;

namespace {

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

// One demo run shared by the tests of this program.
class Demo : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tmp_ = new rzvtest::TempDir;
        demo_ = new Result(velk({"demo", "out"}, tmp_->path()));
    }
    static void TearDownTestSuite() {
        delete demo_;
        delete tmp_;
    }
    static std::string dir() { return tmp_->path(); }
    static std::string out(const std::string &name) { return tmp_->path() + "/out/" + name; }
    static const Result &demo() { return *demo_; }
    Result run(const std::vector<std::string> &args) { return velk(args, tmp_->path()); }

private:
    static rzvtest::TempDir *tmp_;
    static Result *demo_;
};
rzvtest::TempDir *Demo::tmp_ = nullptr;
Result *Demo::demo_ = nullptr;

// The start tags (from '<' to '>') of the SVG elements that hold `marker`.
// Plain searches: a path of tens of kilobytes is too long for the
// recursive std::regex of the sanitizer builds.
std::vector<std::string> tags_with(const std::string &svg, const std::string &marker) {
    std::vector<std::string> tags;
    for (size_t pos = svg.find(marker); pos != std::string::npos; pos = svg.find(marker, pos + 1)) {
        size_t open = svg.rfind('<', pos), close = svg.find('>', pos);
        if (open == std::string::npos || close == std::string::npos) break;
        tags.push_back(svg.substr(open, close - open + 1));
    }
    return tags;
}

// The value of attribute `name` in a start tag ("" when absent).
std::string attr_of(const std::string &tag, const std::string &name) {
    std::string key = " " + name + "=\"";
    size_t at = tag.find(key);
    if (at == std::string::npos) return "";
    size_t start = at + key.size(), end = tag.find('"', start);
    return end == std::string::npos ? "" : tag.substr(start, end - start);
}

}  // namespace

TEST_F(Demo, WritesTheDatabaseSummaryAndPictures) {
    ASSERT_EQ(demo().status, 0) << demo().err;
    EXPECT_EQ(demo().err, "");
    for (const char *f : {"demo.wfdisc", "demo.site", "demo.sitechan", "demo.sensor", "demo.instrument",
                          "demo.calibration", "demo.snetsta", "demo.schanloc", "demo.origin", "demo.origerr",
                          "demo.assoc", "demo.arrival", "demo.netmag", "demo.stamag", "demo.mt", "demo.detection",
                          "summary.txt", "record_section.svg", "beachball.svg", "response.svg"})
        EXPECT_GT(file_size(out(f)), 0) << f;
    std::string summary = rzvtest::read_file(out("summary.txt"));
    EXPECT_EQ(demo().out.find(summary.substr(0, 200)), 0u);  // printed too
    for (const char *s : {"KV01", "KV10", "origin 1", "* origin 2", "mb 5.6, Ms 5.4", "gap: KV04 BHZ", "moment tensor",
                          "compute pool: 10 workers", "grid grid", "KV06.BHN.sac", "detection KV10",
                          "station-channel view koscv1: 30 channels", "KV04 BHZ     XV_KV04_BHZ_00", "2 wfdisc",
                          "gaps filled with zeros: plot vector", "rotated to radial"})
        EXPECT_NE(summary.find(s), std::string::npos) << s;
    // A second run into the same directory starts afresh.
    Result again = run({"demo", "out", "--quiet"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "");
    Dbptr db;
    ASSERT_EQ(dbopen(out("demo").c_str(), "r", &db), 0);
    long n = 0;
    dbquery(dblookup(db, 0, "wfdisc", 0, 0), dbRECORD_COUNT, &n);
    EXPECT_EQ(n, 31);  // ten stations, three channels, one split by its gap
    dbclose(db);
}

TEST_F(Demo, PicturesAreWellFormedAndRender) {
    ASSERT_EQ(demo().status, 0);
    if (!velktest::have_tool("xmllint") || !velktest::have_tool("rsvg-convert"))
        GTEST_SKIP() << "xmllint and rsvg-convert are not installed";
    for (const char *f : {"record_section", "station_KV06", "beachball", "response"}) {
        std::string svg = out(std::string(f) + ".svg"), png = out(std::string(f) + ".png");
        EXPECT_EQ(velktest::sh("xmllint --noout " + velktest::quote(svg)), 0) << svg;
        EXPECT_EQ(velktest::sh("rsvg-convert " + velktest::quote(svg) + " -o " + velktest::quote(png)), 0) << svg;
        EXPECT_GT(file_size(png), 5000) << png;
        EXPECT_LT(file_size(svg), 400 * 1024) << svg;
    }
}

TEST_F(Demo, RecordSectionHasOneTracePerStationAndPMarksWhereTheTimesSayTheyGo) {
    ASSERT_EQ(demo().status, 0);
    std::string svg = rzvtest::read_file(out("record_section.svg"));
    auto plot = tags_with(svg, "id=\"section\"");
    ASSERT_EQ(plot.size(), 1u);
    double x0 = std::stod(attr_of(plot[0], "data-x0")), x1 = std::stod(attr_of(plot[0], "data-x1"));
    double t0 = std::stod(attr_of(plot[0], "data-t0")), t1 = std::stod(attr_of(plot[0], "data-t1"));
    ASSERT_GT(x1, x0);
    ASSERT_GT(t1, t0);

    // The stations and the preferred origin, read with the library.
    Dbptr db;
    ASSERT_EQ(dbopen(out("demo").c_str(), "r", &db), 0);
    Dbptr ev = dblookup(db, 0, "event", 0, 0), org = dblookup(db, 0, "origin", 0, 0);
    ev.record = 0;
    long prefor = -1, norg = 0;
    dbgetv(ev, 0, "prefor", &prefor, (char *)0);
    dbquery(org, dbRECORD_COUNT, &norg);
    double olat = 0, olon = 0, odepth = 0;
    for (org.record = 0; org.record < norg; org.record++) {
        long orid = 0;
        dbgetv(org, 0, "orid", &orid, (char *)0);
        if (orid == prefor) dbgetv(org, 0, "lat", &olat, "lon", &olon, "depth", &odepth, (char *)0);
    }
    Dbptr site = dblookup(db, 0, "site", 0, 0);
    long nsite = 0;
    dbquery(site, dbRECORD_COUNT, &nsite);
    ASSERT_GE(nsite, 8);
    std::map<std::string, double> ptime;
    Hook *hook = nullptr;
    for (site.record = 0; site.record < nsite; site.record++) {
        char sta[16];
        double lat, lon, elev;
        dbgetv(site, 0, "sta", sta, "lat", &lat, "lon", &lon, "elev", &elev, (char *)0);
        TTGeometry g = {};
        g.source.lat = olat;
        g.source.lon = olon;
        g.source.z = odepth;
        g.receiver.lat = lat;
        g.receiver.lon = lon;
        g.receiver.z = -elev;
        Tbl *times = nullptr;
        ASSERT_EQ(ttcalc(0, "iasp91", "P", TT_FIRST, &g, &times, &hook), 0);
        ASSERT_EQ(maxtbl(times), 1);
        ptime[sta] = ((TTTime *)gettbl(times, 0))->value;
        freetbl(times, nullptr);
        double delta = 0;
        dist(olat * M_PI / 180, olon * M_PI / 180, lat * M_PI / 180, lon * M_PI / 180, &delta, nullptr);
        EXPECT_GE(delta * 180 / M_PI, 2.0);
        EXPECT_LE(delta * 180 / M_PI, 90.0);
    }
    free_hook(&hook);
    dbclose(db);

    std::multiset<std::string> traces;
    for (const std::string &tag : tags_with(svg, "class=\"trace\""))
        if (attr_of(tag, "d").compare(0, 1, "M") == 0) traces.insert(attr_of(tag, "data-sta"));
    EXPECT_EQ(traces.size(), ptime.size());
    for (auto &p : ptime) EXPECT_EQ(traces.count(p.first), 1u) << p.first;

    std::set<std::string> marked;
    for (const std::string &tag : tags_with(svg, "class=\"pmark\"")) {
        std::string sta = attr_of(tag, "data-sta");
        ASSERT_TRUE(ptime.count(sta)) << sta;
        double want = x0 + (ptime[sta] - t0) / (t1 - t0) * (x1 - x0);
        EXPECT_NEAR(std::stod(attr_of(tag, "x1")), want, 1.0) << sta;
        EXPECT_EQ(attr_of(tag, "x1"), attr_of(tag, "x2")) << sta;  // a vertical mark
        marked.insert(sta);
    }
    EXPECT_EQ(marked.size(), ptime.size());
}

TEST_F(Demo, StationPictureHasComponentsRotationPicksAndPredictions) {
    ASSERT_EQ(demo().status, 0);
    std::string svg = rzvtest::read_file(out("station_KV06.svg"));
    for (const char *label : {"KV06 BHZ", "KV06 BHN", "KV06 BHE", "KV06 R", "KV06 T"})
        EXPECT_NE(svg.find(std::string("data-label=\"") + label + "\" d=\"M"), std::string::npos) << label;
    EXPECT_GE(tags_with(svg, "class=\"pick\"").size(), 5u);
    EXPECT_GE(tags_with(svg, "class=\"predicted\"").size(), 10u);
}

TEST_F(Demo, TraceListsSegmentsAroundTheGapAndFillsIt) {
    ASSERT_EQ(demo().status, 0);
    Result r = run({"trace", "out/demo", "KV04", "BHZ", "2025-03-14 06:45:00", "2025-03-14 06:50"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::regex row("\n  2025-\\S+ \\S+ +\\S+ \\S+ +([0-9]+) +40 ");
    std::vector<long> counts;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), row); it != std::sregex_iterator(); ++it)
        counts.push_back(std::stol((*it)[1].str()));
    ASSERT_EQ(counts.size(), 2u) << r.out;
    Result f = run({"trace", "out/demo", "KV04", "BHZ", "2025073 06:45", "1741935000", "--fill-gaps", "--calib", "--json",
                 "--svg", "kv04.svg"});
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.out.find("\"nsamp\":12001"), std::string::npos) << f.out;  // 300 s at 40 samples/s
    EXPECT_NE(f.out.find("\"calibrated\":true"), std::string::npos);
    EXPECT_EQ(f.out.find("# picture"), std::string::npos);  // JSON only
    EXPECT_GT(file_size(dir() + "/kv04.svg"), 1000);
}

TEST_F(Demo, OneHourAt100SamplesPerSecondMakesASmallPicture) {
    // A database of one channel: an hour at 100 samples/s as s4 counts.
    const long n = 360000;
    std::vector<unsigned char> bytes((size_t)n * 4);
    for (long k = 0; k < n; k++) {
        int32_t v = (int32_t)(1000 * std::sin(k * 0.05) + (k % 7) * 10);
        if (k == 200000) v = 90000;
        for (int b = 0; b < 4; b++) bytes[(size_t)(4 * k + b)] = (unsigned char)((uint32_t)v >> (24 - 8 * b));
    }
    FILE *fp = fopen((dir() + "/hour.s4").c_str(), "wb");
    ASSERT_TRUE(fp);
    fwrite(bytes.data(), 1, bytes.size(), fp);
    fclose(fp);
    Dbptr db;
    ASSERT_EQ(dbopen((dir() + "/hour").c_str(), "r+", &db), 0);
    ASSERT_GE(dbaddv(dblookup(db, 0, "wfdisc", 0, 0), 0, "sta", "HR1", "chan", "HHZ", "time", 1.7e9, "endtime",
                     1.7e9 + (n - 1) / 100.0, "nsamp", n, "samprate", 100.0, "datatype", "s4", "dir", ".", "dfile",
                     "hour.s4", "foff", 0L, (char *)0),
              0);
    dbclose(db);
    Result r = run({"trace", "hour", "HR1", "HHZ", "1.7e9", "1700003600", "--svg", "hour.svg"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string svg = rzvtest::read_file(dir() + "/hour.svg");
    EXPECT_LT(svg.size(), 200u * 1024);
    EXPECT_GT(svg.size(), 10u * 1024);
    if (velktest::have_tool("xmllint")) {
        EXPECT_EQ(velktest::sh("xmllint --noout " + dir() + "/hour.svg"), 0);
    }
    // The spike is the panel's peak: some point of the path reaches the
    // panel's top margin.
    auto traces = tags_with(svg, "class=\"trace\"");
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_NE(attr_of(traces[0], "d").find(" 66 "), std::string::npos);
}

TEST_F(Demo, TravelTimes) {
    Result r = run({"tt", "35", "10", "30"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Pn"), std::string::npos);
    EXPECT_NE(r.out.find(" S "), std::string::npos);
    Result j = run({"tt", "--model", "ak135", "--phases", "P,PcP", "--all", "--json", "100", "60"});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_EQ(j.out.front(), '[');
    EXPECT_NE(j.out.find("\"phase\":\"PcP\""), std::string::npos);
    Result bad = run({"tt", "10", "181"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("outside 0 to 180"), std::string::npos);
    EXPECT_NE(bad.err.find("Usage"), std::string::npos);
    EXPECT_EQ(run({"tt", "--model", "prem", "10", "20"}).status, 2);
    Result unknown = run({"tt", "--phases", "XYZ", "10", "20"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("ttcalc"), std::string::npos) << unknown.err;  // the library's own message
    EXPECT_EQ(unknown.out, "");  // no table header before the failure
}

TEST_F(Demo, SacFilesRoundTripThroughADatabase) {
    ASSERT_EQ(demo().status, 0);
    Result from = run({"sac", "from-db", "out/demo", "KV04", "BHZ", "2025-03-14 06:45:00", "2025-03-14 06:50", "kv04.sac"});
    ASSERT_EQ(from.status, 0) << from.err;
    EXPECT_GT(file_size(dir() + "/kv04.sac"), 632);
    EXPECT_GT(file_size(dir() + "/kv04.sac.2"), 632);  // after the gap
    Result dump = run({"sac", "dump", "kv04.sac", "--samples", "2"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    for (const char *s : {"KSTNM     KV04", "NPTS      3896", "NORID     2", "KNETWK    XV", "GCARC"})
        EXPECT_NE(dump.out.find(s), std::string::npos) << s << "\n" << dump.out;
    Result js = run({"sac", "dump", "kv04.sac.2", "--json"});
    ASSERT_EQ(js.status, 0);
    EXPECT_NE(js.out.find("\"nsamp\":6505"), std::string::npos);

    Result to = run({"sac", "to-db", "back", "kv04.sac", "kv04.sac.2"});
    ASSERT_EQ(to.status, 0) << to.err;
    Result orig = run({"trace", "out/demo", "KV04", "BHZ", "2025-03-14 06:45:00", "2025-03-14 06:50", "--json"});
    Result back = run({"trace", "back", "KV04", "BHZ", "2025-03-14 06:45:00", "2025-03-14 06:50", "--json"});
    ASSERT_EQ(back.status, 0) << back.err;
    // Same segments, samples and statistics: only the calibration flag and
    // the rate's last digits (SAC keeps the interval as a float) may differ.
    auto strip = [](std::string s) { return std::regex_replace(s, std::regex("\"samprate\":[0-9.]+"), ""); };
    EXPECT_EQ(strip(back.out), strip(orig.out));
    std::string origin = rzvtest::read_file(dir() + "/back.origin");
    EXPECT_EQ(std::count(origin.begin(), origin.end(), '\n'), 1);  // one event for both files
    EXPECT_GT(file_size(dir() + "/back.site"), 0);

    // A file that is not SAC: nothing is written.
    rzvtest::write_file(dir() + "/junk.sac", "not a sac file");
    Result bad = run({"sac", "to-db", "junkdb", "kv04.sac", "junk.sac"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("junk.sac"), std::string::npos) << bad.err;
    EXPECT_EQ(file_size(dir() + "/junkdb.wfdisc"), -1);
    EXPECT_EQ(run({"sac", "dump", "missing.sac"}).status, 1);
    EXPECT_EQ(run({"sac", "from-db", "out/demo", "KV04", "BHZ", "2025-03-14 06:45", "2025-03-14 06:40", "x"}).status, 2);
    EXPECT_EQ(run({"sac", "from-db", "out/demo", "NONE", "BHZ", "0", "1e9", "x.sac"}).status, 1);
    EXPECT_EQ(run({"sac"}).status, 2);
}

TEST_F(Demo, BeachBallAndResponse) {
    ASSERT_EQ(demo().status, 0);
    Result bb = run({"beachball", "0.3", "-1.0", "0.7", "0.2", "0.5", "-0.4", "--svg", "bb.svg", "--lower"});
    ASSERT_EQ(bb.status, 0) << bb.err;
    EXPECT_NE(bb.out.find("double couple"), std::string::npos);
    std::string svg = rzvtest::read_file(dir() + "/bb.svg");
    EXPECT_NE(svg.find("class=\"fill\""), std::string::npos);
    EXPECT_NE(svg.find("class=\"nodal\""), std::string::npos);
    EXPECT_EQ(run({"beachball", "1", "2", "3", "4", "5", "--svg", "x.svg"}).status, 2);
    EXPECT_EQ(run({"beachball", "nan", "0", "0", "0", "0", "0", "--svg", "x.svg"}).status, 2);
    EXPECT_EQ(run({"beachball", "1", "1", "1", "0", "0", "0"}).status, 2);  // no --svg
    Result zero = run({"beachball", "0", "0", "0", "0", "0", "0", "--svg", "x.svg"});
    EXPECT_TRUE(zero.status == 0 || zero.status == 1) << zero.err;  // nothing to radiate: no crash either way

    Result r = run({"response", "out/response/bbvel.paz", "--svg", "resp.svg"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("paz fir"), std::string::npos);
    Result js = run({"response", "out/response/bbvel.paz", "--json", "--fmin", "0.1", "--fmax", "10"});
    ASSERT_EQ(js.status, 0);
    EXPECT_NE(js.out.find("\"rtype\":\"fir\""), std::string::npos);
    EXPECT_NE(js.out.find("\"frequency\":0.1"), std::string::npos);
    rzvtest::write_file(dir() + "/bad.resp", "theoretical 1 x paz\n1 1\nmany\n");
    Result bad = run({"response", "bad.resp"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("line 3"), std::string::npos) << bad.err;
    EXPECT_EQ(run({"response", "out/response/bbvel.paz", "--fmin", "10", "--fmax", "1"}).status, 2);
    EXPECT_EQ(run({"response", "out/response/bbvel.paz", "--fmin", "-1"}).status, 2);
}

TEST_F(Demo, UsageErrorsAndFailures) {
    Result none = run({});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("Usage"), std::string::npos);
    Result unknown = run({"frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown command 'frobnicate'"), std::string::npos) << unknown.err;
    Result unknown_sac = run({"sac", "frobnicate", "x"});
    EXPECT_EQ(unknown_sac.status, 2);
    EXPECT_NE(unknown_sac.err.find("velk sac: unknown command 'frobnicate'"), std::string::npos) << unknown_sac.err;
    Result no_db = run({"channels"});
    EXPECT_EQ(no_db.status, 2);
    EXPECT_EQ(no_db.err.find("unknown command"), std::string::npos) << no_db.err;
    EXPECT_EQ(run({"trace", "--bogus"}).status, 2);
    Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("demo"), std::string::npos);
    for (std::vector<std::string> cmd : std::vector<std::vector<std::string>>{
             {"demo"}, {"trace"}, {"tt"}, {"sac"}, {"sac", "dump"}, {"sac", "from-db"}, {"sac", "to-db"},
             {"beachball"}, {"response"}, {"events"}, {"watch"}, {"channels"}}) {
        cmd.push_back("--help");
        Result h = run(cmd);
        EXPECT_EQ(h.status, 0) << cmd[0];
        EXPECT_NE(h.out.find("Usage"), std::string::npos) << cmd[0];
    }
    Result t = run({"trace", "out/demo", "KV01", "BHZ", "tomorrow", "now"});
    EXPECT_EQ(t.status, 2);
    EXPECT_NE(t.err.find("'tomorrow' is not a time"), std::string::npos);
    EXPECT_EQ(run({"trace", "out/demo", "A STATION", "BHZ", "0", "1"}).status, 2);
    Result missing = run({"trace", "nowhere/db", "KV01", "BHZ", "0", "1"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("has no wfdisc table"), std::string::npos) << missing.err;
    EXPECT_EQ(missing.err.find("Usage"), std::string::npos);
    Result empty = run({"trace", "out/demo", "KV01", "BHZ", "1970-01-01", "1970-01-02"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("no samples of KV01 BHZ"), std::string::npos);
    // The demo cannot write below a plain file.
    rzvtest::write_file(dir() + "/plain", "x");
    Result d = run({"demo", "plain/sub", "-q"});
    EXPECT_EQ(d.status, 1);
    EXPECT_NE(d.err.find("plain/sub"), std::string::npos) << d.err;
}

TEST_F(Demo, EventsThroughTheEventView) {
    ASSERT_EQ(demo().status, 0);
    Result r = run({"events", "out/demo", "--arrivals", "--detections"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("event 1 velk demo event: 2 origins, preferred 2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("* origin 2"), std::string::npos);
    EXPECT_NE(r.out.find("mb 5.6, Ms 5.4"), std::string::npos);
    EXPECT_NE(r.out.find("moment tensor 1"), std::string::npos);
    // Twenty associations of the preferred origin, ten detections (one per
    // station), and no detector states among them.
    std::regex assoc("\n      KV[0-9]+ +[PS] ");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), assoc), std::sregex_iterator()), 20);
    std::regex det("detection KV[0-9]+ +BHZ +P ");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), det), std::sregex_iterator()), 10);
    Result js = run({"events", "out/demo", "--json", "--arrivals"});
    ASSERT_EQ(js.status, 0);
    EXPECT_EQ(js.out.substr(0, 2), "[{");
    EXPECT_NE(js.out.find("\"preferred\":true"), std::string::npos);
    EXPECT_NE(js.out.find("\"predicted_P\":"), std::string::npos);
    Result none = run({"events", "nowhere/db"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("does not exist"), std::string::npos) << none.err;
}

TEST_F(Demo, WatchPrintsALinePerChangeAndStops) {
    ASSERT_EQ(demo().status, 0);
    ASSERT_EQ(velktest::sh("cd " + velktest::quote(dir()) +
                           " && mkdir -p w && cp out/demo.origin out/demo.arrival out/demo.event w/"),
              0);
    // The watcher runs in the background until it has printed two lines (or
    // a generous time has passed); rows are appended once it has started.
    std::string cmd = "cd " + velktest::quote(dir()) + " && (" + velktest::quote(VELK_BIN) +
                      " watch w/demo --interval 0.05 --count 2 --duration 60 >watch.out 2>watch.err &"
                      " for i in $(seq 1 200); do grep -q watching watch.err 2>/dev/null && break; sleep 0.05; done;"
                      " sleep 0.3; head -1 w/demo.origin >>w/demo.origin; sleep 0.3;"
                      " tail -1 w/demo.arrival >>w/demo.arrival; wait)";
    ASSERT_EQ(velktest::sh(cmd), 0);
    std::string out = rzvtest::read_file(dir() + "/watch.out");
    EXPECT_NE(out.find(" origin: rows added\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" arrival: rows added\n"), std::string::npos) << out;
    EXPECT_NE(rzvtest::read_file(dir() + "/watch.err").find("stopped after 2 change lines"), std::string::npos);
    EXPECT_EQ(run({"watch", "out/demo", "--interval", "0"}).status, 2);
    EXPECT_EQ(run({"watch", "nowhere/db", "--duration", "1"}).status, 1);
}

TEST_F(Demo, ChannelsListsPairsWithSpansAndRows) {
    ASSERT_EQ(demo().status, 0);
    Result all = run({"channels", "out/demo", "--threads", "2"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("# out/demo: 30 channels"), std::string::npos) << all.out;
    // The gap channel has two wfdisc rows, one arrival and three detector rows.
    std::regex kv04("\n  KV04 +BHZ +XV_KV04_BHZ_00 +2025-03-14 06:20:37.400 2025-03-14 07:20:37.375 +2 +1 +3\n");
    EXPECT_TRUE(std::regex_search(all.out, kv04)) << all.out;
    Result some = run({"channels", "out/demo", "--accept", "KV0[12]:BH.", "--reject", "KV02:BHE", "--json"});
    ASSERT_EQ(some.status, 0) << some.err;
    EXPECT_EQ(std::count(some.out.begin(), some.out.end(), '{'), 5);
    EXPECT_NE(some.out.find("\"start\":1741933237.4,"), std::string::npos) << some.out;
    Result seed = run({"channels", "out/demo", "--accept", "XV_KV10_BH[NE]_00"});
    EXPECT_NE(seed.out.find(": 2 channels"), std::string::npos) << seed.out;
    // A window before the data holds nothing.
    Result none = run({"channels", "out/demo", "--tstart", "2020-01-01", "--tend", "2020-01-02"});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.out.find(": 0 channels"), std::string::npos);
    EXPECT_EQ(run({"channels", "out/demo", "--threads", "0"}).status, 2);
    EXPECT_EQ(run({"channels", "out/demo", "--tstart", "2025-03-15", "--tend", "2025-03-14"}).status, 2);
    EXPECT_EQ(run({"channels", "out/demo", "--accept", "a,b"}).status, 2);
    Result bad = run({"channels", "nowhere/db"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("has no wfdisc table"), std::string::npos) << bad.err;
    // A wfdisc of rows that are not rows: the engine's warning, no crash.
    ASSERT_EQ(velktest::sh("cd " + velktest::quote(dir()) +
                           " && printf 'KV01   BHZ   garbage\\n' > broken.wfdisc"),
              0);
    Result broken = run({"channels", "broken"});
    EXPECT_TRUE(broken.status == 0 || broken.status == 1) << broken.status;
    EXPECT_NE(broken.err.find("broken.wfdisc line 1"), std::string::npos) << broken.err;
}
