// demo_tour.h -- the parts of "velk demo" that take the sample database
// through the library's thread pool and FIFO, grids and SAC files.
#ifndef VELK_DEMO_TOUR_H
#define VELK_DEMO_TOUR_H

#include <string>
#include <vector>

#include "db.h"
#include "demo_db.h"
#include "wfread.h"

namespace velk {

// Measures every station's P-wave amplitude on the compute pool (one worker
// per station, results handed back through a FIFO), grids the P travel
// times over distance and depth and checks the grid against the calculator
// at each station (and through a packet), and writes the three components
// of `sta` with the event as SAC files into the demo directory.  Returns
// the summary lines; throws Failure.
std::vector<std::string> demo_tour(const DemoInfo &info, Dbptr db, ChannelReader &reader, const std::string &sta);

}  // namespace velk

#endif
