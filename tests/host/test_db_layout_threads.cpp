// Archive tables read from several threads at once: the first reads of a
// KB Core table (its layout chosen while other threads wait for it) give
// every thread the same values, and a load date of no known form is
// reported once for the table however many threads read it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"
#include "threadtest.h"

namespace {

const bool guarded = rzvtest::bound_every_test(std::chrono::seconds(60));

std::string kb_row(long wfid, const char *lddate) {
    char buf[400];
    snprintf(buf, sizeof buf,
             "%-6.6s %-8.8s %17.5f %9ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
             "%-64.64s %-32.32s %10ld %9ld %-19.19s",
             "AAK", "BHZ", 1e9 + wfid, wfid, -1L, 2001252L, 1e9 + wfid + 10, 401L, 40.0, 1.0, 1.0, "-", "-", "s4", "-",
             "wf", "x.w", (wfid - 100000000) * 1604, -1L, lddate);
    return buf;
}

TEST(DbLayoutThreads, FirstReadsAndTheLoadDateMessageFromManyThreads) {
    (void)guarded;
    rzvtest::TempDir dir;
    std::string prefix = dir.file("arch");
    std::vector<std::string> rows;
    for (long k = 0; k < 200; k++) rows.push_back(kb_row(100000000 + k, k % 2 ? "last tuesday" : "2010-01-02 08:30:00"));
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
    FILE *log = tmpfile();
    ASSERT_NE(log, nullptr);
    elog_set_stream(log);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    const int NT = 6;
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < NT; i++)
        ts.emplace_back([&, i] {
            Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
            long rs = 0;
            if (dbquery(wf, dbRECORD_SIZE, &rs) != 0 || rs != 287) bad++;
            for (int pass = 0; pass < 3; pass++)
                for (long k = 0; k < 200; k++) {
                    wf.record = (k + i * 37) % 200;
                    long wfid = 0, foff = 0;
                    double lddate = 0;
                    if (dbgetv(wf, 0, "wfid", &wfid, "foff", &foff, "lddate", &lddate, (char *)0) != 0) bad++;
                    if (wfid != 100000000 + wf.record || foff != (wfid - 100000000) * 1604) bad++;
                    if (lddate != (wf.record % 2 ? -9999999999.999 : 1262421000.0)) bad++;
                }
        });
    for (auto &t : ts) t.join();
    dbclose(db);
    elog_set_stream(0);
    rewind(log);
    std::string said;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, log)) > 0) said.append(buf, n);
    fclose(log);
    EXPECT_EQ(bad.load(), 0);
    size_t first = said.find("\"last tuesday\"");
    ASSERT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find("\"last tuesday\"", first + 1), std::string::npos) << said;
}

}  // namespace
