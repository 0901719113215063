// demo_db.h -- the sample database of "velk demo": a small network that
// recorded one synthetic earthquake, written with the library's own writers.
#ifndef VELK_DEMO_DB_H
#define VELK_DEMO_DB_H

#include <string>
#include <vector>

namespace velk {

struct DemoStation {
    std::string sta;
    double lat = 0, lon = 0, elev = 0;  // degrees, km
    double distance = 0;                // degrees from the epicentre
    double azimuth = 0;                 // from the event to the station, degrees
    double backazimuth = 0;             // from the station to the event, degrees
    double hang_n = 0, hang_e = 90;     // orientations of the horizontal channels
    std::string datatype;               // "s4" or "sd"
    double ptime = -1, stime = -1;      // predicted travel times (s), -1 when none
    double pptime = -1, sstime = -1;
    double ppick = 0, spick = 0;        // picked arrival times (epoch)
};

struct DemoInfo {
    std::string dir, dbname;
    double lat = 0, lon = 0, depth = 0, origin = 0;  // the event (preferred origin)
    double t0 = 0, t1 = 0, samprate = 0;             // the waveform window
    std::vector<DemoStation> stations;
    std::string gap_sta, gap_chan;  // the channel with a gap, and the gap
    double gap_t0 = 0, gap_t1 = 0;
    double mt[6] = {0, 0, 0, 0, 0, 0};  // the moment tensor, x east, y north, z up (N m)
    std::string response_file;          // path of the instrument response file
    std::vector<std::string> missing_phases;  // phases the travel-time calculator does not know
    long wfdisc_rows = 0, miniseed_files = 0;
};

// Builds the database `DIR/demo` (removing an earlier one's tables and
// files first): site, sitechan, sensor, instrument and its response file,
// calibration, snetsta, schanloc, wfdisc with s4 and miniSEED waveform
// files (one channel with a gap), event, two origins, origerr, arrival,
// assoc, netmag, stamag, mt, detection and lastid.  Throws Failure.
DemoInfo build_demo_database(const std::string &dir);

}  // namespace velk

#endif
