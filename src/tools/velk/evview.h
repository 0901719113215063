// evview.h -- an event view bound to a database named on the command line,
// and the text of its events for listings.
#ifndef VELK_EVVIEW_H
#define VELK_EVVIEW_H

#include <memory>
#include <string>

#include "KOEventView.h"

namespace velk {

// A view bound to `dbname` (its "dbname" option).  Throws Failure with the
// library's messages in the error register when it cannot be bound.
std::unique_ptr<KOEventView> open_event_view(const std::string &dbname);

// What an event listing shows.
struct EventListing {
    bool arrivals = false;    // the preferred origin's associations with predicted times
    bool detections = false;  // the preferred origin's detections, best per station
    bool json = false;
};

// Refreshes the view's events and writes them as text (or one JSON
// document) into *out.  Throws Failure.
void list_events(KOEventView &view, const EventListing &what, std::string *out);

}  // namespace velk

#endif
