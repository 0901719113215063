// Allocation failures in the table and view engine: opening databases and
// loading their tables ("r", "r+", in memory), adding and changing rows,
// subsets, sorts, joins (plain and outer) and groups, and freeing views and
// closing databases while memory is out.  Each allocation of an operation is
// made to fail in turn; a failure must come back as the operation's failure
// result with a message, give back what it took (the hook's count of live
// blocks here, LeakSanitizer in the sanitized build) and leave nothing
// half-made: no database slot taken, no view registered, no table left
// half-loaded, so that the next call works.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "allocfail.h"
#include "allocfail_interpose.h"
#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;

// ------------------------------------------------------------ the sweep

// The first message of the register, taken without allocating.
struct Seen {
    int count = 0;
    char first[200] = "";
    void take() {
        count = elog_count();
        first[0] = '\0';
        if (count > 0) snprintf(first, sizeof first, "%s", elog_message(0));
    }
};

// Lets the error register grow once, so its own storage does not count as
// left behind by an operation.
void warm_register() {
    for (int i = 0; i < 64; i++) elog_log(0, "warm-up message %d.\n", i);
    elog_clear_register(0);
}

// One operation under the hook.  run, whole and undo run armed; leftover
// runs disarmed after a failed run.
struct Op {
    std::string name;
    std::function<bool()> run;                  // true on success
    std::function<bool()> whole = nullptr;      // a success is complete
    std::function<void()> undo = nullptr;       // frees a success
    std::function<bool()> leftover = nullptr;   // something stayed behind
    long max_points = 0;                        // 0: every allocation
};

struct Figures {
    long points = 0, fired = 0, clean = 0, absorbed = 0;
};

Figures sweep(const Op &o) {
    warm_register();
    bool ok = false, complete = true, threw = false;
    Seen seen;
    long live = 0;
    auto op = [&] {
        elog_clear_register(0);
        threw = false;
        complete = true;
        try {
            ok = o.run();
        } catch (...) {
            ok = false;
            threw = true;
        }
        seen.take();
        if (ok) {
            if (o.whole) complete = o.whole();
            if (o.undo) o.undo();
        }
        elog_clear_register(0);
        live = rzvtest::allocfail_live();
    };
    // The first run sets up what the engine keeps for good; the second is
    // the one counted, and its balance is the bound for every other run.
    op();
    EXPECT_TRUE(ok) << o.name << ": the plain run fails: " << seen.first;
    allocfail_arm(0);
    op();
    allocfail_disarm();
    EXPECT_TRUE(ok) << o.name << ": the counted run fails: " << seen.first;
    Figures f;
    f.points = rzvtest::allocfail_count();
    if (o.max_points > 0) f.points = std::min(f.points, o.max_points);
    long bound = std::max(live, 0L);
    int shown = 0;
    for (long n = 1; n <= f.points; n++) {
        allocfail_arm(n);
        op();
        allocfail_disarm();
        if (!rzvtest::allocfail_fired()) continue;
        f.fired++;
        std::string why;
        if (live > bound) why += " " + std::to_string(live - bound) + " blocks stayed taken;";
        if (ok) {
            f.absorbed++;
            if (!complete) why += " the call succeeded with an incomplete result;";
        } else {
            if (threw) why += " an exception escaped;";
            if (seen.count == 0) why += " no message;";
            bool left = o.leftover && o.leftover();
            elog_clear_register(0);
            if (left) why += " something stayed behind;";
        }
        if (why.empty())
            f.clean++;
        else if (shown++ < 8)
            ADD_FAILURE() << o.name << ": allocation " << n << ":" << why << " (" << seen.first << ")";
    }
    // Nothing half-made blocks the next call.
    op();
    EXPECT_TRUE(ok) << o.name << ": the call after the sweep fails: " << seen.first;
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

// The database number the next open takes: a failed open that kept its
// slot shows as a higher one.
long next_database_id() {
    Dbptr m;
    if (dbopen_memory(&m) != 0) return -1;
    long id = m.database;
    dbclose(m);
    return id;
}

long count_of(Dbptr t) {
    long n = -1;
    if (dbquery(t, dbRECORD_COUNT, &n) != 0) return -1;
    return n;
}

// ------------------------------------------------------------ a small field database

// Three stations with sites, channels, waveform rows, arrivals, an event
// with two origins and associations; the site file is written by hand with
// one line short of the row width, as old tools leave them (it is read
// through a normalising copy).
struct FieldDb {
    rzvtest::TempDir dir;
    std::string name = dir.file("field");
    static constexpr double T0 = 1262304000.0;  // 2010-01-01

    FieldDb() {
        Dbptr db;
        EXPECT_EQ(dbopen(name.c_str(), "r+", &db), 0);
        const char *stas[] = {"AAK", "BRVK", "KURK"};
        long wfid = 1, arid = 1;
        for (int s = 0; s < 3; s++) {
            for (const char *chan : {"BHZ", "BHN", "BHE"}) {
                for (int k = 0; k < 2; k++) {
                    double t = T0 + 3600.0 * k;
                    EXPECT_GE(dbaddv(table(db, "wfdisc"), nullptr, "sta", stas[s], "chan", chan, "time", t,
                                     "endtime", t + 3599.975, "nsamp", 144000L, "samprate", 40.0, "calib", 1.0,
                                     "calper", 1.0, "datatype", "s4", "dir", "wf", "dfile", "x.w", "wfid", wfid++,
                                     (char *)nullptr),
                              0);
                }
            }
            EXPECT_GE(dbaddv(table(db, "arrival"), nullptr, "sta", stas[s], "chan", "BHZ", "time",
                             T0 + 100.0 + 10 * s, "arid", arid, "iphase", "P", "amp", 12.5 * (s + 1), (char *)nullptr),
                      0);
            EXPECT_GE(dbaddv(table(db, "assoc"), nullptr, "arid", arid, "orid", 1L, "sta", stas[s], "phase", "P",
                             "delta", 10.0 + s, (char *)nullptr),
                      0);
            arid++;
        }
        EXPECT_GE(dbaddv(table(db, "event"), nullptr, "evid", 1L, "prefor", 1L, (char *)nullptr), 0);
        for (long orid : {1L, 2L})
            EXPECT_GE(dbaddv(table(db, "origin"), nullptr, "orid", orid, "evid", 1L, "lat", 43.0 + orid, "lon",
                             77.0, "depth", 10.0 * orid, "time", T0 + 50.0 + orid, "ml", 4.5, (char *)nullptr),
                      0);
        dbclose(db);
        std::vector<std::string> sites;
        for (int s = 0; s < 3; s++) {
            std::string row = dbfixture::hand_row("site", {{stas[s]}, {"1990001"}, {"-1"}, {std::to_string(40.0 + s)},
                                                          {std::to_string(70.0 + s)}, {"1.2"}});
            if (s == 1) row.resize(row.size() - 10);  // cut short: the normalised read
            sites.push_back(row);
        }
        EXPECT_TRUE(dbfixture::write_rows(name, "site", sites));
    }
    static Dbptr table(Dbptr db, const char *t) { return dblookup(db, nullptr, t, nullptr, nullptr); }
};

// dbopen and the first lookups, which load the tables: every count is
// known and every failure closes what it opened.
Op open_op(const std::string &label, const std::function<int(Dbptr *)> &open, long *base_id) {
    struct State {
        Dbptr db{};
        long counts[4] = {0, 0, 0, 0};
    };
    auto st = std::make_shared<State>();
    Op o;
    o.name = label;
    o.run = [st, open] {
        if (open(&st->db) != 0) return false;
        const char *tables[] = {"wfdisc", "arrival", "site", "origin"};
        for (int i = 0; i < 4; i++) {
            Dbptr t = dblookup(st->db, nullptr, tables[i], nullptr, nullptr);
            st->counts[i] = t.table < 0 ? -1 : count_of(t);
            if (st->counts[i] < 0) {
                dbclose(st->db);
                return false;
            }
        }
        return true;
    };
    o.undo = [st] { dbclose(st->db); };
    o.leftover = [base_id] { return next_database_id() != *base_id; };
    o.whole = [st] { return st->counts[0] == 18 && st->counts[1] == 3 && st->counts[2] == 3 && st->counts[3] == 2; };
    return o;
}

}  // namespace

// ------------------------------------------------------------ opening and loading

TEST(AllocFailDb, OpenAndLoad) {
    FieldDb f;
    long base = next_database_id();
    ASSERT_GE(base, 0);
    for (const char *mode : {"r", "r+"}) {
        Op o = open_op(std::string("dbopen \"") + mode + "\" + first lookups",
                       [&f, mode](Dbptr *db) { return dbopen(f.name.c_str(), mode, db); }, &base);
        expect_all_clean(sweep(o));
    }
    // A descriptor naming the schema and a search path: the tables are
    // found through it.
    std::string desc = f.dir.file("described");
    ASSERT_TRUE(rzvtest::write_file(desc, "# test descriptor\nschema css3.0\ndbpath " + f.name + "\n"));
    Op d = open_op("dbopen (descriptor) + first lookups", [&desc](Dbptr *db) { return dbopen(desc.c_str(), "r", db); },
                   &base);
    expect_all_clean(sweep(d));

    Op mem;
    mem.name = "dbopen_memory + lookups";
    Dbptr m{};
    mem.run = [&] {
        if (dbopen_memory(&m) != 0) return false;
        for (const char *t : {"wfdisc", "origin"})
            if (count_of(dblookup(m, nullptr, t, nullptr, nullptr)) != 0) {
                dbclose(m);
                return false;
            }
        return true;
    };
    mem.undo = [&] { dbclose(m); };
    mem.leftover = [&] { return next_database_id() != base; };
    expect_all_clean(sweep(mem));
}

// A table whose load ran out of memory is not left empty or half-read: the
// next use loads it whole.
TEST(AllocFailDb, FailedLoadIsRetried) {
    FieldDb f;
    for (const char *mode : {"r", "r+"}) {
        for (const char *table : {"wfdisc", "site"}) {
            long fired = 0;
            for (long n = 1; n < 400; n++) {
                Dbptr db;
                ASSERT_EQ(dbopen(f.name.c_str(), mode, &db), 0);
                allocfail_arm(n);
                Dbptr t = dblookup(db, nullptr, table, nullptr, nullptr);
                long count = t.table < 0 ? -1 : count_of(t);
                allocfail_disarm();
                bool hit = rzvtest::allocfail_fired();
                if (hit && count < 0) {
                    fired++;
                    EXPECT_GT(elog_count(), 0) << mode << " " << table << " allocation " << n;
                    elog_clear_register(0);
                    t = dblookup(db, nullptr, table, nullptr, nullptr);
                }
                EXPECT_EQ(count_of(t), !strcmp(table, "site") ? 3 : 18) << mode << " " << table << " allocation " << n;
                char sta[16] = "";
                Dbptr r = t;
                r.record = 1;
                EXPECT_EQ(dbgetv(r, nullptr, "sta", sta, (char *)nullptr), 0);
                EXPECT_STREQ(sta, !strcmp(table, "site") ? "BRVK" : "AAK");
                elog_clear_register(0);
                dbclose(db);
                if (!hit) break;
            }
            EXPECT_GT(fired, 0) << mode << " " << table;
        }
    }
}
