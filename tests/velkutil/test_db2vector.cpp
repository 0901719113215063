// Scatter plots from database expressions: point values, record numbers,
// the attribute label strings (checked character by character for every
// combination of attributes), symbol assignment, and failing expressions.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "db2vector.h"
#include "rzvtest.h"

using rzvtest::has_message;

namespace {

struct Origin {
    double lat, lon, depth, ml, mb;
    const char *auth;
};

// An in-memory database whose origin table holds the rows given.
Dbptr origins(const std::vector<Origin> &rows) {
    Dbptr db;
    EXPECT_EQ(dbopen_memory(&db), 0);
    Dbptr o = dblookup(db, nullptr, "origin", nullptr, nullptr);
    long orid = 1;
    for (auto &r : rows)
        EXPECT_GE(dbaddv(o, nullptr, "lat", r.lat, "lon", r.lon, "depth", r.depth, "ml", r.ml, "mb", r.mb, "auth",
                         r.auth, "orid", orid++, (char *)nullptr),
                  0);
    return o;
}

struct Handle {
    char h[64] = {0};
    operator char *() { return h; }
    ~Handle() {
        if (h[0]) kovector_free(h);
    }
};

// Runs fn with standard output going to a file; returns what it printed.
template <class F>
std::string capture_stdout(F fn) {
    fflush(stdout);
    char path[] = "/tmp/db2vector_out_XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(1);
    dup2(fd, 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out = rzvtest::read_file(path);
    close(fd);
    unlink(path);
    return out;
}

// Symbols first: the assignment is process-wide and this test needs it fresh.
TEST(Db2VectorSymbols, DistinctTextsTakeTheSymbolsInTurn) {
    Dbptr db = origins({{0, 0, 0, 0, 0, "alpha"},
                        {0, 0, 0, 0, 0, "beta"},
                        {0, 0, 0, 0, 0, "alpha"},
                        {0, 0, 0, 0, 0, "gamma"}});
    Handle h;
    KOVector *v = db2vector(db, nullptr, nullptr, nullptr, nullptr, nullptr, (char *)"auth", 0, 360, 0, 5, nullptr, h);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->nx, 4);
    EXPECT_STREQ(v->point[0].label, "{ sy=point }");
    EXPECT_STREQ(v->point[1].label, "{ sy=cross }");
    EXPECT_STREQ(v->point[2].label, "{ sy=point }");
    EXPECT_STREQ(v->point[3].label, "{ sy=x }");
    kovector_free(h);
    h.h[0] = 0;
    // Six more new texts reach the end of the list; the ninth starts again.
    std::vector<Origin> rows;
    const char *names[] = {"d", "e", "f", "g", "h", "i", "beta"};
    for (const char *n : names) rows.push_back({0, 0, 0, 0, 0, n});
    dbclose(db);
    db = origins(rows);
    v = db2vector(db, nullptr, nullptr, nullptr, nullptr, nullptr, (char *)"auth", 0, 360, 0, 5, nullptr, h);
    ASSERT_NE(v, nullptr);
    const char *want[] = {"triangle", "square", "circle", "star", "diamond", "point", "cross"};
    for (int i = 0; i < 7; i++) EXPECT_EQ(std::string(v->point[i].label), std::string("{ sy=") + want[i] + " }");
    dbclose(db);
}

TEST(Db2VectorPoints, ValuesAndRecordNumbers) {
    Dbptr db = origins({{10, 100, 5, 1, 2, "a"}, {11, 101, 6, 1, 2, "a"}, {12, 102, 7, 1, 2, "a"}});
    Handle h;
    KOVector *v = db2vector(db, (char *)"lon", (char *)"lat * 2", nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 5,
                            (char *)"plot", h);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(kovector_get_vector(h), v);
    EXPECT_STREQ(v->tag, "plot");
    ASSERT_EQ(v->nx, 3);
    EXPECT_EQ(v->ny, 2);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(v->point[i].x, 100 + i);
        EXPECT_EQ(v->point[i].y[0], 2 * (10 + i));
        EXPECT_EQ(v->point[i].y[1], i);
        EXPECT_EQ(v->point[i].label, nullptr);
    }
    Handle h2;
    v = db2vector(db, nullptr, (char *)"depth", nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 5, nullptr, h2);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->point[2].x, 2);
    EXPECT_EQ(v->point[2].y[0], 7);
    // An empty view gives an empty vector.
    Dbptr none = dbsubset(db, "lat > 90", nullptr);
    Handle h3;
    v = db2vector(none, (char *)"lon", (char *)"lat", nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 5, nullptr, h3);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 0);
    dbclose(db);
}

TEST(Db2VectorPoints, FailingExpressionsGiveAnEmptyRegisteredVector) {
    Dbptr db = origins({{10, 100, 5, 1, 2, "a"}, {11, 101, 6, 1, 2, "a"}});
    elog_clear_register(0);
    Handle h;
    KOVector *v = db2vector(db, (char *)"lon", (char *)"lat", (char *)"nosuch +", (char *)"ml", (char *)"bogus(",
                            nullptr, 0, 0, 0, 5, nullptr, h);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 0);
    EXPECT_EQ(kovector_get_vector(h), v);
    EXPECT_TRUE(has_message("Can't compile hue expression 'nosuch +'"));
    EXPECT_TRUE(has_message("Can't compile size expression 'bogus('"));
    elog_clear_register(0);
    Handle h2;
    v = db2vector(db, (char *)"ptime(lat * 100, -5000)", (char *)"lat", nullptr, nullptr, nullptr, nullptr, 0, 0, 0,
                  5, nullptr, h2);
    ASSERT_NE(v, nullptr);
    {
        EXPECT_TRUE(has_message("failed to evaluate x expression 'ptime(lat * 100, -5000)'"));
        EXPECT_EQ(v->nx, 0);
    }
    dbclose(db);
}

// ------------------------------------------------------------ labels

std::string colour(double h, double s) {
    double r, g, b;
    hls2rgb(h, 0.6, s, &r, &g, &b);
    auto c = [](double v) {
        double x = v * 65535.0;
        return x >= 65535 ? 65535u : x <= 0 ? 0u : (unsigned)x;
    };
    char buf[32];
    snprintf(buf, sizeof buf, "#%04x%04x%04x", c(r), c(g), c(b));
    return buf;
}

TEST(Db2VectorLabels, EveryCombinationOfAttributes) {
    // hue values 10 20 30, saturation 1 2 3, size 0 5 10, symbols (known
    // after the first test): alpha beta alpha.
    Dbptr db = origins({{0, 0, 10, 1, 0, "alpha"}, {0, 0, 20, 2, 5, "beta"}, {0, 0, 30, 3, 10, "alpha"}});
    const double hues[3] = {120, 180, 240};  // hue 180, range 120
    const double sats[3] = {0.3, 0.65, 1.0};
    const char *sizes[3] = {"1", "3", "5"};
    const char *syms[3] = {"point", "cross", "point"};
    for (int mask = 0; mask < 16; mask++) {
        for (int fill = 0; fill < 2; fill++) {
            bool H = mask & 1, S = mask & 2, Z = mask & 4, Y = mask & 8;
            Handle h;
            KOVector *v = db2vector(db, nullptr, nullptr, H ? (char *)"depth" : nullptr, S ? (char *)"ml" : nullptr,
                                    Z ? (char *)"mb" : nullptr, Y ? (char *)"auth" : nullptr, 180, 120, fill, 5,
                                    nullptr, h);
            ASSERT_NE(v, nullptr);
            ASSERT_EQ(v->nx, 3);
            for (int i = 0; i < 3; i++) {
                const char *got = v->point[i].label;
                if (mask == 0) {
                    EXPECT_EQ(got, nullptr);
                    continue;
                }
                std::string want = "{";
                if (H || S) {
                    std::string c = colour(H ? hues[i] : 180, S ? sats[i] : 0.9);
                    want += " o=" + c;
                    if (fill) want += " f=" + c;
                }
                if (Z) want += std::string(" sz=") + sizes[i];
                if (Y) want += std::string(" sy=") + syms[i];
                want += " }";
                ASSERT_NE(got, nullptr);
                EXPECT_EQ(std::string(got), want) << "mask " << mask << " fill " << fill << " point " << i;
                EXPECT_LE(strlen(got), 79u);
            }
        }
    }
    dbclose(db);
}

TEST(Db2VectorLabels, HueWrapsSaturationFloorsAndTraceLines) {
    Dbptr db = origins({{0, 0, 10, 4, 0, "a"}, {0, 0, 20, 4, 0, "a"}, {0, 0, 30, 4, 0, "a"}});
    Handle h;
    set_verbose(1);
    KOVector *v = nullptr;
    std::string out = capture_stdout([&] {
        v = db2vector(db, (char *)"depth", (char *)"ml", (char *)"depth", (char *)"ml", nullptr, nullptr, 330, 120, 0,
                      5, nullptr, h);
    });
    set_verbose(0);
    ASSERT_NE(v, nullptr);
    // 330 - 60 = 270 for the smallest, 390 wraps to 30 for the largest; all
    // saturations equal: 0.3.
    EXPECT_EQ(std::string(v->point[0].label), "{ o=" + colour(270, 0.3) + " }");
    EXPECT_EQ(std::string(v->point[2].label), "{ o=" + colour(30, 0.3) + " }");
    std::string first = out.substr(0, out.find('\n') + 1);
    EXPECT_EQ(first, "   0   10.000    4.000 => { o=" + colour(270, 0.3) + " }  hls=(270 0.600 0.300)\n");
    EXPECT_NE(out.find("   2   30.000    4.000 => { o=" + colour(30, 0.3) + " }  hls=( 30 0.600 0.300)\n"),
              std::string::npos);
    // Sizes without colour: no hls text.
    Handle h2;
    set_verbose(1);
    out = capture_stdout([&] {
        v = db2vector(db, nullptr, nullptr, nullptr, nullptr, (char *)"depth", nullptr, 0, 0, 0, 9, nullptr, h2);
    });
    set_verbose(0);
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), "   0    0.000    0.000 => { sz=1 }  \n");
    EXPECT_STREQ(v->point[1].label, "{ sz=5 }");
    EXPECT_STREQ(v->point[2].label, "{ sz=9 }");
    dbclose(db);
}

TEST(Db2VectorLabels, ExtremeLargestSizes) {
    // The largest size is the caller's number: at either end of the int
    // range the sizes are still computed, never overflowed.
    Dbptr db = origins({{0, 0, 0, 0, 0, "a"}, {0, 0, 5, 0, 0, "a"}, {0, 0, 10, 0, 0, "a"}});
    Handle h, h2;
    KOVector *v = db2vector(db, nullptr, nullptr, nullptr, nullptr, (char *)"depth", nullptr, 0, 0, 0, INT_MIN,
                            nullptr, h);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->nx, 3);
    EXPECT_STREQ(v->point[0].label, "{ sz=1 }");
    EXPECT_STREQ(v->point[1].label, "{ sz=-1073741823 }");
    EXPECT_STREQ(v->point[2].label, "{ sz=-2147483648 }");
    v = db2vector(db, nullptr, nullptr, nullptr, nullptr, (char *)"depth", nullptr, 0, 0, 0, INT_MAX, nullptr, h2);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->point[2].label, "{ sz=2147483647 }");
    dbclose(db);
}

}  // namespace
