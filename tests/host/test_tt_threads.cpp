// Travel times of phases named by their legs from several threads at once:
// the shared model tables are made once, whoever asks first, and every
// thread's hook gives the answers one thread alone gets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "stock.h"
#include "threadtest.h"
#include "tt.h"

namespace {

const bool guarded = rzvtest::bound_every_test(std::chrono::seconds(120));

const char *const LIST = "sP,PP,SKKS,PKiKP,ScSScS,pPdiff,P,PKPPKP,PcS";

// Times of every arrival of LIST at a few depths and distances.
std::vector<double> sweep(const char *model, Hook **hook) {
    std::vector<double> out;
    TTGeometry g = {};
    for (double z : {15.0, 300.0})
        for (double deg : {20.0, 70.0, 125.0}) {
            g.source.z = z;
            g.receiver.lon = deg;
            Tbl *t = nullptr;
            if (ttcalc(nullptr, model, LIST, TT_ALL, &g, &t, hook) != 0) {
                out.push_back(-1);
                continue;
            }
            for (long i = 0; i < maxtbl(t); i++) out.push_back(((TTTime *)gettbl(t, i))->value);
            freetbl(t, nullptr);
        }
    return out;
}

TEST(TravelTimeThreads, FirstUseFromManyThreadsAgrees) {
    ASSERT_TRUE(guarded);
    std::vector<std::vector<double>> got(6);
    {
        rzvtest::Watchdog dog("travel-time threads");
        std::vector<std::thread> th;
        for (int i = 0; i < 6; i++)
            th.emplace_back([i, &got] {
                Hook *h = nullptr;
                got[i] = sweep(i % 2 ? "ak135" : "iasp91", &h);
                free_hook(&h);
            });
        for (std::thread &t : th) t.join();
    }
    Hook *h = nullptr;
    std::vector<double> iasp = sweep("iasp91", &h), ak = sweep("ak135", &h);
    free_hook(&h);
    ASSERT_GT(iasp.size(), 20u);
    for (int i = 0; i < 6; i++) EXPECT_EQ(got[i], i % 2 ? ak : iasp) << i;
}

}  // namespace
