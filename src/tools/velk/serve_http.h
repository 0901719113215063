// serve_http.h -- the routes of "velk serve": the page and its files, the
// JSON interface over the views, and the stream of notices.
//
//   GET /                      the viewer page (also /index.html, /app.js, /style.css)
//   GET /api/channels          the channel list with spans and row counts
//   GET /api/samples?sta=&chan=&t0=&t1=&width=
//                              min and max per column over the window
//   GET /api/events            events with preferred origin and magnitudes
//   GET /api/event?evid=N | ?orid=N
//                              one event's origins, arrivals, predictions, detections
//   GET /api/beachball?mtid=N[&size=S]
//                              a moment tensor's beach ball (SVG)
//   GET /api/stream            server-sent events: {"kind","tables"} notices
//
// Refusals are JSON {"error": message} with status 400 (bad parameters),
// 404 (no such thing), 405 (a method other than GET) or 503 (too many
// streams).  Nothing is written to the database and no request names a file.
#ifndef VELK_SERVE_HTTP_H
#define VELK_SERVE_HTTP_H

#include <atomic>

namespace httplib {
class Server;
}

namespace velk {

class Views;

// Pages that may hold a stream of notices open at the same time.
constexpr int kMaxStreams = 16;

// Installs the routes on `server`, answering from `views`; `streams` counts
// the open notice streams (it must outlive the server).
void install_routes(httplib::Server &server, Views &views, std::atomic<int> &streams);

}  // namespace velk

#endif
