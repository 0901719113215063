// cmd_demo.cpp -- "velk demo": builds the sample network database and takes
// it through the library as the display programs do, writing a text summary
// and pictures: a record section, one station's components and their
// rotation, the event's beach ball and the instrument response.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "dbopen.h"
#include "evview.h"
#include "demo_db.h"
#include "demo_tour.h"
#include "kodsseis.h"
#include "koscv.h"
#include "kovector2.h"
#include "tr.h"
#include "pictures.h"
#include "response.h"
#include "stock.h"
#include "tt.h"
#include "velk.h"
#include "wfread.h"

namespace velk {

namespace {

struct DemoArgs {
    std::string dir = "build/demo-out";
    bool quiet = false;
};

// The summary, printed and kept in summary.txt.
struct Summary {
    std::string text;
    bool quiet;
    void line(const std::string &s) {
        text += s + "\n";
        if (!quiet) printf("%s\n", s.c_str());
    }
};

std::vector<Segment> segments_of(const std::vector<ChannelSegment> &cs) {
    std::vector<Segment> out;
    for (const ChannelSegment &c : cs) out.push_back(c.seg);
    return out;
}

// Travel-time curves from the surface-source calculator at the event depth.
std::vector<Curve> travel_time_curves(double depth, double dmax, std::vector<std::string> *missing) {
    std::vector<Curve> curves;
    Hook *hook = nullptr;
    for (const char *phase : {"P", "S", "PP", "SS"}) {
        Curve c;
        c.phase = phase;
        bool known = true;
        for (double d = 0.5; d <= dmax + 1e-9 && known; d += 0.5) {
            TTGeometry g = {};
            g.source.z = depth;
            g.receiver.lon = d;
            Tbl *times = nullptr;
            int mark = elog_mark();
            if (ttcalc(0, "iasp91", phase, TT_FIRST, &g, &times, &hook) < 0) {
                elog_flush(0, mark);
                known = false;
                break;
            }
            c.points.emplace_back(d, maxtbl(times) > 0 ? ((TTTime *)gettbl(times, 0))->value : NAN);
            freetbl(times, nullptr);
        }
        if (known)
            curves.push_back(c);
        else if (std::find(missing->begin(), missing->end(), phase) == missing->end())
            missing->push_back(phase);
    }
    free_hook(&hook);
    return curves;
}

// Radial and transverse components of a station through the data source:
// its horizontal channels (with their own orientations from sitechan)
// rotated to the back azimuth plus 180 (radial, away from the event) and
// plus 270 (transverse).  Gaps are the source's gap marker.
void rotate_station(Dbptr db, const std::string &sta, double t0, double t1, double baz, std::vector<Segment> *rad,
                    std::vector<Segment> *trn) {
    std::vector<std::string> words = {strprintf("%.5f", t0), strprintf("%.5f", t1), "-sta", sta, "-chan", "BH[NE]",
                                      "-orient", "1", "-coord", "1"};
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    KODsseis *scg = nullptr;
    char handle[64] = "";
    if (kodsseis_create(db, (int)words.size(), argv.data(), &scg, handle) != 0)
        throw Failure("cannot make a data source for " + sta);
    struct Free {
        char *h;
        ~Free() { kodsseis_free(h); }
    } free_source{handle};
    for (int k = 0; k < 2; k++) {
        double strike = std::fmod(baz + (k == 0 ? 180.0 : 270.0), 360.0);
        Dbptr tr = dbinvalid();
        int nsegs = 0;
        std::string name = k == 0 ? "BHR" : "BHT";
        if (dsseis_getchannel(scg->dbsc, nullptr, (char *)sta.c_str(), (char *)"BH[NE]", t0, t1, (char *)"seg", 1,
                              (char *)name.c_str(), strike, 0.0, nullptr, &nsegs, &tr) < 0) {
            if (tr.database >= 0) trdestroy(&tr);
            throw Failure("cannot rotate the horizontals of " + sta);
        }
        for (int i = 0; i < nsegs; i++) {
            double ts = 0, dt = 0;
            int ns = 0;
            float *data = nullptr;
            if (kodsseis_getsegment(tr, i, &ts, &dt, &ns, &data) < 0) {
                trdestroy(&tr);
                throw Failure("cannot read a rotated segment of " + sta);
            }
            Segment seg;
            seg.t0 = ts;
            seg.dt = dt;
            seg.data.assign(data, data + ns);
            (k == 0 ? rad : trn)->push_back(std::move(seg));
        }
        trdestroy(&tr);
    }
}

int run_demo(const DemoArgs &a) {
    double start = std_now();
    Summary sum{"", a.quiet};
    DemoInfo info = build_demo_database(a.dir);
    sum.line("velk demo: database " + info.dbname);
    sum.line(strprintf("  %zu stations, %ld wfdisc rows (%ld miniSEED files, the rest s4), %.0f samples/s, "
                       "%s to %s",
                       info.stations.size(), info.wfdisc_rows, info.miniseed_files, info.samprate,
                       format_time(info.t0).c_str(), format_time(info.t1).c_str()));
    sum.line(strprintf("  gap: %s %s has no samples between %s and %s", info.gap_sta.c_str(), info.gap_chan.c_str(),
                       format_time(info.gap_t0).c_str(), format_time(info.gap_t1).c_str()));

    OpenDb db(info.dbname, "r", "wfdisc");

    // A station-channel view of the whole database, built on two workers,
    // and its channel list.
    ChannelReader reader(info.dbname, 0, 0, 2);
    {
        KOSCV *scv = reader.view();
        long npairs = maxtbl(scv->stachans_tbl);
        sum.line(strprintf("station-channel view %s: %ld channels", reader.handle(), npairs));
        for (long i = 0; i < npairs; i++) {
            const char *key = (const char *)gettbl(scv->stachans_tbl, i);
            KOSCVStaChan *sc = (KOSCVStaChan *)getarr(scv->stachans_arr, key);
            if (!sc) continue;
            char nscl[128] = "";
            koscv_get_nscl(scv, sc->sta, sc->chan, nscl);
            sum.line(strprintf("  %-12s %-18s %s to %s  %ld wfdisc, %ld arrival, %ld detection rows", key, nscl,
                               format_time(sc->tstart).c_str(), format_time(sc->tend).c_str(),
                               maxtbl(sc->wfdiscrows), maxtbl(sc->arrivalrows), maxtbl(sc->detectionrows)));
        }
    }

    // The event through the event view: origins, errors, magnitudes, the
    // moment tensor, associations with predicted times, detections.
    {
        auto view = open_event_view(info.dbname);
        std::string events;
        EventListing what;
        what.arrivals = true;
        what.detections = true;
        list_events(*view, what, &events);
        long nev = 0, norg = 0, ndet = 0, narr = 0, nassoc = 0, nmt = 0, nmag = 0;
        view->numbers(&nev, &norg, &ndet, &narr, &nassoc, &nmt, &nmag);
        sum.line(strprintf("event view: %ld event, %ld origins, %ld arrivals, %ld associations, %ld network "
                           "magnitudes, %ld moment tensor, %ld detector rows",
                           nev, norg, narr, nassoc, nmag, nmt, ndet));
        size_t pos = 0;
        while (pos < events.size()) {
            size_t nl = events.find('\n', pos);
            if (nl == std::string::npos) nl = events.size();
            sum.line("  " + events.substr(pos, nl - pos));
            pos = nl + 1;
        }
    }

    // Every station's vertical, calibrated, through the trace layer.
    double tmax = 0;
    for (const DemoStation &s : info.stations) tmax = std::max(tmax, std::max(s.sstime, s.stime));
    tmax = std::ceil((tmax + 120) / 100) * 100;
    std::vector<SectionTrace> section;
    sum.line("stations (predicted travel times from the library; picks from the arrival table):");
    sum.line(strprintf("  %-5s %7s %6s %6s %9s %9s %7s %9s %9s  %s", "sta", "delta", "az", "baz", "P_pred",
                       "P_pick", "P_res", "S_pred", "S_pick", "data"));
    for (const DemoStation &s : info.stations) {
        std::vector<ChannelSegment> cs;
        if (!reader.read(s.sta, "BHZ", info.origin, info.origin + tmax, true, false, &cs) || cs.empty())
            throw Failure("cannot read " + s.sta + " BHZ back");
        SectionTrace t;
        t.sta = s.sta;
        t.distance = s.distance;
        t.ptime = s.ptime;
        t.segments = segments_of(cs);
        section.push_back(std::move(t));
        sum.line(strprintf("  %-5s %7.2f %6.1f %6.1f %9.2f %9.2f %7.2f %9.2f %9.2f  %s%s", s.sta.c_str(), s.distance,
                           s.azimuth, s.backazimuth, s.ptime, s.ppick - info.origin,
                           s.ppick - info.origin - s.ptime, s.stime, s.spick - info.origin, s.datatype.c_str(),
                           cs.size() > 1 ? strprintf(", %zu segments", cs.size()).c_str() : ""));
    }

    // One channel's trace table with its gaps filled, as a plot vector,
    // and the vector's extent.
    {
        std::vector<ChannelSegment> cs;
        if (!reader.read(info.gap_sta, info.gap_chan, info.t0, info.t1, true, true, &cs) || cs.empty())
            throw Failure("cannot read " + info.gap_sta + " " + info.gap_chan);
        Segment whole = fill_gaps(cs, nullptr);
        std::vector<double> d(whole.data.begin(), whole.data.end());
        char vh[32] = "";
        if (!kovector2_create_tsamp((int)d.size(), whole.t0, 1.0 / whole.dt, d.data(), (char *)"velkdemo", vh))
            throw Failure("cannot make a plot vector");
        double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
        kovector2_maxmin(vh, 0, &x0, &x1, &y0, &y1);
        long held = 0;
        for (const ChannelSegment &c : cs) held += (long)c.seg.data.size();
        sum.line(strprintf("trace table of %s %s: %zu rows, %ld samples; gaps filled with zeros: plot vector %s of "
                           "%zu samples, %s to %s, %.1f to %.1f nm/s",
                           info.gap_sta.c_str(), info.gap_chan.c_str(), cs.size(), held, vh, d.size(),
                           format_time(x0).c_str(), format_time(x1).c_str(), y0, y1));
        kovector2_free(vh);
    }

    std::vector<std::string> pictures;
    auto save = [&](const std::string &name, const std::string &svg) {
        std::string path = a.dir + "/" + name;
        if (!write_file(path, svg)) throw Failure("cannot write " + path);
        pictures.push_back(path);
    };

    // The record section.
    double dmax = 0;
    for (const DemoStation &s : info.stations) dmax = std::max(dmax, s.distance);
    std::vector<Curve> curves = travel_time_curves(info.depth, std::min(180.0, dmax + 6), &info.missing_phases);
    save("record_section.svg", record_section_svg(section, curves, info.origin, tmax,
                                                  strprintf("record section: vertical components, event depth %.0f km",
                                                            info.depth)));

    // One station's components and their rotation.
    const DemoStation *st = nullptr;
    for (const DemoStation &s : info.stations)
        if (s.sta == "KV06") st = &s;
    if (!st) st = &info.stations[0];
    double w0 = info.origin + st->ptime - 60, w1 = info.origin + std::max(st->stime, st->sstime) + 200;
    std::vector<Panel> panels;
    for (const char *chan : {"BHZ", "BHN", "BHE"}) {
        std::vector<ChannelSegment> cs;
        if (!reader.read(st->sta, chan, w0, w1, true, false, &cs) || cs.empty())
            throw Failure("cannot read " + st->sta + " " + chan);
        Panel p;
        p.label = st->sta + " " + chan;
        p.segments = segments_of(cs);
        panels.push_back(p);
    }
    std::vector<Segment> rad, trn;
    rotate_station(db.db(), st->sta, w0, w1, st->backazimuth, &rad, &trn);
    sum.line(strprintf("data source: %s BHN and BHE (at %.0f and %.0f degrees) rotated to radial (%zu segment%s) and "
                       "transverse for back azimuth %.1f",
                       st->sta.c_str(), st->hang_n, st->hang_e, rad.size(), rad.size() == 1 ? "" : "s",
                       st->backazimuth));
    panels.push_back(Panel{st->sta + " R", rad, {}});
    panels.push_back(Panel{st->sta + " T", trn, {}});
    for (Panel &p : panels) {
        bool vertical = p.label.find("BHZ") != std::string::npos;
        p.marks.push_back(Mark{info.origin + st->ptime, "P", "predicted"});
        p.marks.push_back(Mark{info.origin + st->stime, "S", "predicted"});
        if (st->pptime > 0) p.marks.push_back(Mark{info.origin + st->pptime, "PP", "predicted"});
        if (st->sstime > 0) p.marks.push_back(Mark{info.origin + st->sstime, "SS", "predicted"});
        p.marks.push_back(Mark{vertical ? st->ppick : st->spick, vertical ? "P pick" : "S pick", "pick"});
        if (!vertical) p.marks.push_back(Mark{st->ppick, "P pick", "pick"});
    }
    save("station_" + st->sta + ".svg",
         panels_svg(panels, w0, w1, info.origin,
                    strprintf("%s at %.1f\u00b0, back azimuth %.1f\u00b0 (horizontals at %.0f\u00b0 and %.0f\u00b0): "
                              "components and radial/transverse",
                              st->sta.c_str(), st->distance, st->backazimuth, st->hang_n, st->hang_e)));

    // The beach ball from the mt row: r up, t south, p east to x east,
    // y north, z up.
    {
        Dbptr mt = db.table("mt");
        mt.record = 0;
        double rr = 0, tt = 0, pp = 0, rt = 0, rp = 0, tp = 0, pdc = 0;
        if (dbgetv(mt, 0, "tmrr", &rr, "tmtt", &tt, "tmpp", &pp, "tmrt", &rt, "tmrp", &rp, "tmtp", &tp, "pdc", &pdc,
                   (char *)0) < 0)
            throw Failure("cannot read the moment tensor");
        double m[6] = {pp, tt, rr, -tp, rp, -rt};
        std::string svg, line;
        if (!beachball_svg(m, 400, true, "moment tensor, lower hemisphere", &svg, &line))
            throw Failure("cannot draw the beach ball");
        save("beachball.svg", svg);
        sum.line("moment tensor: " + line);
    }

    // The instrument response named by the instrument row.
    {
        Dbptr ins = db.table("instrument");
        ins.record = 0;
        char path[FILENAME_MAX] = "";
        if (dbextfile(ins, 0, path) != 1) throw Failure("the response file of the instrument is missing");
        FILE *fp = fopen(path, "r");
        Response *r = nullptr;
        int rc = fp ? read_response(fp, &r) : -1;
        if (fp) fclose(fp);
        if (rc < 0) throw Failure(std::string("cannot read the response file ") + path);
        std::unique_ptr<Response, void (*)(Response *)> hold(r, free_response);
        save("response.svg", response_svg(r, 1e-3, info.samprate / 2, "instrument response (bbvel.paz)"));
        double re = 0, im = 0;
        eval_response(r, 1.0, &re, &im);
        sum.line(strprintf("response %s: %d stages, amplitude %.4f at 1 Hz", path, r->nstages, std::hypot(re, im)));
    }

    for (const std::string &l : demo_tour(info, db.db(), reader, st->sta)) sum.line(l);

    if (!info.missing_phases.empty()) {
        std::string m;
        for (const std::string &p : info.missing_phases) m += (m.empty() ? "" : ", ") + p;
        sum.line("phases the travel-time calculator does not know yet, left out: " + m);
    }
    for (const std::string &p : pictures) sum.line("picture: " + p);
    sum.line(strprintf("done in %.2f s", std_now() - start));
    std::string spath = a.dir + "/summary.txt";
    if (!write_file(spath, sum.text)) throw Failure("cannot write " + spath);
    if (!a.quiet) printf("summary: %s\n", spath.c_str());
    return 0;
}

}  // namespace

void register_demo(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<DemoArgs>();
    CLI::App *sub = app.add_subcommand(
        "demo", "Build a sample network database for a synthetic earthquake, take it through the library and draw it");
    sub->add_option("DIR", a->dir, "Where the database, waveforms, summary and pictures go")->capture_default_str();
    sub->add_flag("-q,--quiet", a->quiet, "Write the summary file only, print nothing");
    reg[sub] = [a] { return run_demo(*a); };
}

}  // namespace velk
