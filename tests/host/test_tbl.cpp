// Lists: pointer lists, records by value, file-backed lists; hooks.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "rzvtest.h"
#include "stock.h"

namespace {

int cmp_str(const void *a, const void *b, void *) {
    return strcmp(*(const char *const *)a, *(const char *const *)b);
}

struct Rec {
    int key;
    int order;
};
int cmp_rec(const void *a, const void *b, void *) {
    return ((const Rec *)a)->key - ((const Rec *)b)->key;
}

TEST(PointerList, PushGetSetShiftDelete) {
    Tbl *t = strtbl("a", "b", "c", "d", "e", nullptr);
    ASSERT_EQ(maxtbl(t), 5);
    EXPECT_STREQ((char *)gettbl(t, 4), "e");
    EXPECT_EQ(gettbl(t, 5), nullptr);
    EXPECT_EQ(gettbl(t, -1), nullptr);
    EXPECT_EQ(settbl(t, -1, "f"), 5);
    EXPECT_EQ(settbl(t, 7, "x"), -1);
    EXPECT_STREQ((char *)shifttbl(t), "a");
    ASSERT_EQ(deltbl(t, 1, 2), 3);  // drops c, d
    EXPECT_STREQ((char *)gettbl(t, 0), "b");
    EXPECT_STREQ((char *)gettbl(t, 1), "e");
    EXPECT_STREQ((char *)gettbl(t, 2), "f");
    EXPECT_EQ(deltbl(t, 2, 5), -1);
    freetbl(t, nullptr);
    EXPECT_EQ(maxtbl(nullptr), 0);
}

TEST(PointerList, SortIsStableAndSearchable) {
    Tbl *t = strtbl("m", "c", "x", "a", nullptr);
    sorttbl(t, cmp_str, nullptr);
    const char *key = "m";
    EXPECT_EQ(searchtbl(&key, t, cmp_str, nullptr), 2);
    key = "q";
    EXPECT_EQ(searchtbl(&key, t, cmp_str, nullptr), -1);
    freetbl(t, nullptr);

    Tbl *r = inittbl(0, 0, 1, 0, sizeof(Rec));
    for (int i = 0; i < 200; i++) {
        Rec x{(i * 7) % 5, i};
        pushtbl(r, &x);
    }
    sorttbl(r, cmp_rec, nullptr);
    for (long i = 1; i < maxtbl(r); i++) {
        Rec *a = (Rec *)gettbl(r, i - 1), *b = (Rec *)gettbl(r, i);
        ASSERT_LE(a->key, b->key);
        if (a->key == b->key) {
            ASSERT_LT(a->order, b->order);
        }
    }
    freetbl(r, nullptr);
}

TEST(RecordList, RecordsAreCopiedInAndAddressesStayWithinRoom) {
    Tbl *t = inittbl(0, 4, 1, 0, sizeof(Rec));
    Rec a{1, 10};
    ASSERT_EQ(settbl(t, 0, &a), 0);  // i == count appends
    Rec *p = (Rec *)gettbl(t, 0);
    a.key = 99;  // the list holds its own copy
    EXPECT_EQ(p->key, 1);
    for (int i = 0; i < 3; i++) pushtbl(t, &a);
    EXPECT_EQ((Rec *)gettbl(t, 0), p);  // no growth past the room: same address
    EXPECT_EQ(shifttbl(t), nullptr);
    EXPECT_EQ(maxtbl(t), 3);
    EXPECT_EQ(((Rec *)gettbl(t, 0))->key, 99);
    freetbl(t, nullptr);
}

TEST(FileList, SurvivesTheProcessAndChecksItsFile) {
    rzvtest::TempDir dir;
    std::string f = dir.file("h.list");
    pid_t pid = fork();
    if (pid == 0) {
        Tbl *t = nullptr;
        if (filetbl(f.c_str(), "hist", 3, 0, 16, &t) < 0) _exit(2);
        for (int i = 0; i < 5; i++) {
            double rec[2] = {(double)i, i * 10.0};
            pushtbl(t, rec);
        }
        shifttbl(t);
        freetbl(t, nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(f.c_str(), "hist", 3, 0, 16, &t), 0);
    ASSERT_EQ(maxtbl(t), 4);
    EXPECT_EQ(((double *)gettbl(t, 0))[0], 1.0);
    EXPECT_EQ(((double *)gettbl(t, 3))[1], 40.0);
    EXPECT_GE(filetbl_fd(t), 0);
    EXPECT_GE(filetbl_mapsize(t), (size_t)(4 * 16));
    freetbl(t, nullptr);

    // A different name or record size is refused, with a message.
    EXPECT_EQ(filetbl(f.c_str(), "other", 3, 0, 16, &t), -1);
    EXPECT_EQ(t, nullptr);
    EXPECT_TRUE(rzvtest::has_message("filetbl:"));
    EXPECT_EQ(filetbl(f.c_str(), "hist", 3, 0, 8, &t), -1);
    // A file that is not a list is refused.
    std::string junk = dir.file("junk");
    rzvtest::write_file(junk, "this is not a list file at all, just text that is long enough......");
    EXPECT_EQ(filetbl(junk.c_str(), "hist", 3, 0, 16, &t), -1);
}

TEST(RecordList, ARecordOfTheListItselfCanBeAppendedAcrossGrowth) {
    Tbl *t = inittbl(nullptr, 1, 1, nullptr, sizeof(Rec));
    Rec r{7, 0};
    ASSERT_EQ(pushtbl(t, &r), 1);
    for (int i = 1; i < 100; i++) {
        ASSERT_EQ(pushtbl(t, gettbl(t, i - 1)), i + 1);  // grows at 2, 8, 16, ...
        ((Rec *)gettbl(t, i))->order = i;
    }
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(((Rec *)gettbl(t, i))->key, 7);
        ASSERT_EQ(((Rec *)gettbl(t, i))->order, i);
    }
    ASSERT_EQ(settbl(t, -1, gettbl(t, 5)), 100);
    EXPECT_EQ(((Rec *)gettbl(t, 100))->order, 5);
    ASSERT_EQ(settbl(t, 5, gettbl(t, 5)), 5);  // a record set from itself
    EXPECT_EQ(((Rec *)gettbl(t, 5))->order, 5);
    freetbl(t, nullptr);

    rzvtest::TempDir dir;
    Tbl *f = nullptr;
    ASSERT_EQ(filetbl(dir.file("self.list").c_str(), "recs", 1, 0, sizeof(Rec), &f), 0);
    ASSERT_EQ(pushtbl(f, &r), 1);
    for (int i = 1; i < 50; i++) ASSERT_EQ(pushtbl(f, gettbl(f, 0)), i + 1);
    EXPECT_EQ(((Rec *)gettbl(f, 49))->key, 7);
    freetbl(f, nullptr);
}

// Writes a list file header by hand (the layout of tbl.cpp).
void write_header(const std::string &path, int64_t size, int64_t count, int64_t room, size_t file_bytes) {
    std::string h(64, '\0');
    memcpy(&h[0], "HKFTBL1", 8);
    memcpy(&h[8], "hist", 4);
    memcpy(&h[40], &size, 8);
    memcpy(&h[48], &count, 8);
    memcpy(&h[56], &room, 8);
    h.resize(file_bytes < 64 ? 64 : file_bytes, '\0');
    ASSERT_TRUE(rzvtest::write_file(path, h));
}

TEST(FileList, DamagedHeadersAreRefused) {
    rzvtest::TempDir dir;
    std::string f = dir.file("d.list");
    struct Case {
        int64_t count, room;
        size_t bytes;
    } cases[] = {
        {2, int64_t(1) << 60, 64 + 4 * 16},  // room far beyond the file: would map petabytes
        {5, 4, 64 + 8 * 16},                 // more records than room
        {3, 4, 64 + 2 * 16},                 // file cut short
        {-1, 4, 64 + 4 * 16},
    };
    for (auto &c : cases) {
        write_header(f, 16, c.count, c.room, c.bytes);
        elog_clear_register(0);
        Tbl *t = (Tbl *)0x1;
        EXPECT_EQ(filetbl(f.c_str(), "hist", 3, 0, 16, &t), -1) << c.count << " " << c.room;
        EXPECT_EQ(t, nullptr);
        EXPECT_TRUE(rzvtest::has_message("is damaged")) << rzvtest::all_messages();
    }
    // A sound hand-made file opens with its count.
    write_header(f, 16, 3, 4, 64 + 4 * 16);
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(f.c_str(), "hist", 2, 0, 16, &t), 0) << rzvtest::all_messages();
    EXPECT_EQ(maxtbl(t), 3);
    freetbl(t, nullptr);
}

TEST(FileList, GrowsRemapsAndReopensWithAnotherRoom) {
    rzvtest::TempDir dir;
    std::string f = dir.file("g.list");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(f.c_str(), "hist", 2, 0, 16, &t), 0);
    size_t first = filetbl_mapsize(t);
    for (int i = 0; i < 1000; i++) {
        double rec[2] = {(double)i, -i * 1.0};
        ASSERT_EQ(pushtbl(t, rec), i + 1);
    }
    EXPECT_GT(filetbl_mapsize(t), first);
    EXPECT_EQ(deltbl(t, 10, 19), 990);
    EXPECT_EQ(((double *)gettbl(t, 10))[0], 20.0);
    freetbl(t, nullptr);
    // Reopened with a smaller room: every record is still there.
    ASSERT_EQ(filetbl(f.c_str(), "hist", 1, 0, 16, &t), 0);
    ASSERT_EQ(maxtbl(t), 990);
    EXPECT_EQ(((double *)gettbl(t, 989))[1], -999.0);
    freetbl(t, nullptr);
    // A room no file can hold fails with a message, not a crash.
    elog_clear_register(0);
    EXPECT_EQ(filetbl(dir.file("huge.list").c_str(), "hist", LONG_MAX / 2, 0, 16, &t), -1);
    EXPECT_TRUE(rzvtest::has_message("filetbl:"));
}

TEST(FileList, OneListPerFileAtATime) {
    rzvtest::TempDir dir;
    std::string f = dir.file("c.list");
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    if (pid == 0) {
        Tbl *t = nullptr;
        if (filetbl(f.c_str(), "hist", 3, 0, 16, &t) < 0) _exit(2);
        double rec[2] = {1, 2};
        pushtbl(t, rec);
        char c = 1;
        if (write(ready[1], &c, 1) != 1) _exit(3);
        if (read(done[0], &c, 1) != 1) _exit(4);  // hold the list until the parent has tried
        pushtbl(t, rec);
        freetbl(t, nullptr);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    Tbl *t = nullptr;
    elog_clear_register(0);
    EXPECT_EQ(filetbl(f.c_str(), "hist", 3, 0, 16, &t), -1);
    EXPECT_TRUE(rzvtest::has_message("already open")) << rzvtest::all_messages();
    ASSERT_EQ(write(done[1], &c, 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Once the other list is closed, the file opens with both records.
    ASSERT_EQ(filetbl(f.c_str(), "hist", 3, 0, 16, &t), 0);
    EXPECT_EQ(maxtbl(t), 2);
    Tbl *t2 = nullptr;
    EXPECT_EQ(filetbl(f.c_str(), "hist", 3, 0, 16, &t2), -1);  // twice in one process too
    freetbl(t, nullptr);
    close(ready[0]); close(ready[1]); close(done[0]); close(done[1]);
}

int hook_frees = 0;
void count_free(void *p) {
    hook_frees++;
    free(p);
}

TEST(HookTest, FreeHookReleasesItsObjectOnce) {
    Hook *h = new_hook(count_free);
    h->p = malloc(8);
    free_hook(&h);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(hook_frees, 1);
    free_hook(&h);  // null is allowed
    free_hook(nullptr);
    EXPECT_EQ(hook_frees, 1);
}

}  // namespace
