// serve_http.cpp -- the routes of "velk serve".
#include "serve_http.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "serve_params.h"
#include "serve_views.h"
#include "velk_web_assets.h"

namespace velk {

namespace {

using Query = std::vector<std::pair<std::string, std::string>>;

Query query_of(const httplib::Request &req) {
    Query q;
    for (const auto &kv : req.params) q.emplace_back(kv.first, kv.second);
    return q;
}

void send_error(httplib::Response &res, int status, const std::string &message) {
    res.status = status;
    res.set_content(nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}

void common_headers(httplib::Response &res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
                   "connect-src 'self'; frame-ancestors 'none'");
}

// Runs a JSON route: its answer, or the refusal it throws, as the response.
template <class F>
httplib::Server::Handler json_route(std::vector<std::string> known, F answer,
                                    const char *type = "application/json") {
    return [known, answer, type](const httplib::Request &req, httplib::Response &res) {
        common_headers(res);
        try {
            Params p(query_of(req), known);
            res.set_content(answer(p), type);
        } catch (const ApiError &e) {
            send_error(res, e.status, e.what());
        } catch (const std::bad_alloc &) {
            send_error(res, 503, "out of memory");
        } catch (const std::exception &e) {
            send_error(res, 500, e.what());
        }
    };
}

}  // namespace

void install_routes(httplib::Server &server, Views &views, std::atomic<int> &streams) {
    for (const WebAsset &a : kWebAssets) {
        std::string path = a.path;
        auto serve = [a](const httplib::Request &, httplib::Response &res) {
            common_headers(res);
            res.set_content(a.body, a.type);
        };
        server.Get(path, serve);
        if (path == "/index.html") server.Get("/", serve);
    }
    server.Get("/api/channels", json_route({}, [&views](const Params &) { return views.channels_json(); }));
    server.Get("/api/samples", json_route({"sta", "chan", "t0", "t1", "width"}, [&views](const Params &p) {
                   std::string sta = p.text("sta"), chan = p.text("chan");
                   double t0 = p.real("t0"), t1 = p.real("t1");
                   long width = p.integer("width", 1, kMaxWidth);
                   return views.samples_json(sta, chan, t0, t1, (int)width);
               }));
    server.Get("/api/events", json_route({}, [&views](const Params &) { return views.events_json(); }));
    server.Get("/api/event", json_route({"evid", "orid"}, [&views](const Params &p) {
                   if (p.has("evid") == p.has("orid")) throw ApiError(400, "give either evid or orid");
                   long evid = p.integer("evid", 0, 2147483647L, -1), orid = p.integer("orid", 0, 2147483647L, -1);
                   return views.event_json(evid, orid);
               }));
    server.Get("/api/beachball", json_route({"mtid", "size"},
                                            [&views](const Params &p) {
                                                long mtid = p.integer("mtid", 0, 2147483647L);
                                                long size = p.integer("size", 16, 2048, 120);
                                                return views.beachball_svg(mtid, (int)size);
                                            },
                                            "image/svg+xml"));
    server.Get("/api/stream", [&views, &streams](const httplib::Request &req, httplib::Response &res) {
        common_headers(res);
        try {
            Params p(query_of(req), {});
        } catch (const ApiError &e) {
            return send_error(res, e.status, e.what());
        }
        if (++streams > kMaxStreams) {
            streams--;
            return send_error(res, 503, "too many open streams");
        }
        auto seq = std::make_shared<long>(views.notices().last());
        auto first = std::make_shared<bool>(true);
        res.set_chunked_content_provider(
            "text/event-stream",
            [&views, seq, first](size_t, httplib::DataSink &sink) {
                std::string text;
                if (*first) {
                    *first = false;
                    text = "retry: 2000\n: open\n\n";
                    return sink.write(text.data(), text.size());
                }
                if (!views.notices().wait(seq.get(), 5.0, &text)) {
                    sink.done();
                    return true;
                }
                if (text.empty()) text = ": keep-alive\n\n";
                return sink.write(text.data(), text.size());
            },
            [&streams](bool) { streams--; });
    });
    auto refuse = [](const httplib::Request &, httplib::Response &res) {
        common_headers(res);
        send_error(res, 405, "only GET is served");
    };
    server.Post(".*", refuse);
    server.Put(".*", refuse);
    server.Delete(".*", refuse);
    server.Patch(".*", refuse);
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) {
            common_headers(res);
            send_error(res, res.status, res.status == 404 ? "no such page" : "bad request");
        }
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        send_error(res, 500, "internal error");
    });
}

}  // namespace velk
