// velk.h -- what the commands of the velk tool share: how a command is
// registered and run, how it reports a usage error or a failure, time
// arguments, JSON output for listings, and the terminal progress bar.
//
// Exit status: 0 success; 1 a failure (the error log's messages go to
// standard error); 2 a usage error (the message and the command's usage go
// to standard error).
#ifndef VELK_VELK_H
#define VELK_VELK_H

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace velk {

// Thrown by a command for arguments that make no sense (exit 2 with usage).
struct UsageError : std::runtime_error {
    explicit UsageError(const std::string &what) : std::runtime_error(what) {}
};

// Thrown by a command whose work failed (exit 1).  The library's messages
// are still in the calling thread's error register; main prints them after
// logging this one.
struct Failure : std::runtime_error {
    explicit Failure(const std::string &what) : std::runtime_error(what) {}
};

// The commands: each registers its subcommand and the function that runs it
// once the arguments have been parsed.  A run function returns the exit
// status (normally 0) or throws UsageError / Failure.
using Registry = std::map<const CLI::App *, std::function<int()>>;

void register_demo(CLI::App &app, Registry &reg);
void register_channels(CLI::App &app, Registry &reg);
void register_trace(CLI::App &app, Registry &reg);
void register_events(CLI::App &app, Registry &reg);
void register_watch(CLI::App &app, Registry &reg);
void register_tt(CLI::App &app, Registry &reg);
void register_sac(CLI::App &app, Registry &reg);
void register_beachball(CLI::App &app, Registry &reg);
void register_response(CLI::App &app, Registry &reg);
void register_serve(CLI::App &app, Registry &reg);

// A time argument in any form the library reads (epoch seconds, calendar
// and year-day forms, "now", a trailing UTC/GMT).  Throws UsageError naming
// `what` when the text is not a time.
double parse_time(const std::string &text, const char *what);

// "YYYY-MM-DD hh:mm:ss.fff" of an epoch time.
std::string format_time(double epoch);

// printf into a std::string.
std::string strprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A JSON string literal of text (quotes included, control characters and
// non-ASCII bytes escaped so the output is always valid).
std::string json_string(const std::string &text);
// A JSON number; NaN and infinities (which JSON lacks) become null.
std::string json_number(double v);

// Writes a whole file; false (with a message in the error register) on failure.
bool write_file(const std::string &path, const std::string &text);

// A progress bar on standard error, drawn only when standard error is a
// terminal and only once the work has taken more than a second.
class Progress {
public:
    Progress(const std::string &label, long total);
    ~Progress();
    void update(long done);
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

private:
    std::string label_;
    long total_;
    double start_;
    bool tty_;
    bool drawn_ = false;
    int last_percent_ = -1;
};

// While it lives, work whose length is unknown (a cache build): after a
// second, a line on standard error with the elapsed time, redrawn twice a
// second, only when standard error is a terminal.
class Busy {
public:
    explicit Busy(const std::string &label);
    ~Busy();
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    struct State;
    State *state_;
};

// Station and channel names as the schema holds them (non-empty, no blanks,
// at most 6 and 8 characters); throws UsageError otherwise.
void check_sta_chan(const std::string &sta, const std::string &chan);

}  // namespace velk

#endif
