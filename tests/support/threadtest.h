// Fixtures for tests of threaded code: a watchdog that fails the run instead
// of letting a stuck thread hang it, a time limit on every test of a program,
// and a way to tell that a thread has gone to sleep in a wait.
#ifndef RZV_THREADTEST_H
#define RZV_THREADTEST_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace rzvtest {

// Aborts the program with a message naming `what` unless destroyed within
// `limit`.
class Watchdog {
public:
    explicit Watchdog(const char *what, std::chrono::seconds limit = std::chrono::seconds(90));
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    const char *what_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// Puts every test of the program under a watchdog of `limit`, so that a lost
// wake-up fails with the test's name.  Call once, from a static initialiser:
//     const bool guarded = rzvtest::bound_every_test(std::chrono::seconds(120));
bool bound_every_test(std::chrono::seconds limit);

// A thread about to wait publishes its kernel thread id with mark(); asleep()
// then tells when it sleeps (in tests where the wait under test is the only
// place it can), giving up after about five seconds.
struct Sleeper {
    std::atomic<long> tid{0};
    void mark();
    bool asleep() const;
};

}  // namespace rzvtest

#endif
