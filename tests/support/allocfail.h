// Test-only allocation failure: makes the n-th allocation of the calling
// thread fail, so that a test can walk every allocation of an operation and
// check that each failure is reported, leaks nothing and leaves nothing
// half-made behind.
//
// Use:
//   1. In exactly one source file of the test program, include
//      "allocfail_interpose.h".  It defines malloc, calloc, realloc, free,
//      strdup, strndup and the replaceable operator new/delete forms for the
//      whole program (the library's calls included), forwarding to the next
//      definition (the C library, or the sanitizer runtime in a sanitized
//      build) with dlsym(RTLD_NEXT, ...).  Programs that do not include it
//      allocate as usual.
//   2. Arm, run, disarm:
//        rzvtest::allocfail_arm(n);      // the n-th allocation from now fails
//        void *obj = family_create(...);
//        rzvtest::allocfail_disarm();
//        bool failed = rzvtest::allocfail_fired();
//      Only allocations made by the arming thread count; one allocation fails
//      (malloc, calloc, realloc and strdup give null with errno ENOMEM,
//      operator new throws std::bad_alloc, its nothrow form gives null) and
//      the rest succeed as usual.
//   3. Or let allocfail_sweep() do the loop: it runs the operation once
//      unarmed (counting its allocations), then once for every n in turn,
//      and calls the check after each run.
//
// While armed the hook also counts the thread's allocations and frees, so
// allocfail_live() tells a test whether an operation that failed gave back
// everything it took (frees of blocks taken earlier count too: compare
// against an operation whose successful run is balanced).
//
// Off by default: with nothing armed every call goes straight through.
#ifndef RZV_TEST_ALLOCFAIL_H
#define RZV_TEST_ALLOCFAIL_H

#include <functional>

namespace rzvtest {

// The n-th allocation (1 = the next) of this thread fails; n <= 0 arms
// counting only.  Resets the counts.
void allocfail_arm(long n);
// Stops failing and counting; the counts stay readable.
void allocfail_disarm();
// True when the armed failure happened.
bool allocfail_fired();
// Allocations counted since allocfail_arm.
long allocfail_count();
// Allocations minus frees of this thread since allocfail_arm.
long allocfail_live();

struct AllocSweep {
    long points = 0;  // allocations of the unarmed run: the failure points tried
    long fired = 0;   // runs in which the failure happened
};

// Runs op() once with counting only, then with allocation n failing for
// n = 1 .. points; after every armed run calls check(n, fired) (fired: the
// n-th allocation did fail) with the hook disarmed.  Stops at max_points
// when that is positive.
AllocSweep allocfail_sweep(const std::function<void()> &op, const std::function<void(long n, bool fired)> &check,
                           long max_points = 0);

// Allocation hooks run before the sanitizer runtime has set itself up: they
// are left uninstrumented.
#define RZV_ALLOCFAIL_RAW __attribute__((no_sanitize("address", "thread", "undefined")))

namespace allocfail_detail {
// Called by the interposed functions: true when this allocation must fail.
RZV_ALLOCFAIL_RAW bool take();
// Book-keeping of live blocks while armed.
RZV_ALLOCFAIL_RAW void note_alloc();
RZV_ALLOCFAIL_RAW void note_free();
}  // namespace allocfail_detail

}  // namespace rzvtest

#endif
