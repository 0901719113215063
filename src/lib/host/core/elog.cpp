// The error log: one register of messages per thread, so that threads never
// see each other's failures.  The printing calls write the register and their
// own message to the log stream (standard error unless set otherwise).

#include "stock.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <deque>

namespace {

struct Message {
    std::string text;
    std::string syserr;
    int flag;
};

// A deque, so that the text elog_message handed out stays where it is while
// later messages are appended (a vector would move short strings).
thread_local std::deque<Message> tl_register;
std::atomic<FILE *> g_stream{nullptr};
std::atomic<int> g_verbose{0};
std::mutex g_print_mutex;  // whole messages from different threads never interleave

FILE *stream() {
    FILE *fp = g_stream.load();
    return fp ? fp : stderr;
}

std::string format(const char *fmt, va_list ap) {
    if (!fmt) return std::string();
    va_list ap2;
    va_copy(ap2, ap);
    char small[512];
    int n = vsnprintf(small, sizeof small, fmt, ap2);
    va_end(ap2);
    if (n < 0) return std::string(fmt);
    if ((size_t)n < sizeof small) return std::string(small, (size_t)n);
    std::string s((size_t)n + 1, '\0');
    vsnprintf(&s[0], s.size(), fmt, ap);
    s.resize((size_t)n);
    return s;
}

Message make(int flag, const char *fmt, va_list ap) {
    int saved = errno;
    Message m{format(fmt, ap), std::string(), flag};
    if (flag == 1 && saved != 0) m.syserr = strerror(saved);
    errno = saved;
    return m;
}

void print_one(FILE *fp, const Message &m) {
    fputs(m.text.c_str(), fp);
    if (!m.syserr.empty()) {
        // Put the system's reason on the message's own line.
        bool nl = !m.text.empty() && m.text.back() == '\n';
        if (nl) fputs("    (", fp); else fputs(" (", fp);
        fputs(m.syserr.c_str(), fp);
        fputs(")\n", fp);
    } else if (!m.text.empty() && m.text.back() != '\n') {
        fputc('\n', fp);
    }
}

void print_register_and(const Message *extra) {
    std::lock_guard<std::mutex> lock(g_print_mutex);
    FILE *fp = stream();
    for (const Message &m : tl_register) print_one(fp, m);
    tl_register.clear();
    if (extra) print_one(fp, *extra);
    fflush(fp);
}

// Prints a message when memory ran out while it was being made: the text
// formatted on the stack (cut at 511 bytes), after the register when asked.
void print_without_memory(bool with_register, int flag, const char *fmt, va_list ap) {
    int saved = errno;
    char text[512] = "";
    if (fmt) vsnprintf(text, sizeof text, fmt, ap);
    std::lock_guard<std::mutex> lock(g_print_mutex);
    FILE *fp = stream();
    if (with_register) {
        for (const Message &m : tl_register) print_one(fp, m);
        tl_register.clear();
    }
    fputs(text, fp);
    size_t n = strlen(text);
    if (flag == 1 && saved != 0) fprintf(fp, "%s(%s)\n", n && text[n - 1] == '\n' ? "    " : " ", strerror(saved));
    else if (n && text[n - 1] != '\n') fputc('\n', fp);
    fflush(fp);
}

// Prints a new message (after the register when asked).  Making it may need
// memory; when there is none it is printed from the stack instead.
void print_new(bool with_register, int flag, const char *fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    try {
        Message m = make(flag, fmt, ap);
        if (with_register)
            print_register_and(&m);
        else {
            std::lock_guard<std::mutex> lock(g_print_mutex);
            FILE *fp = stream();
            print_one(fp, m);
            fflush(fp);
        }
    } catch (...) {
        print_without_memory(with_register, flag, fmt, again);
    }
    va_end(again);
}

}  // namespace

extern "C" {

void velog_log(int flag, const char *fmt, va_list ap) {
    try {
        tl_register.push_back(make(flag, fmt, ap));
    } catch (...) {
        // Out of memory while recording a failure: nothing better to do.
    }
}

void velog_complain(int flag, const char *fmt, va_list ap) { print_new(true, flag, fmt, ap); }

void velog_notify(int flag, const char *fmt, va_list ap) { print_new(false, flag, fmt, ap); }

void velog_die(int flag, const char *fmt, va_list ap) {
    print_new(true, flag, fmt, ap);
    exit(1);
}

void elog_log(int flag, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    velog_log(flag, fmt, ap);
    va_end(ap);
}

void elog_complain(int flag, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    velog_complain(flag, fmt, ap);
    va_end(ap);
}

void elog_notify(int flag, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    velog_notify(flag, fmt, ap);
    va_end(ap);
}

void elog_debug(int flag, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    velog_notify(flag, fmt, ap);
    va_end(ap);
}

void elog_die(int flag, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    velog_die(flag, fmt, ap);
}

int elog_mark(void) { return (int)tl_register.size(); }

int elog_flush(int deliver, int mark) {
    if (mark < 0) mark = 0;
    if ((size_t)mark >= tl_register.size()) return 0;
    int dropped = (int)tl_register.size() - mark;
    if (deliver) {
        std::lock_guard<std::mutex> lock(g_print_mutex);
        FILE *fp = stream();
        for (size_t i = (size_t)mark; i < tl_register.size(); i++) print_one(fp, tl_register[i]);
        fflush(fp);
    }
    tl_register.resize((size_t)mark);
    return dropped;
}

int elog_clear_register(int flag) {
    int n = (int)tl_register.size();
    if (flag && n) {
        print_register_and(nullptr);
        return n;
    }
    tl_register.clear();
    return n;
}

int elog_count(void) { return (int)tl_register.size(); }

const char *elog_message(int i) {
    if (i < 0 || (size_t)i >= tl_register.size()) return nullptr;
    return tl_register[(size_t)i].text.c_str();
}

int elog_message_flag(int i) {
    if (i < 0 || (size_t)i >= tl_register.size()) return 0;
    return tl_register[(size_t)i].flag;
}

const char *elog_message_syserr(int i) {
    if (i < 0 || (size_t)i >= tl_register.size()) return "";
    return tl_register[(size_t)i].syserr.c_str();
}

char *elog_string(void) {
    size_t n = 0;
    for (const Message &m : tl_register) n += m.text.size();
    char *all = static_cast<char *>(malloc(n + 1));
    if (!all) return nullptr;
    char *w = all;
    for (const Message &m : tl_register) {
        memcpy(w, m.text.data(), m.text.size());
        w += m.text.size();
    }
    *w = '\0';
    return all;
}

void elog_set_stream(FILE *fp) { g_stream.store(fp); }

int verbose_exists(void) { return g_verbose.load() > 0; }
void set_verbose(int level) { g_verbose.store(level); }

}  // extern "C"
