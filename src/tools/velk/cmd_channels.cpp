// cmd_channels.cpp -- "velk channels": the station-channel pairs of a
// waveform database, with their time spans and row counts, from a
// station-channel view built on the compute pool.
#include <cstdio>
#include <memory>

#include "dbopen.h"
#include "koscv.h"
#include "stock.h"
#include "velk.h"
#include "wfread.h"

namespace velk {

namespace {

struct ChannelsArgs {
    std::string db, tstart, tend;
    std::vector<std::string> accept, reject;
    int threads = 1;
    bool json = false, verbose = false;
};

std::string join(const std::vector<std::string> &list) {
    std::string s;
    for (const std::string &e : list) s += (s.empty() ? "" : ",") + e;
    return s;
}

int run_channels(const ChannelsArgs &a) {
    double t0 = 0, t1 = 0;
    if (!a.tstart.empty()) t0 = parse_time(a.tstart, "start time");
    if (!a.tend.empty()) t1 = parse_time(a.tend, "end time");
    if (a.tstart.empty() != a.tend.empty()) {
        // One bound only: the other is open.
        if (a.tstart.empty()) t0 = -9e18;
        if (a.tend.empty()) t1 = 9e18;
    }
    if ((!a.tstart.empty() || !a.tend.empty()) && !(t1 > t0))
        throw UsageError("the end time must be after the start time");
    for (const std::string &e : a.accept)
        if (e.empty() || e.find(',') != std::string::npos)
            throw UsageError("an accept expression must be one non-empty expression without commas: '" + e + "'");
    for (const std::string &e : a.reject)
        if (e.empty() || e.find(',') != std::string::npos)
            throw UsageError("a reject expression must be one non-empty expression without commas: '" + e + "'");

    {
        OpenDb check(a.db, "r", "wfdisc");  // a clear message for a database without waveforms
    }
    std::unique_ptr<ChannelReader> reader;
    {
        Busy busy("building the station-channel cache");
        reader.reset(new ChannelReader(a.db, t0, t1, a.threads, join(a.accept), join(a.reject), a.verbose));
    }
    KOSCV *scv = reader->view();
    long n = maxtbl(scv->stachans_tbl);
    std::string out;
    if (a.json)
        out = "[";
    else
        out = strprintf("# %s: %ld channel%s\n# %-8s %-8s %-20s %-23s %-23s %8s %8s %9s\n", a.db.c_str(), n,
                        n == 1 ? "" : "s", "sta", "chan", "seed_name", "start", "end", "wfdisc", "arrival",
                        "detection");
    for (long i = 0; i < n; i++) {
        const char *key = (const char *)gettbl(scv->stachans_tbl, i);
        KOSCVStaChan *sc = (KOSCVStaChan *)getarr(scv->stachans_arr, key);
        if (!sc) continue;
        char nscl[128] = "";
        koscv_get_nscl(scv, sc->sta, sc->chan, nscl);
        if (a.json)
            out += std::string(i ? "," : "") + "{\"sta\":" + json_string(sc->sta) + ",\"chan\":" +
                   json_string(sc->chan) + ",\"seed_name\":" + json_string(nscl) + ",\"start\":" +
                   json_number(sc->tstart) + ",\"end\":" + json_number(sc->tend) + ",\"wfdisc\":" +
                   json_number((double)maxtbl(sc->wfdiscrows)) + ",\"arrival\":" +
                   json_number((double)maxtbl(sc->arrivalrows)) + ",\"detection\":" +
                   json_number((double)maxtbl(sc->detectionrows)) + "}";
        else
            out += strprintf("  %-8s %-8s %-20s %-23s %-23s %8ld %8ld %9ld\n", sc->sta, sc->chan, nscl,
                             format_time(sc->tstart).c_str(), format_time(sc->tend).c_str(), maxtbl(sc->wfdiscrows),
                             maxtbl(sc->arrivalrows), maxtbl(sc->detectionrows));
    }
    if (a.json) out += "]\n";
    fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace

void register_channels(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<ChannelsArgs>();
    CLI::App *sub = app.add_subcommand(
        "channels", "The station-channel pairs of a database with their spans and wfdisc, arrival and detection rows");
    sub->add_option("DB", a->db, "The database")->required();
    sub->add_option("--accept", a->accept,
                    "Keep pairs matching this expression (repeatable): \"STA:CHAN\" regular expressions with ':' "
                    "for the blank (\"AAK:BH.\"), or SEED names (\"IU_AAK_.*\")");
    sub->add_option("--reject", a->reject, "Drop pairs matching this expression (repeatable, as --accept)");
    sub->add_option("--tstart", a->tstart, "Only rows after this time");
    sub->add_option("--tend", a->tend, "Only rows before this time");
    sub->add_option("--threads", a->threads, "Workers of the cache build")->check(CLI::Range(1, 1024));
    sub->add_flag("--json", a->json, "List as JSON");
    sub->add_flag("-v,--verbose", a->verbose, "Progress messages of the cache build");
    reg[sub] = [a] { return run_channels(*a); };
}

}  // namespace velk
