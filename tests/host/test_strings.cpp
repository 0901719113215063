// Strings, regular expressions, number reading, colours and byte order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "rzvtest.h"
#include "stock.h"

namespace {

TEST(Strings, TrimSubSplit) {
    char a[] = "  \t padded text \n";
    EXPECT_STREQ(strtrim(a), "padded text");
    char blank[] = "   ";
    EXPECT_STREQ(strtrim(blank), "");

    char s[64] = "BH:Z BH:N";
    EXPECT_STREQ(strsub(s, ":", " ", s), "BH Z BH N");
    char out[64];
    EXPECT_STREQ(strsub((char *)"aXbXc", "X", "--", out), "a--b--c");
    EXPECT_STREQ(strsub((char *)"abc", "", "zz", out), "abc");

    char list[] = ",AB.*,, BHZ ,";
    Tbl *t = split(list, ",");
    ASSERT_EQ(maxtbl(t), 2);
    EXPECT_STREQ((char *)gettbl(t, 0), "AB.*");
    EXPECT_STREQ((char *)gettbl(t, 1), " BHZ ");
    freetbl(t, nullptr);
}

TEST(Strings, RegexMatchesTheWholeString) {
    EXPECT_EQ(strmatches("BHZ", "BH.", nullptr), 1);
    EXPECT_EQ(strmatches("XBHZ", "BH.", nullptr), 0);
    EXPECT_EQ(strmatches("BHZZ", "BH.", nullptr), 0);
    EXPECT_EQ(strmatches("BHZ", "BHZ|HHZ", nullptr), 1);  // alternation inside the anchors
    EXPECT_EQ(strmatches("HHZ", "BHZ|HHZ", nullptr), 1);
    EXPECT_EQ(strmatches("x", "(", nullptr), -1);
    EXPECT_TRUE(rzvtest::has_message("strmatches: bad regular expression '('"));

    // The pattern is taken as written: an unbalanced '(' is an error, not a
    // prefix match.  Back-references have no linear-time form: refused.
    EXPECT_EQ(strmatches("abc", "a)|(b", nullptr), -1);
    EXPECT_EQ(strmatches("BHZ", "(BH).)|(Z", nullptr), -1);
    elog_clear_register(0);
    EXPECT_EQ(strmatches("aa", "(.)\\1", nullptr), -1);
    EXPECT_TRUE(rzvtest::has_message("strmatches: bad regular expression '(.)\\1': back-references are not supported"));
    // Whole-string matching when a shorter alternative matches first.
    EXPECT_EQ(strmatches("b", "x*|b", nullptr), 1);
    EXPECT_EQ(strmatches("abcd", "(a|ab)(c|bcd)", nullptr), 1);
    EXPECT_EQ(strmatches("baaa", "a*", nullptr), 0);
    EXPECT_EQ(strmatches("", "a*", nullptr), 1);
    EXPECT_EQ(strmatches("BHZ", "HZ", nullptr), 0);

    // Patterns whose automaton would take seconds and gigabytes are refused.
    elog_clear_register(0);
    EXPECT_EQ(strmatches("a", "((a{255}){255}){255}", nullptr), -1);
    EXPECT_TRUE(rzvtest::has_message("strmatches: regular expression '((a{255}){255}){255}' is too complex"));
    EXPECT_EQ(strmatches("aaa", "(a+)+[[:alpha:]]{0,2}", nullptr), 1);
    EXPECT_EQ(strmatches("BHZ", "[]BHZ[.x.]]{3}", nullptr), 1);
    EXPECT_EQ(strmatches("x{", "x\\{", nullptr), 1);
    EXPECT_EQ(strmatches("a\\1", "a[\\]1", nullptr), 1);  // no back-reference inside brackets
    EXPECT_EQ(strmatches("abab", "(a)(b)\\1\\2", nullptr), -1);
    EXPECT_EQ(strmatches("x", "(((((((((x)))))))))\\9", nullptr), -1);
    // A failing whole-string match of a long string stays fast.
    std::string longa(20000, 'a');
    EXPECT_EQ(strmatches((longa + "b").c_str(), "(a*)+(a*)+(a*)+", nullptr), 0);

    // A ")" that closes nothing is a literal, as the pattern reads on its
    // own; it must not close the anchoring group (")+++++" then built an
    // automaton that took seconds to compile).
    EXPECT_EQ(strmatches("a)", "a)", nullptr), 1);
    EXPECT_EQ(strmatches("a", "a)", nullptr), 0);
    EXPECT_EQ(strmatches("))))", ")+", nullptr), 1);
    Hook *h = nullptr;
    EXPECT_EQ(strmatches("ANMO", "AN.*", &h), 1);
    ASSERT_TRUE(h);
    Hook *first = h;
    EXPECT_EQ(strmatches("CCM", "AN.*", &h), 0);
    EXPECT_EQ(h, first);  // the compiled pattern is reused
    EXPECT_EQ(strmatches("CCM", "C.M", &h), 1);  // a new pattern replaces it
    EXPECT_EQ(strmatches("CCM", "[", &h), -1);
    EXPECT_EQ(h, nullptr);
    free_hook(&h);
}

TEST(Strings, FixStrtodReadsFortranExponentsAndStopsAtTheNumber) {
    char *end;
    const char *s = "  1.5d3xyz";
    EXPECT_DOUBLE_EQ(fix_strtod(s, &end), 1500.0);
    EXPECT_STREQ(end, "xyz");
    s = "-2.5E-2,";
    EXPECT_DOUBLE_EQ(fix_strtod(s, &end), -0.025);
    EXPECT_STREQ(end, ",");
    s = "7e";  // an exponent marker without digits is not part of the number
    EXPECT_DOUBLE_EQ(fix_strtod(s, &end), 7.0);
    EXPECT_STREQ(end, "e");
    s = "abc";
    EXPECT_EQ(fix_strtod(s, &end), 0.0);
    EXPECT_EQ(end, s);
    s = ".5";
    EXPECT_DOUBLE_EQ(fix_strtod(s, &end), 0.5);
}

TEST(Conversions, HlsToRgb) {
    double r, g, b;
    hls2rgb(0, 0.5, 1, &r, &g, &b);
    EXPECT_NEAR(r, 1, 1e-12);
    EXPECT_NEAR(g, 0, 1e-12);
    EXPECT_NEAR(b, 0, 1e-12);
    hls2rgb(120, 0.5, 1, &r, &g, &b);
    EXPECT_NEAR(g, 1, 1e-12);
    EXPECT_NEAR(r, 0, 1e-12);
    hls2rgb(240, 0.25, 1, &r, &g, &b);
    EXPECT_NEAR(b, 0.5, 1e-12);
    hls2rgb(77, 0.6, 0, &r, &g, &b);
    EXPECT_NEAR(r, 0.6, 1e-12);
    EXPECT_NEAR(g, 0.6, 1e-12);
    hls2rgb(-60, 0.5, 1, &r, &g, &b);  // hues wrap
    EXPECT_NEAR(r, 1, 1e-12);
    EXPECT_NEAR(b, 1, 1e-12);
}

TEST(Conversions, NegativeCountsMoveNothing) {
    unsigned char buf[16] = {0};
    unsigned char *p = buf + 8;
    double d = 1.0;
    float f = 1.0f;
    int i = 1;
    hd2md(&d, &p, -1);
    hf2mf(&f, &p, -3);
    hi2mi(&i, &p, 0);
    md2hd(&p, &d, -1);
    mf2hf(&p, &f, -2);
    mi2hi(&p, &i, -4);
    EXPECT_EQ(p, buf + 8);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(i, 1);
}

TEST(Conversions, BigEndianRoundTrips) {
    unsigned char buf[64];
    unsigned char *p = buf;
    int iv[2] = {0x01020304, -2};
    double dv = -1.5;
    float fv = 3.25f;
    hi2mi(iv, &p, 2);
    hd2md(&dv, &p, 1);
    hf2mf(&fv, &p, 1);
    ASSERT_EQ(p - buf, 20);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(buf[4], 0xff);
    EXPECT_EQ(buf[7], 0xfe);
    EXPECT_EQ(buf[8], 0xbf);  // -1.5 = 0xBFF8000000000000
    EXPECT_EQ(buf[9], 0xf8);
    EXPECT_EQ(buf[16], 0x40);  // 3.25f = 0x40500000
    EXPECT_EQ(buf[17], 0x50);
    int io[2];
    double dout;
    float fout;
    p = buf;
    mi2hi(&p, io, 2);
    md2hd(&p, &dout, 1);
    mf2hf(&p, &fout, 1);
    EXPECT_EQ(p - buf, 20);
    EXPECT_EQ(io[0], iv[0]);
    EXPECT_EQ(io[1], -2);
    EXPECT_EQ(dout, -1.5);
    EXPECT_EQ(fout, 3.25f);
}

}  // namespace
