// Database expressions through the public calls, on rows of an in-memory
// database: precedence and associativity as users write them, integer and
// real arithmetic (and division by zero), string against numeric
// comparison, whole-string regular expressions, null, time and day fields,
// compile errors, and assignment through setflag.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include <memory>

#include "db.h"
#include "dbex_pvt.h"
#include "rzvtest.h"

namespace {

using rzvtest::has_message;

class Expr : public ::testing::Test {
protected:
    Dbptr db{}, wf{};
    void SetUp() override {
        elog_clear_register(0);
        ASSERT_EQ(dbopen_memory(&db), 0);
        wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        // row 0: wfid 5, nulls in nsamp, calper, dir, lddate
        ASSERT_EQ(dbaddv(wf, nullptr, "sta", "ABC", "chan", "BHZ", "time", 1262304000.25, "endtime",
                         1262307600.5, "wfid", 5L, "jdate", 2010001L, "lddate", -9999999999.999, nullptr),
                  0);
        // row 1: wfid 2, a set load date
        ASSERT_EQ(dbaddv(wf, nullptr, "sta", "XAB", "chan", "BHN", "time", 1000.0, "endtime", 2000.0, "wfid", 2L,
                         "jdate", 1970001L, "nsamp", 40L, "lddate", 1262304000.0, nullptr),
                  1);
    }
    void TearDown() override { dbclose(db); }

    Dbptr row(long r) const {
        Dbptr p = wf;
        p.record = r;
        return p;
    }
    double num(const char *e, long r = 0) {
        double x = -777;
        EXPECT_EQ(dbex_evalstr(row(r), e, dbREAL, &x), dbREAL) << e;
        return x;
    }
    long lng(const char *e, long r = 0) {
        long x = -777;
        EXPECT_EQ(dbex_evalstr(row(r), e, dbINTEGER, &x), dbINTEGER) << e;
        return x;
    }
    bool truth(const char *e, long r = 0) {
        long x = -777;
        EXPECT_EQ(dbex_evalstr(row(r), e, dbBOOLEAN, &x), dbBOOLEAN) << e;
        return x != 0;
    }
    std::string text(const char *e, long r = 0) {
        char *s = nullptr;
        EXPECT_EQ(dbex_evalstr(row(r), e, dbSTRING, &s), dbSTRING) << e;
        std::string out = s ? s : "(null)";
        free(s);
        return out;
    }
    int natural(const char *e, long r = 0) {
        // the natural type, with room for any result
        union {
            double d;
            long l;
            char *s;
        } u;
        u.s = nullptr;
        int t = dbex_evalstr(row(r), e, 0, &u);
        if (t == dbSTRING) free(u.s);
        return t;
    }
    // The compile message, or "" when the expression compiles.
    std::string compile_error(const char *e) {
        elog_clear_register(0);
        Expression *x = nullptr;
        int rc = dbex_compile(wf, e, &x, 0);
        std::string m = rzvtest::all_messages();
        elog_clear_register(0);
        if (rc == 0) {
            dbex_free(x);
            return "";
        }
        EXPECT_EQ(x, nullptr);
        return m;
    }
};

TEST_F(Expr, ArithmeticAssociatesLeftAndBindsAsInC) {
    EXPECT_DOUBLE_EQ(num("10 - 4 - 3"), 3);
    EXPECT_DOUBLE_EQ(num("100 / 10 / 5"), 2);
    EXPECT_DOUBLE_EQ(num("2 * 3 % 4"), 2);
    EXPECT_DOUBLE_EQ(num("17 % 5 * 2"), 4);
    EXPECT_DOUBLE_EQ(num("2 + 3 * 4 - 6 / 2"), 11);
    EXPECT_DOUBLE_EQ(num("wfid - 1 - 1"), 3);
    EXPECT_DOUBLE_EQ(num("endtime - time - 3600"), 0.25);
    // unary minus binds tighter than any binary operator
    EXPECT_DOUBLE_EQ(num("-2 * 3"), -6);
    EXPECT_DOUBLE_EQ(num("- 3 - 2"), -5);
    EXPECT_DOUBLE_EQ(num("-(3 - 2)"), -1);
    EXPECT_DOUBLE_EQ(num("2 - -3"), 5);
    EXPECT_DOUBLE_EQ(num("-2 % 3"), -2);
    EXPECT_DOUBLE_EQ(num("-pow(2, 2)"), -4);
    EXPECT_DOUBLE_EQ(num("-wfid * -wfid"), 25);
    // there is no power operator: a message, not a misreading
    std::string m = compile_error("-wfid^2");
    EXPECT_NE(m.find("expression '-wfid^2'"), std::string::npos) << m;
    EXPECT_NE(m.find("'^' at position 6"), std::string::npos) << m;
}

TEST_F(Expr, LogicalOperatorsAndComparisons) {
    // && binds tighter than ||, on either side
    EXPECT_TRUE(truth("1 == 2 && 1 == 1 || 1 == 1"));
    EXPECT_TRUE(truth("1 == 1 || 1 == 1 && 1 == 2"));
    EXPECT_FALSE(truth("1 == 2 || 1 == 1 && 1 == 2"));
    // ! of an operand, then &&: (!0) && 0, not !(0 && 0)
    EXPECT_FALSE(truth("!0 && 0"));
    EXPECT_TRUE(truth("!1 || 1"));
    EXPECT_TRUE(truth("!(wfid == 1) && chan == \"BHZ\""));
    EXPECT_FALSE(truth("!(wfid == 5) && chan == \"BHZ\""));
    EXPECT_TRUE(truth("!!(wfid == 5)"));
    // the selections users write
    EXPECT_TRUE(truth("sta == \"ABC\" && time < 1262307000 && endtime > 1262305000 || sta == \"XAB\""));
    EXPECT_TRUE(truth("sta == \"ABC\" && time < 1262307000 && endtime > 1262305000 || sta == \"XAB\"", 1));
    EXPECT_FALSE(truth("sta == \"ABC\" && (time > 1262307000 || endtime < 1262305000)"));
    EXPECT_TRUE(truth("wfid >= 5 && wfid <= 5 && wfid != 4"));
    // a lone '=' is equality
    EXPECT_TRUE(truth("wfid = 5"));
    // chained comparisons are refused with the place, rather than read as (a < b) < c
    std::string m = compile_error("1 < 2 < 3");
    EXPECT_NE(m.find("expression '1 < 2 < 3'"), std::string::npos) << m;
    EXPECT_NE(m.find("position 7"), std::string::npos) << m;
    // comparisons and matches give booleans that count as 0 and 1
    EXPECT_DOUBLE_EQ(num("(wfid == 5) + (sta =~ /A.*/) + (1 > 2)"), 2);
}

TEST_F(Expr, IntegerAndRealArithmetic) {
    EXPECT_EQ(natural("wfid * 2 + 1"), dbINTEGER);
    EXPECT_EQ(lng("wfid * 2 + 1"), 11);
    EXPECT_EQ(natural("7 % 2"), dbINTEGER);
    EXPECT_EQ(lng("7 % 2"), 1);
    EXPECT_EQ(lng("-7 % 2"), -1);  // the sign of the dividend, as in C
    // division is real, even of integers
    EXPECT_EQ(natural("wfid / 2"), dbREAL);
    EXPECT_DOUBLE_EQ(num("wfid / 2"), 2.5);
    EXPECT_EQ(natural("7.5 % 2"), dbREAL);
    EXPECT_DOUBLE_EQ(num("7.5 % 2"), 1.5);
    EXPECT_EQ(natural("jdate"), dbINTEGER);
    EXPECT_EQ(natural("time"), dbREAL);
    EXPECT_EQ(natural("floor(time)"), dbINTEGER);
    EXPECT_EQ(natural("abs(wfid - 9)"), dbINTEGER);
    EXPECT_EQ(natural("min(wfid, 2.5)"), dbREAL);
    EXPECT_EQ(natural("1e3"), dbREAL);
    EXPECT_EQ(lng("3000000000 * 3"), 9000000000L);
    // an integer asked for from a real is its integer part
    EXPECT_EQ(lng("time"), 1262304000L);
    EXPECT_EQ(lng("-2.7"), -2);
    EXPECT_EQ(text("wfid * 2"), "10");
    EXPECT_EQ(text("wfid / 2"), "2.5");
    EXPECT_EQ(text("time"), "1262304000.25");
}

TEST_F(Expr, DivisionByZeroHasADefinedResult) {
    EXPECT_TRUE(std::isinf(num("1 / 0")));
    EXPECT_GT(num("1 / 0"), 0);
    EXPECT_TRUE(std::isinf(num("-wfid / 0")));
    EXPECT_TRUE(std::isnan(num("0 / 0")));
    EXPECT_TRUE(std::isnan(num("wfid % 0")));
    EXPECT_TRUE(std::isnan(num("7.5 % 0")));
    EXPECT_EQ(text("1 / 0"), "inf");
    // no integer value: a failure with a message naming the expression
    long l = 0;
    elog_clear_register(0);
    EXPECT_EQ(dbex_evalstr(row(0), "wfid % 0", 0, &l), -1);
    EXPECT_TRUE(has_message("expression 'wfid % 0' has no integer value"));
    EXPECT_EQ(dbex_evalstr(row(0), "1 / 0", dbINTEGER, &l), -1);
    EXPECT_EQ(dbex_evalstr(row(0), "1e300 * 1e300", dbINTEGER, &l), -1);
    elog_clear_register(0);
    // comparisons with NaN are false, so a subset simply keeps nothing
    EXPECT_FALSE(truth("wfid % 0 == 0"));
    EXPECT_TRUE(truth("wfid % 0 != 0"));
    Dbptr v = dbsubset(wf, "wfid % 0 == 0 || 0 / (wfid - 5) > 0", nullptr);
    ASSERT_NE(v.table, dbINVALID);
    long n = -1;
    dbquery(v, dbRECORD_COUNT, &n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(elog_count(), 0);
    dbfree(v);
}

TEST_F(Expr, StringComparisonOnlyWhenBothSidesAreStrings) {
    EXPECT_TRUE(truth("sta == \"ABC\""));
    EXPECT_TRUE(truth("sta == 'ABC'"));
    EXPECT_TRUE(truth("sta < \"ABD\" && sta > \"AB\" && sta < \"ABC \""));
    EXPECT_TRUE(truth("\"10\" < \"9\""));   // text order
    EXPECT_FALSE(truth("10 < \"9\""));      // numbers
    EXPECT_FALSE(truth("wfid < \"10\" && wfid > \"9\""));
    EXPECT_TRUE(truth("wfid < \"10\""));
    EXPECT_TRUE(truth("chan != sta"));
    EXPECT_TRUE(truth("\"a\\\"b\" == 'a\"b'"));
    // a string read as a number: its number, or 0 when it is not one
    EXPECT_DOUBLE_EQ(num("\"2.5\" * 2"), 5);
    EXPECT_DOUBLE_EQ(num("sta + 1"), 1);
    EXPECT_EQ(natural("sta"), dbSTRING);
    EXPECT_EQ(text("chan"), "BHZ");
}

TEST_F(Expr, RegularExpressionsMatchTheWholeString) {
    EXPECT_FALSE(truth("sta =~ /AB/"));
    EXPECT_TRUE(truth("sta =~ /AB./"));
    EXPECT_TRUE(truth("sta =~ /AB.*/"));
    EXPECT_FALSE(truth("sta =~ /B.*/"));
    EXPECT_FALSE(truth("sta =~ /A|XAB/"));
    EXPECT_TRUE(truth("sta =~ /A|XAB/", 1));
    EXPECT_TRUE(truth("sta =~ /^ABC$/"));
    EXPECT_FALSE(truth("sta =~ /abc/"));
    EXPECT_TRUE(truth("chan =~ /BH[ZNE]/ && chan !~ /BH[NE]/"));
    EXPECT_TRUE(truth("sta !~ /AB.*/", 1));
    EXPECT_TRUE(truth("wfid =~ /5/"));
    EXPECT_TRUE(truth("jdate =~ /2010.*/"));
    EXPECT_TRUE(truth("dir =~ /-/"));  // a null string reads as its null text
    EXPECT_TRUE(truth("wfid * 2 =~ /10/"));
    EXPECT_TRUE(truth("sta =~ \"A.C\""));
    EXPECT_TRUE(truth("sta =~ /A\\.*BC/"));  // an escape other than \/ is the pattern's own
    std::string m = compile_error("sta =~ /A(/");
    EXPECT_NE(m.find("expression 'sta =~ /A(/'"), std::string::npos) << m;
    EXPECT_NE(m.find("position 8"), std::string::npos) << m;
}

TEST_F(Expr, APatternMayEndInAnEscapedBackslash) {
    Dbptr r = row(0);
    ASSERT_EQ(dbputv(r, nullptr, "dfile", "a\\", nullptr), 0);
    // the pattern a\\ : a letter and a backslash; the slash after it ends it
    EXPECT_TRUE(truth("dfile =~ /a\\\\/ && 1"));
    EXPECT_TRUE(truth("dfile =~ /a[\\\\]/"));
    EXPECT_FALSE(truth("dfile =~ /a\\\\b/"));
}

// One string field at the very end of an unterminated row.
struct LastField : dbex::Resolver {
    int resolve(const std::string &name, dbex::FieldRef &ref, std::string &) override {
        if (name != "chan") return 0;
        ref.slot = 0;
        ref.offset = 4;
        ref.width = 8;
        ref.type = dbex::T_STRING;
        ref.null_str = "-";
        return 1;
    }
};

TEST(ExprRows, AMatchReadsNoFurtherThanTheField) {
    LastField fields;
    std::string err;
    std::unique_ptr<dbex::Expr> e = dbex::compile("chan =~ /BH.*/", fields, err);
    ASSERT_TRUE(e) << err;
    // exactly the row's bytes, no newline and no terminator after it (the
    // address checker reports any read past them)
    const char text[] = "ABC BHZ12345";
    std::unique_ptr<char[]> row(new char[12]);
    memcpy(row.get(), text, 12);
    const char *rows[1] = {row.get()};
    dbex::Row r;
    r.rows = rows;
    r.nrows = 1;
    bool b = false;
    ASSERT_TRUE(e->eval_bool(r, b));
    EXPECT_TRUE(b);
    memcpy(row.get() + 4, "HHZ     ", 8);
    ASSERT_TRUE(e->eval_bool(r, b));
    EXPECT_FALSE(b);
}

TEST_F(Expr, NullFieldsReadTheirNullValues) {
    EXPECT_EQ(lng("nsamp"), -1);
    EXPECT_DOUBLE_EQ(num("calper"), -1);
    EXPECT_DOUBLE_EQ(num("calib"), 1);
    EXPECT_EQ(lng("commid"), -1);
    EXPECT_EQ(lng("foff"), -1);
    EXPECT_EQ(text("dir"), "-");
    EXPECT_EQ(text("segtype"), "-");
    EXPECT_EQ(lng("nsamp + 1"), 0);
    EXPECT_DOUBLE_EQ(num("samprate"), -1);
    EXPECT_TRUE(truth("nsamp == -1 && calper < 0"));
    EXPECT_EQ(lng("nsamp", 1), 40);
}

TEST_F(Expr, LoadDatesReadAsTheEngineReadsThem) {
    double got = 0;
    ASSERT_EQ(dbgetv(row(1), nullptr, "lddate", &got, nullptr), 0);
    EXPECT_DOUBLE_EQ(num("lddate", 1), got);
    EXPECT_TRUE(truth("lddate > 1262303999", 1));
    // a null load date: the same null dbgetv gives
    ASSERT_EQ(dbgetv(row(0), nullptr, "lddate", &got, nullptr), 0);
    EXPECT_DOUBLE_EQ(got, -9999999999.999);
    EXPECT_DOUBLE_EQ(num("lddate", 0), got);
    EXPECT_FALSE(truth("lddate > 0", 0));
}

TEST_F(Expr, TimeAndDayFields) {
    EXPECT_DOUBLE_EQ(num("time"), 1262304000.25);
    EXPECT_DOUBLE_EQ(num("endtime - time"), 3600.25);
    EXPECT_EQ(lng("yearday(time)"), 2010001);
    EXPECT_EQ(lng("yearday(endtime)"), 2010001);
    EXPECT_TRUE(truth("jdate == yearday(time)"));
    EXPECT_DOUBLE_EQ(num("epoch(jdate)"), 1262304000.0);
    EXPECT_DOUBLE_EQ(num("epoch(jdate)", 1), 0);
    EXPECT_EQ(lng("yearday(time)", 1), 1970001);
    double t = 0;
    EXPECT_EQ(dbex_evalstr(row(0), "time + 60", dbTIME, &t), dbTIME);
    EXPECT_DOUBLE_EQ(t, 1262304060.25);
    long yd = 0;
    EXPECT_EQ(dbex_evalstr(row(0), "jdate + 1", dbYEARDAY, &yd), dbYEARDAY);
    EXPECT_EQ(yd, 2010002);
}

TEST_F(Expr, TravelTimesOfTheFormattedRequests) {
    // the form the event display formats: "ptime(%f,%f)"
    char e[64];
    snprintf(e, sizeof e, "ptime(%f,%f)", 30.0, 10.0);
    double p = num(e), p2 = num("ptime(30, 10)");
    EXPECT_DOUBLE_EQ(p, p2);
    EXPECT_GT(p, 300);
    EXPECT_LT(p, 450);
    snprintf(e, sizeof e, "stime(%f,%f)", 30.0, 10.0);
    EXPECT_GT(num(e), p);
    snprintf(e, sizeof e, "ptime(%f,%f)", 12.345678, -0.5);  // a source a little above sea level
    double x = -1;
    int rc = dbex_evalstr(row(0), e, dbREAL, &x);
    EXPECT_TRUE(rc == dbREAL || rc == -1);
    elog_clear_register(0);
}

TEST_F(Expr, CompileErrorsNameTheExpressionAndThePosition) {
    struct {
        const char *e;
        const char *what;
        int pos;
    } cases[] = {
        {"time >", "unexpected end of expression", 7},
        {"sensor.sta == \"A\"", "unknown field 'sensor.sta'", 1},
        {"wfid == 1 && nosuch", "unknown field 'nosuch'", 14},
        {"(wfid == 1", "')' expected", 11},
        {"wfid == 1)", "unexpected ')'", 10},
        {"atan2(1)", "wrong number of arguments", 1},
        {"chan =~ BHZ", "regular expression expected", 9},
    };
    for (auto &c : cases) {
        std::string m = compile_error(c.e);
        EXPECT_NE(m.find(std::string("dbex_compile: expression '") + c.e + "': "), std::string::npos) << m;
        EXPECT_NE(m.find(c.what), std::string::npos) << m;
        EXPECT_NE(m.find("at position " + std::to_string(c.pos)), std::string::npos) << m;
    }
    // the view calls say the same, with their own name
    elog_clear_register(0);
    EXPECT_EQ(dbsubset(wf, "chan =~ /BH", nullptr).table, dbINVALID);
    EXPECT_TRUE(has_message("dbsubset: expression 'chan =~ /BH': unterminated regular expression at position 9"));
    elog_clear_register(0);
    Tbl *k = strtbl("sta", "time +", nullptr);
    EXPECT_EQ(dbsort(wf, k, 0, nullptr).table, dbINVALID);
    EXPECT_TRUE(has_message("dbsort: expression 'time +'"));
    freetbl(k, nullptr);
    elog_clear_register(0);
}

TEST_F(Expr, AssignmentConvertsToTheFieldsType) {
    Expression *e = nullptr;
    // a real field assigned from an integer result type
    ASSERT_EQ(dbex_compile(wf, "calper", &e, dbINTEGER), 0);
    long three = 3;
    EXPECT_EQ(dbex_eval(row(0), e, 1, &three), dbINTEGER);
    dbex_free(e);
    double calper = 0;
    ASSERT_EQ(dbgetv(row(0), nullptr, "calper", &calper, nullptr), 0);
    EXPECT_DOUBLE_EQ(calper, 3.0);
    // an integer field from a real
    ASSERT_EQ(dbex_compile(wf, "nsamp", &e, dbREAL), 0);
    double twelve = 12.0;
    EXPECT_EQ(dbex_eval(row(0), e, 1, &twelve), dbREAL);
    dbex_free(e);
    long nsamp = 0;
    ASSERT_EQ(dbgetv(row(0), nullptr, "nsamp", &nsamp, nullptr), 0);
    EXPECT_EQ(nsamp, 12);
    // a number field from text, and text that is no number is refused
    ASSERT_EQ(dbex_compile(wf, "samprate", &e, dbSTRING), 0);
    char *s = const_cast<char *>("40.5");
    EXPECT_EQ(dbex_eval(row(0), e, 1, &s), dbSTRING);
    double sr = 0;
    ASSERT_EQ(dbgetv(row(0), nullptr, "samprate", &sr, nullptr), 0);
    EXPECT_DOUBLE_EQ(sr, 40.5);
    s = const_cast<char *>("fast");
    elog_clear_register(0);
    EXPECT_EQ(dbex_eval(row(0), e, 1, &s), -1);
    EXPECT_TRUE(has_message("samprate"));
    dbex_free(e);
    ASSERT_EQ(dbgetv(row(0), nullptr, "samprate", &sr, nullptr), 0);
    EXPECT_DOUBLE_EQ(sr, 40.5);
    // a string field from a number
    ASSERT_EQ(dbex_compile(wf, "dfile", &e, dbINTEGER), 0);
    long id = 42;
    EXPECT_EQ(dbex_eval(row(0), e, 1, &id), dbINTEGER);
    dbex_free(e);
    EXPECT_EQ(text("dfile"), "42");
    // the natural type of a plain field: its own
    ASSERT_EQ(dbex_compile(wf, "chan", &e, 0), 0);
    s = const_cast<char *>("HHZ");
    EXPECT_EQ(dbex_eval(row(0), e, 1, &s), dbSTRING);
    dbex_free(e);
    EXPECT_EQ(text("chan"), "HHZ");
    elog_clear_register(0);
}

TEST_F(Expr, PointerFieldsAreNotAssignedFromExpressions) {
    Dbptr tr = dblookup(db, nullptr, "trace", nullptr, nullptr);
    ASSERT_EQ(dbaddv(tr, nullptr, "sta", "ABC", nullptr), 0);
    tr.record = 0;
    Expression *e = nullptr;
    ASSERT_EQ(dbex_compile(tr, "data", &e, 0), 0);
    char *s = const_cast<char *>("0x1234");
    elog_clear_register(0);
    EXPECT_EQ(dbex_eval(tr, e, 1, &s), -1);
    EXPECT_TRUE(has_message("data"));
    dbex_free(e);
    void *p = reinterpret_cast<void *>(1);
    ASSERT_EQ(dbgetv(tr, nullptr, "data", &p, nullptr), 0);
    EXPECT_EQ(p, nullptr);
    elog_clear_register(0);
}

}  // namespace
