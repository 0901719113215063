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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "allocfail.h"
#include "allocfail_interpose.h"
#include "allocsweep.h"
#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;

// ------------------------------------------------------------ the sweep

using rzvtest::allocsweep::Seen;
using rzvtest::allocsweep::warm_register;

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
    // RZV_ALLOCFAIL_ONLY=n tries failure point n alone (for a debugger)
    const char *only = getenv("RZV_ALLOCFAIL_ONLY");
    for (long n = 1; n <= f.points; n++) {
        if (only && *only && atol(only) != n) continue;
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
        // an arrival no origin claims: the outer join's row without a partner
        EXPECT_GE(dbaddv(table(db, "arrival"), nullptr, "sta", "AAK", "chan", "BHN", "time", T0 + 900.0, "arid",
                         arid, "iphase", "S", (char *)nullptr),
                  0);
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
    o.whole = [st] { return st->counts[0] == 18 && st->counts[1] == 4 && st->counts[2] == 3 && st->counts[3] == 2; };
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

// The wfid of a row (-999 when it cannot be read); allocates nothing.
long long_of_row(Dbptr t, long record) {
    long v = -999;
    t.record = record;
    if (dbgetv(t, nullptr, "wfid", &v, (char *)nullptr) != 0) return -999;
    return v;
}

// A table whose file another program replaced (written aside, renamed in
// place): the next count reads it again.  A re-read that runs out of
// memory keeps the rows read before and is tried again by the next call.
TEST(AllocFailDb, ReadAgainAfterTheFileChanged) {
    FieldDb f;
    const std::string path = f.name + ".wfdisc", aside = f.name + ".wfdisc.new";
    std::string full = rzvtest::read_file(path);
    ASSERT_FALSE(full.empty());
    size_t rowlen = full.find('\n') + 1;
    const std::string fewer = full.substr(0, 12 * rowlen);
    Dbptr db;
    ASSERT_EQ(dbopen(f.name.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    ASSERT_EQ(count_of(wf), 18);
    bool shorter = false;
    long got = 0;
    // Replaces the file without allocating (the run is under the hook).
    auto replace = [&](const std::string &text) {
        int fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
        close(fd);
        return ok && rename(aside.c_str(), path.c_str()) == 0;
    };
    Op again;
    again.name = "dbquery (the table file replaced)";
    again.run = [&] {
        shorter = !shorter;
        if (!replace(shorter ? fewer : full)) {
            ADD_FAILURE() << "cannot replace " << path;
            return false;
        }
        got = count_of(wf);
        if (got < 0) {
            // the next call reads the new file whole
            long n = count_of(wf);
            if (n != (shorter ? 12 : 18)) ADD_FAILURE() << "after a failed re-read: " << n << " rows";
        }
        return got >= 0;
    };
    again.whole = [&] { return got == (shorter ? 12 : 18) && long_of_row(wf, got - 1) == got; };
    expect_all_clean(sweep(again));
    dbclose(db);
}

// ------------------------------------------------------------ adding and changing rows

namespace {

// Reads a long field of a row (-999 when it cannot).
long long_of(Dbptr t, long record, const char *field) {
    long v = -999;
    t.record = record;
    if (dbgetv(t, nullptr, field, &v, (char *)nullptr) != 0) return -999;
    return v;
}

double real_of(Dbptr t, long record, const char *field) {
    double v = -999;
    t.record = record;
    if (dbgetv(t, nullptr, field, &v, (char *)nullptr) != 0) return -999;
    return v;
}

}  // namespace

TEST(AllocFailDb, AddAndChangeRows) {
    FieldDb f;
    Dbptr mem;
    ASSERT_EQ(dbopen_memory(&mem), 0);
    Dbptr file;
    ASSERT_EQ(dbopen(f.name.c_str(), "r+", &file), 0);
    for (Dbptr db : {mem, file}) {
        const bool on_file = db.database == file.database;
        Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        long wfid = 1000, before = 0;
        Op add;
        add.name = std::string("dbaddv (") + (on_file ? "\"r+\" file)" : "memory)");
        add.run = [&] {
            before = count_of(wf);
            wfid++;
            long r = dbaddv(wf, nullptr, "sta", "NEW", "chan", "HHZ", "time", FieldDb::T0 + wfid, "endtime",
                            FieldDb::T0 + wfid + 10, "nsamp", 400L, "samprate", 40.0, "wfid", wfid, "datatype", "s4",
                            (char *)nullptr);
            return r >= 0;
        };
        add.whole = [&] { return count_of(wf) == before + 1 && long_of(wf, before, "wfid") == wfid; };
        // a failed add leaves the table as it was; its identifier stays free
        add.leftover = [&] { return count_of(wf) != before; };
        expect_all_clean(sweep(add));
        long n = count_of(wf);
        // identifiers stay unique after the failures: the last one is taken
        EXPECT_LT(dbaddv(wf, nullptr, "sta", "DUP", "chan", "HHZ", "time", FieldDb::T0, "wfid", wfid, (char *)nullptr),
                  0);
        EXPECT_EQ(count_of(wf), n);
        elog_clear_register(0);
    }

    // The first add to a file table builds its identifier set: a set cut
    // short by a failure is built again, so the identifiers stay unique.
    {
        long wfid = 5000;
        off_t size_before = 0;
        Dbptr fresh{};
        const std::string wfpath = f.name + ".wfdisc";
        auto file_size = [&] {
            struct stat st;
            return stat(wfpath.c_str(), &st) == 0 ? st.st_size : (off_t)-1;
        };
        Op first;
        first.name = "dbopen \"r+\" + first dbaddv";
        first.run = [&] {
            size_before = file_size();
            if (dbopen(f.name.c_str(), "r+", &fresh) != 0) return false;
            wfid++;
            Dbptr wf = dblookup(fresh, nullptr, "wfdisc", nullptr, nullptr);
            long r = wf.table < 0 ? -1
                                  : dbaddv(wf, nullptr, "sta", "NEW", "chan", "HHZ", "time", FieldDb::T0 + wfid,
                                           "wfid", wfid, (char *)nullptr);
            if (r >= 0 && dbaddv(wf, nullptr, "sta", "DUP", "chan", "HHZ", "wfid", 1L, (char *)nullptr) >= 0) {
                ADD_FAILURE() << "an identifier taken before was given again";
                r = -1;
            }
            if (r < 0) dbclose(fresh);
            return r >= 0;
        };
        first.whole = [&] {
            Dbptr wf = dblookup(fresh, nullptr, "wfdisc", nullptr, nullptr);
            long n = count_of(wf);
            return file_size() > size_before && long_of(wf, n - 1, "wfid") == wfid;
        };
        first.undo = [&] { dbclose(fresh); };
        first.leftover = [&] { return file_size() != size_before; };
        expect_all_clean(sweep(first));
    }

    // One call changing two tables through a view: both rows change or
    // neither does.
    Dbptr origin = dblookup(file, nullptr, "origin", nullptr, nullptr);
    Dbptr assoc = dblookup(file, nullptr, "assoc", nullptr, nullptr);
    Dbptr j = dbjoin(origin, assoc, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(count_of(j), 3);
    double value = 10;
    Op put;
    put.name = "dbputv (a joined row, two tables)";
    put.run = [&] {
        value += 1;
        Dbptr r = j;
        r.record = 0;
        return dbputv(r, nullptr, "origin.depth", value, "assoc.delta", value, (char *)nullptr) == 0;
    };
    put.whole = [&] { return real_of(origin, 0, "depth") == value && real_of(assoc, 0, "delta") == value; };
    put.leftover = [&] { return real_of(origin, 0, "depth") != real_of(assoc, 0, "delta"); };
    expect_all_clean(sweep(put));
    dbfree(j);
    dbclose(file);
    // what was written is in the file
    ASSERT_EQ(dbopen(f.name.c_str(), "r", &file), 0);
    EXPECT_EQ(real_of(dblookup(file, nullptr, "origin", nullptr, nullptr), 0, "depth"), value);
    dbclose(file);
    dbclose(mem);
}

// ------------------------------------------------------------ views

namespace {

// The slots the next eight views take (in order): a view left registered
// by a failed call holds one of them.
std::vector<long> next_view_slots(Dbptr t) {
    Dbptr v[8];
    std::vector<long> slots;
    for (auto &x : v) {
        x = dbsubset(t, "1", nullptr);
        slots.push_back(x.table);
    }
    for (auto &x : v)
        if (x.table >= 0) dbfree(x);
    elog_clear_register(0);
    std::sort(slots.begin(), slots.end());
    return slots;
}

// A view-making operation: run makes the view (kept in *out), whole checks
// it, undo frees it; a failure must leave no view behind.
Op view_op(const std::string &name, Dbptr probe, Dbptr *out, const std::function<Dbptr()> &make,
           const std::function<bool(Dbptr)> &whole, std::vector<long> *slot) {
    Op o;
    o.name = name;
    o.run = [out, make] {
        *out = make();
        return out->table >= 0;
    };
    o.whole = [out, whole] { return whole(*out); };
    o.undo = [out] { dbfree(*out); };
    o.leftover = [probe, slot] { return next_view_slots(probe) != *slot; };
    return o;
}

// Whether the values of a string field down the rows of a view are
// `want` (blank-separated).  Allocates nothing: it runs under the hook.
bool column_is(Dbptr v, const char *field, const char *want) {
    char all[512] = "";
    size_t at = 0;
    long n = count_of(v);
    for (long r = 0; r < n; r++) {
        char buf[64] = "";
        v.record = r;
        if (dbgetv(v, nullptr, field, buf, (char *)nullptr) != 0) return false;
        at += (size_t)snprintf(all + at, sizeof all - at, "%s%s", r ? " " : "", buf);
        if (at >= sizeof all) return false;
    }
    return strcmp(all, want) == 0;
}

}  // namespace

TEST(AllocFailDb, Views) {
    FieldDb f;
    Dbptr db;
    ASSERT_EQ(dbopen(f.name.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    Dbptr arrival = dblookup(db, nullptr, "arrival", nullptr, nullptr);
    Dbptr assoc = dblookup(db, nullptr, "assoc", nullptr, nullptr);
    Dbptr origin = dblookup(db, nullptr, "origin", nullptr, nullptr);
    std::vector<long> slot = next_view_slots(wf);
    ASSERT_GE(slot[0], 0);
    Dbptr v{};

    std::string expr = "chan == \"BHZ\" && time > " + std::to_string(FieldDb::T0 + 1);
    expect_all_clean(sweep(view_op(
        "dbsubset", wf, &v, [&] { return dbsubset(wf, expr.c_str(), nullptr); },
        [](Dbptr s) { return count_of(s) == 3 && column_is(s, "sta", "AAK BRVK KURK"); }, &slot)));

    Tbl *keys = strtbl("sta", "time", (char *)nullptr);
    expect_all_clean(sweep(view_op(
        "dbsort (reverse)", wf, &v, [&] { return dbsort(wf, keys, dbSORT_REVERSE, nullptr); },
        [](Dbptr s) { return count_of(s) == 18 && column_is(s, "sta", "KURK KURK KURK KURK KURK KURK BRVK BRVK BRVK BRVK BRVK BRVK AAK AAK AAK AAK AAK AAK"); }, &slot)));
    Tbl *stakey = strtbl("sta", (char *)nullptr);
    expect_all_clean(sweep(view_op(
        "dbsort (unique)", wf, &v, [&] { return dbsort(wf, stakey, dbSORT_UNIQUE, nullptr); },
        [](Dbptr s) { return column_is(s, "sta", "AAK BRVK KURK"); }, &slot)));

    // joins: inferred keys handed back, and an outer join with the rows
    // that found no partner
    Tbl *k1 = nullptr, *k2 = nullptr;
    Op join = view_op(
        "dbjoin (origin, assoc; keys inferred)", wf, &v,
        [&] {
            freetbl(k1, 0);
            freetbl(k2, 0);
            k1 = k2 = nullptr;
            Dbptr j = dbjoin(origin, assoc, &k1, &k2, 0, nullptr, nullptr);
            if (j.table < 0 && (k1 || k2)) ADD_FAILURE() << "a failed join handed back key lists";
            return j;
        },
        [&](Dbptr j) {
            return count_of(j) == 3 && maxtbl(k1) == 1 && !strcmp((char *)gettbl(k1, 0), "origin.orid") &&
                   maxtbl(k2) == 1 && !strcmp((char *)gettbl(k2, 0), "assoc.orid") &&
                   column_is(j, "assoc.sta", "AAK BRVK KURK");
        },
        &slot);
    join.undo = [&] {
        dbfree(v);
        freetbl(k1, 0);
        freetbl(k2, 0);
        k1 = k2 = nullptr;
    };
    expect_all_clean(sweep(join));
    freetbl(k1, 0);
    freetbl(k2, 0);

    Tbl *nojoin = nullptr;
    Op outer = view_op(
        "dbjoin (arrival, assoc; outer)", wf, &v,
        [&] {
            freetbl(nojoin, 0);
            nojoin = nullptr;
            Dbptr j = dbjoin(arrival, assoc, nullptr, nullptr, 1, &nojoin, nullptr);
            if (j.table < 0 && nojoin) ADD_FAILURE() << "a failed join handed back a list";
            return j;
        },
        [&](Dbptr j) {
            return count_of(j) == 4 && maxtbl(nojoin) == 1 && (long)gettbl(nojoin, 0) == 3 &&
                   column_is(j, "assoc.sta", "AAK BRVK KURK -");
        },
        &slot);
    outer.undo = [&] {
        dbfree(v);
        freetbl(nojoin, 0);
        nojoin = nullptr;
    };
    expect_all_clean(sweep(outer));
    freetbl(nojoin, 0);

    // a list of the caller's own: filled on success, as it was on failure
    Tbl *mine = newtbl(0);
    pushtbl(mine, (void *)99);
    Op outer2 = view_op(
        "dbjoin (outer, the caller's list)", wf, &v,
        [&] {
            Dbptr j = dbjoin(arrival, assoc, nullptr, nullptr, 1, &mine, nullptr);
            if (j.table < 0 && !(maxtbl(mine) == 1 && (long)gettbl(mine, 0) == 99))
                ADD_FAILURE() << "a failed join changed the caller's list";
            return j;
        },
        [&](Dbptr j) {
            bool ok = count_of(j) == 4 && maxtbl(mine) == 1 && (long)gettbl(mine, 0) == 3;
            settbl(mine, 0, (void *)99);
            return ok;
        },
        &slot);
    expect_all_clean(sweep(outer2));
    freetbl(mine, 0);

    // three tables: a view joined again
    Op three = view_op(
        "dbjoin (origin, assoc, arrival)", wf, &v,
        [&] {
            Dbptr oa = dbjoin(origin, assoc, nullptr, nullptr, 0, nullptr, nullptr);
            if (oa.table < 0) return oa;
            Dbptr j = dbjoin(oa, arrival, nullptr, nullptr, 0, nullptr, nullptr);
            dbfree(oa);
            return j;
        },
        [](Dbptr j) { return count_of(j) == 3 && column_is(j, "arrival.iphase", "P P P"); }, &slot);
    expect_all_clean(sweep(three));

    // groups: of rows in key order, and of rows that need a sorted copy
    Tbl *chankey = strtbl("chan", (char *)nullptr);
    expect_all_clean(sweep(view_op(
        "dbgroup (sorted rows)", wf, &v, [&] { return dbgroup(wf, stakey, nullptr, 0); },
        [](Dbptr g) { return count_of(g) == 3 && column_is(g, "sta", "AAK BRVK KURK"); }, &slot)));
    expect_all_clean(sweep(view_op(
        "dbgroup (sorted copy)", wf, &v, [&] { return dbgroup(wf, chankey, nullptr, 0); },
        [](Dbptr g) {
            Dbptr b;
            g.record = 0;
            long first = -1, last = -1;
            return count_of(g) == 3 && column_is(g, "chan", "BHE BHN BHZ") &&
                   dbgetv(g, nullptr, "bundle", &b, (char *)nullptr) == 0 && dbget_range(b, &first, &last) == 0 &&
                   last - first == 6;
        },
        &slot)));

    // a subset of groups over a sorted copy gets a copy of its own
    Dbptr g = dbgroup(wf, chankey, nullptr, 0);
    ASSERT_GE(g.table, 0);
    slot = next_view_slots(wf);
    expect_all_clean(sweep(view_op(
        "dbsubset (of groups over a copy)", wf, &v, [&] { return dbsubset(g, "chan != \"BHN\"", nullptr); },
        [](Dbptr s) { return count_of(s) == 2 && column_is(s, "chan", "BHE BHZ"); }, &slot)));
    dbfree(g);
    slot = next_view_slots(wf);

    freetbl(keys, 0);
    freetbl(stakey, 0);
    freetbl(chankey, 0);
    dbclose(db);
}

// Whole rows, deletion and compaction, views made row by row from
// references, and the lookups of a row's outside file and SEED codes.
TEST(AllocFailDb, RowsReferencesAndLookups) {
    FieldDb f;
    Dbptr mem;
    ASSERT_EQ(dbopen_memory(&mem), 0);
    Dbptr wf = dblookup(mem, nullptr, "wfdisc", nullptr, nullptr);
    for (long i = 0; i < 4; i++)
        ASSERT_GE(dbaddv(wf, nullptr, "sta", "AAK", "chan", "BHZ", "time", 100.0 * i, "wfid", i + 1, "dir", "wf",
                         "dfile", "a.w", (char *)nullptr),
                  0);
    char row[512];
    Dbptr r0 = wf;
    r0.record = 0;
    ASSERT_EQ(dbget(r0, row), 0);
    long n = 0;
    Op add;
    add.name = "dbget + dbadd (row text)";
    add.run = [&] {
        n = count_of(wf);
        return dbget(r0, row) == 0 && dbadd(wf, row) == n;
    };
    add.whole = [&] { return count_of(wf) == n + 1 && long_of(wf, n, "wfid") == 1; };
    add.leftover = [&] { return count_of(wf) != n; };
    expect_all_clean(sweep(add));

    Op put;
    put.name = "dbput (a field) + dbdelete + dbcrunch";
    put.run = [&] {
        n = count_of(wf);
        Dbptr last = wf;
        last.record = n - 1;
        Dbptr fld = dblookup(last, nullptr, nullptr, "chan", nullptr);
        return fld.field >= 0 && dbput(fld, "HHZ") == 0 && dbdelete(last) == 0 && dbcrunch(wf) == 0;
    };
    put.whole = [&] { return count_of(wf) == n - 1; };
    put.leftover = [&] { return count_of(wf) != n; };
    expect_all_clean(sweep(put));

    Dbptr file;
    ASSERT_EQ(dbopen(f.name.c_str(), "r", &file), 0);
    Dbptr origin = dblookup(file, nullptr, "origin", nullptr, nullptr);
    Dbptr assoc = dblookup(file, nullptr, "assoc", nullptr, nullptr);
    Tbl *names = strtbl("origin", "assoc", (char *)nullptr);
    Dbptr v{};
    Op refs;
    refs.name = "dbtbl2view + dbref + dbadd (references)";
    refs.run = [&] {
        v = dbtbl2view(file, names);
        if (v.table < 0) return false;
        char ref[dbREF_SIZE];
        Dbptr o = origin, a = assoc;
        o.record = 1;
        a.record = 2;
        char ra[dbREF_SIZE];
        bool ok = dbref(o, ref) == 0 && dbref(a, ra) == 0;
        // one row from the origin's reference, with the assoc's filled in
        ok = ok && dbadd(v, ref) == 0 && dbadd(v, ra) == 1;
        if (!ok) dbfree(v);
        return ok;
    };
    refs.whole = [&] { return count_of(v) == 2 && column_is(v, "assoc.sta", "- KURK"); };
    refs.undo = [&] { dbfree(v); };
    expect_all_clean(sweep(refs));
    freetbl(names, 0);

    char path[FILENAME_MAX];
    Dbptr w0 = dblookup(file, nullptr, "wfdisc", nullptr, "0");
    Op ext;
    ext.name = "dbextfile";
    ext.run = [&] { return dbextfile(w0, nullptr, path) >= 0; };
    ext.whole = [&] { return strstr(path, "/wf/x.w") != nullptr; };
    expect_all_clean(sweep(ext));
    dbclose(file);

    // SEED codes: the tables are loaded by the first lookup of each run
    ASSERT_TRUE(dbfixture::write_rows(f.name, "snetsta",
                                      {dbfixture::hand_row("snetsta", {{"KZ"}, {"AAK"}, {"AAK"}, {"1", -1}})}));
    ASSERT_TRUE(dbfixture::write_rows(f.name, "schanloc",
                                      {dbfixture::hand_row("schanloc", {{"AAK"}, {"BHZ"}, {"00"}, {"BHZ"}})}));
    Dbptr seed{};
    char snet[16], fsta[16], fchan[16], loc[16];
    Op codes;
    codes.name = "dbopen + dbseed_net + dbseed_loc";
    codes.run = [&] {
        if (dbopen(f.name.c_str(), "r", &seed) != 0) return false;
        bool ok = dbseed_net(seed, "AAK", snet, fsta) == 0 && dbseed_loc(seed, "AAK", "BHZ", fchan, loc) == 0;
        if (!ok) dbclose(seed);
        return ok;
    };
    codes.whole = [&] { return !strcmp(snet, "KZ") && !strcmp(fsta, "AAK") && !strcmp(loc, "00"); };
    codes.undo = [&] { dbclose(seed); };
    expect_all_clean(sweep(codes));
    dbclose(mem);
}

// ------------------------------------------------------------ freeing needs no memory

// Views freed and databases closed while every allocation fails are gone
// whole: nothing stays registered, nothing leaks (LeakSanitizer), and the
// slots are taken again by the next views and databases.
TEST(AllocFailDb, FreeAndCloseWhileMemoryIsOut) {
    FieldDb f;
    long base = next_database_id();
    for (int round = 0; round < 3; round++) {
        Dbptr db;
        ASSERT_EQ(dbopen(f.name.c_str(), round == 1 ? "r+" : "r", &db), 0);
        Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        Tbl *chankey = strtbl("chan", (char *)nullptr);
        std::vector<long> slot = next_view_slots(wf);
        Dbptr g = dbgroup(wf, chankey, nullptr, 0);  // with its sorted copy
        Dbptr s = dbsubset(g, "chan == \"BHZ\"", nullptr);
        Dbptr j = dbjoin(dblookup(db, nullptr, "arrival", nullptr, nullptr),
                         dblookup(db, nullptr, "assoc", nullptr, nullptr), nullptr, nullptr, 1, nullptr, nullptr);
        ASSERT_GE(g.table, 0);
        ASSERT_GE(s.table, 0);
        ASSERT_GE(j.table, 0);
        // the first allocation from here fails: freeing must not need one
        allocfail_arm(1);
        EXPECT_EQ(dbfree(s), 0);
        EXPECT_EQ(dbfree(g), 0);
        EXPECT_EQ(dbfree(j), 0);
        long fired_at_free = rzvtest::allocfail_fired();
        allocfail_disarm();
        EXPECT_FALSE(fired_at_free) << "freeing views allocated";
        EXPECT_EQ(next_view_slots(wf), slot);
        freetbl(chankey, 0);
        if (round == 2) {
            allocfail_arm(1);
            EXPECT_EQ(dbclose(db), 0);
            bool fired = rzvtest::allocfail_fired();
            allocfail_disarm();
            EXPECT_FALSE(fired) << "closing a database allocated";
        } else {
            dbclose(db);
        }
        EXPECT_EQ(next_database_id(), base);
    }
}
