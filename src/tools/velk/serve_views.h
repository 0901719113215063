// serve_views.h -- what "velk serve" shows, kept open on one database: a
// station-channel view (the channel list and the samples) and an event view
// (events, origins, arrivals, detections, moment tensors), each serialised
// by a lock of its own since neither guards itself, and their answers as
// JSON.  The event view's monitor thread and a wfdisc watcher post notices
// when other programs add rows; the monitor's callback only posts (it never
// takes a view's lock), so it never holds up a request.
//
// Every answer is built from the database read-only.  Requests name
// channels, times and ids, never files.
#ifndef VELK_SERVE_VIEWS_H
#define VELK_SERVE_VIEWS_H

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serve_notices.h"

class KOEventView;

namespace velk {

// A request the views refuse: the HTTP status (400 or 404) and the message.
struct ApiError : std::runtime_error {
    ApiError(int status, const std::string &what) : std::runtime_error(what), status(status) {}
    int status;
};

// The largest window one request may read, in samples at the channel's
// highest rate in it and in seconds, and the widths a reduced window may
// have.
constexpr long kMaxWindowSamples = 4000000;
constexpr double kMaxWindowSeconds = 31 * 86400.0;
constexpr int kMaxWidth = 8192;

class Views {
public:
    // Opens both views on `dbname` and starts the event monitor and the
    // wfdisc watcher, each looking every `interval` seconds.  Throws
    // Failure (the library's messages in the error register) when either
    // view cannot be opened.
    Views(const std::string &dbname, double interval);
    // Stops the watcher and the monitor, then closes both views.
    ~Views();
    Views(const Views &) = delete;
    Views &operator=(const Views &) = delete;

    // Stops the monitor and the watcher (no more notices); idempotent.
    void stop();

    // {"channels":[{"sta","chan","tstart","tend","wfdisc","arrival",
    // "detection"}...],"generation":N}; kept between calls and rebuilt when
    // the wfdisc table has grown.
    std::string channels_json();

    // The envelope of sta/chan over t0..t1 in `width` columns (see
    // serve_reduce.h) with "sta", "chan", "runs" (runs of good samples) and
    // "gap_segments" (unreadable rows and runs of gap markers) added.  ApiError 400
    // for an unknown channel, t1 <= t0, a window longer than
    // kMaxWindowSeconds or whose length times the channel's highest sample
    // rate in it exceeds kMaxWindowSamples, a width outside 1..kMaxWidth.
    std::string samples_json(const std::string &sta, const std::string &chan, double t0, double t1, int width);

    // {"events":[{"evid","prefor","norigins","time","lat","lon","depth",
    // "auth","nass","ndef","magnitudes":[{"magtype","magnitude"}],"mtid"}]}
    // from the event view, rebuilt after the monitor saw a change.
    std::string events_json();

    // One event, named by its evid (or, with evid < 0, by one of its
    // origins' orid): every origin with its magnitudes, moment tensors,
    // associations (arrival time, channel, phase, residual), predicted P and
    // S times at every station of the channel list, and detections.
    // ApiError 404 when no event matches.
    std::string event_json(long evid, long orid);

    // The beach ball of mt row `mtid` as SVG, `size` pixels square.
    // ApiError 404 for an unknown mtid, 400 for a tensor that cannot be
    // drawn.
    std::string beachball_svg(long mtid, int size);

    Notices &notices() { return notices_; }

private:
    static int on_change(int, void *self, void *changes);
    void watch_wfdisc(double interval);
    void rebuild_channels_locked();
    std::vector<std::string> station_names();

    std::string dbname_;
    Notices notices_;

    std::mutex scv_mutex_;           // the station-channel view and what is cached from it
    char scv_handle_[32] = "";
    long wfdisc_rows_ = -1;
    long generation_ = 0;
    std::string channels_cache_;
    std::vector<std::string> stations_;

    std::mutex ev_mutex_;            // the event view and its cached list
    std::unique_ptr<KOEventView> ev_;
    std::atomic<long> ev_version_{1};  // bumped by the monitor's callback
    long events_version_ = 0;
    std::string events_cache_;

    std::mutex stop_mutex_;
    bool stopped_ = false;
    std::atomic<bool> watching_{true};
    std::thread watcher_;
};

}  // namespace velk

#endif
