// A table that another program keeps appending to, watched for days by a
// reader: each look maps the longer file again at the same address, so the
// rows a reader holds stay valid and the address space taken stays within a
// small multiple of the file, however many looks there are.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

// Bytes of address space mapped from `path` in this process.
size_t mapped_from(const std::string &path) {
    FILE *f = fopen("/proc/self/maps", "r");
    if (!f) return 0;
    char line[4096];
    size_t total = 0;
    while (fgets(line, sizeof line, f)) {
        unsigned long lo, hi;
        if (strstr(line, path.c_str()) && sscanf(line, "%lx-%lx", &lo, &hi) == 2) total += hi - lo;
    }
    fclose(f);
    return total;
}

TEST(TableGrowth, ALongWatchedTableKeepsItsAddressAndBoundedMappings) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("db");
    std::vector<std::string> rows{dbfixture::wfdisc_row("AAK", "BHZ", 1e9, 1e9 + 10, 1)};
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
    Dbptr reader;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &reader), 0);
    Dbptr wf = dblookup(reader, nullptr, "wfdisc", nullptr, nullptr);
    long n = 0;
    ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
    ASSERT_EQ(n, 1);
    char *first = nullptr;
    ASSERT_EQ(dbquery(wf, dbTABLE_ADDRESS, &first), 0);
    const std::string row0(first, 283);

    FILE *ap = fopen((prefix + ".wfdisc").c_str(), "a");
    ASSERT_TRUE(ap);
    const int looks = 3000;
    int moves = 0;
    char *last = first;
    for (int i = 0; i < looks; i++) {
        std::string r = dbfixture::wfdisc_row("AAK", "BHZ", 1e9 + 10 * (i + 1), 1e9 + 10 * (i + 2), i + 2);
        fputs((r + "\n").c_str(), ap);
        fflush(ap);
        ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
        ASSERT_EQ(n, i + 2);
        char *now = nullptr;
        dbquery(wf, dbTABLE_ADDRESS, &now);
        if (now != last) moves++;
        last = now;
    }
    fclose(ap);
    // the first row is still readable where it was first handed out
    EXPECT_EQ(std::string(first, 283), row0);
    size_t file = 3001u * 284u;
    size_t mapped = mapped_from(prefix + ".wfdisc");
    printf("%d looks, %d moves of the rows, %zu bytes mapped for a %zu-byte file\n", looks, moves, mapped, file);
    EXPECT_LT(moves, 12);  // the reserved room doubles: a few moves, not one per look
    EXPECT_LT(mapped, 8 * file + (8u << 20));
    Dbptr last_row = wf;
    last_row.record = n - 1;
    long wfid = 0;
    ASSERT_EQ(dbgetv(last_row, nullptr, "wfid", &wfid, nullptr), 0);
    EXPECT_EQ(wfid, looks + 1);
    dbclose(reader);
}

}  // namespace

namespace {

// Writes rows to a file beside the table's and renames it over the table's,
// as tools that write a table whole do.
bool replace_rows(const std::string &prefix, const std::vector<std::string> &rows) {
    std::string text;
    for (auto &r : rows) text += r + "\n";
    std::string aside = prefix + ".wfdisc.new";
    return rzvtest::write_file(aside, text) && rename(aside.c_str(), (prefix + ".wfdisc").c_str()) == 0;
}

long wfid_of(Dbptr t, long record) {
    long v = -1;
    t.record = record;
    dbgetv(t, nullptr, "wfid", &v, (char *)nullptr);
    return v;
}

}  // namespace

// A table file replaced under its name (renamed over, so the reader's
// mapping still shows the old file) is read again whole: a longer file is
// not taken for the old one with rows appended, whose mapping ends before
// them, and new text of the same length is seen too.
TEST(TableGrowth, AFileReplacedUnderItsNameIsReadAgainWhole) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("db");
    std::vector<std::string> rows;
    for (long i = 0; i < 3; i++) rows.push_back(dbfixture::wfdisc_row("AAK", "BHZ", 1e9 + i, 1e9 + i + 1, i + 1));
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
    for (const char *mode : {"r", "r+"}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(replace_rows(prefix, rows));
        Dbptr db;
        ASSERT_EQ(dbopen(prefix.c_str(), mode, &db), 0);
        Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        long n = 0;
        ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
        ASSERT_EQ(n, 3);
        // longer, and with other identifiers in the rows read before
        std::vector<std::string> more;
        for (long i = 0; i < 40; i++)
            more.push_back(dbfixture::wfdisc_row("BRVK", "BHZ", 1e9 + i, 1e9 + i + 1, 100 + i));
        ASSERT_TRUE(replace_rows(prefix, more));
        ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
        EXPECT_EQ(n, 40);
        EXPECT_EQ(wfid_of(wf, 0), 100);
        EXPECT_EQ(wfid_of(wf, 39), 139);
        // the same length again, other text
        more[0] = dbfixture::wfdisc_row("BRVK", "BHZ", 1e9, 1e9 + 1, 7);
        ASSERT_TRUE(replace_rows(prefix, more));
        ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
        EXPECT_EQ(n, 40);
        EXPECT_EQ(wfid_of(wf, 0), 7);
        dbclose(db);
    }
}
