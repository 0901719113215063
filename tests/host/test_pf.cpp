// Parameter files: syntax, nesting, errors, building and round trips.
#include <gtest/gtest.h>

#include <cstring>

#include "pf.h"
#include "rzvtest.h"

namespace {

Pf *read(const char *text) {
    Pf *pf = nullptr;
    EXPECT_EQ(pfread_string(text, &pf), 0) << rzvtest::all_messages();
    return pf;
}

TEST(PfSyntax, ValuesCommentsAndQuotes) {
    Pf *pf = read(
        "# heading comment\n"
        "  name   some value here   # trailing comment\n"
        "quoted \"  keeps # blanks \"\n"
        "escaped \"say \\\"hi\\\" \\\\ end\"\n"
        "empty\n"
        "number 1.5e3\n"
        "name replaced\n");
    ASSERT_TRUE(pf);
    void *v;
    EXPECT_EQ(pfget(pf, "name", &v), PFSTRING);
    EXPECT_STREQ((char *)v, "replaced");
    EXPECT_STREQ(pfget_string(pf, "quoted"), "  keeps # blanks ");
    EXPECT_STREQ(pfget_string(pf, "escaped"), "say \"hi\" \\ end");
    EXPECT_STREQ(pfget_string(pf, "empty"), "");
    EXPECT_DOUBLE_EQ(pfget_double(pf, "number"), 1500.0);
    EXPECT_EQ(pfget(pf, "absent", &v), 0);
    EXPECT_EQ(v, nullptr);
    // Names keep the place of their first definition.
    Tbl *keys = pfkeys(pf);
    ASSERT_EQ(maxtbl(keys), 5);
    EXPECT_STREQ((char *)gettbl(keys, 0), "name");
    EXPECT_STREQ((char *)gettbl(keys, 4), "number");
    freetbl(keys, nullptr);
    pffree(pf);
}

TEST(PfSyntax, NestedTablesAndArrays) {
    Pf *pf = read(
        "points [\n"
        "  0.0 1.0 first\n"
        "  \"  padded \"\n"
        "  [\n"
        "    inner\n"
        "  ]\n"
        "]\n"
        "station {\n"
        "  sta ANMO\n"
        "  chans [\n"
        "    BHZ\n"
        "    BHN\n"
        "  ]\n"
        "  loc {\n"
        "    lat 34.9\n"
        "  }\n"
        "}\n");
    ASSERT_TRUE(pf);
    void *v;
    ASSERT_EQ(pfget(pf, "points", &v), PFTBL);
    Pf *pts = (Pf *)v;
    EXPECT_EQ(maxtbl(pts->value.tbl), 3);
    Tbl *strings = pfget_tbl(pf, "points");  // only the string entries
    ASSERT_EQ(maxtbl(strings), 2);
    EXPECT_STREQ((char *)gettbl(strings, 0), "0.0 1.0 first");
    EXPECT_STREQ((char *)gettbl(strings, 1), "  padded ");
    freetbl(strings, nullptr);

    ASSERT_EQ(pfget(pf, "station", &v), PFARR);
    Pf *st = (Pf *)v;
    EXPECT_STREQ(pfget_string(st, "sta"), "ANMO");
    Tbl *chans = pfget_tbl(st, "chans");
    ASSERT_EQ(maxtbl(chans), 2);
    EXPECT_STREQ((char *)gettbl(chans, 1), "BHN");
    freetbl(chans, nullptr);
    ASSERT_EQ(pfget(st, "loc", &v), PFARR);
    EXPECT_DOUBLE_EQ(pfget_double((Pf *)v, "lat"), 34.9);
    Arr *a = pfget_arr(pf, "station");
    ASSERT_TRUE(a);
    EXPECT_EQ(cntarr(a), 1);  // sta only: chans and loc are not strings
    EXPECT_STREQ((char *)getarr(a, "sta"), "ANMO");
    freearr(a, nullptr);
    pffree(pf);
}

TEST(PfErrors, SyntaxErrorsNameTheSourceAndLine) {
    struct Case {
        const char *text;
        const char *where;
    } cases[] = {
        {"a 1\nb [\n x\n", "string line 2"},          // unclosed table
        {"a 1\n]\n", "string line 2"},                // stray bracket
        {"a {\n x 1\n]\n", "string line 3"},          // mismatched close
        {"a \"open\n", "string line 1"},              // unterminated quote
        {"a \"x\" tail\n", "string line 1"},          // text after the quote
        {"x 1\ny 2\n\"q\" 3\n", "string line 3"},     // a quoted name
    };
    for (auto &c : cases) {
        elog_clear_register(0);
        Pf *pf = (Pf *)0x1;
        EXPECT_EQ(pfread_string(c.text, &pf), -1) << c.text;
        EXPECT_EQ(pf, nullptr);
        EXPECT_TRUE(rzvtest::has_message(c.where)) << c.text << " -> " << rzvtest::all_messages();
    }
}

TEST(PfErrors, NestingTooDeepFailsInsteadOfExhaustingTheStack) {
    std::string deep = "x [\n";
    for (int i = 0; i < 200000; i++) deep += "[\n";
    Pf *pf = nullptr;
    elog_clear_register(0);
    EXPECT_EQ(pfread_string(deep.c_str(), &pf), -1);
    EXPECT_EQ(pf, nullptr);
    EXPECT_TRUE(rzvtest::has_message("string line 513: tables and arrays nested too deeply"))
        << rzvtest::all_messages();
    // A sane depth still reads, arrays and tables mixed, and writes back.
    std::string ok, close;
    for (int i = 0; i < 100; i++) {
        ok += "a" + std::to_string(i) + " {\nl [\n{\n";
        close = "}\n]\n}\n" + close;
    }
    ok += "leaf 1\n" + close;
    ASSERT_EQ(pfread_string(ok.c_str(), &pf), 0) << rzvtest::all_messages();
    char *text = pf2string(pf);
    Pf *again = nullptr;
    ASSERT_EQ(pfread_string(text, &again), 0);
    free(text);
    pffree(again);
    pffree(pf);
}

TEST(PfFiles, ReadFromFileAndErrorsNameTheFile) {
    rzvtest::TempDir dir;
    std::string good = dir.file("good.pf"), bad = dir.file("bad.pf");
    rzvtest::write_file(good, "alpha 1\nlist [\n a\n b\n]\n");
    rzvtest::write_file(bad, "alpha 1\nlist [\n a\n");
    Pf *pf = nullptr;
    ASSERT_EQ(pfread_file(good.c_str(), &pf), 0);
    EXPECT_EQ(pfget_int(pf, "alpha"), 1);
    pffree(pf);
    EXPECT_EQ(pfread_file(bad.c_str(), &pf), -1);
    EXPECT_TRUE(rzvtest::has_message(bad + " line 2"));
    EXPECT_EQ(pfread_file(dir.file("missing.pf").c_str(), &pf), -1);
    EXPECT_EQ(elog_message_flag(elog_count() - 1), 1);
    std::string nul("a 1\nb \0x\n", 9);
    rzvtest::write_file(bad, nul);
    EXPECT_EQ(pfread_file(bad.c_str(), &pf), -1);
    EXPECT_TRUE(rzvtest::has_message("line 2: NUL"));
}

TEST(PfBuild, BuiltObjectsRoundTripThroughText) {
    Pf *pf = pfnew(PFFILE);
    ASSERT_EQ(pfput_string(pf, "plain", "value"), 0);
    ASSERT_EQ(pfput_string(pf, "tricky", " # \"quoted\" \\ "), 0);
    ASSERT_EQ(pfput_string(pf, "bracket", "["), 0);
    ASSERT_EQ(pfput_double(pf, "pi", 3.141592653589793), 0);
    Pf *t = pfnew(PFTBL);
    pfpush_string(t, "row one");
    pfpush_string(t, "");
    Pf *inner = pfnew(PFARR);
    pfput_string(inner, "k", "v");
    pfpush(t, inner);
    pfput(pf, "table", t);

    char *text = pf2string(pf);
    Pf *back = nullptr;
    ASSERT_EQ(pfread_string(text, &back), 0) << text << rzvtest::all_messages();
    EXPECT_STREQ(pfget_string(back, "tricky"), " # \"quoted\" \\ ");
    EXPECT_STREQ(pfget_string(back, "bracket"), "[");
    EXPECT_DOUBLE_EQ(pfget_double(back, "pi"), 3.141592653589793);
    void *v;
    ASSERT_EQ(pfget(back, "table", &v), PFTBL);
    Pf *bt = (Pf *)v;
    ASSERT_EQ(maxtbl(bt->value.tbl), 3);
    EXPECT_STREQ(((Pf *)gettbl(bt->value.tbl, 1))->value.s, "");
    EXPECT_STREQ(pfget_string((Pf *)gettbl(bt->value.tbl, 2), "k"), "v");
    char *again = pf2string(back);
    EXPECT_STREQ(text, again);
    free(text);
    free(again);
    pffree(pf);
    pffree(back);
}

TEST(PfBuild, NamesThatCannotBeReadBackAreRefused) {
    Pf *pf = pfnew(PFFILE);
    const char *bad[] = {"", "two words", "tab\there", "#hash", "a#b", "\"q", "[", "{", "new\nline"};
    for (const char *n : bad) {
        elog_clear_register(0);
        EXPECT_EQ(pfput_string(pf, n, "v"), -1) << n;
        EXPECT_TRUE(rzvtest::has_message("pfput:")) << n;
        Pf *t = pfnew(PFTBL);
        EXPECT_EQ(pfput(pf, n, t), -1) << n;
        pffree(t);  // refused: still the caller's
    }
    Tbl *keys = pfkeys(pf);
    EXPECT_EQ(maxtbl(keys), 0);
    freetbl(keys, nullptr);
    // Storing an object again under its own name keeps it.
    Pf *t = pfnew(PFTBL);
    pfpush_string(t, "x");
    ASSERT_EQ(pfput(pf, "t", t), 0);
    ASSERT_EQ(pfput(pf, "t", t), 0);
    Tbl *got = pfget_tbl(pf, "t");
    ASSERT_EQ(maxtbl(got), 1);
    EXPECT_STREQ((char *)gettbl(got, 0), "x");
    freetbl(got, nullptr);
    pffree(pf);
}

TEST(PfConvert, NumbersThatAreNotNumbersAreReported) {
    Pf *pf = read("word abc\nfortran 2.5d2\nhex 0x1f\n");
    EXPECT_DOUBLE_EQ(pfget_double(pf, "fortran"), 250.0);
    EXPECT_EQ(pfget_int(pf, "hex"), 31);
    EXPECT_EQ(pfget_double(pf, "word"), 0.0);
    EXPECT_TRUE(rzvtest::has_message("pfget_double"));
    EXPECT_EQ(pfget_tbl(pf, "word"), nullptr);
    EXPECT_EQ(pfget_arr(pf, "nothing"), nullptr);
    pffree(pf);
}

}  // namespace
