// The blocking FIFO: order, bounds, the consumer modes, releases, flushes,
// stale handles, and stress runs with several producers and consumers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <fstream>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

#include "pmtfifo.h"
#include "rzvtest.h"
#include "threadtest.h"

namespace {

using namespace std::chrono_literals;
using rzvtest::Sleeper;
using rzvtest::Watchdog;

const bool hang_guard_installed = rzvtest::bound_every_test(std::chrono::seconds(120));

void *tok(uintptr_t v) { return reinterpret_cast<void *>(v); }
uintptr_t val(void *p) { return reinterpret_cast<uintptr_t>(p); }

// Waits until flag is set or about five seconds pass.
bool wait_flag(const std::atomic<bool> &flag) {
    for (int i = 0; i < 5000 && !flag.load(); i++) std::this_thread::sleep_for(1ms);
    return flag.load();
}

std::vector<uintptr_t> freed;
void record_free(void *p) { freed.push_back(val(p)); }

TEST(PmtfifoBasics, NullFifoAndBadMode) {
    void *p = tok(7);
    EXPECT_EQ(pmtfifo_push(nullptr, p), 0);
    EXPECT_EQ(pmtfifo_unpop(nullptr, p), 0);
    EXPECT_EQ(pmtfifo_pop(nullptr, &p), 3);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(pmtfifo_data_available(nullptr), 0);
    EXPECT_EQ(pmtfifo_set_timeout(nullptr, 1.0), 0);
    EXPECT_EQ(pmtfifo_flush(nullptr, nullptr), 0);
    EXPECT_EQ(pmtfifo_destroy(nullptr, nullptr), 0);
    // Any block mode is taken: modes other than 0 and 2 wait without limit.
    Pmtfifo *other = pmtfifo_create(0, 3, 0);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->block, 3);
    pmtfifo_destroy(other, nullptr);
}

TEST(PmtfifoBasics, OrderUnpopAndCount) {
    Pmtfifo *f = pmtfifo_create(0, 0, 0);
    ASSERT_NE(f, nullptr);
    void *p = nullptr;
    EXPECT_EQ(pmtfifo_pop(f, &p), 3);  // mode 0, empty
    EXPECT_EQ(pmtfifo_unpop(f, tok(5)), 0);  // on an empty FIFO: head and tail
    EXPECT_EQ(pmtfifo_push(f, tok(6)), 0);
    EXPECT_EQ(f->head->ptr, tok(5));
    EXPECT_EQ(f->tail->ptr, tok(6));
    EXPECT_EQ(pmtfifo_push(f, tok(7)), 0);
    EXPECT_EQ(pmtfifo_unpop(f, tok(4)), 0);  // ahead of all queued ones
    EXPECT_EQ(pmtfifo_data_available(f), 4);
    for (uintptr_t want = 4; want <= 7; want++) {
        EXPECT_EQ(pmtfifo_pop(f, &p), 1);
        EXPECT_EQ(val(p), want);
    }
    EXPECT_EQ(f->head, nullptr);
    EXPECT_EQ(f->tail, nullptr);
    EXPECT_EQ(pmtfifo_push(f, tok(1)), 0);
    EXPECT_EQ(pmtfifo_push(f, tok(2)), 0);
    EXPECT_EQ(pmtfifo_push(f, tok(3)), 0);
    EXPECT_EQ(pmtfifo_pop(f, &p), 1);
    EXPECT_EQ(pmtfifo_data_available(f), 2);
    pmtfifo_destroy(f, nullptr);
}

// Long runs of pushes, pops and unpops against a plain model: order, counts
// and the head and tail links stay right however the elements are stored.
TEST(PmtfifoBasics, MatchesAModelOverLongRuns) {
    Pmtfifo *f = pmtfifo_create(0, 0, 0);
    std::deque<uintptr_t> model;
    std::mt19937 rng(7);
    uintptr_t next = 1;
    for (int step = 0; step < 60000; step++) {
        unsigned r = rng() % 100;
        if (r < 50) {
            pmtfifo_push(f, tok(next));
            model.push_back(next++);
        } else if (r < 55) {
            pmtfifo_unpop(f, tok(next));
            model.push_front(next++);
        } else if (r < 99) {
            void *p;
            int rc = pmtfifo_pop(f, &p);
            if (model.empty()) {
                ASSERT_EQ(rc, 3);
            } else {
                ASSERT_EQ(rc, 1);
                ASSERT_EQ(val(p), model.front());
                model.pop_front();
            }
        } else if (step % 7 == 0) {
            pmtfifo_flush(f, nullptr);
            model.clear();
            f->flush = 0;  // no producer waits here: drop the flag
        }
        ASSERT_EQ(pmtfifo_data_available(f), (int)model.size());
        if (!model.empty()) {
            ASSERT_EQ(f->head->ptr, tok(model.front()));
            ASSERT_EQ(f->tail->ptr, tok(model.back()));
            ASSERT_EQ(f->head->prev, nullptr);
            ASSERT_EQ(f->tail->next, nullptr);
        }
        if (step == 30000)  // a deep queue, then drained
            for (int i = 0; i < 5000; i++) {
                pmtfifo_push(f, tok(next));
                model.push_back(next++);
            }
    }
    freed.clear();
    size_t left = model.size();
    pmtfifo_destroy(f, record_free);
    EXPECT_EQ(freed.size(), left);
}

TEST(PmtfifoBasics, NullPointerIsCarried) {
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    EXPECT_EQ(pmtfifo_push(f, nullptr), 0);
    void *p = tok(1);
    EXPECT_EQ(pmtfifo_pop(f, &p), 1);  // 1, not the release result 0
    EXPECT_EQ(p, nullptr);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoBasics, DestroyReleasesQueuedValuesHeadToTail) {
    Pmtfifo *f = pmtfifo_create(0, 0, 0);
    for (uintptr_t i = 1; i <= 3; i++) pmtfifo_push(f, tok(i));
    freed.clear();
    pmtfifo_destroy(f, record_free);
    EXPECT_EQ(freed, (std::vector<uintptr_t>{1, 2, 3}));
}

TEST(PmtfifoBounds, ThirdPushWaitsForAPop) {
    Pmtfifo *f = pmtfifo_create(2, 0, 0);
    pmtfifo_push(f, tok(1));
    pmtfifo_push(f, tok(2));
    std::atomic<bool> done{false};
    Sleeper s;
    std::thread producer([&] {
        s.mark();
        EXPECT_EQ(pmtfifo_push(f, tok(3)), 0);
        done = true;
    });
    ASSERT_TRUE(s.asleep());
    EXPECT_FALSE(done.load());
    void *p;
    EXPECT_EQ(pmtfifo_pop(f, &p), 1);
    EXPECT_TRUE(wait_flag(done));
    producer.join();
    EXPECT_EQ(pmtfifo_data_available(f), 2);
    EXPECT_EQ(f->tail->ptr, tok(3));
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoBounds, ZeroOrNegativeBoundNeverWaits) {
    for (int bound : {0, -5}) {
        Pmtfifo *f = pmtfifo_create(bound, 0, 0);
        for (uintptr_t i = 0; i < 1000; i++) ASSERT_EQ(pmtfifo_push(f, tok(i)), 0);
        EXPECT_EQ(pmtfifo_data_available(f), 1000);
        pmtfifo_destroy(f, nullptr);
    }
}

TEST(PmtfifoModes, TimeoutReturnsTwoAfterTheWait) {
    Pmtfifo *f = pmtfifo_create(0, 2, 0);
    void *p = tok(1);
    EXPECT_EQ(pmtfifo_pop(f, &p), 2);  // time-out 0 at creation
    EXPECT_EQ(pmtfifo_set_timeout(f, 0.2), 0);
    EXPECT_EQ(f->block, 2);
    double t0 = std_now();
    EXPECT_EQ(pmtfifo_pop(f, &p), 2);
    EXPECT_GE(std_now() - t0, 0.18);
    EXPECT_EQ(p, nullptr);
    pmtfifo_push(f, tok(9));
    EXPECT_EQ(pmtfifo_pop(f, &p), 1);
    EXPECT_EQ(val(p), 9u);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoModes, NegativeTimeoutDoesNotWakeAWaiter) {
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    std::atomic<bool> done{false};
    std::atomic<int> rc{-9};
    Sleeper s;
    std::thread consumer([&] {
        s.mark();
        void *p;
        rc = pmtfifo_pop(f, &p);
        done = true;
    });
    ASSERT_TRUE(s.asleep());
    EXPECT_EQ(pmtfifo_set_timeout(f, -1.0), 0);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(done.load());
    pmtfifo_push(f, tok(3));
    EXPECT_TRUE(wait_flag(done));
    consumer.join();
    EXPECT_EQ(rc.load(), 1);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoModes, ZeroTimeoutReleasesAndStopsBlocking) {
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    std::atomic<bool> done{false};
    std::atomic<int> rc{-9};
    Sleeper s;
    std::thread consumer([&] {
        s.mark();
        void *p;
        rc = pmtfifo_pop(f, &p);
        done = true;
    });
    ASSERT_TRUE(s.asleep());
    EXPECT_EQ(pmtfifo_set_timeout(f, 0.0), 0);
    EXPECT_TRUE(wait_flag(done));
    consumer.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(f->block, 0);
    void *p;
    EXPECT_EQ(pmtfifo_pop(f, &p), 3);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoModes, PositiveTimeoutSendsAWaiterHomeAndSwitchesToTimedWaits) {
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    std::atomic<bool> done{false};
    std::atomic<int> rc{-9};
    Sleeper s;
    std::thread consumer([&] {
        s.mark();
        void *p;
        rc = pmtfifo_pop(f, &p);
        done = true;
    });
    ASSERT_TRUE(s.asleep());
    EXPECT_EQ(pmtfifo_set_timeout(f, 0.05), 0);
    EXPECT_TRUE(wait_flag(done));
    consumer.join();
    EXPECT_EQ(rc.load(), 0);
    void *p;
    EXPECT_EQ(pmtfifo_pop(f, &p), 2);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoRelease, ReleaseBlockKeepsTheMode) {
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    std::atomic<int> stage{0};
    std::vector<int> results;
    Sleeper s;
    std::thread consumer([&] {
        s.mark();
        void *p;
        results.push_back(pmtfifo_pop(f, &p));
        stage = 1;
        results.push_back(pmtfifo_pop(f, &p));  // waits again: mode kept
        stage = 2;
    });
    ASSERT_TRUE(s.asleep());
    pmtfifo_release_block(f);
    for (int i = 0; i < 5000 && stage.load() < 1; i++) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(s.asleep());
    EXPECT_EQ(stage.load(), 1);
    pmtfifo_push(f, tok(8));
    consumer.join();
    EXPECT_EQ(results, (std::vector<int>{0, 1}));
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoRelease, ReleaseOnModeZeroDoesNothing) {
    Pmtfifo *f = pmtfifo_create(0, 0, 0);
    pmtfifo_release_block(f);
    EXPECT_EQ(f->release_block, 0);
    pmtfifo_set_timeout(f, -1.0);
    pmtfifo_push(f, tok(1));
    void *p;
    EXPECT_EQ(pmtfifo_pop(f, &p), 1);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoRelease, PendingRequestEndsWithTheNextPop) {
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    pmtfifo_release_block(f);  // nobody waits: the request stays set
    EXPECT_EQ(f->release_block, 1);
    pmtfifo_push(f, tok(1));
    void *p;
    EXPECT_EQ(pmtfifo_pop(f, &p), 1);  // no wait, so not released; clears it
    EXPECT_EQ(f->release_block, 0);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoRelease, ReleaseBlocksFreesEveryWaitingConsumer) {
    Watchdog dog("ReleaseBlocksFreesEveryWaitingConsumer");
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    std::mutex m;
    std::vector<int> results;
    std::vector<std::thread> consumers;
    Sleeper s[3];
    for (int i = 0; i < 3; i++)
        consumers.emplace_back([&, i] {
            s[i].mark();
            void *p;
            int r = pmtfifo_pop(f, &p);
            std::lock_guard<std::mutex> lk(m);
            results.push_back(r);
        });
    for (auto &x : s) ASSERT_TRUE(x.asleep());
    pmtfifo_release_blocks(f);
    for (auto &t : consumers) t.join();
    std::sort(results.begin(), results.end());
    // One is released (0); the others find a non-blocking empty FIFO (3).
    EXPECT_EQ(results, (std::vector<int>{0, 3, 3}));
    pmtfifo_destroy(f, nullptr);
}

// Consumers waiting without limit when the FIFO switches to timed waits do
// not sleep on for ever: one is sent home, the others time out.
TEST(PmtfifoRelease, SwitchToTimedWaitsReachesEveryWaiter) {
    Watchdog dog("SwitchToTimedWaitsReachesEveryWaiter");
    Pmtfifo *f = pmtfifo_create(0, 1, 0);
    std::mutex m;
    std::vector<int> results;
    std::vector<std::thread> consumers;
    Sleeper s[3];
    for (int i = 0; i < 3; i++)
        consumers.emplace_back([&, i] {
            s[i].mark();
            void *p;
            int r = pmtfifo_pop(f, &p);
            std::lock_guard<std::mutex> lk(m);
            results.push_back(r);
        });
    for (auto &x : s) ASSERT_TRUE(x.asleep());
    pmtfifo_set_timeout(f, 0.05);
    for (auto &t : consumers) t.join();
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results, (std::vector<int>{0, 2, 2}));
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoFlush, CancelsAWaitingProducer) {
    Pmtfifo *f = pmtfifo_create(2, 0, 0);
    pmtfifo_push(f, tok(1));
    pmtfifo_push(f, tok(2));
    std::atomic<bool> done{false};
    Sleeper s;
    std::thread producer([&] {
        s.mark();
        EXPECT_EQ(pmtfifo_push(f, tok(3)), 0);
        done = true;
    });
    ASSERT_TRUE(s.asleep());
    freed.clear();
    EXPECT_EQ(pmtfifo_flush(f, record_free), 0);
    EXPECT_TRUE(wait_flag(done));
    producer.join();
    EXPECT_EQ(freed, (std::vector<uintptr_t>{1, 2}));
    EXPECT_EQ(pmtfifo_data_available(f), 0);  // 3 was not queued
    EXPECT_EQ(f->flush, 0);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoFlush, OtherWaitingProducersUseTheRoom) {
    Watchdog dog("OtherWaitingProducersUseTheRoom");
    Pmtfifo *f = pmtfifo_create(2, 0, 0);
    pmtfifo_push(f, tok(1));
    pmtfifo_push(f, tok(2));
    std::vector<std::thread> producers;
    Sleeper s[3];
    for (uintptr_t i = 10; i < 13; i++)
        producers.emplace_back([f, i, &s] {
            s[i - 10].mark();
            pmtfifo_push(f, tok(i));
        });
    for (auto &x : s) ASSERT_TRUE(x.asleep());
    pmtfifo_flush(f, nullptr);
    for (auto &t : producers) t.join();  // none is left asleep beside an empty queue
    EXPECT_EQ(pmtfifo_data_available(f), 2);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoFlush, FlagWaitsForTheNextProducerThatWaits) {
    Pmtfifo *f = pmtfifo_create(1, 0, 0);
    pmtfifo_flush(f, nullptr);  // no producer waits: the flag stays
    EXPECT_EQ(pmtfifo_push(f, tok(1)), 0);  // room: queued, flag untouched
    EXPECT_EQ(f->flush, 1);
    std::atomic<bool> done{false};
    Sleeper s;
    std::thread producer([&] {
        s.mark();
        pmtfifo_push(f, tok(2));  // has to wait; cancelled at its first wake-up
        done = true;
    });
    ASSERT_TRUE(s.asleep());
    void *p;
    EXPECT_EQ(pmtfifo_pop(f, &p), 1);
    EXPECT_TRUE(wait_flag(done));
    producer.join();
    EXPECT_EQ(pmtfifo_data_available(f), 0);
    EXPECT_EQ(f->flush, 0);
    pmtfifo_destroy(f, nullptr);
}

TEST(PmtfifoRegistry, StaleCheckedHandleIsRefused) {
    Pmtfifo *f = pmtfifo_create(0, 1, 1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(pmtfifo_push(f, tok(1)), 0);
    pmtfifo_destroy(f, nullptr);
    EXPECT_EQ(pmtfifo_push(f, tok(2)), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtfifo_push: mtfifo no longer exists.\n");
    EXPECT_EQ(pmtfifo_unpop(f, tok(2)), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtfifo_push: mtfifo no longer exists.\n");
    EXPECT_EQ(pmtfifo_set_timeout(f, 1.0), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtfifo_set_timeout: mtfifo no longer exists.\n");
    void *p = tok(1);
    EXPECT_EQ(pmtfifo_pop(f, &p), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(pmtfifo_data_available(f), 0);
    EXPECT_EQ(pmtfifo_destroy(f, nullptr), 0);  // a second destroy is harmless
    // An unchecked FIFO is not looked up at all.
    Pmtfifo *g = pmtfifo_create(0, 0, 0);
    EXPECT_EQ(pmtfifo_push(g, tok(1)), 0);
    pmtfifo_destroy(g, nullptr);
}

// A producer keeps calling through the handle of a destroyed checked FIFO
// while a new checked FIFO is set up: the new FIFO never takes the old
// record over, so the stale calls keep being refused and never race with
// the set-up.
TEST(PmtfifoRegistry, StaleCallsWhileTheRecordIsReused) {
    Watchdog dog("StaleCallsWhileTheRecordIsReused");
    int reused = 0;
    for (int round = 0; round < 100; round++) {
        Pmtfifo *f = pmtfifo_create(0, 0, 1);
        ASSERT_NE(f, nullptr);
        pmtfifo_destroy(f, nullptr);
        std::atomic<bool> started{false}, stop{false};
        std::thread stale([&] {
            for (int i = 0; !stop.load(std::memory_order_relaxed) || i < 50; i++) {
                EXPECT_EQ(pmtfifo_data_available(f), 0);
                started.store(true, std::memory_order_relaxed);
            }
        });
        while (!started.load(std::memory_order_relaxed)) std::this_thread::yield();
        Pmtfifo *g = pmtfifo_create(0, 0, round % 2 ? 1 : 2);
        ASSERT_NE(g, nullptr);
        stop.store(true, std::memory_order_relaxed);
        stale.join();
        if (g == f) reused++;
        EXPECT_NE(g->check, 0);
        EXPECT_EQ(pmtfifo_push(g, tok(1)), 0);
        EXPECT_EQ(pmtfifo_data_available(g), 1);
        pmtfifo_destroy(g, nullptr);
    }
    EXPECT_EQ(reused, 0);
}

// ---------------------------------------------------------------- stress

constexpr uintptr_t kEnd = ~uintptr_t(0);

// Items carry (producer << 32 | number + 1).
struct Delivery {
    std::vector<std::vector<uint32_t>> per_consumer_producer;  // [c * P + p] -> numbers in pop order
};

// Checks that each number of each producer arrived exactly once (or, with
// allow_missing, at most once) and in order at each consumer.
void check_delivery(const std::vector<std::vector<uintptr_t>> &got, int producers, uint32_t per_producer,
                    bool allow_missing, std::vector<uintptr_t> extra = {}) {
    std::vector<std::vector<int>> seen(producers, std::vector<int>(per_producer, 0));
    for (uintptr_t v : extra) seen[v >> 32][(v & 0xffffffffu) - 1]++;
    for (const auto &items : got) {
        std::vector<int64_t> last(producers, -1);
        for (uintptr_t v : items) {
            int p = int(v >> 32);
            int64_t n = int64_t(v & 0xffffffffu) - 1;
            ASSERT_GT(n, last[p]) << "out of order from producer " << p;
            last[p] = n;
            seen[p][n]++;
        }
    }
    for (int p = 0; p < producers; p++)
        for (uint32_t n = 0; n < per_producer; n++) {
            if (allow_missing)
                ASSERT_LE(seen[p][n], 1) << "producer " << p << " item " << n;
            else
                ASSERT_EQ(seen[p][n], 1) << "producer " << p << " item " << n;
        }
}

// Consumers pop until their end marker; results 0 and 2 just mean "again".
void consume(Pmtfifo *f, std::vector<uintptr_t> &out) {
    for (;;) {
        void *p;
        int r = pmtfifo_pop(f, &p);
        if (r == 1) {
            if (val(p) == kEnd) return;
            out.push_back(val(p));
        } else if (r == 3) {
            std::this_thread::yield();
        } else {
            ASSERT_TRUE(r == 0 || r == 2) << r;
        }
    }
}

void run_producers_consumers(int maxqueue, int block, double timeout, int producers, int consumers,
                             uint32_t per_producer, bool disrupt, bool stop_modes = false) {
    Pmtfifo *f = pmtfifo_create(maxqueue, block, 0);
    ASSERT_NE(f, nullptr);
    if (block == 2) pmtfifo_set_timeout(f, timeout);
    std::vector<std::vector<uintptr_t>> got(consumers);
    std::vector<std::thread> cs, ps;
    for (int c = 0; c < consumers; c++) cs.emplace_back([&, c] { consume(f, got[c]); });
    for (int p = 0; p < producers; p++)
        ps.emplace_back([&, p] {
            for (uint32_t n = 1; n <= per_producer; n++) {
                ASSERT_EQ(pmtfifo_push(f, tok((uintptr_t(p) << 32) | n)), 0);
                if (n % 512 == 0) std::this_thread::sleep_for(100us);  // let queues drain and waits start
            }
        });
    std::atomic<bool> stop{false};
    std::thread disruptor;
    if (disrupt)
        disruptor = std::thread([&] {
            // Release requests and mode changes while consumers wait.
            for (int i = 0; !stop.load(); i++) {
                switch (i % (stop_modes ? 6 : 4)) {
                case 0: pmtfifo_release_block(f); break;
                case 1: pmtfifo_set_timeout(f, 0.001); break;
                case 2: pmtfifo_set_timeout(f, -1.0); break;
                case 3: pmtfifo_release_block(f); break;
                // With `stop_modes`, the waits are also ended: consumers
                // find a FIFO that no longer blocks, then blocking again.
                case 4: pmtfifo_release_blocks(f); break;
                case 5: pmtfifo_set_timeout(f, 0.0); break;
                }
                std::this_thread::sleep_for(200us);
            }
            pmtfifo_set_timeout(f, -1.0);
        });
    for (auto &t : ps) t.join();
    stop = true;
    if (disrupt) disruptor.join();
    for (int c = 0; c < consumers; c++) pmtfifo_push(f, tok(kEnd));
    for (auto &t : cs) t.join();
    EXPECT_EQ(pmtfifo_data_available(f), 0);
    pmtfifo_destroy(f, nullptr);
    check_delivery(got, producers, per_producer, false);
}

TEST(PmtfifoStress, UnboundedManyProducersManyConsumers) {
    Watchdog dog("UnboundedManyProducersManyConsumers");
    run_producers_consumers(0, 1, 0, 4, 3, 20000, false);
}

TEST(PmtfifoStress, BoundedManyProducersManyConsumers) {
    Watchdog dog("BoundedManyProducersManyConsumers");
    run_producers_consumers(8, 1, 0, 4, 3, 20000, false);
}

TEST(PmtfifoStress, BoundOfOneWithTimedWaits) {
    Watchdog dog("BoundOfOneWithTimedWaits");
    run_producers_consumers(1, 2, 0.0005, 3, 3, 5000, false);
}

TEST(PmtfifoStress, ReleasesAndModeChangesWhileConsumersWait) {
    Watchdog dog("ReleasesAndModeChangesWhileConsumersWait");
    run_producers_consumers(4, 1, 0, 3, 4, 10000, true);
    run_producers_consumers(0, 2, 0.001, 2, 3, 10000, true);
}

TEST(PmtfifoStress, WaitsEndedAndResumedWhileConsumersWait) {
    run_producers_consumers(4, 1, 0, 3, 4, 10000, true, true);
    run_producers_consumers(0, 1, 0, 2, 3, 10000, true, true);
}

// Flushes while producers wait: every item is delivered or flushed at most
// once, in order, and no more pushes are cancelled than there were flushes.
TEST(PmtfifoStress, FlushesWhileProducersWait) {
    Watchdog dog("FlushesWhileProducersWait");
    const int producers = 3, consumers = 2;
    const uint32_t per_producer = 10000;
    Pmtfifo *f = pmtfifo_create(4, 1, 0);
    static std::mutex flushed_m;
    static std::vector<uintptr_t> flushed;
    flushed.clear();
    std::vector<std::vector<uintptr_t>> got(consumers);
    std::vector<std::thread> cs, ps;
    for (int c = 0; c < consumers; c++) cs.emplace_back([&, c] { consume(f, got[c]); });
    for (int p = 0; p < producers; p++)
        ps.emplace_back([&, p] {
            for (uint32_t n = 1; n <= per_producer; n++) ASSERT_EQ(pmtfifo_push(f, tok((uintptr_t(p) << 32) | n)), 0);
        });
    std::atomic<bool> stop{false};
    int flushes = 0;
    std::thread flusher([&] {
        while (!stop.load()) {
            pmtfifo_flush(f, [](void *p) {
                std::lock_guard<std::mutex> lk(flushed_m);
                flushed.push_back(val(p));
            });
            flushes++;
            std::this_thread::sleep_for(100us);
        }
    });
    for (auto &t : ps) t.join();
    stop = true;
    flusher.join();
    // Drain, so that the end markers never have to wait (a stale flush flag
    // would cancel a waiting push).
    while (pmtfifo_data_available(f) > 0) std::this_thread::sleep_for(1ms);
    for (int c = 0; c < consumers; c++) ASSERT_EQ(pmtfifo_push(f, tok(kEnd)), 0);
    for (auto &t : cs) t.join();
    pmtfifo_destroy(f, nullptr);
    check_delivery(got, producers, per_producer, true, flushed);
    size_t delivered = flushed.size();
    for (auto &g : got) delivered += g.size();
    size_t cancelled = size_t(producers) * per_producer - delivered;
    EXPECT_LE(cancelled, size_t(flushes));
    EXPECT_GT(flushes, 0);
}

}  // namespace
