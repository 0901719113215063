// Database expressions: parsing, typing, evaluation over row text, regular
// expressions, null fields and compile errors.  The engine is driven here
// through a small resolver over hand-made fixed-width rows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "dbex_pvt.h"
#include "stock.h"
#include "tt.h"

namespace {

using dbex::FieldRef;

// Rows: sta(6) chan(8) time(17) endtime(17) nsamp(8) depth(9) -- one blank apart.
struct FakeTable : dbex::Resolver {
    struct F {
        const char *name;
        long off, width;
        int type;
        double nullnum;
        const char *nullstr;
    };
    std::vector<F> f = {
        {"sta", 0, 6, dbex::T_STRING, 0, "-"},
        {"chan", 7, 8, dbex::T_STRING, 0, "-"},
        {"time", 16, 17, dbex::T_TIME, -9999999999.999, ""},
        {"endtime", 34, 17, dbex::T_TIME, 9999999999.999, ""},
        {"nsamp", 52, 8, dbex::T_INTEGER, -1, ""},
        {"depth", 61, 9, dbex::T_REAL, -999, ""},
    };
    int resolve(const std::string &name, FieldRef &ref, std::string &) override {
        std::string n = name;
        if (n.rfind("wfdisc.", 0) == 0) n = n.substr(7);
        for (const F &x : f) {
            if (n == x.name) {
                ref.slot = 0;
                ref.offset = x.off;
                ref.width = x.width;
                ref.type = x.type;
                ref.null_num = x.nullnum;
                ref.null_str = x.nullstr;
                return 1;
            }
        }
        return 0;
    }
};

std::string row(const char *sta, const char *chan, double t, double et, long nsamp, double depth,
                bool null_depth = false) {
    char buf[128];
    snprintf(buf, sizeof buf, "%-6.6s %-8.8s %17.5f %17.5f %8ld %9.4f", sta, chan, t, et, nsamp, depth);
    std::string s = buf;
    if (null_depth) s.replace(61, 9, 9, ' ');
    return s;
}

struct Ev {
    FakeTable tab;
    std::string err;
    std::unique_ptr<dbex::Expr> e;
    bool compile(const char *text) {
        e = dbex::compile(text, tab, err);
        return e != nullptr;
    }
    dbex::Value eval(const std::string &r) {
        const char *rows[1] = {r.c_str()};
        dbex::Row rw;
        rw.rows = rows;
        rw.nrows = 1;
        dbex::Value v;
        EXPECT_TRUE(e->eval(rw, v));
        return v;
    }
    bool test(const std::string &r) {
        const char *rows[1] = {r.c_str()};
        dbex::Row rw;
        rw.rows = rows;
        rw.nrows = 1;
        bool b = false;
        EXPECT_TRUE(e->eval_bool(rw, b));
        return b;
    }
};

const std::string R1 = row("ABC", "BHZ", 1262304000.0, 1262307600.5, 360000, 10.5);

TEST(DbexArithmetic, PrecedenceAndTypes) {
    Ev ev;
    ASSERT_TRUE(ev.compile("1 + 2 * 3 - 4 / 8"));
    EXPECT_EQ(ev.e->type(), dbex::T_REAL);
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 6.5);
    ASSERT_TRUE(ev.compile("(1 + 2) * 3 % 4"));
    EXPECT_EQ(ev.e->type(), dbex::T_INTEGER);
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 1);
    ASSERT_TRUE(ev.compile("--3 - -2"));
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 5);
    ASSERT_TRUE(ev.compile("1.5e3 + .5"));
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 1500.5);
    ASSERT_TRUE(ev.compile("7.5 % 2"));
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 1.5);
}

TEST(DbexArithmetic, FieldsAreReadFromTheRowText) {
    Ev ev;
    ASSERT_TRUE(ev.compile("endtime - time"));
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 3600.5);
    ASSERT_TRUE(ev.compile("wfdisc.nsamp / 100"));
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 3600);
    ASSERT_TRUE(ev.compile("nsamp"));
    EXPECT_EQ(ev.e->type(), dbex::T_INTEGER);
    ASSERT_TRUE(ev.compile("time"));
    // exactly what strtod reads from the text
    EXPECT_EQ(ev.eval(row("A", "B", 1262304000.12345, 0, 0, 0)).num, strtod("1262304000.12345", nullptr));
}

TEST(DbexArithmetic, MathFunctions) {
    Ev ev;
    struct {
        const char *e;
        double v;
    } cases[] = {
        {"abs(-2.5)", 2.5},        {"sqrt(16)", 4},       {"exp(0)", 1},         {"log(exp(2))", 2},
        {"log10(1000)", 3},        {"sin(0)", 0},         {"cos(0)", 1},         {"tan(0)", 0},
        {"asin(1)", M_PI / 2},     {"acos(1)", 0},        {"atan(1)", M_PI / 4}, {"atan2(1, 1)", M_PI / 4},
        {"floor(-1.5)", -2},       {"ceil(1.2)", 2},      {"min(3, 1, 2)", 1},   {"max(3, 1, 2)", 3},
        {"pow(2, 10)", 1024},      {"max(depth, 20)", 20},
        {"yearday(1262304000)", 2010001}, {"yearday(951782400)", 2000060},  // 2000-02-29
        {"yearday(-1)", 1969365},  {"epoch(2010001)", 1262304000}, {"yearday(epoch(2012366))", 2012366},
    };
    for (auto &c : cases) {
        ASSERT_TRUE(ev.compile(c.e)) << c.e << ": " << ev.err;
        EXPECT_NEAR(ev.eval(R1).num, c.v, 1e-12) << c.e;
    }
}

TEST(DbexCompare, NumericAndStringComparisons) {
    Ev ev;
    ASSERT_TRUE(ev.compile("sta == \"ABC\" && chan != 'BHN'"));
    EXPECT_EQ(ev.e->type(), dbex::T_BOOLEAN);
    EXPECT_TRUE(ev.test(R1));
    ASSERT_TRUE(ev.compile("sta < \"ABD\" && sta > \"AB\" && sta >= \"ABC\" && sta <= \"ABC\""));
    EXPECT_TRUE(ev.test(R1));
    ASSERT_TRUE(ev.compile("nsamp > 100000 && depth < 11 && !(depth > 11)"));
    EXPECT_TRUE(ev.test(R1));
    ASSERT_TRUE(ev.compile("nsamp == \"360000\""));  // mixed: numeric
    EXPECT_TRUE(ev.test(R1));
    ASSERT_TRUE(ev.compile("depth > 11 || sta == \"ABC\""));
    EXPECT_TRUE(ev.test(R1));
    ASSERT_TRUE(ev.compile("!sta == \"ABC\""));  // '!' applies to the comparison
    EXPECT_FALSE(ev.test(R1));
}

TEST(DbexRegex, WholeStringMatch) {
    Ev ev;
    ASSERT_TRUE(ev.compile("chan =~ /BH./"));
    EXPECT_TRUE(ev.test(R1));
    EXPECT_FALSE(ev.test(row("ABC", "XBHZ", 0, 0, 0, 0)));
    EXPECT_FALSE(ev.test(row("ABC", "BHZ1", 0, 0, 0, 0)));
    ASSERT_TRUE(ev.compile("sta =~ /AB.*/ && chan !~ /BHN|BHE/"));
    EXPECT_TRUE(ev.test(R1));
    EXPECT_FALSE(ev.test(row("ABC", "BHN", 0, 0, 0, 0)));
    EXPECT_FALSE(ev.test(row("XAB", "BHZ", 0, 0, 0, 0)));
    ASSERT_TRUE(ev.compile("sta =~ \"A|X\""));  // alternation is inside the anchors
    EXPECT_FALSE(ev.test(R1));
    EXPECT_TRUE(ev.test(row("X", "BHZ", 0, 0, 0, 0)));
    ASSERT_TRUE(ev.compile("sta =~ /a\\/b/"));
    EXPECT_TRUE(ev.test(row("a/b", "BHZ", 0, 0, 0, 0)));
    ASSERT_TRUE(ev.compile("nsamp =~ /36.*/"));  // numeric fields match on their text
    EXPECT_TRUE(ev.test(R1));
}

TEST(DbexRegex, TimeWindowsStrictAndInclusive) {
    Ev ev;
    std::string r = row("ABC", "BHZ", 100.0, 200.0, 0, 0);
    // a window that only touches the row's end
    ASSERT_TRUE(ev.compile("time < 300 && endtime > 200"));
    EXPECT_FALSE(ev.test(r));
    ASSERT_TRUE(ev.compile("time <= 300 && endtime >= 200"));
    EXPECT_TRUE(ev.test(r));
    // and one that only touches its start
    ASSERT_TRUE(ev.compile("time < 100 && endtime > 0"));
    EXPECT_FALSE(ev.test(r));
    ASSERT_TRUE(ev.compile("time <= 100 && endtime >= 0"));
    EXPECT_TRUE(ev.test(r));
    ASSERT_TRUE(ev.compile("time < 100.00001 && endtime > 199.99999"));
    EXPECT_TRUE(ev.test(r));
}

TEST(DbexNulls, NullFieldsReadTheirNullValue) {
    Ev ev;
    std::string r = row("ABC", "BHZ", 1, 2, 3, 0, true);
    ASSERT_TRUE(ev.compile("depth"));
    EXPECT_DOUBLE_EQ(ev.eval(r).num, -999);
    // a missing row (outer join without partner) reads nulls throughout
    const char *rows[1] = {nullptr};
    dbex::Row rw;
    rw.rows = rows;
    rw.nrows = 1;
    dbex::Value v;
    ASSERT_TRUE(ev.compile("sta"));
    ASSERT_TRUE(ev.e->eval(rw, v));
    EXPECT_EQ(v.str, "-");
    ASSERT_TRUE(ev.compile("nsamp"));
    ASSERT_TRUE(ev.e->eval(rw, v));
    EXPECT_DOUBLE_EQ(v.num, -1);
    ASSERT_TRUE(ev.compile("time"));
    ASSERT_TRUE(ev.e->eval(rw, v));
    EXPECT_DOUBLE_EQ(v.num, -9999999999.999);
}

TEST(DbexStrings, StringResultsAndNumberFormatting) {
    Ev ev;
    ASSERT_TRUE(ev.compile("chan"));
    EXPECT_EQ(ev.e->type(), dbex::T_STRING);
    EXPECT_EQ(ev.eval(R1).str, "BHZ");
    EXPECT_EQ(dbex::format_number(0.1, false), "0.1");
    EXPECT_EQ(dbex::format_number(42, true), "42");
    EXPECT_EQ(dbex::format_number(1262304000.12345, false), "1262304000.12345");
}

TEST(DbexNumbers, ParseMatchesStrtod) {
    const char *texts[] = {"0", "-1", "  17.5  ", "1262304000.00001", "-9999999999.99900", "1e5",
                           "123456789012345678901234", "0.1", "-0.000001", "+3", "-.5", "1E-3"};
    for (const char *t : texts) {
        EXPECT_EQ(dbex::parse_number(t, strlen(t), -7), strtod(t, nullptr)) << t;
    }
    EXPECT_EQ(dbex::parse_number("   ", 3, -7), -7);
    EXPECT_EQ(dbex::parse_number("abc", 3, -7), -7);
    EXPECT_EQ(dbex::parse_number(".", 1, -7), -7);
    EXPECT_EQ(dbex::parse_number("12abc", 5, -7), -7);
    EXPECT_EQ(dbex::parse_number("1.5d", 4, -7), -7);
}

TEST(DbexCompileErrors, NameTheExpressionAndPosition) {
    Ev ev;
    struct {
        const char *e;
        const char *what;
        int pos;
    } bad[] = {
        {"sta =~ /AB", "unterminated regular expression", 8},
        {"1 + ", "unexpected end of expression", 5},
        {"nosuch > 3", "unknown field 'nosuch'", 1},
        {"(1 + 2", "')' expected", 7},
        {"sqrt(1, 2)", "wrong number of arguments", 1},
        {"frob(1)", "unknown function 'frob'", 1},
        {"sta =~ /a(/", "bad regular expression", 8},
        {"1 $ 2", "unexpected character '$'", 3},
        {"\"abc", "unterminated string", 1},
        {"3 4", "unexpected '4'", 3},
        {"", "unexpected end of expression", 1},
        {"12abc", "bad number", 3},
        {"sta =~ 5", "regular expression expected", 8},
        {"sta =~ /(a{200}){200}/", "too complex", 8},
        {"sta =~ /(.)\\1/", "back-references are not supported", 8},
    };
    // nesting and long chains are refused before they can exhaust the stack
    std::string deep(100000, '(');
    EXPECT_FALSE(ev.compile(deep.c_str()));
    EXPECT_NE(ev.err.find("too deeply nested"), std::string::npos);
    std::string chain = "1";
    for (int i = 0; i < 100000; ++i) chain += "+1";
    EXPECT_FALSE(ev.compile(chain.c_str()));
    EXPECT_NE(ev.err.find("too deeply nested"), std::string::npos);
    std::string minus(100000, '-');
    EXPECT_FALSE(ev.compile((minus + "1").c_str()));
    std::string ok = "1";
    for (int i = 0; i < 300; ++i) ok += "+1";
    ASSERT_TRUE(ev.compile(ok.c_str()));
    EXPECT_DOUBLE_EQ(ev.eval(R1).num, 301);
    for (auto &b : bad) {
        EXPECT_FALSE(ev.compile(b.e)) << b.e;
        EXPECT_NE(ev.err.find(std::string("'") + b.e + "'"), std::string::npos) << ev.err;
        EXPECT_NE(ev.err.find(b.what), std::string::npos) << ev.err;
        EXPECT_NE(ev.err.find("at position " + std::to_string(b.pos)), std::string::npos) << ev.err;
    }
}

TEST(DbexThreads, OneCompiledExpressionServesSeveralThreads) {
    Ev ev;
    ASSERT_TRUE(ev.compile("sta =~ /AB.*/ && chan =~ /BH./ && time < 1262307600 && sqrt(nsamp) > 1"));
    std::string rows[2] = {R1, row("XAB", "BHZ", 1262304000.0, 1262307600.5, 360000, 10.5)};
    long hits[4] = {0, 0, 0, 0};
    std::vector<std::thread> th;
    for (int k = 0; k < 4; ++k) {
        th.emplace_back([&, k] {
            for (int i = 0; i < 5000; ++i) {
                const char *r[1] = {rows[i % 2].c_str()};
                dbex::Row rw;
                rw.rows = r;
                rw.nrows = 1;
                bool b = false;
                if (ev.e->eval_bool(rw, b) && b) ++hits[k];
            }
        });
    }
    for (auto &t : th) t.join();
    for (long h : hits) EXPECT_EQ(h, 2500);
}

TEST(DbexTravelTimes, UnknownWithoutAModel) {
    Ev ev;
    dbex::TravelTimeFn saved = dbex::travel_time();
    dbex::set_travel_time(nullptr);
    EXPECT_FALSE(ev.compile("ptime(10, 0)"));
    EXPECT_NE(ev.err.find("unknown function 'ptime'"), std::string::npos);
    dbex::set_travel_time(saved);
}

TEST(DbexTravelTimes, FirstArrivalsFromIasp91) {
    Ev ev;
    ASSERT_TRUE(ev.compile("ptime(30, depth)")) << ev.err;
    double p = ev.eval(R1).num;
    EXPECT_DOUBLE_EQ(p, tt_ptime(30, 10.5));
    EXPECT_GT(p, 300);
    EXPECT_LT(p, 450);
    ASSERT_TRUE(ev.compile("stime(30, depth) - ptime(30, depth)"));
    EXPECT_NEAR(ev.eval(R1).num, tt_stime(30, 10.5) - p, 1e-9);
    EXPECT_GT(ev.eval(R1).num, 200);
    // no arrival: the evaluation fails instead of giving a number
    ASSERT_TRUE(ev.compile("ptime(30, -5000)"));
    const char *rows[1] = {R1.c_str()};
    dbex::Row rw;
    rw.rows = rows;
    rw.nrows = 1;
    dbex::Value v;
    EXPECT_FALSE(ev.e->eval(rw, v));
    elog_clear_register(0);
}

}  // namespace
