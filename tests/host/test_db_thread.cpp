// Several threads reading one database at once: the first access to a
// table (its lazy load), dbgetv, the row address and dbmatches with each
// thread's own hook and the index shared through index_arr.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"

TEST(DbThreads, ConcurrentReadersAgree) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("mt");
    std::vector<std::string> rows;
    const char *stas[] = {"AAA", "BBB", "CCC", "DDD"};
    for (int i = 0; i < 400; i++)
        rows.push_back(dbfixture::wfdisc_row(stas[i % 4], "BHZ", 1000.0 + (i / 4) * 100.0, 1099.0 + (i / 4) * 100.0, i));
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);  // the file is loaded on first use below
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; k++) {
        threads.emplace_back([&, k]() {
            long n = 0;
            if (dbquery(wf, dbRECORD_COUNT, &n) != 0 || n != 400) bad++;
            Dbptr r = wf;
            for (r.record = k; r.record < n; r.record += 4) {
                char sta[8];
                long wfid;
                if (dbgetv(r, 0, "sta", sta, "wfid", &wfid, (char *)0) != 0 || wfid != r.record ||
                    std::string(sta) != stas[r.record % 4])
                    bad++;
            }
            // each thread its own key row, in its own in-memory database
            Dbptr mem;
            dbopen_memory(&mem);
            Dbptr key = dblookup(mem, 0, "wfdisc", 0, 0);
            dbaddv(key, 0, "sta", stas[k], "chan", "BHZ", "time", 1000.0, "endtime", 1550.0, (char *)0);
            key.record = 0;
            Tbl *keys = strtbl("sta", "chan", "time::endtime", (char *)0);
            Hook *hook = nullptr;
            Tbl *list = nullptr;
            for (int i = 0; i < 50; i++)
                if (dbmatches(key, wf, &keys, &keys, &hook, &list) != 6) bad++;
            free_hook(&hook);
            freetbl(list, 0);
            freetbl(keys, 0);
            dbclose(mem);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    dbclose(db);
}

// Another program appends to the file while threads count, read and match.
TEST(DbThreads, ReadersWhileTheFileGrows) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("grow");
    std::string file = prefix + ".wfdisc";
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", {dbfixture::wfdisc_row("AAA", "BHZ", 0, 99, 0)}));
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread writer([&]() {
        for (int i = 1; i <= 200; i++) {
            FILE *fp = fopen(file.c_str(), "a");
            std::string row = dbfixture::wfdisc_row("AAA", "BHZ", i * 100.0, i * 100.0 + 99, i) + "\n";
            fwrite(row.data(), 1, row.size(), fp);
            fclose(fp);
        }
        done = true;
    });
    std::vector<std::thread> readers;
    for (int k = 0; k < 2; k++)
        readers.emplace_back([&]() {
            Tbl *list = nullptr;
            Hook *hook = nullptr;
            Dbptr mem;
            dbopen_memory(&mem);
            Dbptr key = dblookup(mem, 0, "wfdisc", 0, 0);
            dbaddv(key, 0, "sta", "AAA", "chan", "BHZ", "time", 0.0, "endtime", 50.0, (char *)0);
            key.record = 0;
            long last = 0;
            while (!done || last < 201) {
                long n = 0;
                dbquery(wf, dbRECORD_COUNT, &n);
                if (n < last) bad++;
                last = n;
                Dbptr r = wf;
                r.record = n - 1;
                long wfid = -5;
                if (dbgetv(r, 0, "wfid", &wfid, (char *)0) != 0 || wfid != n - 1) bad++;
                if (dbmatches(key, wf, 0, 0, &hook, &list) != 1) bad++;
                if (done && last >= 201) break;
            }
            free_hook(&hook);
            freetbl(list, 0);
            dbclose(mem);
        });
    writer.join();
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    dbclose(db);
}

// Threads matching with key lists of different kinds on the same table
// fields (their indexes share one name) each get their own answers.
TEST(DbThreads, KeyListsOfDifferentKindsAtOnce) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("kinds");
    std::vector<std::string> rows;
    for (int i = 0; i < 200; i++)
        rows.push_back(dbfixture::wfdisc_row("AAA", "BHZ", 1000.0 + i * 100.0, 1099.0 + i * 100.0, i));
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; k++) {
        threads.emplace_back([&, k]() {
            Dbptr mem;
            dbopen_memory(&mem);
            Dbptr key = dblookup(mem, 0, "wfdisc", 0, 0);
            dbaddv(key, 0, "sta", "AAA", "chan", "BHZ", "time", 1050.0, "endtime", 1450.0, (char *)0);
            key.record = 0;
            // even threads: the time alone in each span (1 row); odd: the window (5 rows)
            Tbl *keys = k % 2 ? strtbl("sta", "chan", "time::endtime", (char *)0) : strtbl("sta", "chan", "time", (char *)0);
            Tbl *keys2 = strtbl("sta", "chan", "time::endtime", (char *)0);
            Hook *hook = nullptr;
            Tbl *list = nullptr;
            for (int i = 0; i < 50; i++) {
                long n = dbmatches(key, wf, &keys, &keys2, i % 10 ? &hook : nullptr, &list);
                if (n != (k % 2 ? 5 : 1)) bad++;
            }
            free_hook(&hook);
            freetbl(list, 0);
            freetbl(keys, 0);
            freetbl(keys2, 0);
            dbclose(mem);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    dbclose(db);
}
