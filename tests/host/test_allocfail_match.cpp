// Allocation failures in matching and expressions and in the core lists:
// record matching with and without a hook (index builds included),
// compiling and evaluating database expressions with pattern matches,
// reading parameter files and taking their tables and arrays, building them
// in code, and whole-string patterns.  Each allocation of an operation is
// made to fail in turn; a failure must come back as the operation's failure
// result with a message, give back what it took (the hook's count of live
// blocks here, LeakSanitizer in the sanitized build) and leave the hook, the
// table's indexes and the caller's list usable, and a call that absorbed a
// failure must have built its whole result.  Also the fallbacks that need
// no memory: the stable sort in place, messages printed without memory, and
// the pattern cache that lets a known pattern compile without allocating.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "allocfail.h"
#include "allocfail_interpose.h"
#include "allocsweep.h"
#include "db.h"
#include "pf.h"
#include "regex_pvt.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;

using rzvtest::allocsweep::Seen;
using rzvtest::allocsweep::warm_register;

// One operation under the hook.  prepare runs unarmed before every run (it
// sets up what the run must build again); run, whole and undo run armed.
struct Op {
    std::string name;
    std::function<bool()> run;                  // true on success
    std::function<bool()> whole = nullptr;      // a success is complete
    std::function<void()> undo = nullptr;       // frees a success (or what a failure left with the caller)
    std::function<void()> prepare = nullptr;
    std::function<bool()> leftover = nullptr;   // after a failure: something half-made stayed
};

struct Figures {
    long points = 0, fired = 0, clean = 0, absorbed = 0;
};

// Sweeps every allocation of o, or the first max_points of them.
Figures sweep(const Op &o, long max_points = 0) {
    warm_register();
    bool ok = false, complete = true, threw = false, fired = false;
    Seen seen;
    long live = 0, count = 0;
    // One run with allocation n failing (0: none, counting only).
    auto op = [&](long n) {
        if (o.prepare) o.prepare();
        elog_clear_register(0);
        threw = false;
        complete = true;
        allocfail_arm(n);
        try {
            ok = o.run();
        } catch (...) {
            ok = false;
            threw = true;
        }
        seen.take();
        if (ok && o.whole) complete = o.whole();
        if (o.undo) o.undo();
        elog_clear_register(0);
        allocfail_disarm();
        fired = rzvtest::allocfail_fired();
        live = rzvtest::allocfail_live();
        count = rzvtest::allocfail_count();
    };
    // The first run sets up what is kept for good (compiled patterns, the
    // table's index); the second is the one counted, and its balance is the
    // bound for every other run.
    op(0);
    EXPECT_TRUE(ok) << o.name << ": the plain run fails: " << seen.first;
    op(0);
    EXPECT_TRUE(ok && complete) << o.name << ": the counted run fails: " << seen.first;
    Figures f;
    f.points = count;
    if (max_points > 0 && f.points > max_points) f.points = max_points;
    long bound = std::max(live, 0L);
    int shown = 0;
    for (long n = 1; n <= f.points; n++) {
        op(n);
        if (!fired) continue;
        f.fired++;
        std::string why;
        if (live > bound) why += " " + std::to_string(live - bound) + " blocks stayed taken;";
        if (ok) {
            f.absorbed++;
            if (!complete) why += " the call succeeded with an incomplete result;";
        } else {
            if (threw) why += " an exception escaped;";
            if (seen.count == 0) why += " no message;";
            if (o.leftover && o.leftover()) why += " something half-made stayed;";
            elog_clear_register(0);
        }
        if (why.empty())
            f.clean++;
        else if (shown++ < 8)
            ADD_FAILURE() << o.name << ": allocation " << n << ":" << why << " (" << seen.first << ")";
    }
    // Nothing half-made blocks the next call.
    op(0);
    EXPECT_TRUE(ok && complete) << o.name << ": the call after the sweep fails: " << seen.first;
    printf("allocation failures, %-44s %4ld points, %4ld failed, %4ld clean (%ld absorbed)\n", o.name.c_str(),
           f.points, f.fired, f.clean, f.absorbed);
    fflush(stdout);
    return f;
}

void expect_all_clean(const Figures &f) {
    EXPECT_GT(f.points, 0);
    EXPECT_EQ(f.fired, f.points);
    EXPECT_EQ(f.clean, f.fired);
}

}  // namespace

// ------------------------------------------------------------ record matching

namespace {

// Waveform rows of two stations and three channels, as in a small network
// day: 30 rows, the key row in the scratch record.
class MatchDb {
  public:
    MatchDb() {
        EXPECT_EQ(dbopen_memory(&db), 0);
        wf = dblookup(db, 0, "wfdisc", 0, 0);
        const char *chans[] = {"BHZ", "BHN", "HHZ"};
        for (int c = 0; c < 3; c++)
            for (int i = 0; i < 10; i++) {
                double t = 1000.0 + i * (c == 2 ? 50.0 : 100.0);
                EXPECT_GE(dbaddv(wf, 0, "sta", i % 2 ? "AAA" : "BBB", "chan", chans[c], "time", t, "endtime",
                                 t + 100.0, "wfid", (long)(c * 10 + i), (char *)0),
                          0);
            }
        sc = dblookup(wf, 0, 0, 0, "dbSCRATCH");
    }
    ~MatchDb() { dbclose(db); }
    // Takes every index out of the table, so that the next match builds one.
    void drop_indexes() const {
        Arr *a = dbindex_arr(wf);
        Tbl *names = keysarr(a);
        for (long i = 0; i < maxtbl(names); i++) dbfree_index(delarr(a, (const char *)gettbl(names, i)));
        freetbl(names, 0);
    }
    Dbptr db{}, wf{}, sc{};
};

// The list holds exactly the expected rows.
bool same_rows(const Tbl *list, const std::vector<long> &want) {
    if (maxtbl(list) != (long)want.size()) return false;
    for (size_t i = 0; i < want.size(); i++)
        if ((long)gettbl(list, (long)i) != want[i]) return false;
    return true;
}

std::vector<long> rows_of(const Tbl *list) {
    std::vector<long> out;
    for (long i = 0; i < maxtbl(list); i++) out.push_back((long)gettbl(list, i));
    return out;
}

}  // namespace

TEST(AllocFailMatch, RecordMatching) {
    MatchDb m;
    Tbl *keys = strtbl("sta", "chan", "time::endtime", (char *)0);
    ASSERT_EQ(dbputv(m.sc, 0, "sta", "BBB", "chan", "HHZ", "time", 1100.0, "endtime", 1200.0, (char *)0), 0);
    Tbl *list = nullptr;
    ASSERT_EQ(dbmatches(m.sc, m.wf, &keys, &keys, nullptr, &list), 3) << rzvtest::all_messages();
    const std::vector<long> want = rows_of(list);
    freetbl(list, 0);
    list = nullptr;

    Hook *hook = nullptr;
    auto release = [&] {
        free_hook(&hook);
        freetbl(list, 0);
        list = nullptr;
    };
    Op built;
    built.name = "dbmatches (new hook, index built)";
    built.prepare = [&] {
        release();
        m.drop_indexes();
    };
    built.run = [&] { return dbmatches(m.sc, m.wf, &keys, &keys, &hook, &list) == 3; };
    built.whole = [&] { return same_rows(list, want); };
    built.undo = release;
    expect_all_clean(sweep(built));

    Op plain;
    plain.name = "dbmatches (no hook, index built)";
    plain.prepare = built.prepare;
    plain.run = [&] { return dbmatches(m.sc, m.wf, &keys, &keys, nullptr, &list) == 3; };
    plain.whole = built.whole;
    plain.undo = release;
    expect_all_clean(sweep(plain));

    // A kept hook and a list of the caller's that must grow: a failure
    // leaves the list empty, never part-filled.
    ASSERT_EQ(dbmatches(m.sc, m.wf, &keys, &keys, &hook, &list), 3);
    Op reused;
    reused.name = "dbmatches (kept hook, caller's list grows)";
    reused.prepare = [&] {
        freetbl(list, 0);
        list = newtbl(1);
        pushtbl(list, (void *)99L);  // an earlier answer, to be replaced; the list is full
    };
    reused.run = [&] { return dbmatches(m.sc, m.wf, &keys, &keys, &hook, &list) == 3; };
    reused.whole = built.whole;
    reused.leftover = [&] { return maxtbl(list) != 0; };
    expect_all_clean(sweep(reused));
    release();

    // Key expressions (compiled for the key row) against a time window.
    Tbl *kx = strtbl("sta", "time-150.0::time+150.0", (char *)0);
    Tbl *tx = strtbl("sta", "time", (char *)0);
    ASSERT_EQ(dbputv(m.sc, 0, "sta", "AAA", "time", 1300.0, (char *)0), 0);
    ASSERT_GE(dbmatches(m.sc, m.wf, &kx, &tx, nullptr, &list), 1) << rzvtest::all_messages();
    const std::vector<long> want_x = rows_of(list);
    freetbl(list, 0);
    list = nullptr;
    Op exprs;
    exprs.name = "dbmatches (key expressions, window)";
    exprs.prepare = built.prepare;
    exprs.run = [&] { return dbmatches(m.sc, m.wf, &kx, &tx, &hook, &list) == (long)want_x.size(); };
    exprs.whole = [&] { return same_rows(list, want_x); };
    exprs.undo = release;
    expect_all_clean(sweep(exprs));

    // The index left in the table serves a later match correctly.
    ASSERT_EQ(dbmatches(m.sc, m.wf, &kx, &tx, &hook, &list), (long)want_x.size());
    EXPECT_EQ(rows_of(list), want_x);
    release();
    freetbl(kx, 0);
    freetbl(tx, 0);
    freetbl(keys, 0);
}

// ------------------------------------------------------------ expressions

TEST(AllocFailMatch, Expressions) {
    MatchDb m;
    Dbptr row = m.wf;
    row.record = 5;  // AAA BHZ at 1500
    const char *texts[] = {"sta =~ /A+/ && time > 1000 + 5*2 && chan !~ /BH[NE]/",
                           "max(abs(time - endtime), 3) + floor(time / 7) - yearday(time) % 13",
                           "(chan == \"BHZ\" || sta < \"B\") && wfid != 4"};
    Expression *ex[3] = {};
    Op compile;
    compile.name = "dbex_compile (fields, functions, patterns)";
    compile.run = [&] {
        for (auto &e : ex) e = nullptr;
        for (int i = 0; i < 3; i++)
            if (dbex_compile(m.wf, texts[i], &ex[i], 0) < 0) return false;
        return true;
    };
    compile.whole = [&] { return ex[0] && ex[1] && ex[2]; };
    compile.undo = [&] {
        for (auto &e : ex) {
            dbex_free(e);
            e = nullptr;
        }
    };
    expect_all_clean(sweep(compile));

    for (int i = 0; i < 3; i++) ASSERT_EQ(dbex_compile(m.wf, texts[i], &ex[i], 0), 0) << rzvtest::all_messages();
    Expression *text = nullptr;
    ASSERT_EQ(dbex_compile(m.wf, "sta", &text, dbSTRING), 0);
    long b0 = -1, b2 = -1;
    double d1 = 0;
    char *s = nullptr;
    Op eval;
    eval.name = "dbex_eval (boolean, real, text)";
    eval.run = [&] {
        s = nullptr;
        return dbex_eval(row, ex[0], 0, &b0) >= 0 && dbex_eval(row, ex[1], 0, &d1) >= 0 &&
               dbex_eval(row, ex[2], 0, &b2) >= 0 && dbex_eval(row, text, 0, &s) >= 0;
    };
    eval.whole = [&] { return b0 == 1 && b2 == 1 && s && !strcmp(s, "AAA") && d1 != 0; };
    eval.undo = [&] {
        free(s);
        s = nullptr;
    };
    expect_all_clean(sweep(eval));
    for (auto &e : ex) dbex_free(e);
    dbex_free(text);

    double v = 0;
    long matched = -1;
    Op evalstr;
    evalstr.name = "dbex_evalstr (travel time, pattern)";
    evalstr.run = [&] {
        return dbex_evalstr(row, "ptime(10, 15) + abs(time - endtime)", dbREAL, &v) >= 0 &&
               dbex_evalstr(row, "sta =~ /A+/", dbBOOLEAN, &matched) >= 0;
    };
    evalstr.whole = [&] { return v > 100 && matched == 1; };
    expect_all_clean(sweep(evalstr));
}

// ------------------------------------------------------------ parameter files

namespace {

const char *kParams =
    "# a station processing set-up\n"
    "name  \"north array\"\n"
    "gain 2.5\n"
    "stations [\n"
    "    AAA\n"
    "    BBB\n"
    "    \"CC C\"\n"
    "]\n"
    "filters {\n"
    "    low 0.5\n"
    "    high 8\n"
    "    bands [\n"
    "        [\n"
    "            1 2\n"
    "        ]\n"
    "        {\n"
    "            order 4\n"
    "        }\n"
    "    ]\n"
    "}\n"
    "gain 3.5\n";

bool params_whole(Pf *pf) {
    if (!pf) return false;
    void *filters = nullptr;
    if (pfget(pf, "filters", &filters) != PFARR) return false;
    void *bands = nullptr;
    if (pfget((Pf *)filters, "bands", &bands) != PFTBL) return false;
    const char *name = pfget_string(pf, "name"), *gain = pfget_string(pf, "gain");
    return name && !strcmp(name, "north array") && gain && !strcmp(gain, "3.5") &&
           maxtbl(((Pf *)bands)->value.tbl) == 2 && maxtbl(pf->keys) == 4;
}

}  // namespace

TEST(AllocFailMatch, ParameterFiles) {
    Pf *pf = nullptr;
    Op read;
    read.name = "pfread_string (arrays, tables, nesting)";
    read.run = [&] { return pfread_string(kParams, &pf) == 0; };
    read.whole = [&] { return params_whole(pf); };
    read.undo = [&] {
        pffree(pf);
        pf = nullptr;
    };
    expect_all_clean(sweep(read));

    rzvtest::TempDir dir;
    std::string file = dir.file("set.pf");
    ASSERT_TRUE(rzvtest::write_file(file, kParams));
    Op readf = read;
    readf.name = "pfread_file";
    readf.run = [&] { return pfread_file(file.c_str(), &pf) == 0; };
    expect_all_clean(sweep(readf));

    ASSERT_EQ(pfread_string(kParams, &pf), 0);
    Pf *filters = nullptr;
    ASSERT_EQ(pfget(pf, "filters", (void **)&filters), PFARR);
    Tbl *t = nullptr, *keys = nullptr;
    Arr *a = nullptr;
    Op get;
    get.name = "pfget_tbl, pfget_arr, pfkeys";
    get.run = [&] {
        t = pfget_tbl(pf, "stations");
        a = pfget_arr(pf, "filters");
        keys = pfkeys(filters);
        return t && a && keys;
    };
    get.whole = [&] {
        return maxtbl(t) == 3 && !strcmp((char *)gettbl(t, 2), "CC C") && cntarr(a) == 2 &&
               !strcmp((char *)getarr(a, "high"), "8") && maxtbl(keys) == 3;
    };
    get.undo = [&] {
        freetbl(t, 0);
        freearr(a, 0);
        freetbl(keys, 0);
        t = nullptr, a = nullptr, keys = nullptr;
    };
    expect_all_clean(sweep(get));
    pffree(pf);

    // Building in code: a failed put leaves the Pf as it was, the value the
    // caller's.
    Pf *made = nullptr;
    char *text = nullptr;
    Op build;
    build.name = "pfput, pfpush, pf2string";
    build.run = [&] {
        text = nullptr;
        made = pfnew(PFFILE);
        if (!made) return false;
        Pf *list = pfnew(PFTBL);
        if (!list) return false;
        if (pfpush_string(list, "first") < 0 || pfpush_string(list, "second entry") < 0 ||
            pfput(made, "list", list) < 0) {
            pffree(list);
            return false;
        }
        if (pfput_string(made, "station", "AAA") < 0 || pfput_double(made, "gain", 2.5) < 0 ||
            pfput_string(made, "station", "BBB") < 0)
            return false;
        text = pf2string(made);
        return text != nullptr;
    };
    build.whole = [&] {
        return text && !strcmp(text, "list [\n    first\n    second entry\n]\nstation BBB\ngain 2.5\n") &&
               maxtbl(made->keys) == 3;
    };
    build.undo = [&] {
        pffree(made);
        free(text);
        made = nullptr;
        text = nullptr;
    };
    expect_all_clean(sweep(build));
}

// ------------------------------------------------------------ whole-string patterns

TEST(AllocFailMatch, StringPatterns) {
    Hook *hook = nullptr;
    int r1 = -1, r2 = -1, r3 = -1;
    Op hooked;
    hooked.name = "strmatches (hook kept, then replaced)";
    hooked.run = [&] {
        r1 = strmatches("ANMO", "AN.*", &hook);
        r2 = strmatches("ANTO", "AN.*", &hook);
        r3 = strmatches("CCM", "C[A-Z]M|K.*", &hook);
        return r1 >= 0 && r2 >= 0 && r3 >= 0;
    };
    hooked.whole = [&] { return r1 == 1 && r2 == 1 && r3 == 1 && hook; };
    hooked.undo = [&] { free_hook(&hook); };
    expect_all_clean(sweep(hooked));

    Op plain;
    plain.name = "strmatches (no hook)";
    plain.run = [&] {
        r1 = strmatches("BHZ", "BH[ZNE]", nullptr);
        r2 = strmatches("XBHZ", "BH.", nullptr);
        return r1 >= 0 && r2 >= 0;
    };
    plain.whole = [&] { return r1 == 1 && r2 == 0; };
    // Known patterns come from the cache: matching without a hook then
    // takes no memory at all.
    Figures f = sweep(plain);
    EXPECT_EQ(f.points, 0);
}

// ------------------------------------------------------------ what needs no memory

// A pattern compiled before is found in the cache: compiling it again takes
// no memory at all, and the cache stays bounded however many patterns pass.
TEST(AllocFailMatch, KnownPatternsCompileWithoutMemory) {
    hostkit::WholeRegex re;
    std::string why;
    ASSERT_EQ(re.compile("BH[ZNE]|HH.", &why), hostkit::REGEX_OK);
    hostkit::WholeRegex again;
    allocfail_arm(1);  // the first allocation would fail
    int rc = again.compile("BH[ZNE]|HH.", &why);
    allocfail_disarm();
    EXPECT_FALSE(rzvtest::allocfail_fired());
    EXPECT_EQ(rc, hostkit::REGEX_OK);
    EXPECT_TRUE(again.match("BHN", 3));
    EXPECT_FALSE(again.match("BHX", 3));

    for (int i = 0; i < 3 * (int)hostkit::kRegexCacheSize; i++) {
        hostkit::WholeRegex r;
        std::string p = "S" + std::to_string(i) + "[A-Z]*";
        ASSERT_EQ(r.compile(p.c_str(), &why), hostkit::REGEX_OK);
        EXPECT_TRUE(r.match(("S" + std::to_string(i) + "AB").c_str(), p.size() - 4));
    }
    EXPECT_LE(hostkit::regex_cache_count(), hostkit::kRegexCacheSize);
    // patterns in use outlive their eviction
    EXPECT_TRUE(again.match("HHE", 3));
}

// The list sort stays stable when its scratch memory cannot be had.
TEST(AllocFailMatch, SortInPlaceWhenScratchIsMissing) {
    struct Rec {
        int key;
        int order;
        char pad[5];
    };
    std::mt19937 rng(7);
    for (int n : {1, 2, 17, 100, 1000}) {
        Tbl *t = inittbl(0, n, 1, 0, sizeof(Rec));
        std::vector<Rec> want;
        for (int i = 0; i < n; i++) {
            Rec r{(int)(rng() % 10), i, {}};
            pushtbl(t, &r);
            want.push_back(r);
        }
        std::stable_sort(want.begin(), want.end(), [](const Rec &a, const Rec &b) { return a.key < b.key; });
        allocfail_arm(1);
        sorttbl(
            t, [](const void *a, const void *b, void *) {
                return static_cast<const Rec *>(a)->key - static_cast<const Rec *>(b)->key;
            },
            nullptr);
        allocfail_disarm();
        EXPECT_EQ(rzvtest::allocfail_fired(), n > 1);
        for (int i = 0; i < n; i++) {
            const Rec *r = static_cast<const Rec *>(gettbl(t, i));
            ASSERT_TRUE(r->key == want[i].key && r->order == want[i].order) << "n " << n << " at " << i;
        }
        freetbl(t, 0);
    }
}

// A message printed while memory is out is printed all the same, after the
// register.
TEST(AllocFailMatch, ComplaintsPrintWithoutMemory) {
    rzvtest::TempDir dir;
    std::string path = dir.file("log");
    FILE *fp = fopen(path.c_str(), "w+");
    ASSERT_TRUE(fp);
    elog_set_stream(fp);
    elog_log(0, "first a registered message.\n");
    std::string longer(300, 'x');
    allocfail_arm(1);
    elog_complain(0, "then a complaint %s\n", longer.c_str());
    allocfail_disarm();
    elog_set_stream(nullptr);
    fclose(fp);
    EXPECT_TRUE(rzvtest::allocfail_fired());
    EXPECT_EQ(rzvtest::read_file(path), "first a registered message.\nthen a complaint " + longer + "\n");
    EXPECT_EQ(elog_count(), 0);
}

// Substitution needs no memory: into another buffer, and in place with a
// replacement longer than what it replaces.
TEST(AllocFailMatch, SubstitutionNeedsNoMemory) {
    char s[64] = "BHZ BHN BHE", out[64];
    allocfail_arm(1);
    strsub(s, "BH", "HHH", out);
    strsub(s, "B", "", s);
    allocfail_disarm();
    EXPECT_FALSE(rzvtest::allocfail_fired());
    EXPECT_STREQ(out, "HHHZ HHHN HHHE");
    EXPECT_STREQ(s, "HZ HN HE");
    strsub(s, "H", "XY", s);
    EXPECT_STREQ(s, "XYZ XYN XYE");
    char t[64] = "aaa";
    strsub(t, "aa", "b", t);
    EXPECT_STREQ(t, "ba");
}
