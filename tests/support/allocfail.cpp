// The countdown behind the test-only allocation failure hook (allocfail.h).
// The interposed allocation functions live in allocfail_interpose.h.

#include "allocfail.h"

namespace rzvtest {

namespace {

// Thread-local and in the initial-exec model: reading them never allocates,
// which matters inside malloc.
struct State {
    bool armed;
    bool fired;
    long target;  // the allocation number that fails; 0: none
    long count;
    long live;
};
__attribute__((tls_model("initial-exec"))) thread_local State state = {false, false, 0, 0, 0};

}  // namespace

void allocfail_arm(long n) {
    state.fired = false;
    state.target = n > 0 ? n : 0;
    state.count = 0;
    state.live = 0;
    state.armed = true;
}

void allocfail_disarm() { state.armed = false; }

bool allocfail_fired() { return state.fired; }

long allocfail_count() { return state.count; }

long allocfail_live() { return state.live; }

AllocSweep allocfail_sweep(const std::function<void()> &op, const std::function<void(long, bool)> &check,
                           long max_points) {
    AllocSweep s;
    allocfail_arm(0);
    op();
    allocfail_disarm();
    s.points = allocfail_count();
    if (max_points > 0 && s.points > max_points) s.points = max_points;
    for (long n = 1; n <= s.points; n++) {
        allocfail_arm(n);
        op();
        allocfail_disarm();
        bool fired = allocfail_fired();
        if (fired) s.fired++;
        check(n, fired);
    }
    return s;
}

namespace allocfail_detail {

RZV_ALLOCFAIL_RAW bool take() {
    State &s = state;
    if (!s.armed) return false;
    s.count++;
    if (s.target && s.count == s.target) {
        s.fired = true;
        return true;
    }
    return false;
}

RZV_ALLOCFAIL_RAW void note_alloc() {
    if (state.armed) state.live++;
}

RZV_ALLOCFAIL_RAW void note_free() {
    if (state.armed) state.live--;
}

}  // namespace allocfail_detail

}  // namespace rzvtest
