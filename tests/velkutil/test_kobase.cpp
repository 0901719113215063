// Error wrappers, object names and the handle-tag registry rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kobase.h"
#include "koregistry_pvt.h"
#include "rzvtest.h"

namespace {

TEST(Errors, WrappersGoToTheRegister) {
    ko_register_error(0, "KOConfigure::configure: %s\n", "bad");
    ASSERT_EQ(elog_count(), 1);
    EXPECT_STREQ(elog_message(0), "KOConfigure::configure: bad\n");
    ko_clear_register(0);
    EXPECT_EQ(elog_count(), 0);
    EXPECT_EXIT(ko_die(0, "fatal %d\n", 3), ::testing::ExitedWithCode(1), "fatal 3");
}

TEST(Names, NamesBeforeAnyAreSet) {
    // Runs first in this program: no name has been set yet.
    char cls[32] = "untouched";
    int x;
    EXPECT_STREQ(KO_GetName(&x, cls), "");
    EXPECT_STREQ(cls, "untouched");
    EXPECT_EQ(KO_GetObject((char *)"nobody", cls), nullptr);
}

TEST(Names, OneNamePerObjectAndOneObjectPerName) {
    static int a, b;
    char cls[32] = "untouched";
    ASSERT_EQ(KO_SetName((char *)"alpha", (char *)"Station", &a), 0);
    EXPECT_EQ(KO_SetName((char *)"alpha", (char *)"Other", &b), -1);  // name taken
    EXPECT_EQ(KO_SetName((char *)"beta", (char *)"Station", &a), -1);  // object named already
    EXPECT_EQ(KO_GetObject((char *)"alpha", cls), &a);
    EXPECT_STREQ(cls, "Station");  // first record unchanged
    EXPECT_EQ(KO_GetObject((char *)"alpha", nullptr), &a);
    EXPECT_STREQ(KO_GetName(&a, nullptr), "alpha");
    strcpy(cls, "untouched");
    EXPECT_STREQ(KO_GetName(&b, cls), "");
    EXPECT_NE(KO_GetName(&b, cls), nullptr);
    EXPECT_STREQ(cls, "untouched");
    EXPECT_EQ(KO_GetObject((char *)"beta", cls), nullptr);
    EXPECT_EQ(elog_count(), 0);  // the name functions report nothing
}

struct Obj {
    char ident[8];
    char *label;
};
int releases = 0;
void release(void *p) {
    Obj *o = static_cast<Obj *>(p);
    free(o->label);
    delete o;
    releases++;
}
const char *label_of(const void *p) { return static_cast<const Obj *>(p)->label; }
// Frees what a test left registered (registries here are test-local).
void drain(KORegistry &reg) {
    Tbl *keys = keysarr(reg.array());
    for (long i = 0; i < maxtbl(keys); i++) release(reg.remove((const char *)gettbl(keys, i)));
    freetbl(keys, nullptr);
    freearr(reg.array(), nullptr);
}
Obj *make(const char *label) {
    Obj *o = new Obj;
    strcpy(o->ident, "thing");
    o->label = label ? strdup(label) : nullptr;
    return o;
}

TEST(Registry, TagsAreNeverReusedAndCountingIsTheFamilys) {
    KORegistry before("grid%d", KORegistry::COUNT_THEN_INCREMENT, "grids");
    KORegistry after("koscv%d", KORegistry::INCREMENT_THEN_COUNT, "koscvs");
    char h1[32], h2[32], h3[32];
    Obj *o = make(nullptr);
    ASSERT_EQ(before.add("f", o, h1), 0);
    EXPECT_STREQ(h1, "grid0");
    EXPECT_EQ(before.free_strict("f", h1, release), 0);
    before.add("f", make(nullptr), h2);
    EXPECT_STREQ(h2, "grid1");  // a freed tag is not issued again
    after.add("f", make(nullptr), h3);
    EXPECT_STREQ(h3, "koscv1");
    EXPECT_EQ(before.counter(), 2);
    drain(before);
    drain(after);
}

TEST(Registry, TagsKeepGrowingPastTheRangeOfAnInt) {
    KORegistry reg("thst%d", KORegistry::COUNT_THEN_INCREMENT, "historys");
    reg.advance_counter(2147483647L);
    char a[32], b[32];
    reg.add("f", make(nullptr), a);
    reg.add("f", make(nullptr), b);
    EXPECT_STREQ(a, "thst2147483647");
    EXPECT_STREQ(b, "thst2147483648");
    EXPECT_NE(reg.find(a), reg.find(b));
    drain(reg);
}

TEST(Registry, LookupMessages) {
    KORegistry reg("moment%d", KORegistry::COUNT_THEN_INCREMENT, "moments", "thing", 8);
    EXPECT_EQ(reg.get("komoment_get_moment", "moment0"), nullptr);
    ASSERT_EQ(elog_count(), 1);
    EXPECT_STREQ(elog_message(0), "komoment_get_moment: No moments defined");
    char h[32];
    Obj *o = make(nullptr);
    reg.add("komoment_create", o, h);
    EXPECT_EQ(reg.get("komoment_get_moment", h), o);
    EXPECT_EQ(reg.get("komoment_get_moment", "moment9"), nullptr);
    EXPECT_STREQ(elog_message(1), "komoment_get_moment: Cannot find moment9");
    strcpy(o->ident, "other");
    EXPECT_EQ(reg.get("komoment_get_moment", h), nullptr);
    EXPECT_STREQ(elog_message(2), "komoment_get_moment: Wrong ident for moment0");
    // Strict free uses the free function's name and its own plural.
    EXPECT_EQ(reg.free_strict("komoment_free", "moment7", release, "komoments"), -1);
    EXPECT_STREQ(elog_message(3), "komoment_free: Cannot find moment7");
    strcpy(o->ident, "thing");
    EXPECT_EQ(reg.free_strict("komoment_free", h, release), 0);
    drain(reg);
}

TEST(Registry, SilentFreeLeavesTheRegisterAlone) {
    KORegistry reg("vect%d", KORegistry::COUNT_THEN_INCREMENT, "vectors");
    elog_log(0, "earlier\n");
    EXPECT_EQ(reg.free_silent("kovector2_free", "vect3", release), 0);
    ASSERT_EQ(elog_count(), 1);
    EXPECT_STREQ(elog_message(0), "earlier\n");
    char h[32];
    reg.add("f", make(nullptr), h);
    int before = releases;
    EXPECT_EQ(reg.free_silent("kovector2_free", h, release), 0);
    EXPECT_EQ(releases, before + 1);
    EXPECT_EQ(reg.find(h), nullptr);
    drain(reg);
}

TEST(Registry, FreeByLabelFreesEveryMatchAndNothingElse) {
    KORegistry reg("sac%d", KORegistry::COUNT_THEN_INCREMENT, "kosacs");
    EXPECT_EQ(reg.free_by_label("x", label_of, release), 0);  // no registry yet
    char h[6][32];
    const char *labels[] = {"plot", "other", nullptr, "plot", "plot", "plo"};
    for (int i = 0; i < 6; i++) reg.add("f", make(labels[i]), h[i]);
    int before = releases;
    EXPECT_EQ(reg.free_by_label("plot", label_of, release), 0);
    EXPECT_EQ(releases, before + 3);
    EXPECT_EQ(cntarr(reg.array()), 3);
    EXPECT_TRUE(reg.find(h[1]));
    EXPECT_TRUE(reg.find(h[2]));
    EXPECT_TRUE(reg.find(h[5]));
    Obj *o = static_cast<Obj *>(reg.find(h[2]));
    EXPECT_EQ(reg.remove_object(o), 0);
    EXPECT_EQ(reg.find(h[2]), nullptr);
    release(o);
    drain(reg);
}

}  // namespace
