// The allocation-failure sweep of the test programs that walk every
// allocation of an engine or family operation (allocfail.h): runs the
// operation plainly, counts its allocations, then makes each one fail in
// turn and checks that the failure came back as the operation's failure
// result with a message, gave back what it took (the hook's count of live
// blocks; LeakSanitizer in the sanitized build) and left nothing changed,
// or that a success which absorbed the failure built its whole result.
// Each sweep prints its figures ("allocation failures, NAME  P points,
// F failed, C clean (A absorbed)").
//
// The program including this must also include allocfail_interpose.h in
// exactly one of its files.
#ifndef RZV_TEST_ALLOCSWEEP_H
#define RZV_TEST_ALLOCSWEEP_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "allocfail.h"
#include "stock.h"

namespace rzvtest {
namespace allocsweep {

using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;

// The first message of the register, taken without allocating.
struct Seen {
    int count = 0;
    char first[200] = "";
    void take() {
        count = elog_count();
        first[0] = '\0';
        if (count > 0) snprintf(first, sizeof first, "%s", elog_message(0));
    }
};

// Lets the error register grow once, so its own storage does not count as
// left behind by an operation.
inline void warm_register() {
    for (int i = 0; i < 64; i++) elog_log(0, "warm-up message %d.\n", i);
    elog_clear_register(0);
}

// One operation under the hook.  prepare runs disarmed before every run
// (a fresh table for operations that change one); run, whole and undo run
// armed; changed runs disarmed after a failed run.
struct Op {
    std::string name;
    std::function<void()> prepare = nullptr;
    std::function<bool()> run;                  // true on success
    std::function<bool()> whole = nullptr;      // a success is complete
    std::function<void()> undo = nullptr;       // frees a success
    std::function<bool()> changed = nullptr;    // a failure left something changed
    std::string changed_what = "something was left behind";  // how a failure report says so
};

struct Figures {
    long points = 0, fired = 0, clean = 0, absorbed = 0;
};

inline Figures sweep(const Op &o, long max_points = 0) {
    warm_register();
    bool ok = false, complete = true, threw = false, fired = false;
    Seen seen;
    long live = 0, run_count = 0;
    auto op = [&](long n) {
        if (o.prepare) o.prepare();
        elog_clear_register(0);
        allocfail_arm(n);
        threw = false;
        complete = true;
        try {
            ok = o.run();
        } catch (...) {
            ok = false;
            threw = true;
        }
        // The failure points are the run's own allocations, not the
        // checks' (which never see a failure once the run has had it).
        fired = rzvtest::allocfail_fired();
        run_count = rzvtest::allocfail_count();
        seen.take();
        if (ok) {
            try {
                if (o.whole) complete = o.whole();
                if (o.undo) o.undo();
            } catch (...) {
                complete = false;
            }
        }
        elog_clear_register(0);  // armed: the messages' storage comes back in the run
        allocfail_disarm();
        live = rzvtest::allocfail_live();
    };
    // The first runs set up what the engine and the families keep for good
    // (caches, registries that grow once); the third is the one counted,
    // and its balance is the bound for every other run.
    op(-1);
    EXPECT_TRUE(ok) << o.name << ": the plain run fails: " << seen.first;
    op(-1);
    op(0);
    EXPECT_TRUE(ok) << o.name << ": the counted run fails: " << seen.first;
    Figures f;
    f.points = run_count;
    long bound = std::max(live, 0L);
    long last = max_points > 0 ? std::min(max_points, f.points) : f.points;
    int shown = 0;
    for (long n = 1; n <= last; n++) {
        op(n);
        if (!fired) continue;
        f.fired++;
        std::string why;
        if (live > bound) why += " " + std::to_string(live - bound) + " blocks stayed taken;";
        if (ok) {
            f.absorbed++;
            if (!complete) why += " the call succeeded with an incomplete result;";
        } else {
            if (threw) why += " an exception escaped;";
            if (seen.count == 0) why += " no message;";
            bool left = o.changed && o.changed();
            elog_clear_register(0);
            if (left) why += " " + o.changed_what + ";";
        }
        if (why.empty())
            f.clean++;
        else if (shown++ < 8)
            ADD_FAILURE() << o.name << ": allocation " << n << ":" << why << " (" << seen.first << ")";
    }
    // Nothing half-made blocks the next call.
    op(-1);
    EXPECT_TRUE(ok) << o.name << ": the call after the sweep fails: " << seen.first;
    printf("allocation failures, %-44s %4ld points, %4ld failed, %4ld clean (%ld absorbed)\n", o.name.c_str(),
           f.points, f.fired, f.clean, f.absorbed);
    fflush(stdout);
    return f;
}

inline void expect_all_clean(const Figures &f) {
    EXPECT_GT(f.points, 0);
    EXPECT_EQ(f.fired, f.points);
    EXPECT_EQ(f.clean, f.fired);
}

}  // namespace allocsweep
}  // namespace rzvtest

#endif
