// The process-wide cache of compiled patterns under threads: patterns
// compiled and evicted by some threads while others still match with a
// pattern taken from the cache, strmatches hooks made per thread, and one
// hook read by several threads at once (as station-channel filters are).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "regex_pvt.h"
#include "rzvtest.h"
#include "stock.h"
#include "threadtest.h"

namespace {

const bool guarded = rzvtest::bound_every_test(std::chrono::seconds(120));

// A pattern of its own for every i, matching exactly "S<i>" followed by
// one or more "Z".
std::string pattern_of(int i) { return "S" + std::to_string(i) + "Z+"; }

// A pattern held by one thread stays usable while other threads push it
// out of the cache many times over.
TEST(RegexCacheThreads, HeldPatternOutlivesItsEviction) {
    hostkit::WholeRegex held;
    ASSERT_EQ(held.compile("HELD(A|B)*", nullptr), hostkit::REGEX_OK);
    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0};
    std::thread matcher([&] {
        const std::string yes = "HELDABBA", no = "HELDC";
        while (!stop.load()) {
            if (!held.match(yes.data(), yes.size()) || held.match(no.data(), no.size())) wrong++;
        }
    });
    std::vector<std::thread> churn;
    for (int t = 0; t < 3; t++) {
        churn.emplace_back([&, t] {
            for (int i = 0; i < 3 * (int)hostkit::kRegexCacheSize; i++) {
                int k = t * 1000 + i;
                hostkit::WholeRegex re;
                if (re.compile(pattern_of(k).c_str(), nullptr) != hostkit::REGEX_OK) {
                    wrong++;
                    continue;
                }
                std::string yes = "S" + std::to_string(k) + "ZZ", no = "S" + std::to_string(k) + "Y";
                if (!re.match(yes.data(), yes.size()) || re.match(no.data(), no.size())) wrong++;
                // the same text again: from the cache, or compiled afresh
                hostkit::WholeRegex again;
                if (again.compile(pattern_of(k).c_str(), nullptr) != hostkit::REGEX_OK ||
                    !again.match(yes.data(), yes.size()))
                    wrong++;
            }
        });
    }
    for (auto &c : churn) c.join();
    stop = true;
    matcher.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(hostkit::regex_cache_count(), hostkit::kRegexCacheSize);
    // the held pattern was evicted long ago and still matches
    std::string yes = "HELDB";
    EXPECT_TRUE(held.match(yes.data(), yes.size()));
}

// strmatches from many threads, each with hooks of its own and without a
// hook, on patterns shared through the cache and patterns of their own.
TEST(RegexCacheThreads, StrmatchesWithOwnHooksAndWithout) {
    std::atomic<long> wrong{0};
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++) {
        th.emplace_back([&, t] {
            Hook *shared_pattern = nullptr, *own_pattern = nullptr;
            for (int i = 0; i < 400; i++) {
                if (strmatches("BHZ", "BH.", &shared_pattern) != 1) wrong++;
                if (strmatches("LHZ", "BH.", &shared_pattern) != 0) wrong++;
                std::string own = pattern_of(100000 + t * 1000 + i % 90);
                std::string s = "S" + std::to_string(100000 + t * 1000 + i % 90) + "Z";
                if (strmatches(s.c_str(), own.c_str(), &own_pattern) != 1) wrong++;
                if (strmatches(s.c_str(), own.c_str(), nullptr) != 1) wrong++;
                if (strmatches("x", own.c_str(), nullptr) != 0) wrong++;
            }
            free_hook(&shared_pattern);
            free_hook(&own_pattern);
        });
    }
    for (auto &x : th) x.join();
    EXPECT_EQ(wrong.load(), 0) << rzvtest::all_messages();
}

// A hook made once and then only read by several threads (the pattern never
// changes): every thread gets the right answers, and the hook is unchanged.
TEST(RegexCacheThreads, OneHookReadByManyThreads) {
    Hook *hook = nullptr;
    const char *pat = "AB[C-E]+_.*";
    ASSERT_EQ(strmatches("ABC_x", pat, &hook), 1);
    Hook *made = hook;
    std::atomic<long> wrong{0};
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++) {
        th.emplace_back([&, t] {
            // a copy of the text, as a filter list keeps its own
            std::string mine = pat;
            for (int i = 0; i < 2000; i++) {
                if (strmatches("ABDE_y", mine.c_str(), &hook) != 1) wrong++;
                if (strmatches("ABF_y", mine.c_str(), &hook) != 0) wrong++;
                // other patterns churn the cache meanwhile
                if (i % 50 == 0) {
                    std::string p = pattern_of(200000 + t * 1000 + i);
                    if (strmatches("nope", p.c_str(), nullptr) != 0) wrong++;
                }
            }
        });
    }
    for (auto &x : th) x.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(hook, made);
    free_hook(&hook);
}

}  // namespace
