// serve_notices.h -- the notices that "velk serve" pushes to its pages
// (server-sent events): a numbered list of the latest notices that any
// thread may post to without waiting on a reader, and that each page's
// stream reads from where it left off.
#ifndef VELK_SERVE_NOTICES_H
#define VELK_SERVE_NOTICES_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace velk {

class Notices {
public:
    // Adds a notice (one line of JSON) numbered one above the last and wakes
    // the readers.  Only the latest `keep` notices are kept.  Never waits on
    // anything but the list's own short lock.
    void post(const std::string &json);

    // Waits up to `seconds` for a notice numbered above *seq, or for close.
    // Fills *out with the events text ("id: N\ndata: ...\n\n" per notice,
    // oldest first) of every notice above *seq that is still kept and moves
    // *seq to the last one.  False once the list is closed.
    bool wait(long *seq, double seconds, std::string *out);

    // The number of the latest notice (0 before the first).
    long last() const;

    // Wakes every reader for good: wait returns false from now on.
    void close();

private:
    static constexpr size_t keep = 64;
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::string> list_;  // notices last_-list_.size()+1 .. last_
    long last_ = 0;
    bool closed_ = false;
};

}  // namespace velk

#endif
