#include "threadtest.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace rzvtest {

Watchdog::Watchdog(const char *what, std::chrono::seconds limit)
    : what_(what), thread_([this, limit] {
          std::unique_lock<std::mutex> lk(m_);
          if (!cv_.wait_for(lk, limit, [this] { return done_; })) {
              fprintf(stderr, "watchdog: '%s' is stuck\n", what_);
              fflush(stderr);
              std::abort();
          }
      }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lk(m_);
        done_ = true;
    }
    cv_.notify_one();
    thread_.join();
}

namespace {
class HangGuard : public ::testing::EmptyTestEventListener {
public:
    explicit HangGuard(std::chrono::seconds limit) : limit_(limit) {}

private:
    std::chrono::seconds limit_;
    std::string name_;
    std::unique_ptr<Watchdog> dog_;
    void OnTestStart(const ::testing::TestInfo &info) override {
        name_ = std::string(info.test_suite_name()) + "." + info.name();
        dog_.reset(new Watchdog(name_.c_str(), limit_));
    }
    void OnTestEnd(const ::testing::TestInfo &) override { dog_.reset(); }
};
}  // namespace

bool bound_every_test(std::chrono::seconds limit) {
    ::testing::UnitTest::GetInstance()->listeners().Append(new HangGuard(limit));
    return true;
}

void Sleeper::mark() { tid = (long)syscall(SYS_gettid); }

bool Sleeper::asleep() const {
    for (int i = 0; i < 5000; i++) {
        long t = tid.load();
        if (t) {
            std::ifstream in("/proc/self/task/" + std::to_string(t) + "/stat");
            std::string line;
            std::getline(in, line);
            size_t close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S') return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace rzvtest
