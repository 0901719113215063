// serve_notices.cpp -- the numbered notice list of the server's pages.
#include "serve_notices.h"

#include <algorithm>
#include <chrono>

namespace velk {

void Notices::post(const std::string &json) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        list_.push_back(json);
        if (list_.size() > keep) list_.pop_front();
        last_++;
    }
    cond_.notify_all();
}

bool Notices::wait(long *seq, double seconds, std::string *out) {
    out->clear();
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return closed_ || last_ > *seq; });
    if (closed_) return false;
    if (last_ <= *seq) return true;
    long first = last_ - (long)list_.size() + 1;
    for (long n = std::max(first, *seq + 1); n <= last_; n++)
        *out += "id: " + std::to_string(n) + "\ndata: " + list_[(size_t)(n - first)] + "\n\n";
    *seq = last_;
    return true;
}

long Notices::last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
}

void Notices::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    cond_.notify_all();
}

}  // namespace velk
