// The error log and associative arrays.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "arrays.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

std::string capture(void (*fn)()) {
    FILE *fp = tmpfile();
    elog_set_stream(fp);
    fn();
    elog_set_stream(nullptr);
    rewind(fp);
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, fp)) out += buf;
    fclose(fp);
    return out;
}

TEST(ErrorLog, MessagesAreKeptInOrderWithFlagsAndSystemErrors) {
    elog_log(0, "first: %d\n", 1);
    errno = ENOENT;
    elog_log(1, "second: open(%s) error.\n", "x");
    ASSERT_EQ(elog_count(), 2);
    EXPECT_STREQ(elog_message(0), "first: 1\n");
    EXPECT_STREQ(elog_message(1), "second: open(x) error.\n");
    EXPECT_EQ(elog_message_flag(0), 0);
    EXPECT_EQ(elog_message_flag(1), 1);
    EXPECT_STREQ(elog_message_syserr(0), "");
    EXPECT_STREQ(elog_message_syserr(1), strerror(ENOENT));
    EXPECT_EQ(elog_message(2), nullptr);
    char *all = elog_string();
    EXPECT_STREQ(all, "first: 1\nsecond: open(x) error.\n");
    free(all);
}

TEST(ErrorLog, MarkAndFlushDropOnlyTheNewerMessages) {
    elog_log(0, "kept\n");
    int mark = elog_mark();
    EXPECT_EQ(mark, 1);
    elog_log(0, "dropped 1");
    elog_log(0, "dropped 2");
    EXPECT_EQ(elog_flush(0, mark), 2);
    ASSERT_EQ(elog_count(), 1);
    EXPECT_STREQ(elog_message(0), "kept\n");
    EXPECT_EQ(elog_flush(0, 5), 0);
    EXPECT_EQ(elog_clear_register(0), 1);
    EXPECT_EQ(elog_count(), 0);
}

TEST(ErrorLog, ComplainPrintsAndEmptiesTheRegister) {
    std::string out = capture([] {
        elog_log(0, "inner failure\n");
        errno = EACCES;
        elog_complain(1, "outer: %s", "no access");
    });
    EXPECT_EQ(elog_count(), 0);
    EXPECT_NE(out.find("inner failure\n"), std::string::npos);
    EXPECT_NE(out.find("outer: no access"), std::string::npos);
    EXPECT_NE(out.find(strerror(EACCES)), std::string::npos);
    EXPECT_LT(out.find("inner"), out.find("outer"));
    std::string notes = capture([] {
        elog_log(0, "stays\n");
        elog_notify(0, "note %d\n", 7);
    });
    EXPECT_EQ(notes, "note 7\n");
    EXPECT_EQ(elog_count(), 1);
}

TEST(ErrorLog, VeryLongMessagesAreKeptWhole) {
    std::string big(200000, 'x');
    errno = ENOSPC;
    elog_log(1, "long: %s|%d\n", big.c_str(), 42);
    ASSERT_EQ(elog_count(), 1);
    std::string m = elog_message(0);
    EXPECT_EQ(m.size(), big.size() + 10);
    EXPECT_EQ(m.substr(m.size() - 4), "|42\n");
    // The system error is the one of the failed call, not of the formatting.
    EXPECT_STREQ(elog_message_syserr(0), strerror(ENOSPC));
    std::string out = capture([] { elog_clear_register(1); });
    EXPECT_EQ(out.size(), big.size() + 10 + strlen("    ()\n") + strlen(strerror(ENOSPC)));
    EXPECT_EQ(elog_count(), 0);
}

TEST(ErrorLog, MessageTextStaysValidWhileMoreAreLogged) {
    elog_clear_register(0);
    elog_log(0, "short\n");
    const char *first = elog_message(0);
    for (int i = 0; i < 1000; i++) elog_log(0, "more %d\n", i);
    EXPECT_STREQ(first, "short\n");
    elog_flush(0, 500);  // dropping later messages leaves earlier ones in place
    EXPECT_STREQ(first, "short\n");
    EXPECT_EQ(elog_message(1000), nullptr);
    elog_clear_register(0);
}

TEST(ErrorLog, FlushCanDeliverWhatItDrops) {
    elog_log(0, "kept\n");
    int mark = elog_mark();
    elog_log(0, "shown then dropped");
    std::string out = capture([] { elog_flush(1, 1); });
    EXPECT_EQ(out, "shown then dropped\n");  // a message without a newline ends its line
    ASSERT_EQ(elog_count(), 1);
    EXPECT_EQ(mark, 1);
    elog_clear_register(0);
}

TEST(ErrorLog, EachThreadHasItsOwnRegister) {
    elog_log(0, "main thread\n");
    int other_count = -1;
    std::string other_first;
    std::thread t([&] {
        other_count = elog_count();
        elog_log(0, "worker\n");
        other_first = elog_message(0);
    });
    t.join();
    EXPECT_EQ(other_count, 0);
    EXPECT_EQ(other_first, "worker\n");
    ASSERT_EQ(elog_count(), 1);
    EXPECT_STREQ(elog_message(0), "main thread\n");
}

TEST(ErrorLogDeath, DiePrintsAndExitsWithStatusOne) {
    EXPECT_EXIT(
        {
            elog_log(0, "before\n");
            elog_die(0, "fatal: %s\n", "gone");
        },
        ::testing::ExitedWithCode(1), "before\n(.|\n)*fatal: gone");
}

TEST(Arrays, KeysInOrderReplaceDeleteAndWalk) {
    Arr *a = newarr(0);
    char k[] = "beta";
    int v1 = 1, v2 = 2, v3 = 3;
    EXPECT_EQ(setarr(a, k, &v1), nullptr);
    k[0] = 'X';  // the array keeps its own copy of the key
    setarr(a, "alpha", &v2);
    setarr(a, "Zulu", &v3);
    EXPECT_EQ(setarr(a, "alpha", &v3), &v2);  // replaced, old value returned
    EXPECT_EQ(getarr(a, "beta"), &v1);
    EXPECT_EQ(getarr(a, "Xeta"), nullptr);
    Tbl *keys = keysarr(a);
    ASSERT_EQ(maxtbl(keys), 3);
    EXPECT_STREQ((char *)gettbl(keys, 0), "Zulu");  // strcmp order
    EXPECT_STREQ((char *)gettbl(keys, 1), "alpha");
    EXPECT_STREQ((char *)gettbl(keys, 2), "beta");
    freetbl(keys, nullptr);
    Tbl *vals = valsarr(a);
    EXPECT_EQ(gettbl(vals, 1), &v3);
    freetbl(vals, nullptr);
    EXPECT_EQ(delarr(a, "alpha"), &v3);
    EXPECT_EQ(delarr(a, "alpha"), nullptr);
    EXPECT_EQ(cntarr(a), 2);
    freearr(a, nullptr);
}

}  // namespace
