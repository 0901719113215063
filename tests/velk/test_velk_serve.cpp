// "velk serve" tested from outside and inside: the column reduction and the
// strict parameters directly; the program itself on the loopback address
// against the demo database (every route, every kind of bad parameter, rows
// appended while it runs, 50 clients at once, a clean stop on SIGTERM); and
// the page in headless Chromium when the machine has it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "db.h"
#include "rzvtest.h"
#include "serve_notices.h"
#include "serve_params.h"
#include "serve_reduce.h"
#include "serve_views.h"
#include "velkrun.h"

using nlohmann::json;
using velk::ApiError;

namespace {

// ------------------------------------------------------------ the reduction

// The envelope of a polyline over one column, by brute force on a fine grid
// of the line (ends included).
TEST(Reduce, ColumnsBoundTheDrawnLineAndGapsAreMarked) {
    std::vector<float> a(1000), b(500);
    for (size_t k = 0; k < a.size(); k++) a[k] = (float)(100 * std::sin(k * 0.07) + (k % 13));
    for (size_t k = 0; k < b.size(); k++) b[k] = (float)(-50 + (k % 29));
    // a: 0..99.9 s at 10 sps; b: 150..199.9 s at 10 sps; a hole 100..150.
    std::vector<velk::SampleRun> runs = {{0.0, 0.1, a.data(), (long)a.size()}, {150.0, 0.1, b.data(), (long)b.size()}};
    const int width = 200;
    velk::ColumnEnvelope e = velk::reduce_columns(runs, 0, 200, width);
    ASSERT_EQ(e.has.size(), (size_t)width);
    EXPECT_EQ(e.samples, 1500);
    for (int c = 0; c < width; c++) {
        double c0 = c, c1 = c + 1.0;  // one second per column
        bool in_a = c1 > 0 && c0 < 99.9 + 1e-9, in_b = c1 > 150 && c0 < 199.9 + 1e-9;
        ASSERT_EQ((bool)e.has[c], in_a || in_b) << "column " << c;
        if (!e.has[c]) continue;
        float lo = 1e30f, hi = -1e30f;
        for (const auto &r : runs)
            for (long k = 0; k < r.n; k++) {
                double t = r.t0 + k * r.dt;
                if (t >= c0 && t < c1) lo = std::min(lo, r.data[k]), hi = std::max(hi, r.data[k]);
            }
        // Lines into the next column's first sample widen a column a little.
        EXPECT_LE(e.lo[c], lo) << c;
        EXPECT_GE(e.hi[c], hi) << c;
        float next = 0;
        for (const auto &r : runs) {
            long k = (long)std::llround((c1 - r.t0) / r.dt);
            if (k >= 0 && k < r.n) next = r.data[k];
        }
        EXPECT_GE(e.lo[c], std::min(lo, next) - 1e-3f) << c;
        EXPECT_LE(e.hi[c], std::max(hi, next) + 1e-3f) << c;
    }
}

// Long columns go through the four-lane fold: the extremes are exact
// wherever they fall, in the lanes or in the tail.
TEST(Reduce, LongColumnsGiveExactExtremesAtEveryPosition) {
    const long n = 203;  // 25 blocks of eight and a tail of three
    for (long at = 0; at < n; at++) {
        std::vector<float> d(n);
        for (long k = 0; k < n; k++) d[k] = (float)((k * 37) % 101 - 50);
        d[at] = 1e6f;
        d[(at + 97) % n] = -2e6f;
        // One column holding every sample (the window ends on the last one).
        velk::ColumnEnvelope e = velk::reduce_columns({{0.0, 1.0, d.data(), n}}, 0, n - 1, 1);
        ASSERT_TRUE(e.has[0]);
        EXPECT_EQ(e.hi[0], 1e6f) << at;
        EXPECT_EQ(e.lo[0], -2e6f) << at;
        EXPECT_EQ(e.samples, n);
    }
}

// Whole rows are reduced optimistically: a gap marker or NaN anywhere among
// the values read, in a lane, in a tail or as the neighbour a column edge
// is drawn from, must be reported.
TEST(Reduce, GapMarkersAndNaNAreSeenAnywhere) {
    for (long n : {1L, 7L, 8L, 9L, 17L, 4100L}) {
        for (int width : {1, 3, 1000}) {
            std::vector<float> d(n, 3.0f);
            double t1 = n > 1 ? n - 1 : 1;
            EXPECT_FALSE(velk::reduce_columns({{0.0, 1.0, d.data(), n}}, 0, t1, width).marker_seen) << n;
            for (long at = 0; at < n; at += (n > 100 ? 397 : 1)) {
                for (float bad : {1e30f, -1e30f, 1e29f, INFINITY, -INFINITY, NAN}) {
                    d[at] = bad;
                    EXPECT_TRUE(velk::reduce_columns({{0.0, 1.0, d.data(), n}}, 0, t1, width).marker_seen)
                        << n << " " << width << " " << at << " " << bad;
                    d[at] = 3.0f;
                }
                d[at] = 9.9e28f;  // large but a sample
                EXPECT_FALSE(velk::reduce_columns({{0.0, 1.0, d.data(), n}}, 0, t1, width).marker_seen) << n << " " << at;
                d[at] = 3.0f;
            }
        }
    }
}

TEST(Reduce, ZoomedInColumnsFollowTheLineBetweenSamples) {
    // Two samples 1 s apart over 10 columns: every column is drawn, its
    // values on the straight line from 0 to 10.
    std::vector<float> d = {0.0f, 10.0f};
    velk::ColumnEnvelope e = velk::reduce_columns({{5.0, 1.0, d.data(), 2}}, 5.0, 6.0, 10);
    EXPECT_EQ(e.samples, 2);  // the end sample lies on the window's end
    for (int c = 0; c < 10; c++) {
        ASSERT_TRUE(e.has[c]) << c;
        EXPECT_NEAR(e.lo[c], c, 1e-4) << c;
        EXPECT_NEAR(e.hi[c], c + 1, 1e-4) << c;
    }
    // A window inside one sample interval, and samples around it only.
    e = velk::reduce_columns({{0.0, 1.0, d.data(), 2}}, 0.25, 0.75, 2);
    EXPECT_EQ(e.samples, 0);
    EXPECT_NEAR(e.lo[0], 2.5, 1e-4);
    EXPECT_NEAR(e.hi[1], 7.5, 1e-4);
}

TEST(Reduce, RefusedShapesGiveNothingAndJsonMarksGaps) {
    std::vector<float> d = {1, 2, 3};
    EXPECT_TRUE(velk::reduce_columns({{0, 1, d.data(), 3}}, 0, 10, 0).has.empty());
    EXPECT_TRUE(velk::reduce_columns({{0, 1, d.data(), 3}}, 10, 0, 5).has.empty());
    EXPECT_TRUE(velk::reduce_columns({{0, 1, d.data(), 3}}, NAN, 1, 5).has.empty());
    // Runs with no samples, no data or a bad interval are skipped.
    velk::ColumnEnvelope e =
        velk::reduce_columns({{0, 0, d.data(), 3}, {0, 1, nullptr, 3}, {0, -1, d.data(), 3}, {0, 1, d.data(), 0}}, 0, 3, 3);
    EXPECT_EQ(std::count(e.has.begin(), e.has.end(), 1), 0);
    e = velk::reduce_columns({{0, 1, d.data(), 3}}, 0, 4, 4);
    json j = json::parse(velk::envelope_json(e));
    EXPECT_EQ(j["width"], 4);
    EXPECT_EQ(j["min"][0], 1.0);
    EXPECT_TRUE(j["min"][3].is_null());
    EXPECT_TRUE(j["max"][3].is_null());
    EXPECT_EQ(j["max"][2], 3.0);
}

// ------------------------------------------------------------ parameters

int status_of(const std::function<void()> &f) {
    try {
        f();
    } catch (const ApiError &e) {
        return e.status;
    }
    return 0;
}

TEST(Params, OnlyKnownNamesOnceAndWholeNumbers) {
    using Q = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(status_of([] { velk::Params({{"x", "1"}}, {"t0"}); }), 400);
    EXPECT_EQ(status_of([] { velk::Params({{"t0", "1"}, {"t0", "2"}}, {"t0"}); }), 400);
    for (const char *bad : {"", " 1", "1 ", "1e", "abc", "nan", "inf", "-inf", "1e400", "0x", "1,5"}) {
        velk::Params p(Q{{"t0", bad}}, {"t0"});
        EXPECT_EQ(status_of([&] { p.real("t0"); }), 400) << bad;
    }
    velk::Params p(Q{{"t0", "1741933237.4"}, {"w", "1500"}, {"n", "-3"}, {"big", "99999999999999999999"}},
                   {"t0", "w", "n", "big", "absent"});
    EXPECT_DOUBLE_EQ(p.real("t0"), 1741933237.4);
    EXPECT_EQ(p.integer("w", 1, 8192), 1500);
    EXPECT_EQ(status_of([&] { p.integer("n", 0, 10); }), 400);
    EXPECT_EQ(status_of([&] { p.integer("big", 0, 10); }), 400);
    EXPECT_EQ(status_of([&] { p.integer("t0", 0, 2000000000L); }), 400);  // not whole
    EXPECT_EQ(status_of([&] { p.text("absent"); }), 400);
    EXPECT_EQ(p.integer("absent", 0, 10, 7), 7);
}

TEST(Notices, ReadersGetEveryKeptNoticeInOrderAndCloseWakesThem) {
    velk::Notices n;
    long seq = 0;
    std::string text;
    ASSERT_TRUE(n.wait(&seq, 0.01, &text));
    EXPECT_EQ(text, "");
    n.post("{\"a\":1}");
    n.post("{\"a\":2}");
    ASSERT_TRUE(n.wait(&seq, 1, &text));
    EXPECT_EQ(text, "id: 1\ndata: {\"a\":1}\n\nid: 2\ndata: {\"a\":2}\n\n");
    EXPECT_EQ(seq, 2);
    for (int i = 0; i < 100; i++) n.post("{}");
    long old = 0;
    ASSERT_TRUE(n.wait(&old, 1, &text));  // a slow reader gets the latest 64
    EXPECT_EQ(old, 102);
    EXPECT_EQ(text.find("id: 38\n"), std::string::npos);
    EXPECT_NE(text.find("id: 39\n"), std::string::npos);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        n.close();
    });
    auto start = std::chrono::steady_clock::now();
    seq = n.last();
    EXPECT_FALSE(n.wait(&seq, 30, &text));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    t.join();
}

// ------------------------------------------------------------ the program

// "velk serve" on a demo database, on a free loopback port.
class Server {
public:
    Server(const std::string &db, const std::string &dir) : dir_(dir) {
        out_ = dir + "/serve.out";
        err_ = dir + "/serve.err";
        pid_ = fork();
        if (pid_ == 0) {
            int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            execl(VELK_BIN, VELK_BIN, "serve", db.c_str(), "--port", "0", "--interval", "0.2", (char *)0);
            _exit(127);
        }
        std::regex re("http://127\\.0\\.0\\.1:([0-9]+)/");
        for (int i = 0; i < 600 && port_ == 0; i++) {
            std::smatch m;
            std::string text = rzvtest::read_file(out_);
            if (std::regex_search(text, m, re)) port_ = std::stoi(m[1]);
            else std::this_thread::sleep_for(std::chrono::milliseconds(50));
            int st;
            if (port_ == 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
        }
    }
    ~Server() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    std::string err() const { return rzvtest::read_file(err_); }
    // SIGTERM, then the exit status (-1 when it does not end within 20 s).
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 400; i++) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

private:
    std::string dir_, out_, err_;
    pid_t pid_ = -1;
    int port_ = 0;
};

class Serve : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tmp_ = new rzvtest::TempDir;
        velktest::Result r = velktest::velk({"demo", "-q", "out"}, tmp_->path());
        ASSERT_EQ(r.status, 0) << r.err;
        server_ = new Server(dir() + "/demo", tmp_->path());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete tmp_;
    }
    static std::string dir() { return tmp_->path() + "/out"; }
    void SetUp() override { ASSERT_GT(server_->port(), 0) << server_->err(); }

    static httplib::Client client() {
        httplib::Client c("127.0.0.1", server_->port());
        c.set_connection_timeout(5);
        c.set_read_timeout(20);
        return c;
    }
    // GET path: status and body.
    static std::pair<int, std::string> get(const std::string &path) {
        auto c = client();
        auto r = c.Get(path.c_str());
        if (!r) return {-1, ""};
        return {r->status, r->body};
    }
    static json get_json(const std::string &path, int want = 200) {
        auto r = get(path);
        EXPECT_EQ(r.first, want) << path << ": " << r.second;
        try {
            return json::parse(r.second);
        } catch (...) {
            ADD_FAILURE() << path << " is not JSON: " << r.second.substr(0, 200);
            return json();
        }
    }
    static std::string samples(const std::string &sta, const std::string &chan, double t0, double t1, int width) {
        char q[256];
        snprintf(q, sizeof q, "/api/samples?sta=%s&chan=%s&t0=%.3f&t1=%.3f&width=%d", sta.c_str(), chan.c_str(), t0,
                 t1, width);
        return q;
    }

    static rzvtest::TempDir *tmp_;
    static Server *server_;
};
rzvtest::TempDir *Serve::tmp_ = nullptr;
Server *Serve::server_ = nullptr;

TEST_F(Serve, PageAndItsFilesAreServed) {
    auto page = get("/");
    EXPECT_EQ(page.first, 200);
    EXPECT_NE(page.second.find("<canvas id=\"wave\""), std::string::npos);
    EXPECT_NE(page.second.find("/app.js"), std::string::npos);
    EXPECT_EQ(get("/index.html").second, page.second);
    auto js = get("/app.js");
    EXPECT_EQ(js.first, 200);
    EXPECT_NE(js.second.find("EventSource"), std::string::npos);
    EXPECT_EQ(get("/style.css").first, 200);
    // No file of the database or the disk is reachable.
    for (const char *p : {"/demo.origin", "/../out/demo.origin", "/etc/passwd", "/%2e%2e/demo.wfdisc", "/api/nothing"}) {
        json j = get_json(p, 404);
        EXPECT_TRUE(j.contains("error")) << p;
    }
    auto c = client();
    auto r = c.Post("/api/events", "x", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 405);
}

TEST_F(Serve, ChannelListHasSpansAndRowCounts) {
    json j = get_json("/api/channels");
    ASSERT_TRUE(j["channels"].is_array());
    EXPECT_GE(j["channels"].size(), 18u);  // the demo's stations, three components each
    bool found = false;
    for (const json &c : j["channels"]) {
        EXPECT_GT(c["tend"].get<double>(), c["tstart"].get<double>());
        EXPECT_GE(c["wfdisc"].get<long>(), 1);
        if (c["sta"] == "KV01" && c["chan"] == "BHZ") {
            found = true;
            EXPECT_NEAR(c["tstart"].get<double>(), 1741933237.4, 1e-3);
            EXPECT_NEAR(c["tend"].get<double>(), 1741936837.375, 1e-3);
            EXPECT_EQ(c["wfdisc"], 1);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(Serve, SamplesAreReducedPerColumnWithGapsMarked) {
    const double t0 = 1741933237.4, t1 = 1741936837.375;
    json j = get_json(samples("KV01", "BHZ", t0, t1, 1500));
    ASSERT_EQ(j["min"].size(), 1500u);
    ASSERT_EQ(j["max"].size(), 1500u);
    EXPECT_EQ(j["samples"], 144000);
    int drawn = 0;
    for (int c = 0; c < 1500; c++)
        if (!j["min"][c].is_null()) {
            drawn++;
            EXPECT_LE(j["min"][c].get<double>(), j["max"][c].get<double>());
        }
    EXPECT_GE(drawn, 1499);  // the last column holds only the end sample's edge
    // An hour travels in a few tens of kilobytes, not megabytes.
    EXPECT_LT(get(samples("KV01", "BHZ", t0, t1, 1500)).second.size(), 40000u);

    // Before and after the data: all gap.
    j = get_json(samples("KV01", "BHZ", t0 - 600, t0 - 60, 100));
    for (int c = 0; c < 100; c++) EXPECT_TRUE(j["min"][c].is_null());
    EXPECT_EQ(j["samples"], 0);

    // The demo's channel with a gap: its columns inside the gap are null.
    std::string sum = rzvtest::read_file(dir() + "/summary.txt");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(sum, m, std::regex("gap: (\\S+) (\\S+) has")))
        << sum.substr(0, 400);
    json ch = get_json("/api/channels");
    bool checked = false;
    for (const json &c : ch["channels"]) {
        if (c["sta"] != m[1].str() || c["chan"] != m[2].str()) continue;
        j = get_json(samples(c["sta"], c["chan"], c["tstart"], c["tend"], 3000));
        int nulls = 0;
        for (int k = 0; k < 3000; k++) nulls += j["min"][k].is_null();
        EXPECT_GT(nulls, 2) << "the gap shows as empty columns";
        EXPECT_LT(nulls, 2000);
        checked = true;
    }
    EXPECT_TRUE(checked) << m[0];
}

TEST_F(Serve, BadSampleRequestsGet400WithAMessage) {
    const double t0 = 1741933237.4;
    std::string ok = "sta=KV01&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=100";
    EXPECT_EQ(get("/api/samples?" + ok).first, 200);
    const char *bad[] = {
        "sta=NOPE&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=100",        // unknown station
        "sta=KV01&chan=XYZ&t0=1741933237.4&t1=1741933297.4&width=100",        // unknown channel
        "sta=KV01%20BHZ&chan=&t0=1741933237.4&t1=1741933297.4&width=100",     // a key smuggled in
        "sta=KV01&chan=BHZ&t0=1741933297.4&t1=1741933237.4&width=100",        // reversed
        "sta=KV01&chan=BHZ&t0=1741933237.4&t1=1741933237.4&width=100",        // empty
        "sta=KV01&chan=BHZ&t0=0&t1=1e10&width=100",                           // huge
        "sta=KV01&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=0",          // width
        "sta=KV01&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=100000",     // width
        "sta=KV01&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=-5",         // width
        "sta=KV01&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=1.5",        // not whole
        "sta=KV01&chan=BHZ&t0=yesterday&t1=1741933297.4&width=100",           // not a number
        "sta=KV01&chan=BHZ&t0=nan&t1=1741933297.4&width=100",
        "sta=KV01&chan=BHZ&t0=1741933237.4&t1=inf&width=100",
        "sta=KV01&chan=BHZ&t0=1741933237.4&width=100",                        // missing
        "sta=KV01&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=100&file=/etc/passwd",  // unknown name
        "sta=KV01&sta=KV02&chan=BHZ&t0=1741933237.4&t1=1741933297.4&width=100",  // repeated
    };
    for (const char *q : bad) {
        json j = get_json(std::string("/api/samples?") + q, 400);
        EXPECT_TRUE(j["error"].is_string() && !j["error"].get<std::string>().empty()) << q;
    }
    // A window over the sample cap: 40 sps for 30 days is far more.
    json j = get_json(samples("KV01", "BHZ", t0, t0 + 30 * 86400.0, 100), 400);
    EXPECT_NE(j["error"].get<std::string>().find("samples"), std::string::npos) << j;
    // Still serving.
    EXPECT_EQ(get("/api/samples?" + ok).first, 200);
}

TEST_F(Serve, EventsOriginsArrivalsPredictionsAndDetections) {
    json list = get_json("/api/events");
    ASSERT_GE(list["events"].size(), 1u);
    const json &ev = list["events"][0];
    EXPECT_EQ(ev["evid"], 1);
    EXPECT_EQ(ev["prefor"], 2);
    EXPECT_EQ(ev["norigins"], 2);
    EXPECT_NEAR(ev["depth"].get<double>(), 35.0, 1e-6);
    ASSERT_GE(ev["magnitudes"].size(), 1u);
    EXPECT_FALSE(ev["mtid"].is_null());

    json one = get_json("/api/event?evid=1");
    ASSERT_EQ(one["origins"].size(), 2u);
    const json *pref = nullptr;
    for (const json &o : one["origins"])
        if (o["preferred"].get<bool>()) pref = &o;
    ASSERT_TRUE(pref);
    EXPECT_EQ((*pref)["orid"], 2);
    ASSERT_GE((*pref)["associations"].size(), 1u);
    for (const json &a : (*pref)["associations"]) {
        EXPECT_TRUE(a["time"].is_number());
        EXPECT_FALSE(a["sta"].get<std::string>().empty());
    }
    // Predictions for every station with channels, P before S, after the origin.
    json ch = get_json("/api/channels");
    std::set<std::string> stations;
    for (const json &c : ch["channels"]) stations.insert(c["sta"]);
    EXPECT_EQ((*pref)["predicted"].size(), stations.size());
    for (const json &p : (*pref)["predicted"]) {
        ASSERT_TRUE(p["P"].is_number()) << p;
        EXPECT_GT(p["P"].get<double>(), (*pref)["time"].get<double>());
        if (p["S"].is_number()) {
            EXPECT_GT(p["S"].get<double>(), p["P"].get<double>());
        }
    }
    EXPECT_GE((*pref)["detections"].size(), 1u);
    // The same event found by an origin.
    EXPECT_EQ(get_json("/api/event?orid=1")["evid"], 1);

    for (const char *q : {"", "?evid=1&orid=2", "?evid=abc", "?evid=-1", "?evid=1e3", "?evid=1&evid=2", "?id=1"})
        EXPECT_TRUE(get_json(std::string("/api/event") + q, 400).contains("error")) << q;
    EXPECT_TRUE(get_json("/api/event?evid=999", 404).contains("error"));
    EXPECT_TRUE(get_json("/api/event?orid=999", 404).contains("error"));
    EXPECT_TRUE(get_json("/api/events?x=1", 400).contains("error"));
    EXPECT_TRUE(get_json("/api/channels?x=1", 400).contains("error"));
}

TEST_F(Serve, BeachBallIsSvg) {
    auto c = client();
    auto r = c.Get("/api/beachball?mtid=1&size=200");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/svg+xml");
    EXPECT_EQ(r->body.rfind("<svg", 0) == 0 || r->body.rfind("<?xml", 0) == 0, true) << r->body.substr(0, 80);
    EXPECT_NE(r->body.find("</svg>"), std::string::npos);
    EXPECT_EQ(get("/api/beachball?mtid=1").first, 200);
    EXPECT_TRUE(get_json("/api/beachball?mtid=77", 404).contains("error"));
    for (const char *q : {"", "?mtid=x", "?mtid=1&size=5", "?mtid=1&size=99999", "?mtid=1&size=12.5"})
        EXPECT_TRUE(get_json(std::string("/api/beachball") + q, 400).contains("error")) << q;
}

// Appends an origin and its event (as a locating program would) and a
// waveform row of a new channel: the event list, the notice stream and the
// channel list see them without a restart.
TEST_F(Serve, AppendedRowsAppearAndAreAnnounced) {
    // A notice stream open before the rows are written.
    std::atomic<bool> got{false};
    std::string seen;
    std::thread reader([&] {
        httplib::Client c("127.0.0.1", server_->port());
        c.set_read_timeout(15);
        c.Get("/api/stream", [&](const char *data, size_t n) {
            seen.append(data, n);
            if (seen.find("\"kind\":\"events\"") != std::string::npos) {
                got = true;
                return false;
            }
            return true;
        });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    size_t before = get_json("/api/events")["events"].size();
    Dbptr db;
    ASSERT_EQ(dbopen((dir() + "/demo").c_str(), "r+", &db), 0);
    ASSERT_GE(dbaddv(dblookup(db, 0, "origin", 0, 0), 0, "lat", 10.5, "lon", 120.25, "depth", 12.0, "time",
                     1741935000.0, "orid", 50L, "evid", 9L, "nass", 0L, "ndef", 0L, "auth", "test", (char *)0),
              0);
    ASSERT_GE(dbaddv(dblookup(db, 0, "event", 0, 0), 0, "evid", 9L, "prefor", 50L, "auth", "test", (char *)0), 0);
    dbclose(db);
    bool listed = false;
    for (int i = 0; i < 200 && !listed; i++) {
        json j = get_json("/api/events");
        for (const json &e : j["events"]) listed = listed || e["evid"] == 9;
        if (!listed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(listed);
    EXPECT_EQ(get_json("/api/events")["events"].size(), before + 1);
    reader.join();
    EXPECT_TRUE(got) << seen;

    // A new channel's waveform row.
    ASSERT_EQ(dbopen((dir() + "/demo").c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    wf.record = 0;
    char dfile[64] = "";
    ASSERT_EQ(dbgetv(wf, 0, "dfile", dfile, (char *)0), 0);
    ASSERT_GE(dbaddv(wf, 0, "sta", "KV01", "chan", "HHX", "time", 1741933237.4, "endtime", 1741936837.375, "nsamp",
                     144000L, "samprate", 40.0, "datatype", "s4", "dir", "wf", "dfile", dfile, "foff", 0L,
                     (char *)0),
              0);
    dbclose(db);
    bool added = false;
    for (int i = 0; i < 200 && !added; i++) {
        json list = get_json("/api/channels");
        for (const json &c : list["channels"]) added = added || c["chan"] == "HHX";
        if (!added) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string rows = rzvtest::read_file(dir() + "/demo.wfdisc");
    EXPECT_TRUE(added) << rows.substr(rows.size() > 600 ? rows.size() - 600 : 0);
    json j = get_json(samples("KV01", "HHX", 1741933237.4, 1741933837.4, 200));
    EXPECT_GT(j["samples"].get<long>(), 20000);
}

// 50 clients, 200 requests each, of every kind: no error, and the 99th
// percentile of the latencies reported.
TEST_F(Serve, FiftyClientsAtOnce) {
    const int clients = 50, each = 200;
    std::atomic<int> errors{0};
    std::vector<std::vector<double>> lat(clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&, c] {
            httplib::Client cl("127.0.0.1", server_->port());
            cl.set_keep_alive(true);
            cl.set_read_timeout(30);
            for (int i = 0; i < each; i++) {
                std::string path;
                switch ((c + i) % 10) {
                case 0: path = samples("KV02", "BHZ", 1741933237.4 + i, 1741933537.4 + i, 300); break;
                case 1: path = "/api/events"; break;
                case 2: path = "/api/samples?sta=KV02&chan=BHZ&t0=2&t1=1&width=3"; break;  // refused
                default: path = "/api/channels";
                }
                auto t = std::chrono::steady_clock::now();
                auto r = cl.Get(path.c_str());
                lat[c].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
                int want = (c + i) % 10 == 2 ? 400 : 200;
                if (!r || r->status != want) errors++;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(errors.load(), 0);
    std::vector<double> all;
    for (auto &v : lat) all.insert(all.end(), v.begin(), v.end());
    ASSERT_EQ(all.size(), (size_t)clients * each);
    std::sort(all.begin(), all.end());
    double p99 = all[all.size() * 99 / 100];
    printf("[ figure ] %d clients x %d requests: 99th percentile latency %.2f ms, median %.2f ms\n", clients, each,
           p99 * 1e3, all[all.size() / 2] * 1e3);
    RecordProperty("p99_ms", std::to_string(p99 * 1e3));
}

// The page in a real browser: picks a channel, sees the waveform drawn and
// the event's marks, and sees an appended origin's event arrive in the list.
TEST_F(Serve, PageInHeadlessChromium) {
    std::string chromium;
    for (const char *name : {"chromium", "chromium-browser", "google-chrome"})
        if (velktest::have_tool(name)) {
            chromium = name;
            break;
        }
    if (chromium.empty() || !velktest::have_tool("node"))
        GTEST_SKIP() << "no chromium or node on this machine (scripts/deps.sh installs them as root)";
    std::string script = std::string(RZV_SOURCE_DIR) + "/tests/velk/serve_browser.mjs";
    std::string shot = std::string(RZV_BINARY_DIR) + "/velk_serve_page.png";
    std::string out = tmp_->path() + "/browser.out";
    std::string profile = tmp_->path() + "/profile";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(o, 2);
        std::string url = "http://127.0.0.1:" + std::to_string(server_->port()) + "/";
        execlp("node", "node", script.c_str(), chromium.c_str(), url.c_str(),
               shot.c_str(), profile.c_str(), (char *)0);
        _exit(127);
    }
    // Wait until the page has drawn, then append an event.
    bool drawn = false;
    for (int i = 0; i < 1200 && !drawn; i++) {
        std::string text = rzvtest::read_file(out);
        drawn = text.find("DRAWN") != std::string::npos;
        if (text.find("FAIL") != std::string::npos) break;
        if (!drawn) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (drawn) {
        Dbptr db;
        ASSERT_EQ(dbopen((dir() + "/demo").c_str(), "r+", &db), 0);
        dbaddv(dblookup(db, 0, "origin", 0, 0), 0, "lat", -7.5, "lon", 129.0, "depth", 60.0, "time", 1741936000.0,
               "orid", 61L, "evid", 21L, "ml", 4.2, "auth", "browser", (char *)0);
        dbaddv(dblookup(db, 0, "event", 0, 0), 0, "evid", 21L, "prefor", 61L, "auth", "browser", (char *)0);
        dbclose(db);
    }
    int st = 0;
    for (int i = 0; i < 1200; i++) {
        if (waitpid(pid, &st, WNOHANG) == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (i == 1199) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
        }
    }
    std::string text = rzvtest::read_file(out);
    EXPECT_TRUE(drawn) << text;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << text;
    EXPECT_NE(text.find("OK"), std::string::npos) << text;
    printf("screenshot: %s\n", shot.c_str());
}

// Last: SIGTERM ends the program cleanly (exit 0, the stop reported),
// with a notice stream still open.
TEST_F(Serve, ZStopsCleanlyOnSigterm) {
    std::thread reader([] {
        httplib::Client c("127.0.0.1", server_->port());
        c.set_read_timeout(30);
        c.Get("/api/stream", [](const char *, size_t) { return true; });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server_->stop(), 0) << server_->err();
    reader.join();
    EXPECT_NE(server_->err().find("velk serve: stopped"), std::string::npos) << server_->err();
}

// A float file holding NaN and gap markers among its samples: the request
// comes back (the split at gaps once stalled on a NaN) with the bad samples
// as empty columns and the good ones drawn.
TEST(ServeSamples, NaNAndGapMarkersInAFloatFileShowAsGaps) {
    rzvtest::TempDir tmp;
    std::string db = tmp.path() + "/nan";
    std::vector<float> v(400);
    for (size_t k = 0; k < v.size(); k++) v[k] = (float)(k % 17);
    for (size_t k = 100; k < 120; k++) v[k] = NAN;
    for (size_t k = 250; k < 260; k++) v[k] = 1e30f;
    ASSERT_TRUE(rzvtest::write_file(tmp.path() + "/nan.f4", std::string((const char *)v.data(), v.size() * 4)));
    Dbptr d;
    ASSERT_EQ(dbopen(db.c_str(), "r+", &d), 0);
    ASSERT_GE(dbaddv(dblookup(d, 0, "wfdisc", 0, 0), 0, "sta", "NN1", "chan", "BHZ", "time", 1000.0, "endtime",
                     1039.9, "nsamp", 400L, "samprate", 10.0, "datatype", "f4", "dir", tmp.path().c_str(), "dfile",
                     "nan.f4", "foff", 0L, "wfid", 1L, (char *)0),
              0);
    dbclose(d);
    velk::Views views(db, 1.0);
    json j = json::parse(views.samples_json("NN1", "BHZ", 1000.0, 1040.0, 40));
    EXPECT_EQ(j["runs"], 3);
    EXPECT_EQ(j["gap_segments"], 2);
    for (int c = 0; c < 40; c++) {
        // columns 10 and 11 hold only NaN, 25 only markers
        bool gap = c == 10 || c == 11 || c == 25;
        EXPECT_EQ(j["min"][c].is_null(), gap) << c;
        if (!gap) {
            EXPECT_LE(j["max"][c].get<double>(), 16.0) << c;
        }
    }
}

TEST(ServeArgs, RefusedArgumentsAndDatabases) {
    rzvtest::TempDir tmp;
    velktest::Result r = velktest::velk({"serve", tmp.path() + "/none"}, tmp.path());
    EXPECT_EQ(r.status, 1) << r.err;
    r = velktest::velk({"serve", "x", "--port", "70000"}, tmp.path());
    EXPECT_EQ(r.status, 2) << r.err;
    r = velktest::velk({"serve", "x", "--port", "abc"}, tmp.path());
    EXPECT_EQ(r.status, 2) << r.err;
    r = velktest::velk({"serve"}, tmp.path());
    EXPECT_EQ(r.status, 2) << r.err;
}

}  // namespace
