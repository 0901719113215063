// cmd_events.cpp -- "velk events": a database's events through the event
// view: origins with their errors, magnitudes and moment tensors, and on
// request the preferred origin's associations and detections.
#include <cstdio>
#include <memory>

#include "evview.h"
#include "velk.h"

namespace velk {

namespace {

struct EventsArgs {
    std::string db;
    EventListing what;
};

int run_events(const EventsArgs &a) {
    auto view = open_event_view(a.db);
    std::string out;
    list_events(*view, a.what, &out);
    fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace

void register_events(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<EventsArgs>();
    CLI::App *sub = app.add_subcommand("events", "A database's events, origins and magnitudes (the event view)");
    sub->add_option("DB", a->db, "The database")->required();
    sub->add_flag("--arrivals", a->what.arrivals,
                  "Also the preferred origin's associated arrivals with distances and predicted P and S times");
    sub->add_flag("--detections", a->what.detections,
                  "Also the preferred origin's detections, the one nearest the predicted P at each station");
    sub->add_flag("--json", a->what.json, "List as JSON");
    reg[sub] = [a] { return run_events(*a); };
}

}  // namespace velk
