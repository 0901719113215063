// common.cpp -- the helpers every velk command uses: time arguments, JSON
// text, whole-file writes and the progress bar.
#include "velk.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "stock.h"

namespace velk {

std::string strprintf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char small[256];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string out;
    if (n < 0) {
        va_end(ap);
        return out;
    }
    if ((size_t)n < sizeof small) {
        out.assign(small, (size_t)n);
    } else {
        out.resize((size_t)n + 1);
        vsnprintf(&out[0], out.size(), fmt, ap);
        out.resize((size_t)n);
    }
    va_end(ap);
    return out;
}

double parse_time(const std::string &text, const char *what) {
    double t = 0;
    int mark = elog_mark();
    if (text.empty() || zstr2epoch_r(text.c_str(), &t) < 0 || !std::isfinite(t)) {
        elog_flush(0, mark);
        throw UsageError(strprintf("%s '%s' is not a time (epoch seconds, \"YYYY-MM-DD hh:mm:ss\", "
                                   "\"YYYYDDD hh:mm:ss\", \"now\", ...)",
                                   what, text.c_str()));
    }
    return t;
}

std::string format_time(double epoch) {
    char buf[64];
    return strtime_r(epoch, buf, sizeof buf);
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            // Bytes outside printable ASCII are escaped one by one, so text
            // that is not UTF-8 (a field user's table) still gives valid JSON.
            if (c < 0x20 || c >= 0x7f)
                out += strprintf("\\u%04x", c);
            else
                out += (char)c;
        }
    }
    return out + "\"";
}

std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    if (v == std::floor(v) && std::fabs(v) < 1e15) return strprintf("%.0f", v);
    return strprintf("%.15g", v);
}

bool write_file(const std::string &path, const std::string &text) {
    FILE *fp = fopen(path.c_str(), "w");
    if (!fp) {
        elog_log(1, "cannot open %s for writing\n", path.c_str());
        return false;
    }
    size_t n = fwrite(text.data(), 1, text.size(), fp);
    bool ok = n == text.size();
    if (fclose(fp) != 0) ok = false;
    if (!ok) elog_log(1, "cannot write %s\n", path.c_str());
    return ok;
}

void check_sta_chan(const std::string &sta, const std::string &chan) {
    auto bad = [](const std::string &s, size_t width) {
        if (s.empty() || s.size() > width) return true;
        for (unsigned char c : s)
            if (c <= ' ' || c >= 0x7f) return true;
        return false;
    };
    if (bad(sta, 6)) throw UsageError("station '" + sta + "' is not a station name (1 to 6 characters, no blanks)");
    if (bad(chan, 8)) throw UsageError("channel '" + chan + "' is not a channel name (1 to 8 characters, no blanks)");
}

Progress::Progress(const std::string &label, long total)
    : label_(label), total_(total), start_(std_now()), tty_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    if (drawn_) {
        fprintf(stderr, "\r%*s\r", (int)label_.size() + 60, "");
        fflush(stderr);
    }
}

void Progress::update(long done) {
    if (!tty_ || total_ <= 0) return;
    if (!drawn_ && std_now() - start_ < 1.0) return;
    int percent = (int)(100.0 * (double)(done < 0 ? 0 : done > total_ ? total_ : done) / (double)total_);
    if (percent == last_percent_) return;
    last_percent_ = percent;
    drawn_ = true;
    const int width = 40;
    int fill = percent * width / 100;
    fprintf(stderr, "\r%s [%.*s%*s] %3d%% (%ld/%ld)", label_.c_str(), fill, "########################################",
            width - fill, "", percent, done, total_);
    fflush(stderr);
}

struct Busy::State {
    std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    bool drawn = false;
    std::thread thread;
};

Busy::Busy(const std::string &label) : state_(nullptr) {
    if (isatty(STDERR_FILENO) != 1) return;
    state_ = new State;
    state_->label = label;
    State *st = state_;
    st->thread = std::thread([st] {
        double start = std_now();
        std::unique_lock<std::mutex> lock(st->mutex);
        if (st->wake.wait_for(lock, std::chrono::seconds(1), [st] { return st->done; })) return;
        while (!st->done) {
            fprintf(stderr, "\r%s ... %.0f s", st->label.c_str(), std_now() - start);
            fflush(stderr);
            st->drawn = true;
            st->wake.wait_for(lock, std::chrono::milliseconds(500), [st] { return st->done; });
        }
    });
}

Busy::~Busy() {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->done = true;
    }
    state_->wake.notify_all();
    state_->thread.join();
    if (state_->drawn) {
        fprintf(stderr, "\r%*s\r", (int)state_->label.size() + 16, "");
        fflush(stderr);
    }
    delete state_;
}

}  // namespace velk
