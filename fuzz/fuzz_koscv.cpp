// Fuzz target: station-channel views.  The input is split at lines "%%"
// into: the option words of koscv_create (one per line; the database name
// is appended), the wfdisc, arrival, detection and calibration table files,
// the bytes of a waveform file "w", and a query line:
//     STA CHAN|t0|t1|read_flags|calib_from_db|how
// The view is built, the pair subset, its trace table built and its gaps
// processed; any failure must be a message and a failure result.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "stock.h"
#include "velkutil.h"

namespace {

std::string scratch_dir() {
    char path[] = "/tmp/fuzz_koscv_XXXXXX";
    if (!mkdtemp(path)) return "/tmp";
    return path;
}

void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::vector<std::string> split(const std::string &s, const std::string &sep) {
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        size_t k = s.find(sep, at);
        if (k == std::string::npos) {
            out.push_back(s.substr(at));
            return out;
        }
        out.push_back(s.substr(at, k - at));
        at = k + sep.size();
    }
}

double number(const std::vector<std::string> &q, size_t i, double dflt) {
    if (i >= q.size()) return dflt;
    char *end = nullptr;
    double v = strtod(q[i].c_str(), &end);
    return end == q[i].c_str() ? dflt : v;
}

// Waveform files must stay in the scratch directory: rows could name
// devices or pipes that would block the run.
bool files_are_local(KOSCV *scv, KOSCVStaChan *sc, const std::string &dir) {
    Dbptr wf = dblookup(scv->db, nullptr, "wfdisc", nullptr, nullptr);
    for (long i = 0; i < maxtbl(sc->wfdiscrows); i++) {
        wf.record = (long)(intptr_t)gettbl(sc->wfdiscrows, i);
        char path[FILENAME_MAX];
        if (dbextfile(wf, "wfdisc", path) < 0) continue;
        std::string p(path);
        if (p.compare(0, dir.size() + 1, dir + "/") != 0) return false;
        std::string rest = p.substr(dir.size() + 1);
        if (rest.compare(0, 2, "./") == 0) rest = rest.substr(2);
        if (rest.empty() || rest == "." || rest == ".." || rest.find('/') != std::string::npos) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t n) {
    static std::string dir = scratch_dir();
    static std::string db = dir + "/db";
    std::vector<std::string> part = split(std::string((const char *)bytes, n), "\n%%\n");
    part.resize(7);
    const char *tables[] = {"wfdisc", "arrival", "detection", "calibration"};
    for (int i = 0; i < 4; i++) write_file(db + "." + tables[i], part[1 + i]);
    write_file(dir + "/w", part[5]);

    std::vector<std::string> words;
    for (const std::string &w : split(part[0], "\n"))
        if (!w.empty() && w != "-v" && words.size() < 32) words.push_back(w);
    words.push_back(db);
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(&w[0]);
    char handle[64] = "";
    koscv_create((int)argv.size(), argv.data(), handle);
    KOSCV *scv = handle[0] ? koscv_get(handle) : nullptr;
    if (scv) {
        std::vector<std::string> q = split(split(part[6], "\n")[0], "|");
        std::string stachan = q.empty() || q[0].empty() ? std::string("AAK BHZ") : q[0];
        if (stachan == "first" && maxtbl(scv->stachans_tbl) > 0) stachan = (char *)gettbl(scv->stachans_tbl, 0);
        double t0 = number(q, 1, 0), t1 = number(q, 2, 0);
        double fl = number(q, 3, 2), cb = number(q, 4, 1);
        int flags = fl >= -9 && fl <= 9 ? (int)fl : 2, calib = cb >= -9 && cb <= 9 ? (int)cb : 1;
        std::string how = q.size() > 5 ? q[5] : "zero";
        KOSCVStaChan *sc = nullptr;
        if (koscv_subset(handle, &stachan[0], t0 == 0 ? -1e30 : t0, t1 == 0 ? 1e30 : t1, 1, 1, 1, &sc) == 0) {
            if (flags > 1 && !files_are_local(scv, sc, dir)) flags = 1;
            Tbl *traces = nullptr;
            koscv_trace_get_table(scv, sc, t0, t1, flags, calib, &traces);
            koscv_trace_process_gaps(traces, &how[0]);
            for (long i = 0; i < maxtbl(traces); i++) {
                KOSCVTrace *t = (KOSCVTrace *)gettbl(traces, i);
                if (t->data && (int64_t)t->data_size != t->nsamp * 4) abort();
            }
            koscv_trace_free_table(traces);
            double lat, lon, elev = 0;
            koscv_get_latlonelev(scv, sc, t0, &lat, &lon, &elev);
        }
        koscv_free_stachan(sc);
        koscv_subset_refresh(handle);
    }
    if (handle[0]) koscv_destroy(handle);
    elog_clear_register(0);
    return 0;
}
