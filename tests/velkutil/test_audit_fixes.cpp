// Guarantees that callers lean on: history files and file lists are not held
// by forked children, FIFO block modes are kept as given, a destroyed checked
// FIFO's handle never reaches a newer FIFO, list splitting always leaves an
// empty result on failure, and the argument guards of the vector, moment and
// history families.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "kobase.h"
#include "kohistory.h"
#include "komoment.h"
#include "kovector2.h"
#include "pmtfifo.h"
#include "pmtmanagedfifo.h"
#include "rzvtest.h"

using rzvtest::has_message;

namespace {

// A forked child that only sleeps, the way a helper forked without exec
// lives on beside its parent.  The constructor returns once the child runs
// (its fork handlers are done by then).  Killed and reaped when the object
// goes.
class SleepingChild {
public:
    SleepingChild() {
        int fds[2];
        if (pipe(fds) < 0) return;
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            char c = 1;
            if (write(fds[1], &c, 1) != 1) _exit(1);
            for (;;) pause();
        }
        char c;
        if (pid_ > 0 && read(fds[0], &c, 1) != 1) pid_ = -1;
        close(fds[0]);
        close(fds[1]);
    }
    ~SleepingChild() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

}  // namespace

// ------------------------------------------------------------ forked children

TEST(LocksAndChildren, HistoryFileCanBeTakenAgainWhileAForkedChildLives) {
    rzvtest::TempDir dir;
    std::string file = dir.file("level.hist");
    char h1[64], h2[64];
    ASSERT_NE(kohistory_create(10, nullptr, (char *)file.c_str(), h1), nullptr);
    ASSERT_EQ(kohistory_add(h1, 1.0, 2.0), 0);
    SleepingChild child;
    ASSERT_TRUE(child.started());
    ASSERT_EQ(kohistory_free(h1), 0);
    elog_clear_register(0);
    KOHistory *again = kohistory_create(10, nullptr, (char *)file.c_str(), h2);
    ASSERT_NE(again, nullptr) << rzvtest::all_messages();
    double v = 0;
    EXPECT_EQ(kohistory_eval(h2, 1.0, &v), 0);
    EXPECT_EQ(v, 2.0);
    // Still a single owner within the process.
    char h3[64];
    EXPECT_EQ(kohistory_create(10, nullptr, (char *)file.c_str(), h3), nullptr);
    EXPECT_EQ(kohistory_free(h2), 0);
}

TEST(LocksAndChildren, FileListCanBeOpenedAgainWhileAForkedChildLives) {
    rzvtest::TempDir dir;
    std::string file = dir.file("list.tbl");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(file.c_str(), "L", 4, 0, sizeof(double), &t), 0);
    SleepingChild child;
    ASSERT_TRUE(child.started());
    Tbl *second = nullptr;
    EXPECT_EQ(filetbl(file.c_str(), "L", 4, 0, sizeof(double), &second), -1);  // the owner still has it
    freetbl(t, nullptr);
    elog_clear_register(0);
    ASSERT_EQ(filetbl(file.c_str(), "L", 4, 0, sizeof(double), &second), 0) << rzvtest::all_messages();
    freetbl(second, nullptr);
}

// A child forked while a list is open can still close its copy of the
// descriptor, and closing it takes nothing from the parent.
TEST(LocksAndChildren, ChildClosingItsCopyLeavesTheParentsListAlone) {
    rzvtest::TempDir dir;
    std::string file = dir.file("list.tbl");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(file.c_str(), "L", 4, 0, sizeof(double), &t), 0);
    double x = 4.5;
    ASSERT_GE(pushtbl(t, &x), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        freetbl(t, nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    x = 5.5;
    ASSERT_GE(pushtbl(t, &x), 0);
    EXPECT_EQ(maxtbl(t), 2);
    EXPECT_EQ(*static_cast<double *>(gettbl(t, 1)), 5.5);
    Tbl *second = nullptr;
    EXPECT_EQ(filetbl(file.c_str(), "L", 4, 0, sizeof(double), &second), -1);  // still locked by the parent
    freetbl(t, nullptr);
}

// ------------------------------------------------------------ FIFOs

TEST(FifoModes, EveryBlockModeIsKept) {
    for (int mode : {3, 7, -1, 1000}) {
        Pmtfifo *f = pmtfifo_create(0, mode, 0);
        ASSERT_NE(f, nullptr) << mode;
        EXPECT_EQ(f->block, mode);
        // Data present: a pop of any waiting mode takes it at once.
        int token = 1;
        ASSERT_EQ(pmtfifo_push(f, &token), 0);
        void *p = nullptr;
        EXPECT_EQ(pmtfifo_pop(f, &p), PMTFIFO_OK);
        EXPECT_EQ(p, &token);
        pmtfifo_destroy(f, nullptr);
    }
    Pmtmanagedfifo *m = pmtmanagedfifo_create((char *)"modes");
    ASSERT_NE(m, nullptr);
    Pmtfifo *q = pmtmanagedfifo_set_consumer(m, (char *)"reader", 0, 5);
    ASSERT_NE(q, nullptr) << rzvtest::all_messages();
    EXPECT_EQ(q->block, 5);
    pmtmanagedfifo_destroy(m);
}

TEST(FifoHandles, StaleCheckedHandleNeverReachesANewerFifo) {
    std::set<Pmtfifo *> seen;
    Pmtfifo *stale = pmtfifo_create(0, 0, 1);
    ASSERT_NE(stale, nullptr);
    seen.insert(stale);
    pmtfifo_destroy(stale, nullptr);
    for (int round = 0; round < 20; round++) {
        Pmtfifo *f = pmtfifo_create(0, 0, 1);
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(seen.insert(f).second) << "a new FIFO took a destroyed FIFO's handle";
        int token = round;
        elog_clear_register(0);
        EXPECT_EQ(pmtfifo_push(stale, &token), -1);
        EXPECT_TRUE(has_message("pmtfifo_push: mtfifo no longer exists.\n"));
        EXPECT_EQ(pmtfifo_data_available(f), 0);
        void *p = nullptr;
        EXPECT_EQ(pmtfifo_pop(stale, &p), -1);
        pmtfifo_destroy(stale, nullptr);  // harmless: nothing of f is touched
        EXPECT_EQ(pmtfifo_push(f, &token), 0);
        EXPECT_EQ(pmtfifo_data_available(f), 1);
        pmtfifo_destroy(f, nullptr);
        stale = f;
    }
}

// ------------------------------------------------------------ list splitting

TEST(SplitList, MissingResultPointersFailWithAMessage) {
    int argc = 3;
    char **argv = nullptr;
    elog_clear_register(0);
    EXPECT_EQ(splitlist((char *)"a b", nullptr, &argv), -1);
    EXPECT_EQ(splitlist((char *)"a b", &argc, nullptr), -1);
    EXPECT_TRUE(has_message("splitlist: null result pointer.\n"));
}

// ------------------------------------------------------------ argument guards

TEST(ArgumentGuards, SampleRatesMustBePositiveAndFinite) {
    double data[3] = {1, 2, 3};
    for (double rate : {0.0, -1.0, std::nan(""), HUGE_VAL, 1e-320}) {
        char h[64] = "";
        elog_clear_register(0);
        EXPECT_EQ(kovector2_create_tsamp(3, 0.0, rate, data, nullptr, h), nullptr) << rate;
        EXPECT_TRUE(has_message("kovector2_create_tsamp: Illegal sample rate")) << rate;
        EXPECT_STREQ(h, "");
    }
}

TEST(ArgumentGuards, MomentComponentsMustBeFiniteAndBounded) {
    char h[64];
    elog_clear_register(0);
    EXPECT_EQ(komoment_create(NAN, 0, 0, 0, 0, 0, nullptr, h), nullptr);
    EXPECT_TRUE(has_message("komoment_create: tensor component is not a finite number.\n"));
    EXPECT_EQ(komoment_create(0, 0, 0, 0, 2e300, 0, nullptr, h), nullptr);
    KOMoment *m = komoment_create(0, 0, 0, 0, 1e300, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    komoment_free_komoment(m);
}

TEST(ArgumentGuards, EmptyHistoryFileNameMeansNoFile) {
    char h[64];
    KOHistory *k = kohistory_create(3, nullptr, (char *)"", h);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->filename, nullptr);
    EXPECT_EQ(kohistory_add(h, 1.0, 1.0), 0);
    EXPECT_EQ(kohistory_free(h), 0);
}
