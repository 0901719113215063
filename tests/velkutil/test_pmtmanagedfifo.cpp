// The managed multi-consumer FIFO: the name registry, delivery of copies and
// release of shared items, producers and end markers, bounded consumer
// queues that make a push wait, display, and a fan-out stress run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fstream>

#include <sys/syscall.h>
#include <unistd.h>

#include "pmtmanagedfifo.h"
#include "rzvtest.h"
#include "threadtest.h"

namespace {

using namespace std::chrono_literals;
using rzvtest::Sleeper;
using rzvtest::Watchdog;

const bool hang_guard_installed = rzvtest::bound_every_test(std::chrono::seconds(120));

struct Item {
    int producer;
    int n;
};

std::atomic<long> live_items{0};  // payloads alive, originals and copies
std::atomic<long> copies_made{0};

void free_item(void *p) {
    live_items--;
    free(p);
}

Hook *make_item(int producer, int n) {
    Hook *h = new_hook(free_item);
    Item *it = static_cast<Item *>(malloc(sizeof(Item)));
    it->producer = producer;
    it->n = n;
    h->p = it;
    live_items++;
    return h;
}

Hook *copy_item(Hook *h) {
    const Item *it = static_cast<const Item *>(h->p);
    copies_made++;
    return make_item(it->producer, it->n);
}

Hook *failing_copy(Hook *) { return nullptr; }

int item_n(Hook *h) { return static_cast<Item *>(h->p)->n; }

char *cs(const char *s) { return const_cast<char *>(s); }

// Each test gets a fresh name: the registry lives for the whole process.
std::string unique_name(const char *base) {
    static int k = 0;
    return std::string(base) + std::to_string(k++);
}

TEST(PmtmanagedfifoRegistry, CreateGetDestroy) {
    std::string name = unique_name("reg");
    EXPECT_EQ(pmtmanagedfifo_get(cs(name.c_str())), nullptr);
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->name, name.c_str());
    EXPECT_EQ(pmtmanagedfifo_get(cs(name.c_str())), m);
    EXPECT_EQ(pmtmanagedfifo_create(cs(name.c_str())), nullptr);
    EXPECT_EQ(rzvtest::messages().back(), "pmtmanagedfifo_create: name '" + name + "' already in use.\n");
    EXPECT_EQ(pmtmanagedfifo_destroy(m), 0);
    EXPECT_EQ(pmtmanagedfifo_get(cs(name.c_str())), nullptr);
    m = pmtmanagedfifo_create(cs(name.c_str()));  // the name is free again
    ASSERT_NE(m, nullptr);
    pmtmanagedfifo_destroy(m);
    EXPECT_EQ(pmtmanagedfifo_destroy(nullptr), 0);
}

TEST(PmtmanagedfifoRegistry, NameOfSixtyFourIsRefused) {
    std::string longname(64, 'x');
    EXPECT_EQ(pmtmanagedfifo_create(cs(longname.c_str())), nullptr);
    EXPECT_TRUE(rzvtest::has_message("longer than 63 characters"));
    std::string ok(63, 'y');
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(ok.c_str()));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(pmtmanagedfifo_get(cs(ok.c_str())), m);
    pmtmanagedfifo_destroy(m);
}

TEST(PmtmanagedfifoRegistry, ConcurrentCreatesOfOneNameGiveOneFifo) {
    for (int round = 0; round < 20; round++) {
        std::string name = unique_name("race");
        std::atomic<int> made{0};
        std::vector<Pmtmanagedfifo *> got(4, nullptr);
        std::vector<std::thread> ts;
        for (int i = 0; i < 4; i++) ts.emplace_back([&, i] {
            got[i] = pmtmanagedfifo_create(cs(name.c_str()));
            if (got[i]) made++;
        });
        for (auto &t : ts) t.join();
        ASSERT_EQ(made.load(), 1);
        for (auto *m : got)
            if (m) pmtmanagedfifo_destroy(m);
    }
}

TEST(PmtmanagedfifoDelivery, EveryConsumerGetsItsOwnCopyInOrder) {
    std::string name = unique_name("deliver");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    ASSERT_NE(pmtmanagedfifo_set_consumer(m, cs("a"), 0, 0), nullptr);
    ASSERT_NE(pmtmanagedfifo_set_consumer(m, cs("b"), 0, 0), nullptr);
    long live0 = live_items.load();
    for (int i = 0; i < 3; i++) {
        Hook *h = make_item(0, 100 + i);
        ASSERT_EQ(pmtmanagedfifo_push(m, h, copy_item, 1), 0);  // the caller keeps h
        free_hook(&h);
    }
    EXPECT_EQ(live_items.load(), live0 + 3);  // one shared copy per item
    for (int i = 0; i < 3; i++) {
        Hook *ha = nullptr, *hb = nullptr;
        unsigned long sa = 99, sb = 99;
        ASSERT_EQ(pmtmanagedfifo_pop(m, cs("a"), &ha, &sa), 1);
        EXPECT_EQ(live_items.load(), live0 + 4 - i);  // a's copy; the shared item stays for b
        ASSERT_EQ(pmtmanagedfifo_pop(m, cs("b"), &hb, &sb), 1);
        EXPECT_EQ(live_items.load(), live0 + 4 - i);  // b's copy; the shared item is gone
        EXPECT_EQ(sa, (unsigned long)i);
        EXPECT_EQ(sb, (unsigned long)i);
        EXPECT_NE(ha, hb);
        EXPECT_NE(ha->p, hb->p);
        EXPECT_EQ(item_n(ha), 100 + i);
        EXPECT_EQ(item_n(hb), 100 + i);
        free_hook(&ha);
        free_hook(&hb);
    }
    EXPECT_EQ(live_items.load(), live0);
    Hook *h = nullptr;
    EXPECT_EQ(pmtmanagedfifo_pop(m, cs("a"), &h, nullptr), 3);  // mode 0 and empty
    pmtmanagedfifo_destroy(m);
}

TEST(PmtmanagedfifoDelivery, LateConsumerGetsOnlyLaterItems) {
    std::string name = unique_name("late");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    pmtmanagedfifo_set_consumer(m, cs("early"), 0, 0);
    pmtmanagedfifo_push(m, make_item(0, 0), copy_item, 0);
    pmtmanagedfifo_push(m, make_item(0, 1), copy_item, 0);
    pmtmanagedfifo_set_consumer(m, cs("late"), 0, 0);
    pmtmanagedfifo_push(m, make_item(0, 2), copy_item, 0);
    Hook *h = nullptr;
    unsigned long seq = 0;
    ASSERT_EQ(pmtmanagedfifo_pop(m, cs("late"), &h, &seq), 1);
    EXPECT_EQ(seq, 2u);
    EXPECT_EQ(item_n(h), 2);
    free_hook(&h);
    EXPECT_EQ(pmtmanagedfifo_pop(m, cs("late"), &h, &seq), 3);
    EXPECT_EQ(pmtfifo_data_available(pmtmanagedfifo_get_consumer(m, cs("early"))), 3);
    long live0 = live_items.load();
    pmtmanagedfifo_destroy(m);  // releases the items still queued for "early"
    EXPECT_EQ(live_items.load(), live0 - 3);
}

TEST(PmtmanagedfifoDelivery, NoConsumerReleasesTheItem) {
    std::string name = unique_name("nobody");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    long live0 = live_items.load();
    EXPECT_EQ(pmtmanagedfifo_push(m, make_item(0, 0), copy_item, 0), 0);
    EXPECT_EQ(live_items.load(), live0);
    EXPECT_EQ(m->sequence, 1u);
    pmtmanagedfifo_destroy(m);
}

TEST(PmtmanagedfifoDelivery, FailuresAreReported) {
    std::string name = unique_name("fail");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    pmtmanagedfifo_set_consumer(m, cs("c"), 0, 0);
    Hook *h = make_item(0, 0);
    EXPECT_EQ(pmtmanagedfifo_push(m, h, nullptr, 0), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtmanagedfifo_push: Must provide copyproc callback for fifo '" + name + "'.\n");
    EXPECT_EQ(pmtmanagedfifo_push(m, h, failing_copy, 1), -1);
    EXPECT_EQ(rzvtest::messages().back(), "pmtmanagedfifo_push: copyproc() error for fifo '" + name + "'.\n");
    EXPECT_EQ(m->sequence, 0u);
    free_hook(&h);
    EXPECT_EQ(pmtmanagedfifo_set_consumer(m, cs("c"), 0, 0), nullptr);
    EXPECT_EQ(rzvtest::messages().back(),
              "pmtmanagedfifo_set_consumer: consumer name 'c' already in use in fifo '" + name + "'.\n");
    Hook *out = make_item(0, 0);
    Hook *keep = out;
    EXPECT_EQ(pmtmanagedfifo_pop(m, cs("zz"), &out, nullptr), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(rzvtest::messages().back(), "pmtmanagedfifo_pop: unknown consumer name 'zz' in fifo '" + name + "'.\n");
    free_hook(&keep);
    EXPECT_EQ(pmtmanagedfifo_get_consumer(nullptr, cs("c")), nullptr);
    EXPECT_EQ(pmtmanagedfifo_get_consumer(m, cs("zz")), nullptr);
    EXPECT_EQ(pmtmanagedfifo_push(nullptr, nullptr, copy_item, 0), 0);
    EXPECT_EQ(pmtmanagedfifo_pop(nullptr, cs("c"), &out, nullptr), 0);
    pmtmanagedfifo_destroy(m);
}

TEST(PmtmanagedfifoProducers, EndMarkerAfterTheLastProducer) {
    std::string name = unique_name("eof");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    pmtmanagedfifo_set_consumer(m, cs("a"), 0, 0);
    pmtmanagedfifo_set_consumer(m, cs("b"), 0, 0);
    EXPECT_EQ(pmtmanagedfifo_set_producer(m, cs("P1")), 0);
    EXPECT_EQ(pmtmanagedfifo_set_producer(m, cs("P2")), 0);
    EXPECT_EQ(pmtmanagedfifo_set_producer(m, cs("P2")), -1);
    EXPECT_EQ(rzvtest::messages().back(),
              "pmtmanagedfifo_set_producer: producer name 'P2' already in use in fifo '" + name + "'.\n");
    pmtmanagedfifo_push(m, make_item(1, 7), copy_item, 0);
    EXPECT_EQ(pmtmanagedfifo_push_eof(m, cs("P1")), 0);
    EXPECT_EQ(pmtfifo_data_available(pmtmanagedfifo_get_consumer(m, cs("a"))), 1);  // nothing delivered
    EXPECT_EQ(pmtmanagedfifo_push_eof(m, cs("never")), 0);  // unknown: P2 still active
    EXPECT_EQ(pmtfifo_data_available(pmtmanagedfifo_get_consumer(m, cs("a"))), 1);
    EXPECT_EQ(pmtmanagedfifo_push_eof(m, cs("P2")), 0);
    for (const char *c : {"a", "b"}) {
        Hook *h = nullptr;
        ASSERT_EQ(pmtmanagedfifo_pop(m, cs(c), &h, nullptr), 1);
        free_hook(&h);
        EXPECT_EQ(pmtmanagedfifo_pop(m, cs(c), &h, nullptr), 4);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(pmtmanagedfifo_pop(m, cs(c), &h, nullptr), 3);
    }
    // An ended producer may register again and is active once more.
    EXPECT_EQ(pmtmanagedfifo_set_producer(m, cs("P1")), 0);
    EXPECT_EQ(pmtmanagedfifo_push_eof(m, cs("P2")), 0);
    EXPECT_EQ(pmtfifo_data_available(pmtmanagedfifo_get_consumer(m, cs("a"))), 0);
    // Without a name the marker goes out at once.
    EXPECT_EQ(pmtmanagedfifo_push_eof(m, nullptr), 0);
    Hook *h = nullptr;
    EXPECT_EQ(pmtmanagedfifo_pop(m, cs("b"), &h, nullptr), 4);
    pmtmanagedfifo_destroy(m);  // the marker still queued for "a" holds nothing
}

TEST(PmtmanagedfifoProducers, EndMarkerWithoutProducersGoesOutAtOnce) {
    std::string name = unique_name("eof0");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    pmtmanagedfifo_set_consumer(m, cs("a"), 0, 0);
    EXPECT_EQ(pmtmanagedfifo_push_eof(m, cs("P1")), 0);  // no producer registered
    Hook *h = nullptr;
    EXPECT_EQ(pmtmanagedfifo_pop(m, cs("a"), &h, nullptr), 4);
    pmtmanagedfifo_destroy(m);
}

// A push waiting for room in a full consumer queue lets that consumer find
// its queue, pop and release its share, and lets every other consumer do
// the same and new consumers register.
TEST(PmtmanagedfifoBounded, WaitingPushDoesNotBlockConsumers) {
    Watchdog dog("WaitingPushDoesNotBlockConsumers");
    std::string name = unique_name("bounded");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    pmtmanagedfifo_set_consumer(m, cs("fast"), 0, 1);
    pmtmanagedfifo_set_consumer(m, cs("slow"), 1, 1);
    ASSERT_EQ(pmtmanagedfifo_push(m, make_item(0, 0), copy_item, 0), 0);  // fills "slow"
    std::atomic<bool> pushed{false};
    Sleeper s;
    std::thread producer([&] {
        s.mark();
        EXPECT_EQ(pmtmanagedfifo_push(m, make_item(0, 1), copy_item, 0), 0);
        EXPECT_EQ(pmtmanagedfifo_push(m, make_item(0, 2), copy_item, 0), 0);
        pushed = true;
    });
    ASSERT_TRUE(s.asleep());  // waiting for room in "slow"
    EXPECT_FALSE(pushed.load());
    // The other consumer works meanwhile.
    Hook *h = nullptr;
    unsigned long seq = 9;
    ASSERT_EQ(pmtmanagedfifo_pop(m, cs("fast"), &h, &seq), 1);
    EXPECT_EQ(seq, 0u);
    free_hook(&h);
    EXPECT_NE(pmtmanagedfifo_set_consumer(m, cs("newcomer"), 0, 0), nullptr);
    EXPECT_NE(pmtmanagedfifo_get_consumer(m, cs("slow")), nullptr);
    // The slow consumer pops in turn and the push proceeds.
    for (unsigned long want = 0; want < 3; want++) {
        ASSERT_EQ(pmtmanagedfifo_pop(m, cs("slow"), &h, &seq), 1);
        EXPECT_EQ(seq, want);
        free_hook(&h);
    }
    producer.join();
    EXPECT_TRUE(pushed.load());
    for (unsigned long want = 1; want < 3; want++) {
        ASSERT_EQ(pmtmanagedfifo_pop(m, cs("fast"), &h, &seq), 1);
        EXPECT_EQ(seq, want);
        free_hook(&h);
    }
    pmtmanagedfifo_destroy(m);
}

TEST(PmtmanagedfifoDisplay, FormsWithAndWithoutPrefix) {
    std::string name = unique_name("disp");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    pmtmanagedfifo_set_consumer(m, cs("zeta"), 0, 0);
    pmtmanagedfifo_set_consumer(m, cs("alpha"), 0, 0);
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    elog_set_stream(fp);
    pmtmanagedfifo_display(nullptr, m);
    pmtmanagedfifo_set_producer(m, cs("p1"));
    pmtmanagedfifo_push_eof(m, cs("p1"));  // ended producers are listed too
    pmtmanagedfifo_display(cs(">> "), m);
    elog_set_stream(nullptr);
    rewind(fp);
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, fp)) out += buf;
    fclose(fp);
    auto f12 = [](const char *s) {
        char b[96];
        snprintf(b, sizeof b, "%12s", s);
        return std::string(b);
    };
    const std::string pad(13, ' ');
    std::string n12 = f12(name.c_str());
    std::string expect = n12 + " Consumers:\n" + pad + f12("alpha") + "\n" + pad + f12("zeta") + "\n" +  //
                         ">> " + n12 + " Consumers:\n" + ">> " + pad + f12("alpha") + "\n" + ">> " + pad +
                         f12("zeta") + "\n" + ">> " + n12 + " Producers:\n" + ">> " + pad + f12("p1") + "\n";
    EXPECT_EQ(out, expect);
    pmtmanagedfifo_destroy(m);
}

// Any block mode is passed on to the consumer's queue as given (a queue that
// cannot be made is covered with the allocation failure tests).
TEST(PmtmanagedfifoDelivery, AnyBlockModeReachesTheConsumerQueue) {
    std::string name = unique_name("qmode");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    Pmtfifo *q = pmtmanagedfifo_set_consumer(m, cs("c"), 0, 7);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->block, 7);
    EXPECT_EQ(pmtmanagedfifo_get_consumer(m, cs("c")), q);
    EXPECT_EQ(pmtmanagedfifo_set_consumer(m, cs("c"), 0, 0), nullptr);  // taken now
    pmtmanagedfifo_destroy(m);
}

// Without a FIFO every registered one is shown, in name order.
TEST(PmtmanagedfifoDisplay, EveryFifoInNameOrder) {
    std::string b = "zz_disp_b" + unique_name(""), a = "zz_disp_a" + unique_name("");
    Pmtmanagedfifo *mb = pmtmanagedfifo_create(cs(b.c_str()));
    Pmtmanagedfifo *ma = pmtmanagedfifo_create(cs(a.c_str()));
    pmtmanagedfifo_set_consumer(mb, cs("cb"), 0, 0);
    pmtmanagedfifo_set_consumer(ma, cs("ca"), 0, 0);
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    elog_set_stream(fp);
    EXPECT_EQ(pmtmanagedfifo_display(cs("# "), nullptr), 0);
    elog_set_stream(nullptr);
    rewind(fp);
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, fp)) out += buf;
    fclose(fp);
    auto f12 = [](const std::string &v) {
        char t[96];
        snprintf(t, sizeof t, "%12s", v.c_str());
        return std::string(t);
    };
    const std::string head_a = "# " + f12(a) + " Consumers:\n", head_b = "# " + f12(b) + " Consumers:\n";
    size_t at_a = out.find(head_a), at_b = out.find(head_b);
    ASSERT_NE(at_a, std::string::npos) << out;
    ASSERT_NE(at_b, std::string::npos) << out;
    EXPECT_LT(at_a, at_b);
    EXPECT_NE(out.find(head_a + "# " + std::string(13, ' ') + f12("ca") + "\n" + head_b), std::string::npos) << out;
    pmtmanagedfifo_destroy(ma);
    pmtmanagedfifo_destroy(mb);
}

// ---------------------------------------------------------------- stress

// Producers push concurrently into one FIFO with bounded, unbounded and
// timed consumer queues while new consumers join; every consumer must get
// each item pushed after it joined exactly once, in sequence order, and
// every shared item must be released.
TEST(PmtmanagedfifoStress, FanOutWithLateConsumers) {
    Watchdog dog("FanOutWithLateConsumers");
    const int producers = 3, per_producer = 3000;
    std::string name = unique_name("stress");
    Pmtmanagedfifo *m = pmtmanagedfifo_create(cs(name.c_str()));
    long live0 = live_items.load();

    struct Got {
        std::vector<unsigned long> seqs;
        std::vector<Item> items;
        std::string error;
    };
    const int consumers = 6;  // 4 from the start, 2 join during the pushes
    std::vector<Got> got(consumers);
    auto consume = [&](int c) {
        std::string cname = "c" + std::to_string(c);
        for (;;) {
            Hook *h = nullptr;
            unsigned long seq;
            int r = pmtmanagedfifo_pop(m, cs(cname.c_str()), &h, &seq);
            if (r == 4) return;
            if (r == 1) {
                got[c].seqs.push_back(seq);
                got[c].items.push_back(*static_cast<Item *>(h->p));
                free_hook(&h);
            } else if (r != 0 && r != 2) {
                got[c].error = "pop result " + std::to_string(r);
                return;
            }
        }
    };
    auto add_consumer = [&](int c) {
        std::string cname = "c" + std::to_string(c);
        int maxqueue = (c % 2) ? 3 : 0;
        int block = (c % 3 == 2) ? 2 : 1;
        Pmtfifo *q = pmtmanagedfifo_set_consumer(m, cs(cname.c_str()), maxqueue, block);
        ASSERT_NE(q, nullptr);
        if (block == 2) pmtfifo_set_timeout(q, 0.0005);
    };
    for (int c = 0; c < 4; c++) add_consumer(c);
    for (int p = 0; p < producers; p++) ASSERT_EQ(pmtmanagedfifo_set_producer(m, cs(("p" + std::to_string(p)).c_str())), 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < 4; c++) threads.emplace_back(consume, c);
    std::vector<std::thread> ps;
    std::atomic<int> pushes{0};
    std::atomic<bool> all_joined{false};
    for (int p = 0; p < producers; p++)
        ps.emplace_back([&, p] {
            for (int n = 0; n < per_producer; n++) {
                ASSERT_EQ(pmtmanagedfifo_push(m, make_item(p, n), copy_item, 0), 0);
                pushes++;
            }
            // The late consumers must be in before the last end is announced.
            while (!all_joined.load()) std::this_thread::sleep_for(1ms);
            ASSERT_EQ(pmtmanagedfifo_push_eof(m, cs(("p" + std::to_string(p)).c_str())), 0);
        });
    for (int c = 4; c < consumers; c++) {
        while (pushes.load() < 1500 * (c - 3)) std::this_thread::sleep_for(200us);
        add_consumer(c);
        threads.emplace_back(consume, c);
    }
    all_joined = true;
    // Release requests reach the consumers while they wait (they pop again),
    // looked up while pushes wait for room.
    std::atomic<bool> pushes_done{false};
    std::thread releaser([&] {
        for (int i = 0; !pushes_done.load(); i++) {
            std::string cname = "c" + std::to_string(i % consumers);
            pmtfifo_release_block(pmtmanagedfifo_get_consumer(m, cs(cname.c_str())));
            std::this_thread::sleep_for(300us);
        }
    });
    for (auto &t : ps) t.join();
    pushes_done = true;
    releaser.join();
    for (auto &t : threads) t.join();

    const unsigned long total = (unsigned long)producers * per_producer;
    for (int c = 0; c < consumers; c++) {
        const Got &g = got[c];
        ASSERT_EQ(g.error, "") << "consumer " << c;
        ASSERT_FALSE(g.seqs.empty()) << "consumer " << c;
        // A contiguous run of numbers up to the last item.
        unsigned long first = g.seqs.front();
        if (c < 4) {
            EXPECT_EQ(first, 0u);
        }
        ASSERT_EQ(g.seqs.size(), total - first) << "consumer " << c;
        std::vector<int> last(producers, -1);
        for (size_t i = 0; i < g.seqs.size(); i++) {
            ASSERT_EQ(g.seqs[i], first + i) << "consumer " << c;
            const Item &it = g.items[i];
            if (c < 4) {
                ASSERT_EQ(it.n, last[it.producer] + 1) << "consumer " << c;
            }
            ASSERT_GT(it.n, last[it.producer]) << "consumer " << c;
            last[it.producer] = it.n;
        }
        for (int p = 0; p < producers; p++) EXPECT_EQ(last[p], per_producer - 1) << "consumer " << c;
    }
    EXPECT_EQ(live_items.load(), live0);  // every shared item released
    pmtmanagedfifo_destroy(m);
}

}  // namespace
