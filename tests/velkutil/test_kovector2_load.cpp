// Plot vectors loaded from outside: column text files, parameter tables,
// response files, trace blob streams (from files, standard input and pipes
// fed by another process) and database windows over wfdisc rows.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kovector2.h"
#include "pf.h"
#include "rzvtest.h"
#include "tr.h"

using rzvtest::has_message;
using rzvtest::TempDir;
using rzvtest::write_file;

namespace {

struct Handle {
    char h[64] = {0};
    operator char *() { return h; }
    ~Handle() {
        if (h[0]) kovector2_free(h);
    }
};

std::vector<double> row_of(KOVector2 *v, int i) {
    std::vector<double> r;
    for (int k = 0; k <= v->ny; k++) r.push_back(v->dblbuf[(long)i * (v->y_size + 1) + k]);
    return r;
}

const char *label(KOVector2 *v, int i) { return v->lblbuf && i < v->x_size ? v->lblbuf[i] : nullptr; }

// ------------------------------------------------------------ text files

class TextFiles : public ::testing::Test {
protected:
    void SetUp() override { elog_clear_register(0); }
    KOVector2 *read(const std::string &text, int line_off, int xpos, int ny, std::vector<int> ypos, int lpos) {
        std::string f = dir.file("v.txt");
        EXPECT_TRUE(write_file(f, text));
        return kovector2_read((char *)f.c_str(), (char *)"t", line_off, xpos, ny, ypos.data(), lpos, h);
    }
    TempDir dir;
    Handle h;
};

TEST_F(TextFiles, LabelColumnBeyondTheWantedColumnsIsNeverSeen) {
    KOVector2 *v = read("1, 10, a\n2, 20, b\n", 0, 0, 1, {1}, 2);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->tag, "t");
    ASSERT_EQ(v->nx, 2);
    EXPECT_EQ(row_of(v, 0), (std::vector<double>{1, 10}));
    EXPECT_EQ(row_of(v, 1), (std::vector<double>{2, 20}));
    EXPECT_EQ(v->lblbuf, nullptr);
    kovector2_free(h);
    h.h[0] = 0;
    v = read("1, 10, a\n2, 20, b\n", 0, 0, 1, {1}, 0);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(label(v, 0), "1");
    EXPECT_STREQ(label(v, 1), "2");
    EXPECT_EQ(kovector2_get_vector(h), v);
}

TEST_F(TextFiles, CommentsSkipsAndSingleColumn) {
    KOVector2 *v = read("9 9\n8 8\n5, 7 #c 3\n#4 4\n\n , \t,\n6\t8", 2, 0, 0, {}, -1);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->nx, 2);
    EXPECT_EQ(v->ny, 1);
    EXPECT_EQ(row_of(v, 0), (std::vector<double>{5, 7}));
    EXPECT_EQ(row_of(v, 1), (std::vector<double>{6, 8}));  // last line without a newline
}

TEST_F(TextFiles, MissingColumnsCarryOverAndXAloneAddsNothing) {
    // y0 from token 1, y1 from token 2.
    KOVector2 *v = read("1 10 x 100\n2\n3 , , 300\n4 40\n", 0, 0, 2, {1, 2}, -1);
    ASSERT_NE(v, nullptr);
    // "3 , , 300": tokens 3 and 300; y0 = 300 (token 1), y1 missing.
    ASSERT_EQ(v->nx, 3);
    EXPECT_EQ(row_of(v, 0), (std::vector<double>{1, 10, 0}));  // "x" is not a number: 0
    EXPECT_EQ(row_of(v, 1), (std::vector<double>{3, 300, 0}));
    EXPECT_EQ(row_of(v, 2), (std::vector<double>{4, 40, 0}));
    kovector2_free(h);
    h.h[0] = 0;
    v = read("1 10 100\n2 , 200\n", 0, 0, 2, {1, 2}, -1);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->nx, 2);
    EXPECT_EQ(row_of(v, 1), (std::vector<double>{2, 200, 100}));  // runs of separators are one
    v = nullptr;
}

TEST_F(TextFiles, WindowsLineEndsAndLongLines) {
    std::string text = "1,2,lab\r\n3,4,two\r\n";
    std::string longline(1500, ' ');
    longline.replace(1400, 5, "7 8");
    text += longline + "\n";
    KOVector2 *v = read(text, 0, 0, 1, {1}, 2);
    // lpos 2 is never reached (the scan stops after token 1); use x as label
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->nx, 3);
    EXPECT_EQ(row_of(v, 2), (std::vector<double>{7, 8}));  // the second piece of the long line
    kovector2_free(h);
    h.h[0] = 0;
    v = read("1,2,lab\r\n3,4,two\r\n", 0, 2, 1, {1}, 2);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(label(v, 0), "lab");  // no carriage return in a label
    EXPECT_STREQ(label(v, 1), "two");
}

TEST_F(TextFiles, GrowsPastItsFirstCapacity) {
    std::string text;
    for (int i = 0; i < 1000; i++) text += std::to_string(i) + " " + std::to_string(i * 2) + " p" + std::to_string(i) + "\n";
    KOVector2 *v = read(text, 0, 0, 1, {1}, 2);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->nx, 1000);
    EXPECT_GT(v->x_size, 1000);
    EXPECT_EQ(row_of(v, 999), (std::vector<double>{999, 1998}));
    EXPECT_EQ(label(v, 0), nullptr);
}

TEST_F(TextFiles, FailuresReleaseEverything) {
    long before;
    kovector2_get_heap_size(nullptr, nullptr, &before, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    int y = 1;
    EXPECT_EQ(kovector2_read((char *)"/nonexistent/file", nullptr, 0, 0, 1, &y, -1, h), nullptr);
    EXPECT_TRUE(has_message("kovector2_read: fopen(/nonexistent/file) error.\n"));
    EXPECT_EQ(elog_message_flag(0), 1);
    EXPECT_EQ(h.h[0], 0);
    // A directory opens but cannot be read: a read error, not an empty file.
    elog_clear_register(0);
    EXPECT_EQ(kovector2_read((char *)dir.path().c_str(), nullptr, 0, 0, 1, &y, -1, h), nullptr);
    EXPECT_TRUE(has_message("kovector2_read: fgets(" + dir.path() + ") error.\n"));
    EXPECT_EQ(h.h[0], 0);
    std::string f = dir.file("a.txt");
    write_file(f, "1 2\n");
    EXPECT_EQ(kovector2_read((char *)f.c_str(), nullptr, 0, 0, 1, &y, -1, nullptr), nullptr);
    EXPECT_EQ(kovector2_read((char *)f.c_str(), nullptr, 0, 0, 2, nullptr, -1, h), nullptr);
    // Allocation failures while reading: nothing stays registered.
    std::string text;
    for (int i = 0; i < 300; i++) text += "1 2 lbl\n";
    write_file(f, text);
    for (int skip = 0; skip < 8; skip++) {
        elog_clear_register(0);
        kovector2_test_fail_allocations(skip, 1);
        KOVector2 *v = kovector2_read((char *)f.c_str(), nullptr, 0, 0, 1, &y, 0, h);
        kovector2_test_fail_allocations(0, 0);
        if (v) {
            EXPECT_EQ(v->nx, 300);
            kovector2_free(h);
        } else {
            EXPECT_TRUE(has_message("kovector2_read: ")) << skip;
        }
        h.h[0] = 0;
    }
    long after;
    kovector2_get_heap_size(nullptr, nullptr, &after, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(after, before);
}

// ------------------------------------------------------------ parameter tables

KOVector2 *from_pf(const char *text, Handle &h, int *err, const char *name = "pts") {
    Pf *pf = nullptr;
    EXPECT_EQ(pfread_string(text, &pf), 0);
    KOVector2 *v = kovector2_create_from_pf(pf, (char *)name, (char *)"g", h, err);
    pffree(pf);
    return v;
}

TEST(ParameterTables, RowsCommentsAndCounts) {
    elog_clear_register(0);
    Handle h;
    int err = 5;
    KOVector2 *v = from_pf("pts [\n1 2\n# note\n\n3   4  \n]\n", h, &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(v->nx, 2);
    EXPECT_EQ(v->ny, 1);
    EXPECT_EQ(row_of(v, 1), (std::vector<double>{3, 4}));
    EXPECT_EQ(kovector2_get_vector(h), v);
    Handle h2;
    v = from_pf("pts [\n0 1 2 3 4 5 6 7 8 9 10 11 12\n]\n", h2, &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ny, 10);  // numbers past ten y values are ignored
    EXPECT_EQ(row_of(v, 0).back(), 10);
    Pf *pf = nullptr;
    pfread_string("pts [\n1 2\n]\n", &pf);
    v = kovector2_create_from_pf(pf, (char *)"pts", nullptr, nullptr, &err);
    pffree(pf);
    ASSERT_NE(v, nullptr);  // unregistered
    kovector2_free_vector(v);
}

TEST(ParameterTables, BadTablesFail) {
    struct Case {
        const char *text, *msg;
        int flag;
    } cases[] = {
        {"pts [\n1 2 3\n4 5\n]\n", "kovector2_create_from_pf: Number of y values must be the same for all table rows.\n", 0},
        {"pts [\n1 2\nabc\n]\n", "kovector2_create_from_pf: sscanf(abc) error.\n", 1},
        {"pts [\n  7  \n]\n", "kovector2_create_from_pf: sscanf(7) error - no y value.\n", 0},
        {"other [\n1 2\n]\n", "kovector2_create_from_pf: parse_param(pts) error.\n", 0},
        {"pts 1 2\n", "kovector2_create_from_pf: parse_param(pts) error.\n", 0},
    };
    for (auto &c : cases) {
        elog_clear_register(0);
        Handle h;
        int err = 0;
        EXPECT_EQ(from_pf(c.text, h, &err), nullptr) << c.text;
        EXPECT_EQ(err, -1);
        EXPECT_EQ(h.h[0], 0);
        ASSERT_GT(elog_count(), 0);
        EXPECT_STREQ(elog_message(elog_count() - 1), c.msg);
        EXPECT_EQ(elog_message_flag(elog_count() - 1), c.flag);
    }
}

// ------------------------------------------------------------ response files

class ResponseFiles : public ::testing::Test {
protected:
    void SetUp() override { elog_clear_register(0); }
    KOVector2 *load(const std::string &text, int *err) {
        std::string f = dir.file("r.fap");
        write_file(f, text);
        return kovector2_create_response_fap((char *)f.c_str(), nullptr, h, err);
    }
    std::string path() { return dir.file("r.fap"); }
    TempDir dir;
    Handle h;
};

TEST_F(ResponseFiles, AsObservatoriesWriteThem) {
    int err = 9;
    KOVector2 *v = load("# written by the network\r\n#  second comment\r\n\r\n   \r\n"
                        "theoretical 0 instrument fap\r\n# rows\r\n3\r\n0.1 2.0 -90 extra col\r\nbad row\r\n"
                        "1.0 4.0 -45 7\r\n10 8 0",
                        &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(v->nx, 3);
    EXPECT_EQ(v->ny, 2);
    EXPECT_EQ(row_of(v, 0), (std::vector<double>{0.1, 2.0, -90}));
    EXPECT_EQ(row_of(v, 2), (std::vector<double>{10, 8, 0}));
}

TEST_F(ResponseFiles, DeclaredCountRules) {
    int err;
    KOVector2 *v = load("a 1 b fap\n3\n1 2 3\n4 5 6\n", &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 3);
    EXPECT_EQ(row_of(v, 2), (std::vector<double>{0, 0, 0}));
    kovector2_free(h);
    v = load("a 1 b fap2\n2\n1 2 3 4 5 6 7\n1 2 3\n8 9 10 11 12 13 14 15\n9 9 9 9 9 9 9\n", &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ny, 6);
    EXPECT_EQ(v->nx, 2);
    EXPECT_EQ(row_of(v, 1), (std::vector<double>{8, 9, 10, 11, 12, 13, 14}));
}

TEST_F(ResponseFiles, FormatFailuresAndMissingFiles) {
    int err = 0;
    EXPECT_EQ(load("a 1 b paz\n3\n", &err), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_TRUE(has_message("kovector2_create_response_fap: " + path() + " not a fap or fap2 file (paz).\n"));
    struct Case {
        const char *text, *msg;
    } cases[] = {
        {"a 1 b\n3\n", "cannot parse"},
        {"a x b fap\n3\n", "cannot parse"},
        {"# only comments\n", "cannot parse"},
        {"a 1 b fap\nthree\n", "Cannot parse number of faps"},
        {"a 1 b fap\n", "Cannot parse number of faps"},
        {"a 1 b fap\n-4\n1 2 3\n", "Cannot parse number of faps"},
        {"a 1 b fap\n99999999999\n", "Cannot parse number of faps"},
        {"a 1 b fap\n2000000000\n1 2 3\n", "more than the file can hold"},
    };
    for (auto &c : cases) {
        elog_clear_register(0);
        err = 0;
        EXPECT_EQ(load(c.text, &err), nullptr) << c.text;
        EXPECT_EQ(err, 1) << c.text;
        EXPECT_TRUE(has_message(c.msg)) << c.text;
        EXPECT_EQ(h.h[0], 0);
    }
    elog_clear_register(0);
    EXPECT_EQ(kovector2_create_response_fap((char *)"/nonexistent.fap", nullptr, h, &err), nullptr);
    EXPECT_EQ(err, -1);
    EXPECT_STREQ(elog_message(0), "kovector2_create_response_fap: fopen(/nonexistent.fap) error.\n");
    EXPECT_EQ(elog_message_flag(0), 1);
    // A count within the floor is accepted even for a short file.
    KOVector2 *v = load("a 1 b fap\n50000\n1 2 3\n", &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 50000);
}

// ------------------------------------------------------------ blob streams

// One trace row's text, as a writer of blob streams would produce it.
std::string trace_row(const char *sta, double time, double rate, long nsamp) {
    Dbptr tr = trnew(nullptr, nullptr);
    tr.record = dbaddv(tr, nullptr, "net", "XX", "sta", sta, "chan", "BHZ", "time", time, "samprate", rate, "nsamp",
                       nsamp, "endtime", rate > 0 ? time + (nsamp - 1) / rate : time, "data", (void *)0x1234, "response",
                       (void *)0x5678, (char *)nullptr);
    char buf[1024];
    dbget(tr, buf);
    dbputv(tr, nullptr, "data", (void *)nullptr, "response", (void *)nullptr, (char *)nullptr);
    trdestroy(&tr);
    return buf;
}

void put_be(std::string &s, int v) {
    unsigned u = (unsigned)v;
    for (int sh = 24; sh >= 0; sh -= 8) s.push_back((char)(u >> sh));
}

std::string blob(const std::string &text, const std::vector<float> &samples, int lrec = -1, int ndata = INT_MIN) {
    std::string s;
    put_be(s, lrec < 0 ? (int)text.size() : lrec);
    put_be(s, ndata == INT_MIN ? (int)samples.size() : ndata);
    s += text;
    s.append(reinterpret_cast<const char *>(samples.data()), samples.size() * sizeof(float));
    return s;
}

class BlobStreams : public ::testing::Test {
protected:
    void SetUp() override {
        elog_clear_register(0);
        dbtr = dbinvalid();
    }
    void TearDown() override {
        if (dbtr.database != dbINVALID) {
            long n = 0;
            dbquery(dbtr, dbRECORD_COUNT, &n);
            for (long i = 0; i < n; i++) {
                Dbptr r = dbtr;
                r.record = i;
                char c[100] = "";
                dbgetv(r, nullptr, "comment", c, (char *)nullptr);
                kovector2_free(c);
            }
            trdestroy(&dbtr);
        }
    }
    int load(const std::string &bytes) {
        std::string f = dir.file("b.blob");
        write_file(f, bytes);
        return kovector2_read_from_trblob((char *)f.c_str(), (char *)"bl", &dbtr);
    }
    long rows() {
        long n = 0;
        dbquery(dbtr, dbRECORD_COUNT, &n);
        return n;
    }
    KOVector2 *vector_of(long rec) {
        Dbptr r = dbtr;
        r.record = rec;
        char c[100] = "";
        dbgetv(r, nullptr, "comment", c, (char *)nullptr);
        return kovector2_get_vector(c);
    }
    void check_two_records() {
        ASSERT_EQ(rows(), 2);
        EXPECT_EQ(dbtr.record, 1);
        KOVector2 *a = vector_of(0), *b = vector_of(1);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(a->nx, 3);
        EXPECT_EQ(a->time, 1000.0);
        EXPECT_DOUBLE_EQ(a->dt, 0.05);
        EXPECT_EQ(a->dblbuf[2], 3.5);
        EXPECT_STREQ(a->tag, "bl");
        EXPECT_EQ(b->nx, 0);
        void *data = (void *)1, *resp = (void *)1;
        Dbptr r = dbtr;
        r.record = 0;
        dbgetv(r, nullptr, "data", &data, "response", &resp, (char *)nullptr);
        EXPECT_EQ(data, nullptr);  // addresses never come from the stream
        EXPECT_EQ(resp, nullptr);
    }
    std::string two_records() {
        return blob(trace_row("AAA", 1000, 20, 3), {1.0f, 2.0f, 3.5f}) + blob(trace_row("BBB", 2000, 1, 0), {});
    }
    TempDir dir;
    Dbptr dbtr;
};

TEST_F(BlobStreams, RecordsBecomeRowsAndVectors) {
    ASSERT_EQ(load(two_records() + "abc"), 0);  // fewer than 8 bytes left: a clean end
    check_two_records();
}

TEST_F(BlobStreams, EmptyStreamCreatesNothing) {
    long before;
    kovector2_get_heap_size(nullptr, nullptr, &before, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(load(""), 0);
    EXPECT_NE(dbtr.database, dbINVALID);
    EXPECT_EQ(rows(), 0);
    long after;
    kovector2_get_heap_size(nullptr, nullptr, &after, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(after, before);
}

TEST_F(BlobStreams, BadRecordsFailAndKeepEarlierOnes) {
    std::string good = blob(trace_row("AAA", 1000, 20, 3), {1, 2, 3});
    std::string row = trace_row("CCC", 5, 1, 2);
    struct Case {
        std::string bytes, msg;
        long rows;
    } cases[] = {
        {good + blob(row, {}, 600, 0), "record length 600 out of range", 1},
        {good + blob(row, {}, -1 & 0x7fffffff, 0).substr(0, 8), "record length", 1},
        {good + blob(row.substr(0, 100), {}, 480, 0), "read(rec) error for blob file", 1},
        {good + blob(row.substr(0, 100), {}), "dbadd(rec) error for blob file", 1},
        {good + blob(row, {1, 2}, -1, 5), "dbread(data) error for blob file", 2},
        {good + blob(row, {1, 2}, -1, 2000000000), "dbread(data) error for blob file", 2},
        {good + blob(row, {}, -1, -3), "malloc(data,-24) error for blob file", 1},
        {good + blob(trace_row("DDD", 5, 0, 2), {1, 2}), "kovector2_create_tsamp() error", 2},
    };
    for (auto &c : cases) {
        elog_clear_register(0);
        EXPECT_EQ(load(c.bytes), -1) << c.msg;
        EXPECT_TRUE(has_message(c.msg)) << c.msg << "\n" << rzvtest::all_messages();
        EXPECT_EQ(rows(), c.rows) << c.msg;
        EXPECT_NE(vector_of(0), nullptr);
        if (c.rows == 2) {
            EXPECT_EQ(vector_of(1), nullptr);
        }
        TearDown();
        dbtr = dbinvalid();
    }
    elog_clear_register(0);
    EXPECT_EQ(kovector2_read_from_trblob((char *)dir.path().c_str(), nullptr, &dbtr), -1);
    EXPECT_TRUE(has_message("kovector2_read_from_trblob: read(rec) error for blob file " + dir.path() + "\n"));
    elog_clear_register(0);
    EXPECT_EQ(kovector2_read_from_trblob((char *)"/nonexistent.blob", nullptr, &dbtr), -1);
    EXPECT_STREQ(elog_message(0), "kovector2_read_from_trblob: open(/nonexistent.blob) error for blob file\n");
}

TEST_F(BlobStreams, SampleBufferIsTheFamilysOwnAllocation) {
    // The samples of a record are a work array of the family: counted, and
    // subject to the family's allocation failures.
    std::string bytes = blob(trace_row("AAA", 1000, 20, 3), {1.0f, 2.0f, 3.5f});
    long frees0, frees1;
    kovector2_get_heap_size(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &frees0);
    ASSERT_EQ(load(bytes), 0) << rzvtest::all_messages();
    kovector2_get_heap_size(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &frees1);
    EXPECT_EQ(frees1 - frees0, 1);  // the sample buffer; the vector stays
    TearDown();
    dbtr = dbinvalid();
    elog_clear_register(0);
    kovector2_test_fail_allocations(0, 1);
    int rc = load(bytes);
    kovector2_test_fail_allocations(0, 0);
    EXPECT_EQ(rc, -1);
    ASSERT_GT(elog_count(), 0);
    EXPECT_STREQ(elog_message(elog_count() - 1),
                 ("kovector2_read_from_trblob: malloc(data,24) error for blob file " + dir.file("b.blob") + "\n").c_str());
    EXPECT_EQ(elog_message_flag(elog_count() - 1), 1);
}

TEST_F(BlobStreams, OversizedRecordTextEndsWithTheReadMessage) {
    // A record text longer than a trace row can be is never read; the call
    // ends as for any record text that cannot be read.
    std::string good = blob(trace_row("AAA", 1000, 20, 3), {1, 2, 3});
    for (int lrec : {512, 600, -5}) {
        elog_clear_register(0);
        std::string bad;
        put_be(bad, lrec);
        put_be(bad, 0);
        EXPECT_EQ(load(good + bad + std::string(700, ' ')), -1);
        ASSERT_GT(elog_count(), 0);
        EXPECT_STREQ(elog_message(elog_count() - 1),
                     ("kovector2_read_from_trblob: read(rec) error for blob file " + dir.file("b.blob") + "\n").c_str())
            << lrec;
        EXPECT_EQ(elog_message_flag(elog_count() - 1), 1);
        EXPECT_EQ(rows(), 1);
        TearDown();
        dbtr = dbinvalid();
    }
}

// A child process writes the stream into a pipe a few bytes at a time.
pid_t feed(int fd_out, const std::string &bytes, size_t piece) {
    pid_t pid = fork();
    if (pid == 0) {
        for (size_t i = 0; i < bytes.size(); i += piece) {
            size_t n = std::min(piece, bytes.size() - i);
            if (write(fd_out, bytes.data() + i, n) != (ssize_t)n) _exit(1);
            if (i % (piece * 16) == 0) usleep(200);
        }
        _exit(0);
    }
    return pid;
}

TEST_F(BlobStreams, StandardInputFedInSmallPiecesByAnotherProcess) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = feed(p[1], two_records(), 3);
    close(p[1]);
    int saved = dup(0);
    dup2(p[0], 0);
    close(p[0]);
    int rc = kovector2_read_from_trblob((char *)"-", (char *)"bl", &dbtr);
    dup2(saved, 0);
    close(saved);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(rc, 0) << rzvtest::all_messages();
    check_two_records();
    EXPECT_NE(fcntl(0, F_GETFD), -1);  // standard input is left open
}

TEST_F(BlobStreams, NamedPipe) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(fifo.c_str(), O_WRONLY);
        std::string bytes = two_records();
        for (size_t i = 0; i < bytes.size(); i += 7) (void)!write(fd, bytes.data() + i, std::min<size_t>(7, bytes.size() - i));
        _exit(0);
    }
    int rc = kovector2_read_from_trblob((char *)fifo.c_str(), (char *)"bl", &dbtr);
    waitpid(pid, nullptr, 0);
    ASSERT_EQ(rc, 0) << rzvtest::all_messages();
    check_two_records();
}

// ------------------------------------------------------------ database windows

class DatabaseWindows : public ::testing::Test {
protected:
    void SetUp() override {
        elog_clear_register(0);
        prefix = dir.file("db");
        ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    }
    void TearDown() override { dbclose(db); }
    // A wfdisc row of f4 samples value(k) = base + k, written to its own file.
    void add_row(const char *chan, double time, double rate, long nsamp, double base, double calib = 1.0,
                 float gap_at = -1) {
        std::string name = "w" + std::to_string(nfiles++);
        std::vector<float> s((size_t)nsamp);
        for (long k = 0; k < nsamp; k++) s[(size_t)k] = (float)(base + k);
        if (gap_at >= 0) s[(size_t)gap_at] = 1.0e30f;
        write_file(dir.file(name), std::string(reinterpret_cast<char *>(s.data()), s.size() * 4));
        Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        ASSERT_GE(dbaddv(wf, nullptr, "sta", "STA", "chan", chan, "time", time, "endtime",
                         time + (nsamp - 1) / rate, "nsamp", nsamp, "samprate", rate, "calib", calib, "calper",
                         1.5, "segtype", "V", "datatype", "f4", "dir", ".", "dfile", name.c_str(), "foff", 0L,
                         "wfid", (long)nfiles, (char *)nullptr),
                  0);
    }
    KOVector2 *load(double t0, double t1, const char *chan = "BHZ", int apply = 0, int from_wf = 1) {
        return kovector2_create_tsamp_from_db(db, t0, t1, (char *)"STA", (char *)chan, apply, from_wf, &calib,
                                              &calper, segtype, (char *)"w", h);
    }
    TempDir dir;
    std::string prefix;
    Dbptr db;
    Handle h;
    int nfiles = 0;
    double calib = 0, calper = 0;
    char segtype[8] = "";
};

TEST_F(DatabaseWindows, WindowIsWidenedAndUncoveredSamplesHaveNoValue) {
    add_row("BHZ", 0, 20, 20 * 200, 0);
    KOVector2 *v = load(100, 110);
    ASSERT_NE(v, nullptr) << rzvtest::all_messages();
    EXPECT_EQ(v->time, 89.0);
    EXPECT_EQ(v->nx, 641);
    EXPECT_DOUBLE_EQ(v->dt, 0.05);
    EXPECT_EQ(v->dblbuf[0], 89 * 20);
    EXPECT_EQ(v->dblbuf[640], 121 * 20);
    EXPECT_EQ(kovector2_get_vector(h), v);
    EXPECT_EQ(calib, 1.0);
    EXPECT_EQ(calper, 1.5);
    EXPECT_STREQ(segtype, "V");
    kovector2_free(h);
    // The data end at 199.95 s; past it nothing.
    v = load(190, 205);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->time, 179.0);
    EXPECT_EQ(v->dblbuf[(int)((199.95 - 179) * 20 + 0.5)], 3999);
    EXPECT_EQ(v->dblbuf[(int)((200 - 179) * 20 + 0.5)], 3.4e38);
    EXPECT_EQ(v->dblbuf[v->nx - 1], 3.4e38);
}

TEST_F(DatabaseWindows, SeveralRowsWithGapsAndSlightlyDifferentRates) {
    add_row("BHZ", 0, 40, 400, 0);           // 0 .. 9.975
    add_row("BHZ", 20, 40.3, 400, 1000, 1, 5);  // 20 .. ~29.9, a gap marker at 5
    KOVector2 *v = load(11, 19);
    ASSERT_NE(v, nullptr) << rzvtest::all_messages();
    EXPECT_EQ(v->time, 0.0);
    EXPECT_EQ(v->nx, (int)(30 * 40) + 1);
    EXPECT_EQ(v->dblbuf[399], 399);
    EXPECT_EQ(v->dblbuf[400], 3.4e38);  // between the rows
    EXPECT_EQ(v->dblbuf[800], 1000);
    long i5 = (long)std::floor((20 + 5 / 40.3) * 40 + 0.5);
    EXPECT_EQ(v->dblbuf[i5], 3.4e38);  // the row's own gap
    EXPECT_EQ(v->dblbuf[i5 + 1], 1006);
    kovector2_free(h);
    add_row("BHN", 0, 40, 10, 0);
    add_row("BHN", 5, 41, 10, 0);
    elog_clear_register(0);
    EXPECT_EQ(load(0, 5, "BHN"), nullptr);
    EXPECT_TRUE(has_message(
        "kovector2_create_tsamp_from_db: samprate changes (41.000 != 40.000) for STA BHN not allowed\n"));
    EXPECT_EQ(h.h[0], 0);
}

TEST_F(DatabaseWindows, OneRateRowsWithGapsAndOverlaps) {
    add_row("BHZ", 100, 10, 50, 0);     // 100 .. 104.9
    add_row("BHZ", 110, 10, 50, 500);   // 110 .. 114.9, a gap before it
    add_row("BHZ", 112, 10, 10, 900);   // overlaps the second row; later rows win
    KOVector2 *v = load(111, 103);      // widened: 100 .. 114
    ASSERT_NE(v, nullptr) << rzvtest::all_messages();
    EXPECT_EQ(v->time, 100.0);
    ASSERT_EQ(v->nx, 141);
    EXPECT_EQ(v->dblbuf[49], 49);
    for (int i = 50; i < 100; i++) ASSERT_EQ(v->dblbuf[i], 3.4e38) << i;
    EXPECT_EQ(v->dblbuf[100], 500);
    EXPECT_EQ(v->dblbuf[119], 519);
    EXPECT_EQ(v->dblbuf[120], 900);
    EXPECT_EQ(v->dblbuf[129], 909);
    EXPECT_EQ(v->dblbuf[130], 530);
    EXPECT_EQ(v->dblbuf[140], 540);
}

TEST_F(DatabaseWindows, LongRowsAtEpochTimesLandOnTheirOwnSamples) {
    // Two million samples at 100 per second: adding 0.01 s up sample by
    // sample at this epoch would drift by about two samples by the end.
    const double t0 = 1.6e9;
    add_row("HHZ", t0, 100, 2000000, 0);
    KOVector2 *v = load(t0 + 19999.5, t0 + 19999.9, "HHZ");
    ASSERT_NE(v, nullptr) << rzvtest::all_messages();
    long i = (long)std::floor((t0 + 19999.5 - v->time) * 100 + 0.5);
    EXPECT_EQ(v->dblbuf[i], 1999950);
    EXPECT_EQ(v->dblbuf[i + 49], 1999999);
    EXPECT_EQ(v->dblbuf[i + 50], 3.4e38);
}

TEST_F(DatabaseWindows, CalibrationAndEmptyWindows) {
    add_row("BHZ", 0, 10, 100, 1, 2.0);
    Dbptr cal = dblookup(db, nullptr, "calibration", nullptr, nullptr);
    ASSERT_GE(dbaddv(cal, nullptr, "sta", "STA", "chan", "BHZ", "time", -100.0, "endtime", 1000.0, "calib", 3.0,
                     "calper", 7.0, "segtype", "A", (char *)nullptr),
              0);
    KOVector2 *v = load(0, 1, "BHZ", 1, 1);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->time, -11.0);
    EXPECT_EQ(v->dblbuf[110], 2.0);  // calib from wfdisc
    kovector2_free(h);
    v = load(0, 1, "BHZ", 1, 0);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->dblbuf[110], 3.0);
    EXPECT_EQ(calper, 7.0);
    EXPECT_STREQ(segtype, "A");
    kovector2_free(h);
    calib = -5;
    v = load(500, 600, "XYZ");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 0);
    EXPECT_EQ(v->time, 489.0);
    EXPECT_EQ(calib, -5);  // untouched without rows
    kovector2_free(h);
    EXPECT_EQ(kovector2_create_tsamp_from_db(db, 0, 1e12, (char *)"STA", (char *)"BHZ", 0, 1, nullptr, nullptr,
                                             nullptr, nullptr, h),
              nullptr);
    EXPECT_TRUE(has_message("too large"));
    v = kovector2_create_tsamp_from_db(db, 0, 1, (char *)"STA", (char *)"BHZ", 0, 1, nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
    ASSERT_NE(v, nullptr);
    kovector2_free_vector(v);
}

TEST_F(DatabaseWindows, UnreadableWaveformFails) {
    Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    ASSERT_GE(dbaddv(wf, nullptr, "sta", "STA", "chan", "BHZ", "time", 0.0, "endtime", 9.9, "nsamp", 100L,
                     "samprate", 10.0, "datatype", "f4", "dir", ".", "dfile", "missing", "foff", 0L, (char *)nullptr),
              0);
    EXPECT_EQ(load(0, 5), nullptr);
    EXPECT_TRUE(has_message("kovector2_create_tsamp_from_db: trgetwf() error.\n"));
}

}  // namespace
