// The compute pool: passes and their counts, concurrency of the callbacks,
// adding, changing and deleting workers, destroying a busy or idle pool, and
// a stress run that changes the pool between thousands of passes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pmtcomp.h"
#include "rzvtest.h"
#include "threadtest.h"

namespace {

using namespace std::chrono_literals;
using rzvtest::Sleeper;
using rzvtest::Watchdog;

const bool hang_guard_installed = rzvtest::bound_every_test(std::chrono::seconds(120));

// What a callback saw, per worker.
struct Slot {
    std::atomic<int> calls{0};
    std::atomic<int64_t> last_offset{-1};
    std::atomic<int64_t> last_number{-1};
    int64_t result = 0;  // what the callback returns
};

int64_t record(int64_t ioffset, int64_t number, void *ud) {
    Slot *s = static_cast<Slot *>(ud);
    s->last_offset = ioffset;
    s->last_number = number;
    s->calls++;
    return s->result;
}

int64_t other(int64_t, int64_t, void *ud) {
    static_cast<Slot *>(ud)->calls += 100;
    return 0;
}

TEST(PmtcompPass, EmptyPoolReturnsZero) {
    Pmtcomp *m = pmtcomp_create();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(pmtcomp_nthreads(m), 0);
    EXPECT_EQ(pmtcomp_processthreads(m), 0);
    EXPECT_EQ(pmtcomp_destroy(m), 0);
}

TEST(PmtcompPass, CountsCallbacksThatSucceed) {
    Pmtcomp *m = pmtcomp_create();
    Slot s[3];
    for (int i = 0; i < 3; i++) ASSERT_EQ(pmtcomp_addthread(m, record, i * 10, 10 + i, &s[i]), 0);
    EXPECT_EQ(pmtcomp_nthreads(m), 3);
    EXPECT_EQ(pmtcomp_processthreads(m), 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(s[i].calls.load(), 1);
        EXPECT_EQ(s[i].last_offset.load(), i * 10);
        EXPECT_EQ(s[i].last_number.load(), 10 + i);
    }
    s[1].result = -1;
    EXPECT_EQ(pmtcomp_processthreads(m), 2);
    s[0].result = s[2].result = -5;
    EXPECT_EQ(pmtcomp_processthreads(m), 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(s[i].calls.load(), 3);
    pmtcomp_destroy(m);
}

// Each callback waits for the other: only callbacks that run at the same
// time both succeed.
std::atomic<int> arrived{0};
int64_t rendezvous(int64_t, int64_t, void *) {
    arrived++;
    for (int i = 0; i < 2000 && arrived.load() < 2; i++) std::this_thread::sleep_for(1ms);
    return arrived.load() >= 2 ? 0 : -1;
}

TEST(PmtcompPass, CallbacksOfOnePassRunTogether) {
    Pmtcomp *m = pmtcomp_create();
    pmtcomp_addthread(m, rendezvous, 0, 1, nullptr);
    pmtcomp_addthread(m, rendezvous, 1, 1, nullptr);
    arrived = 0;
    EXPECT_EQ(pmtcomp_processthreads(m), 2);
    pmtcomp_destroy(m);
}

TEST(PmtcompWorkers, AddedWorkerRunsFromTheNextPass) {
    Pmtcomp *m = pmtcomp_create();
    Slot a, b;
    pmtcomp_addthread(m, record, 0, 1, &a);
    EXPECT_EQ(pmtcomp_processthreads(m), 1);
    pmtcomp_addthread(m, record, 0, 1, &b);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(b.calls.load(), 0);  // its thread waits for a pass
    EXPECT_EQ(pmtcomp_processthreads(m), 2);
    EXPECT_EQ(a.calls.load(), 2);
    EXPECT_EQ(b.calls.load(), 1);
    pmtcomp_destroy(m);
}

TEST(PmtcompWorkers, DeleteMovesLaterWorkersDown) {
    Pmtcomp *m = pmtcomp_create();
    Slot s[4];
    for (int i = 0; i < 4; i++) pmtcomp_addthread(m, record, i, 1, &s[i]);
    EXPECT_EQ(pmtcomp_deletethread(m, 1), 0);
    EXPECT_EQ(pmtcomp_nthreads(m), 3);
    EXPECT_EQ(pmtcomp_processthreads(m), 3);
    EXPECT_EQ(s[1].calls.load(), 0);
    // The list now holds the workers added as 0, 2, 3; their index fields
    // keep the values of their addition.
    int64_t idx[3];
    for (int i = 0; i < 3; i++) idx[i] = static_cast<PmtcompThread *>(gettbl(m->threads, i))->index;
    EXPECT_EQ(idx[0], 0);
    EXPECT_EQ(idx[1], 2);
    EXPECT_EQ(idx[2], 3);
    EXPECT_EQ(static_cast<PmtcompThread *>(gettbl(m->threads, 1))->user_data, &s[2]);
    pmtcomp_destroy(m);
}

TEST(PmtcompWorkers, IndexOutOfRange) {
    Pmtcomp *m = pmtcomp_create();
    Slot s;
    pmtcomp_addthread(m, record, 0, 1, &s);
    EXPECT_EQ(pmtcomp_setthread(m, 1, record, 0, 1, &s), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtcomp_setthread: thread index 1 out of range.\n");
    EXPECT_EQ(pmtcomp_deletethread(m, 1), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtcomp_deletethread: thread index 1 out of range.\n");
    EXPECT_EQ(pmtcomp_deletethread(m, -1), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtcomp_deletethread: thread index -1 out of range.\n");
    EXPECT_EQ(pmtcomp_nthreads(m), 1);
    EXPECT_EQ(pmtcomp_addthread(m, nullptr, 0, 1, &s), -1);
    EXPECT_EQ(pmtcomp_nthreads(m), 1);
    pmtcomp_destroy(m);
}

TEST(PmtcompWorkers, SetThreadKeepsOrReplaces) {
    Pmtcomp *m = pmtcomp_create();
    Slot a, b;
    pmtcomp_addthread(m, record, 5, 7, &a);
    EXPECT_EQ(pmtcomp_setthread(m, 0, nullptr, -1, 0, nullptr), 0);
    pmtcomp_processthreads(m);
    EXPECT_EQ(a.last_offset.load(), 5);
    EXPECT_EQ(a.last_number.load(), 7);
    EXPECT_EQ(pmtcomp_setthread(m, 0, nullptr, 0, -3, nullptr), 0);  // offset 0 is a real offset
    pmtcomp_processthreads(m);
    EXPECT_EQ(a.last_offset.load(), 0);
    EXPECT_EQ(a.last_number.load(), 7);
    EXPECT_EQ(pmtcomp_setthread(m, 0, nullptr, -1, 9, &b), 0);
    pmtcomp_processthreads(m);
    EXPECT_EQ(a.calls.load(), 2);
    EXPECT_EQ(b.last_number.load(), 9);
    EXPECT_EQ(pmtcomp_setthread(m, 0, other, -1, 0, nullptr), 0);
    pmtcomp_processthreads(m);
    EXPECT_EQ(b.calls.load(), 101);
    pmtcomp_destroy(m);
}

int64_t slow(int64_t, int64_t, void *ud) {
    std::this_thread::sleep_for(60ms);
    static_cast<Slot *>(ud)->calls++;
    return 0;
}

TEST(PmtcompDestroy, WaitsForARunningPass) {
    Watchdog dog("WaitsForARunningPass");
    Pmtcomp *m = pmtcomp_create();
    Slot s[2];
    pmtcomp_addthread(m, slow, 0, 1, &s[0]);
    pmtcomp_addthread(m, slow, 1, 1, &s[1]);
    std::atomic<long> passed{-1};
    std::atomic<bool> pass_done_first{false};
    std::thread controller([&] { passed = pmtcomp_processthreads(m); });
    std::this_thread::sleep_for(20ms);  // the pass is under way
    std::thread stopper([&] {
        pmtcomp_destroy(m);
        pass_done_first = s[0].calls.load() == 1 && s[1].calls.load() == 1;
    });
    controller.join();
    stopper.join();
    EXPECT_EQ(passed.load(), 2);
    EXPECT_TRUE(pass_done_first.load());
    EXPECT_EQ(s[0].calls.load(), 1);
    EXPECT_EQ(s[1].calls.load(), 1);
}

TEST(PmtcompDestroy, IdleWorkersEndWithoutRunning) {
    Pmtcomp *m = pmtcomp_create();
    Slot s[3];
    for (auto &x : s) pmtcomp_addthread(m, record, 0, 1, &x);
    pmtcomp_processthreads(m);
    EXPECT_EQ(pmtcomp_destroy(m), 0);
    for (auto &x : s) EXPECT_EQ(x.calls.load(), 1);
}

// One thread runs passes without pause while another adds, changes and
// deletes workers between them and finally destroys the pool in the middle
// of a pass.
struct StressState {
    std::atomic<long> passes{0};
    std::atomic<long> ok_callbacks{0};
    std::atomic<bool> hold{false}, in_pass{false}, go{false}, stop{false};
};
StressState *stress;

int64_t stress_sub(int64_t ioffset, int64_t number, void *ud) {
    Slot *s = static_cast<Slot *>(ud);
    s->calls++;
    s->last_offset = ioffset;
    s->last_number = number;
    if (stress->hold.load()) {
        stress->in_pass = true;
        for (int i = 0; i < 5000 && !stress->go.load(); i++) std::this_thread::sleep_for(1ms);
    }
    int64_t r = (ioffset % 3 == 0) ? -1 : 0;  // some callbacks fail
    if (r >= 0) stress->ok_callbacks++;
    return r;
}

void run_pool_stress(unsigned seed, int ops) {
    StressState st;
    stress = &st;
    std::vector<Slot> slots(16);
    Pmtcomp *m = pmtcomp_create();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(pmtcomp_addthread(m, stress_sub, 1, 1, &slots[0]), 0);
    long counted = 0;
    std::thread controller([&] {
        while (!st.stop.load()) {
            counted += pmtcomp_processthreads(m);
            st.passes++;
        }
    });
    std::mt19937 rng(seed);
    long n = 1;
    for (int op = 0; op < ops; op++) {
        // Keep pace with the passes: about ten of them between two changes.
        for (int i = 0; i < 20000 && st.passes.load() < long(op) * 10; i++) std::this_thread::sleep_for(20us);
        int what = int(rng() % 3);
        if (what == 0 && n < 6) {
            ASSERT_EQ(pmtcomp_addthread(m, stress_sub, rng() % 9, 1 + rng() % 5, &slots[rng() % 16]), 0);
            n++;
        } else if (what == 1) {
            ASSERT_EQ(pmtcomp_setthread(m, long(rng() % n), nullptr, rng() % 9, rng() % 4, &slots[rng() % 16]), 0);
        } else if (n > 1) {
            ASSERT_EQ(pmtcomp_deletethread(m, long(rng() % n)), 0);
            n--;
        }
        ASSERT_EQ(pmtcomp_nthreads(m), n);
    }
    // Destroy while a pass is under way; the controller stops after it.
    st.hold = true;
    for (int i = 0; i < 5000 && !st.in_pass.load(); i++) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(st.in_pass.load());
    st.stop = true;
    st.go = true;
    EXPECT_EQ(pmtcomp_destroy(m), 0);
    controller.join();
    EXPECT_EQ(counted, st.ok_callbacks.load());
    EXPECT_GE(st.passes.load(), long(ops - 1) * 10);
    stress = nullptr;
}

TEST(PmtcompStress, ChangesBetweenThousandsOfPasses) {
    Watchdog dog("ChangesBetweenThousandsOfPasses");
    for (unsigned seed = 1; seed <= 3; seed++) run_pool_stress(seed, 300);
}

}  // namespace
