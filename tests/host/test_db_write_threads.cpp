// Threads of one program writing one table file through their own "r+"
// handles: the file lock keeps their rows apart and their identifiers
// unique, as between processes.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db.h"
#include "rzvtest.h"
#include "threadtest.h"

TEST(DbWriteThreads, HandlesOfOneProgramAppendAndRewriteApart) {
    rzvtest::Watchdog dog("DbWriteThreads", std::chrono::seconds(120));
    rzvtest::TempDir dir;
    std::string prefix = dir.file("w");
    const long N = 150;
    std::atomic<int> bad{0}, shared{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 3; k++) {
        threads.emplace_back([&, k]() {
            Dbptr db;
            if (dbopen(prefix.c_str(), "r+", &db) != 0) {
                bad++;
                return;
            }
            Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
            for (long i = 0; i < N; i++) {
                long id = (k + 1) * 1000 + i;
                if (dbaddv(wf, 0, "sta", "OWN", "wfid", id, "nsamp", id, "foff", id, (char *)0) < 0) bad++;
                // an identifier every thread tries to take
                if (dbaddv(wf, 0, "sta", "ALL", "wfid", 90000 + i, "nsamp", 90000 + i, "foff", 90000 + i,
                           (char *)0) >= 0)
                    shared++;
                Dbptr row = wf;
                row.record = i;
                long nsamp = -1;
                if (dbgetv(row, 0, "nsamp", &nsamp, (char *)0) != 0 || dbputv(row, 0, "foff", nsamp, (char *)0) != 0)
                    bad++;
            }
            dbclose(db);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(shared.load(), N);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    long n = 0;
    ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
    EXPECT_EQ(n, 4 * N);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc").size(), (size_t)(4 * N * 284));
    std::set<long> ids;
    for (wf.record = 0; wf.record < n; wf.record++) {
        long id = -1, nsamp = -2, foff = -3;
        ASSERT_EQ(dbgetv(wf, 0, "wfid", &id, "nsamp", &nsamp, "foff", &foff, (char *)0), 0);
        EXPECT_EQ(nsamp, id);
        EXPECT_EQ(foff, id);
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
    dbclose(db);
}
