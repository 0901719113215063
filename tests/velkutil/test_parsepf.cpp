// Filling structures from parameter files; splitting lists.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kobase.h"
#include "rzvtest.h"

namespace {

Pf *read(const char *text) {
    Pf *pf = nullptr;
    EXPECT_EQ(pfread_string(text, &pf), 0) << rzvtest::all_messages();
    return pf;
}

TEST(ParseParam, ScalarKinds) {
    Pf *pf = read(
        "i16 70000\nint \"  42abc\"\nhex 0x1f\noct 017\nf 2.5\nd 1e-3\ns some text\n"
        "yes1 FALSE\nyes2 No\nyes3 off\nyes4 falsehood\nyes5 \"\"\nzero 0\nletters abc\n");
    int16_t s16 = 0;
    int32_t i32 = 0;
    float f = 0;
    double d = 0;
    char *str = nullptr;
    int b = -1;
    char buf[32];
    ASSERT_EQ(parse_param(pf, (char *)"i16", 0, 1, &s16), 0);
    EXPECT_EQ(s16, (int16_t)(70000 & 0xffff));
    ASSERT_EQ(parse_param(pf, (char *)"int", 1, 1, &i32), 0);
    EXPECT_EQ(i32, 42);
    parse_param(pf, (char *)"hex", 1, 1, &i32);
    EXPECT_EQ(i32, 31);
    parse_param(pf, (char *)"oct", 1, 1, &i32);
    EXPECT_EQ(i32, 15);
    parse_param(pf, (char *)"f", 2, 1, &f);
    EXPECT_EQ(f, 2.5f);
    parse_param(pf, (char *)"d", 3, 1, &d);
    EXPECT_DOUBLE_EQ(d, 1e-3);
    ASSERT_EQ(parse_param(pf, (char *)"s", 4, 1, &str), 0);
    EXPECT_STREQ(str, "some text");
    free(str);
    ASSERT_EQ(parse_param(pf, (char *)"s", 12, 1, buf), 0);
    EXPECT_STREQ(buf, "some text");
    struct B {
        const char *name;
        int want;
    } bools[] = {{"yes1", 0}, {"yes2", 0}, {"yes3", 1}, {"yes4", 1}, {"yes5", 1}, {"zero", 0}};
    for (auto &c : bools) {
        b = -1;
        ASSERT_EQ(parse_param(pf, (char *)c.name, 11, 1, &b), 0);
        EXPECT_EQ(b, c.want) << c.name;
    }
    EXPECT_EQ(elog_count(), 0);
    // Letters only: two messages, both flag 1.
    EXPECT_EQ(parse_param(pf, (char *)"letters", 1, 1, &i32), -1);
    ASSERT_EQ(elog_count(), 2);
    EXPECT_STREQ(elog_message(0), "parse_param: strtol(abc) error.\n");
    EXPECT_STREQ(elog_message(1), "parse_param: Unable to parse integer value for letters.\n");
    EXPECT_EQ(elog_message_flag(1), 1);
    pffree(pf);
}

TEST(ParseParam, IntegersAreTruncatedTo32And16Bits) {
    Pf *pf = read("big 4294967297\nneg -70000\nneghex -0x10\nmin16 32768\nzerox 0x\n");
    int32_t i32 = 0;
    int16_t s16 = 0;
    ASSERT_EQ(parse_param(pf, (char *)"big", 1, 1, &i32), 0);
    EXPECT_EQ(i32, 1);
    ASSERT_EQ(parse_param(pf, (char *)"neg", 0, 1, &s16), 0);
    EXPECT_EQ(s16, (int16_t)(uint16_t)(-70000 & 0xffff));
    ASSERT_EQ(parse_param(pf, (char *)"neghex", 1, 1, &i32), 0);
    EXPECT_EQ(i32, -16);
    ASSERT_EQ(parse_param(pf, (char *)"min16", 0, 1, &s16), 0);
    EXPECT_EQ(s16, -32768);
    ASSERT_EQ(parse_param(pf, (char *)"zerox", 1, 1, &i32), 0);  // "0" read, "x" ignored
    EXPECT_EQ(i32, 0);
    // Only the destination's own bytes are written.
    struct {
        int16_t v;
        int16_t guard;
    } pair = {0, 0x5a5a};
    ASSERT_EQ(parse_param(pf, (char *)"big", 0, 1, &pair.v), 0);
    EXPECT_EQ(pair.v, 1);
    EXPECT_EQ(pair.guard, 0x5a5a);
    EXPECT_EQ(elog_count(), 0);
    pffree(pf);
}

TEST(ParseParam, ContainersAndKindMismatches) {
    Pf *pf = read("tbl [\n a\n b\n]\narr {\n k v\n}\nscalar 1\n");
    Tbl *own = nullptr, *copy = nullptr;
    Pf *sub = nullptr;
    Arr *aown = nullptr, *acopy = nullptr;
    ASSERT_EQ(parse_param(pf, (char *)"tbl", 5, 1, &own), 0);
    EXPECT_EQ(maxtbl(own), 2);  // the Pf's own list of Pf entries
    ASSERT_EQ(parse_param(pf, (char *)"tbl", 6, 1, &copy), 0);
    EXPECT_STREQ((char *)gettbl(copy, 1), "b");
    freetbl(copy, nullptr);
    ASSERT_EQ(parse_param(pf, (char *)"tbl", 7, 1, &sub), 0);
    EXPECT_EQ(sub->type, PFTBL);
    EXPECT_EQ(sub->value.tbl, own);
    ASSERT_EQ(parse_param(pf, (char *)"arr", 8, 1, &aown), 0);
    EXPECT_TRUE(getarr(aown, "k"));
    ASSERT_EQ(parse_param(pf, (char *)"arr", 9, 1, &acopy), 0);
    EXPECT_STREQ((char *)getarr(acopy, "k"), "v");
    freearr(acopy, nullptr);
    ASSERT_EQ(parse_param(pf, (char *)"arr", 10, 1, &sub), 0);
    EXPECT_EQ(sub->type, PFARR);

    // Optional and absent or of another kind: 0, destination untouched.
    int32_t keep = 77;
    EXPECT_EQ(parse_param(pf, (char *)"missing", 1, 0, &keep), 0);
    EXPECT_EQ(parse_param(pf, (char *)"tbl", 1, 0, &keep), 0);
    EXPECT_EQ(keep, 77);
    EXPECT_EQ(elog_count(), 0);
    EXPECT_EQ(parse_param(pf, (char *)"tbl", 1, 1, &keep), -1);
    EXPECT_STREQ(elog_message(0), "parse_param: Cannot find 'tbl' parameter.\n");
    EXPECT_EQ(parse_param(pf, (char *)"scalar", 6, 1, &copy), -1);
    EXPECT_STREQ(elog_message(1), "parse_param: Cannot find 'scalar' table.\n");
    EXPECT_EQ(parse_param(pf, (char *)"tbl", 9, 1, &acopy), -1);
    EXPECT_STREQ(elog_message(2), "parse_param: Cannot find 'tbl' array.\n");
    // Illegal kinds fail before the file is consulted (even a null one).
    EXPECT_EQ(parse_param(nullptr, (char *)"x", 13, 1, &keep), -1);
    EXPECT_EQ(parse_param(nullptr, (char *)"x", -1, 1, &keep), -1);
    EXPECT_STREQ(elog_message(4), "parse_param: Illegal type value.\n");
    pffree(pf);
}

TEST(Pf2Struc, FillsInOrderAndStopsAtTheFirstFailure) {
    struct S {
        int32_t n;
        double x;
        char *name;
        int32_t later;
    } s{0, 0, nullptr, -5};
    Pf2strucDef defs[] = {
        {(char *)"n", 1, 1, (int)offsetof(S, n)},
        {(char *)"x", 3, 1, (int)offsetof(S, x)},
        {(char *)"name", 4, 0, (int)offsetof(S, name)},
        {(char *)"absent", 1, 1, (int)offsetof(S, later)},
        {(char *)"n", 1, 1, (int)offsetof(S, later)},
    };
    Pf *pf = read("n 12\nx 0.5\nname sta\n");
    EXPECT_EQ(pf2struc(pf, 3, defs, &s), 0);
    EXPECT_EQ(s.n, 12);
    EXPECT_EQ(s.x, 0.5);
    EXPECT_STREQ(s.name, "sta");
    free(s.name);
    s.name = nullptr;
    EXPECT_EQ(pf2struc(pf, 5, defs, &s), -1);
    EXPECT_EQ(s.later, -5);  // the definition after the failure is untouched
    EXPECT_STREQ(elog_message(elog_count() - 1), "pf2struc: parse_param(absent) error.\n");
    free(s.name);
    EXPECT_EQ(pf2struc(pf, 0, defs, &s), 0);
    pffree(pf);
}

TEST(SplitList, WordsSeparatorsAndEmptyResults) {
    int argc = -1;
    char **argv = (char **)0x1;
    ASSERT_EQ(splitlist((char *)" a \tb  ", &argc, &argv), 0);
    ASSERT_EQ(argc, 2);
    EXPECT_STREQ(argv[0], "a");
    EXPECT_STREQ(argv[1], "b");
    freeargs(argc, argv);

    ASSERT_EQ(splitlistc((char *)"x, y", &argc, &argv, (char *)","), 0);
    ASSERT_EQ(argc, 2);
    EXPECT_STREQ(argv[1], " y");
    freeargs(argc, argv);

    for (const char *s : {"", " \t \t"}) {
        ASSERT_EQ(splitlist((char *)s, &argc, &argv), 0);
        EXPECT_EQ(argc, 0);
        EXPECT_EQ(argv, nullptr);
    }
    freeargs(0, nullptr);

    char list[] = "keep me";
    splitlist(list, &argc, &argv);
    EXPECT_STREQ(list, "keep me");  // the list itself is not changed
    freeargs(argc, argv);

    std::string many;
    for (int i = 0; i < 1000; i++) many += "w" + std::to_string(i) + " ";
    ASSERT_EQ(splitlist((char *)many.c_str(), &argc, &argv), 0);
    ASSERT_EQ(argc, 1000);
    EXPECT_STREQ(argv[999], "w999");
    freeargs(argc, argv);
}

}  // namespace
