// Configurable objects: the built-in value types, defaults, changed bits,
// parameter files and name-value lists, custom types and programming errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KOConfigure.h"
#include "rzvtest.h"

using rzvtest::has_message;
using rzvtest::messages;

namespace {

struct Rec {
    int flag;
    int count;
    double gain;
    char *label;
    char *id;
    void *ptr;
    int custom;
    int kept;
};

int parse_twice(KO_ConfigureSpec *spec, KO_ClientData cd, char *value, char *rec, int offset) {
    if (!value) return 0;
    if (!strcmp(value, "bad")) return -1;
    int v = 2 * atoi(value) + (cd ? *(int *)cd : 0);
    int *dest = (int *)(rec + offset);
    if (*dest != v) spec->specFlags |= KO_CONFIGURE_CHANGED;
    *dest = v;
    return 0;
}

char *print_twice(KO_ConfigureSpec *, KO_ClientData, char *rec, int offset) {
    char buf[32];
    snprintf(buf, sizeof buf, "%d", *(int *)(rec + offset) / 2);
    return strdup(buf);
}

int custom_bias = 1;
KO_CustomOption twice = {parse_twice, print_twice, &custom_bias};

// A client class as users write them: its record, its table, its constructor.
class Client : public KOConfigure {
public:
    Rec rec;
    KO_ConfigureSpec specs[9] = {
        {"boolean", "flag", "yes", offsetof(Rec, flag), 0, nullptr},
        {"int", "count", "0x10", offsetof(Rec, count), 0, nullptr},
        {"double", "gain", "2.5x", offsetof(Rec, gain), 0, nullptr},
        {"string", "label", "first", offsetof(Rec, label), 0, nullptr},
        {"uid", "id", nullptr, offsetof(Rec, id), KO_CONFIGURE_NULL_OK, nullptr},
        {"ptr", "ptr", nullptr, offsetof(Rec, ptr), KO_CONFIGURE_NULL_OK, nullptr},
        {"custom", "custom", "3", offsetof(Rec, custom), 0, &twice},
        {"int", "kept", "5", offsetof(Rec, kept), KO_CONFIGURE_NO_DEFAULT, nullptr},
        {"end", nullptr, nullptr, 0, 0, nullptr},
    };
    Client() {
        memset(&rec, 0, sizeof rec);
        rec.kept = 77;
        if (setConfigureSpecs(specs, (char *)&rec, "Client") != 0) throw "Client: setConfigureSpecs failed";
    }
    ~Client() {
        free(rec.label);
        free(rec.id);
    }
    bool changed(const char *name) const {
        for (const KO_ConfigureSpec *s = specs; strcmp(s->type, "end"); s++)
            if (!strcmp(s->name, name)) return s->specFlags & KO_CONFIGURE_CHANGED;
        return false;
    }
};

Pf *pf(const char *text) {
    Pf *p = nullptr;
    EXPECT_EQ(pfread_string(text, &p), 0) << text;
    return p;
}

}  // namespace

TEST(KOParseBoolean, WordsCaseAndEmpty) {
    int b = 7;
    for (const char *w : {"t", "true", "y", "yes", "on", "1"}) {
        EXPECT_EQ(KO_ParseBoolean((char *)w, &b), 0);
        EXPECT_EQ(b, 1) << w;
    }
    for (const char *w : {"f", "false", "n", "no", "off", "0"}) {
        EXPECT_EQ(KO_ParseBoolean((char *)w, &b), 0);
        EXPECT_EQ(b, 0) << w;
    }
    EXPECT_EQ(KO_ParseBoolean((char *)"", &b), 0);
    EXPECT_EQ(b, -1);
    b = 9;
    EXPECT_EQ(KO_ParseBoolean(nullptr, &b), 0);
    EXPECT_EQ(b, -1);
    b = 9;
    EXPECT_EQ(KO_ParseBoolean((char *)"Yes", &b), -1);
    EXPECT_EQ(b, 9);
    EXPECT_EQ(messages().back(), "KO_ParseBoolean: Unrecognized value 'Yes'\n");
}

TEST(KOStrcmp, NullsAndStrings) {
    EXPECT_EQ(KO_Strcmp(nullptr, nullptr), 0);
    EXPECT_EQ(KO_Strcmp(nullptr, (char *)""), 1);
    EXPECT_EQ(KO_Strcmp((char *)"", nullptr), 1);
    EXPECT_LT(KO_Strcmp((char *)"a", (char *)"b"), 0);
    EXPECT_EQ(KO_Strcmp((char *)"ab", (char *)"ab"), 0);
}

TEST(KOConfigure, DefaultsAppliedExceptNoDefault) {
    Client c;
    EXPECT_EQ(c.rec.flag, 1);
    EXPECT_EQ(c.rec.count, 16);
    EXPECT_DOUBLE_EQ(c.rec.gain, 2.5);
    EXPECT_STREQ(c.rec.label, "first");
    EXPECT_EQ(c.rec.id, nullptr);
    EXPECT_EQ(c.rec.custom, 7);  // 2 * 3 + bias
    EXPECT_EQ(c.rec.kept, 77);
    KOConfigureSpecs *r = (KOConfigureSpecs *)getarr(c.configure_specs_arr, "count");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->class_name, "Client");
    EXPECT_EQ(r->paramRec, (char *)&c.rec);
    EXPECT_EQ(cntarr(c.configure_specs_arr), 8);
}

TEST(KOConfigure, BooleanValues) {
    Client c;
    EXPECT_EQ(c.configure("flag", "off", (char *)0), 0);
    EXPECT_EQ(c.rec.flag, 0);
    EXPECT_TRUE(c.changed("flag"));
    EXPECT_EQ(c.configure("flag", "", (char *)0), 0);
    EXPECT_EQ(c.rec.flag, -1);
    EXPECT_EQ(c.configure("flag", "maybe", (char *)0), -1);
    EXPECT_EQ(c.rec.flag, -1);
    auto m = messages();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], "KO_ParseBoolean: Unrecognized value 'maybe'\n");
    EXPECT_EQ(m[1], "KO_ParseConfigValue: KO_ParseBoolean() error for flag.\n");
    EXPECT_EQ(m[2], "KOConfigure::configureVarargs: KO_ParseConfigValue() error for parameter.\n");
    EXPECT_EQ(m[3], "KOConfigure::configure: KO_ConfigureVarargs() error.");
}

TEST(KOConfigure, IntValues) {
    Client c;
    EXPECT_EQ(c.configure("count", "-017", (char *)0), 0);
    EXPECT_EQ(c.rec.count, -15);
    EXPECT_EQ(c.configure("count", " 42", (char *)0), 0);
    EXPECT_EQ(c.rec.count, 42);
    EXPECT_EQ(c.configure("count", "4294967297", (char *)0), 0);  // low 32 bits
    EXPECT_EQ(c.rec.count, 1);
    EXPECT_TRUE(c.changed("count"));
    for (const char *bad : {"12abc", "abc", "", "99999999999999999999999"}) {
        elog_clear_register(0);
        EXPECT_EQ(c.configure("count", bad, (char *)0), -1) << bad;
        EXPECT_EQ(c.rec.count, 1);
    }
    EXPECT_TRUE(has_message("KO_CONFIGURE_INT '99999999999999999999999' out of range for count"));
    elog_clear_register(0);
    EXPECT_EQ(c.configure("count", "12abc", (char *)0), -1);
    EXPECT_EQ(messages()[0], "KO_ParseConfigValue: Unable to parse KO_CONFIGURE_INT '12abc' for count.\n");
}

TEST(KOConfigure, DoubleValues) {
    Client c;
    EXPECT_EQ(c.configure("gain", "2.5", (char *)0), 0);
    EXPECT_FALSE(c.changed("gain"));
    EXPECT_EQ(c.configure("gain", "1.5d2", (char *)0), 0);
    EXPECT_DOUBLE_EQ(c.rec.gain, 150.0);
    EXPECT_EQ(c.configure("gain", "nan", (char *)0), 0);
    EXPECT_TRUE(std::isnan(c.rec.gain));
    EXPECT_EQ(c.configure("gain", "nan", (char *)0), 0);
    EXPECT_TRUE(c.changed("gain"));  // a value that is not a number always counts as changed
    EXPECT_EQ(c.configure("gain", "abc", (char *)0), -1);
    EXPECT_EQ(messages()[0], "KO_ParseConfigValue: Unable to parse KO_CONFIGURE_DOUBLE 'abc' for gain.\n");
}

TEST(KOConfigure, NullReachingNumbersFailsCleanly) {
    Client c;
    c.rec.count = 3;
    EXPECT_EQ(c.configure("count", (char *)0, "flag", "no", (char *)0), -1);
    EXPECT_EQ(c.rec.count, 3);
    EXPECT_TRUE(has_message("Cannot set NULL value for KO_CONFIGURE_INT for count"));
    EXPECT_EQ(c.configure("gain", (char *)0, (char *)0), -1);
    EXPECT_TRUE(has_message("Cannot set NULL value for KO_CONFIGURE_DOUBLE for gain"));

    // a number option without a default cannot be registered
    struct {
        int n;
    } r{4};
    KO_ConfigureSpec specs[] = {{"int", "n", nullptr, 0, 0, nullptr}, {"end", nullptr, nullptr, 0, 0, nullptr}};
    KOConfigure k;
    elog_clear_register(0);
    EXPECT_EQ(k.setConfigureSpecs(specs, (char *)&r, nullptr), -1);
    EXPECT_EQ(r.n, 4);
    EXPECT_EQ(messages().back(), "KOConfigure::setConfigureSpecs: this->configure(default) error.");
}

TEST(KOConfigure, StringsChangedBitsAndOwnership) {
    Client c;
    EXPECT_EQ(c.configure("label", "second", (char *)0), 0);
    EXPECT_TRUE(c.changed("label"));
    char *held = c.rec.label;
    EXPECT_EQ(c.configure("label", "second", (char *)0), 0);
    EXPECT_FALSE(c.changed("label"));
    EXPECT_NE(c.rec.label, held);  // a fresh copy each time, the old one freed
    char text[] = "third";
    EXPECT_EQ(c.configure("label", text, (char *)0), 0);
    text[0] = 'X';
    EXPECT_STREQ(c.rec.label, "third");
    EXPECT_TRUE(c.changed("label"));

    EXPECT_EQ(c.configure("label", (char *)0, (char *)0), -1);
    EXPECT_STREQ(c.rec.label, "third");
    EXPECT_EQ(messages()[0],
              "KO_ParseConfigValue: Cannot set NULL value if not KO_CONFIGURE_NULL_OK for label.\n");

    EXPECT_EQ(c.configure("id", "abc", (char *)0), 0);
    EXPECT_EQ(c.configure("id", (char *)0, (char *)0), 0);
    EXPECT_EQ(c.rec.id, nullptr);
    EXPECT_TRUE(c.changed("id"));
    EXPECT_EQ(c.configure("id", (char *)0, (char *)0), 0);
    EXPECT_FALSE(c.changed("id"));

    char *p = (char *)&c;  // "ptr" stores the pointer itself
    EXPECT_EQ(c.configure("ptr", p, (char *)0), 0);
    EXPECT_EQ(c.rec.ptr, (void *)p);
    EXPECT_TRUE(c.changed("ptr"));
}

TEST(KOConfigure, NameValueListsAndUnknownNames) {
    Client c;
    EXPECT_EQ(c.configure("nosuch", "1", "count", "9", (char *)0), 2);
    EXPECT_EQ(c.rec.count, 9);
    EXPECT_EQ(messages()[0], "KOConfigure::configureVarargs: Input parameter nosuch not in config specs.\n");
    EXPECT_TRUE(c.changed("count"));
    EXPECT_FALSE(c.changed("flag"));
    // each call clears the bits first
    EXPECT_EQ(c.configure((char *)0), 0);
    EXPECT_FALSE(c.changed("count"));
    // options before a failure keep their new values
    EXPECT_EQ(c.configure("count", "11", "flag", "bogus", "gain", "9", (char *)0), -1);
    EXPECT_EQ(c.rec.count, 11);
    EXPECT_DOUBLE_EQ(c.rec.gain, 2.5);
}

namespace {
int via_vconfigure(KOConfigure &k, const char *key1, ...) {
    va_list ap;
    va_start(ap, key1);
    int rc = k.vconfigure((char *)key1, ap);
    va_end(ap);
    return rc;
}
}  // namespace

TEST(KOConfigure, Vconfigure) {
    Client c;
    EXPECT_EQ(via_vconfigure(c, "count", "5", "label", "v", (char *)0), 0);
    EXPECT_EQ(c.rec.count, 5);
    EXPECT_STREQ(c.rec.label, "v");
    EXPECT_EQ(via_vconfigure(c, "count", "x", (char *)0), -1);
    EXPECT_EQ(messages().back(), "KOConfigure::vconfigure: KO_ConfigureVarargs() error.");
}

TEST(KOConfigure, ParameterFiles) {
    Client c;
    Pf *p = pf("count 0x20\nlabel \"a b\"\nunknown 3\nflag n\n");
    EXPECT_EQ(c.configure(p), 2);
    EXPECT_EQ(c.rec.count, 32);
    EXPECT_STREQ(c.rec.label, "a b");
    EXPECT_EQ(c.rec.flag, 0);
    EXPECT_EQ(c.rec.kept, 77);  // configure(Pf *) applies no defaults
    EXPECT_EQ(messages()[0], "KOConfigure::configurePf: Input parameter unknown not in config specs.\n");
    pffree(p);

    elog_clear_register(0);
    p = pf("label [\n x\n]\n");
    EXPECT_EQ(c.configure(p), -1);
    auto m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], "KOConfigure::configurePf: Input parameter label is not allowed to be a table.\n");
    EXPECT_EQ(m[1], "KOConfigure::configure: KO_ConfigurePf() error.");
    pffree(p);

    elog_clear_register(0);
    p = pf("gain {\n a 1\n}\n");
    EXPECT_EQ(c.configure(p), -1);
    EXPECT_EQ(messages()[0], "KOConfigure::configurePf: Input parameter gain is not allowed to be an array.\n");
    pffree(p);

    elog_clear_register(0);
    p = pf("count zz\n");
    EXPECT_EQ(c.configure(p), -1);
    EXPECT_TRUE(has_message("KOConfigure::configurePf: KO_ParseConfigValue() error for parameter.\n"));
    pffree(p);
}

TEST(KOConfigure, OneTableWithDefaultsAndParameters) {
    Client c;
    c.rec.kept = 1;
    Pf *p = pf("kept 3\nmystery 1\n");
    EXPECT_EQ(c.configurePf(c.specs, p, (char *)&c.rec, 1), 2);
    EXPECT_EQ(c.rec.kept, 3);
    EXPECT_TRUE(c.changed("kept"));
    EXPECT_EQ(c.rec.count, 16);
    pffree(p);
    // all registered options, defaults included
    c.rec.count = 1;
    c.rec.kept = 1;
    EXPECT_EQ(c.configurePf(nullptr, 1), 0);
    EXPECT_EQ(c.rec.count, 16);
    EXPECT_TRUE(c.changed("count"));
    EXPECT_EQ(c.rec.kept, 1);
}

TEST(KOConfigure, CustomTypes) {
    Client c;
    EXPECT_EQ(c.configure("custom", "10", (char *)0), 0);
    EXPECT_EQ(c.rec.custom, 21);
    EXPECT_TRUE(c.changed("custom"));
    char *shown = twice.printProc(&c.specs[6], twice.clientData, (char *)&c.rec, c.specs[6].offset);
    EXPECT_STREQ(shown, "10");
    free(shown);
    EXPECT_EQ(c.configure("custom", "bad", (char *)0), -1);
    EXPECT_EQ(messages()[0], "KO_ParseConfigValue: KO_CONFIGURE_CUSTOM error for custom.\n");
}

namespace {
int upper_parser(KO_ConfigureSpec *spec, char *value, char *rec) {
    char **dest = (char **)(rec + spec->offset);
    free(*dest);
    *dest = value ? strdup(value) : nullptr;
    for (char *s = *dest; s && *s; s++) *s = (char)toupper(*s);
    return 0;
}
}  // namespace

TEST(KOConfigure, AddedTypeParsersAndUnknownTypes) {
    struct {
        char *name;
        int n;
    } r{nullptr, 0};
    KO_ConfigureSpec specs[] = {{"upper", "name", "abc", 0, 0, nullptr},
                                {"colour", "hue", "red", 8, 0, nullptr},
                                {"int", "n", "4", offsetof(decltype(r), n), 0, nullptr},
                                {"end", nullptr, nullptr, 0, 0, nullptr}};
    KOConfigure k;
    EXPECT_EQ(k.addTypeParser("upper", upper_parser), 0);
    EXPECT_EQ(k.addTypeParser(nullptr, upper_parser), -1);
    FILE *fp = tmpfile();
    elog_set_stream(fp);
    EXPECT_EQ(k.setConfigureSpecs(specs, (char *)&r, "K"), 0);
    elog_set_stream(nullptr);
    rewind(fp);
    char buf[256] = {0};
    size_t got = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    ASSERT_GT(got, 0u);
    EXPECT_NE(std::string(buf).find("KOConfigure::setConfigureSpecs: Cannot find parser for type 'colour' for "
                                    "name 'hue'"),
              std::string::npos);
    EXPECT_STREQ(r.name, "ABC");
    EXPECT_EQ(r.n, 4);
    EXPECT_EQ(getarr(k.configure_specs_arr, "hue"), nullptr);
    EXPECT_EQ(k.configure("name", "xyz", (char *)0), 0);
    EXPECT_STREQ(r.name, "XYZ");
    free(r.name);
}

TEST(KOConfigure, RegisteringANameAgainReplacesIt) {
    Client c;
    int other = 0;
    KO_ConfigureSpec again[] = {{"int", "count", "3", 0, 0, nullptr}, {"end", nullptr, nullptr, 0, 0, nullptr}};
    EXPECT_EQ(c.setConfigureSpecs(again, (char *)&other, nullptr), 0);
    EXPECT_EQ(other, 3);
    EXPECT_EQ(c.configure("count", "8", (char *)0), 0);
    EXPECT_EQ(other, 8);
    EXPECT_EQ(c.rec.count, 16);
    EXPECT_EQ(((KOConfigureSpecs *)getarr(c.configure_specs_arr, "count"))->class_name, nullptr);
}

namespace {
// A custom option that keeps its value through its client data, for classes
// that have no client record of their own.
int parse_into_client(KO_ConfigureSpec *spec, KO_ClientData cd, char *value, char *rec, int) {
    if (rec) return -1;
    int *dest = static_cast<int *>(cd);
    int v = value ? atoi(value) : 0;
    if (*dest != v) spec->specFlags |= KO_CONFIGURE_CHANGED;
    *dest = v;
    return 0;
}
}  // namespace

TEST(KOConfigure, CustomOptionsWithoutAClientRecord) {
    int level = 0;
    KO_CustomOption opt = {parse_into_client, nullptr, &level};
    KO_ConfigureSpec specs[] = {{"custom", "level", "4", 0, 0, &opt}, {"end", nullptr, nullptr, 0, 0, nullptr}};
    KOConfigure k;
    ASSERT_EQ(k.setConfigureSpecs(specs, nullptr, "K"), 0);
    EXPECT_EQ(level, 4);
    EXPECT_EQ(k.configure("level", "9", (char *)0), 0);
    EXPECT_EQ(level, 9);
    EXPECT_TRUE(specs[0].specFlags & KO_CONFIGURE_CHANGED);
    // the built-in types need a record to store into
    KO_ConfigureSpec plain[] = {{"int", "n", "1", 0, 0, nullptr}, {"end", nullptr, nullptr, 0, 0, nullptr}};
    elog_clear_register(0);
    EXPECT_EQ(k.setConfigureSpecs(plain, nullptr, "K"), -1);
    EXPECT_TRUE(has_message("KO_ParseConfigValue: no client record for n.\n"));
}

using KOConfigureDeathTest = ::testing::Test;

TEST_F(KOConfigureDeathTest, ContradictoryOptionEntriesEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct {
        int b;
        double d;
    } r{0, 0};
    KO_ConfigureSpec bad_bool[] = {{"boolean", "b", "", 0, KO_CONFIGURE_NULL_OK, nullptr},
                                   {"end", nullptr, nullptr, 0, 0, nullptr}};
    KO_ConfigureSpec bad_custom[] = {{"custom", "c", "1", 0, 0, nullptr}, {"end", nullptr, nullptr, 0, 0, nullptr}};
    EXPECT_EXIT(
        {
            KOConfigure k;
            k.setConfigureSpecs(bad_bool, (char *)&r, nullptr);
        },
        ::testing::ExitedWithCode(1), "Cannot set KO_CONFIGURE_NULL_OK for KO_CONFIGURE_BOOlEAN value for b");
    EXPECT_EXIT(
        {
            KOConfigure k;
            k.setConfigureSpecs(bad_custom, (char *)&r, nullptr);
        },
        ::testing::ExitedWithCode(1), "customPtr NULL for KO_CONFIGURE_CUSTOM for c");
}
