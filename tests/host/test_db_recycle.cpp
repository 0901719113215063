// View slots are recycled: a program that makes and frees views all its life
// never runs out of them and keeps its memory flat, a group keeps the view
// it bundles alive, and what remembered a freed view by number (match hooks,
// compiled expressions) is never applied to the view that reuses its slot.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

// Sanitizer builds run a shorter loop, and their allocator keeps freed
// memory in quarantine, so resident size says nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kViews = 20000;
constexpr bool kCheckResident = false;
#else
constexpr int kViews = 1000000;
constexpr bool kCheckResident = true;
#endif

long resident_kb() {
    long pages = 0, rss = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = -1;
    fclose(f);
    return rss < 0 ? -1 : rss * (sysconf(_SC_PAGESIZE) / 1024);
}

class Recycle : public ::testing::Test {
protected:
    rzvtest::TempDir dir;
    Dbptr db{}, wf{};
    void SetUp() override {
        elog_clear_register(0);
        std::vector<std::string> rows;
        const char *stas[] = {"ANMO", "AAK", "CCM", "AAK", "ANMO", "HRV"};
        for (int i = 0; i < 6; i++)
            rows.push_back(dbfixture::wfdisc_row(stas[i], i % 2 ? "BHZ" : "BHN", 1e9 + 100 * i, 1e9 + 100 * i + 50,
                                                 i + 1));
        ASSERT_TRUE(dbfixture::write_rows(dir.file("db"), "wfdisc", rows));
        ASSERT_EQ(dbopen(dir.file("db").c_str(), "r", &db), 0);
        wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    }
    void TearDown() override { dbclose(db); }
    static long count(Dbptr v) {
        long n = -1;
        return dbquery(v, dbRECORD_COUNT, &n) == 0 ? n : -1;
    }
    long tables() {
        long n = -1;
        dbquery(db, dbTABLE_COUNT, &n);
        return n;
    }
};

TEST_F(Recycle, AMillionViewsMadeAndFreedKeepSlotsAndMemoryFlat) {
    Tbl *keys = strtbl("sta", nullptr);
    // warm up, then measure
    for (int i = 0; i < 1000; i++) dbfree(dbsort(wf, keys, 0, nullptr));
    long base_tables = tables();
    long rss0 = resident_kb();
    const int n = kViews;
    for (int i = 0; i < n; i++) {
        Dbptr v = dbsort(wf, keys, 0, nullptr);
        ASSERT_NE(v.table, dbINVALID) << "view " << i << ": " << rzvtest::all_messages();
        ASSERT_EQ(dbfree(v), 0);
    }
    long rss1 = resident_kb();
    freetbl(keys, nullptr);
    EXPECT_EQ(tables(), base_tables);  // every view reused a freed slot
    printf("views made and freed: %d; resident memory %ld kB before, %ld kB after\n", n, rss0, rss1);
    if (kCheckResident) EXPECT_LT(rss1 - rss0, 4096);
}

TEST_F(Recycle, AGroupKeepsTheCallersSortedViewAlive) {
    Tbl *keys = strtbl("sta", nullptr);
    Dbptr sorted = dbsort(wf, keys, 0, nullptr);
    Dbptr grouped = dbgroup(sorted, keys, nullptr, 1);
    ASSERT_NE(grouped.table, dbINVALID);
    ASSERT_EQ(dbfree(sorted), 0);
    // a new view must not take the sorted view's slot while the group reads it
    Dbptr other = dbsubset(wf, "sta == \"HRV\"", nullptr);
    EXPECT_NE(other.table, sorted.table);
    EXPECT_EQ(count(grouped), 4);
    Dbptr row = grouped;
    row.record = 1;  // sorted: AAK AAK ANMO ANMO CCM HRV; the second group is ANMO
    Dbptr bundle;
    ASSERT_EQ(dbgetv(row, nullptr, "bundle", &bundle, nullptr), 0);
    long first, last;
    ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
    EXPECT_EQ(last - first, 2);
    char sta[16];
    bundle.record = first;
    ASSERT_EQ(dbgetv(bundle, nullptr, "sta", sta, nullptr), 0);
    EXPECT_STREQ(sta, "ANMO");
    // freeing the group frees both slots, and new views take them
    long gslot = grouped.table, sslot = sorted.table;
    ASSERT_EQ(dbfree(grouped), 0);
    EXPECT_EQ(count(sorted), -1);
    Dbptr a = dbsubset(wf, "1", nullptr), b = dbsubset(wf, "1", nullptr);
    EXPECT_TRUE((a.table == gslot && b.table == sslot) || (a.table == sslot && b.table == gslot));
    for (Dbptr v : {a, b, other}) dbfree(v);
    // a freed view is gone: a second free is refused with a message
    elog_clear_register(0);
    Dbptr c = dbsubset(wf, "1", nullptr);
    ASSERT_EQ(dbfree(c), 0);
    EXPECT_LT(dbfree(c), 0);
    EXPECT_TRUE(rzvtest::has_message("dbfree: invalid pointer"));
    freetbl(keys, nullptr);
}

TEST_F(Recycle, HooksAndExpressionsOfAFreedViewDoNotApplyToItsSuccessor) {
    Dbptr v1 = dbsubset(wf, "sta == \"ANMO\"", nullptr);
    ASSERT_EQ(count(v1), 2);
    Expression *ex = nullptr;
    ASSERT_EQ(dbex_compile(v1, "wfid * 2", &ex, 0), 0);
    Hook *hook = nullptr;
    Tbl *list = nullptr;
    Dbptr key = wf;
    key.record = 0;  // ANMO
    Tbl *k = strtbl("sta", nullptr);
    EXPECT_EQ(dbmatches(key, v1, &k, &k, &hook, &list), 2);
    freetbl(list, nullptr);
    list = nullptr;
    dbfree(v1);
    // the successor takes the same slot, with other rows
    Dbptr v3 = dbsubset(wf, "sta == \"AAK\" || sta == \"HRV\" || sta == \"ANMO\"", nullptr);
    ASSERT_EQ(v3.table, v1.table);
    ASSERT_EQ(count(v3), 5);
    elog_clear_register(0);
    Dbptr r0 = v3;
    r0.record = 0;
    double val = 0;
    EXPECT_LT(dbex_eval(r0, ex, 0, &val), 0);
    EXPECT_TRUE(rzvtest::has_message("compiled for another table"));
    // the hook's index is rebuilt for the new view
    long n = dbmatches(key, v3, &k, &k, &hook, &list);
    EXPECT_EQ(n, 2);
    for (long i = 0; i < n; i++) {
        Dbptr r = v3;
        r.record = (long)(intptr_t)gettbl(list, i);
        char sta[16] = "";
        dbgetv(r, nullptr, "sta", sta, nullptr);
        EXPECT_STREQ(sta, "ANMO");
    }
    freetbl(list, nullptr);
    free_hook(&hook);
    dbex_free(ex);
    freetbl(k, nullptr);
}

}  // namespace
