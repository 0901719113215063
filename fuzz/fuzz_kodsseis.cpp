// Fuzz target: the data source's argument vectors.  The input is words, one
// a line; the words before a line "|" are kodsseis_create's, those after are
// kodsseis_getchannel's (after the tag), and a line "||" starts the words of
// a direct dsseis_getchannel call: sta, chan, gap mode, rotate name, strike,
// dip.  The database is a small one built once in a temporary directory:
// three channels with waveform files, sensor, instrument with a response
// file, sitechan and site.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "db.h"
#include "stock.h"
#include "tr.h"
#include "velkutil.h"

namespace {

const double T0 = 1580515200.0;

bool make_db(Dbptr *db) {
    char tmpl[] = "/tmp/fuzz_kodsseis_XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    std::string dir = tmpl;
    if (dbopen((dir + "/db").c_str(), "r+", db) < 0) return false;
    Dbptr wf = dblookup(*db, nullptr, "wfdisc", nullptr, nullptr);
    Dbptr sensor = dblookup(*db, nullptr, "sensor", nullptr, nullptr);
    Dbptr inst = dblookup(*db, nullptr, "instrument", nullptr, nullptr);
    Dbptr sc = dblookup(*db, nullptr, "sitechan", nullptr, nullptr);
    Dbptr site = dblookup(*db, nullptr, "site", nullptr, nullptr);
    const char *chans[] = {"BHE", "BHN", "BHZ"};
    const double hang[] = {90, 0, 0}, vang[] = {90, 90, 0};
    std::vector<float> v(300);
    for (size_t i = 0; i < v.size(); i++) v[i] = (float)(i % 17) - 8.0f;
    FILE *f = fopen((dir + "/w.f4").c_str(), "wb");
    if (!f) return false;
    fwrite(v.data(), sizeof(float), v.size(), f);
    fclose(f);
    f = fopen((dir + "/r.paz").c_str(), "w");
    if (!f) return false;
    fputs("theoretical 1 x paz\n1 1\n1\n-1 0\n0\n", f);
    fclose(f);
    for (int c = 0; c < 3; c++) {
        for (int k = 0; k < 2; k++)
            dbaddv(wf, nullptr, "sta", "AAK", "chan", chans[c], "time", T0 + k * 15.0, "endtime", T0 + k * 15.0 + 9.9,
                   "nsamp", 100L, "samprate", 10.0, "calib", 1.5, "datatype", "f4", "dir", ".", "dfile", "w.f4",
                   "foff", (long)(k * 400), (char *)0);
        dbaddv(sensor, nullptr, "sta", "AAK", "chan", chans[c], "time", T0 - 100, "endtime", T0 + 1000, "inid", 1L,
               (char *)0);
        dbaddv(sc, nullptr, "sta", "AAK", "chan", chans[c], "ondate", 2020001L, "offdate", -1L, "hang", hang[c],
               "vang", vang[c], (char *)0);
    }
    dbaddv(wf, nullptr, "sta", "BBK", "chan", "BHZ", "time", T0, "endtime", T0 + 9.9, "nsamp", 100L, "samprate", 10.0,
           "datatype", "f4", "dir", ".", "dfile", "missing.f4", (char *)0);
    dbaddv(inst, nullptr, "inid", 1L, "dir", ".", "dfile", "r.paz", (char *)0);
    dbaddv(site, nullptr, "sta", "AAK", "ondate", 2020001L, "offdate", -1L, "lat", 1.0, "lon", 2.0, (char *)0);
    return true;
}

char *word(std::vector<std::string> &w, size_t i) { return i < w.size() ? (char *)w[i].c_str() : nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t n) {
    static Dbptr db;
    static bool ok = make_db(&db);
    if (!ok || n > 4096) return 0;
    std::vector<std::string> parts[3];
    int part = 0;
    std::string cur;
    for (size_t i = 0; i <= n; i++) {
        if (i == n || bytes[i] == '\n') {
            if (cur == "|" && part == 0)
                part = 1;
            else if (cur == "||")
                part = 2;
            else if (parts[part].size() < 32)
                parts[part].push_back(cur);
            cur.clear();
        } else if (bytes[i]) {
            cur += (char)bytes[i];
        }
    }
    std::vector<char *> argv;
    for (auto &w : parts[0]) argv.push_back((char *)w.c_str());
    KODsseis *scg = nullptr;
    char handle[64] = "";
    if (kodsseis_create(db, (int)argv.size(), argv.data(), &scg, handle) == 0) {
        char *av[] = {handle, (char *)"0"};
        char line[256];
        int ng = kodsseis_getnstachans(1, av);
        for (int g = -1; g <= ng; g++) {
            std::string num = std::to_string(g);
            av[1] = (char *)num.c_str();
            kodsseis_getstachan(2, av, line);
        }
        std::vector<char *> gv{handle};
        for (auto &w : parts[1]) gv.push_back((char *)w.c_str());
        Dbptr tr = dbinvalid();
        int nsegs = 0;
        if (kodsseis_getchannel((int)gv.size(), gv.data(), &nsegs, &tr) == 0) {
            for (int s = -1; s <= nsegs; s++) {
                double t0, dt;
                int ns;
                float *d;
                if (kodsseis_getsegment(tr, s, &t0, &dt, &ns, &d) == 0 && ns > 0 && d) {
                    volatile float x = d[0] + d[ns - 1];
                    (void)x;
                }
            }
        }
        std::vector<std::string> &w = parts[2];
        if (!w.empty()) {
            const char *sv = word(w, 0), *cv = word(w, 1);
            dsseis_getchannel(scg->dbsc, nullptr, sv && *sv ? (char *)sv : nullptr, cv && *cv ? (char *)cv : nullptr,
                              0, 0, word(w, 2), 1, word(w, 3), w.size() > 4 ? atof(w[4].c_str()) : 0,
                              w.size() > 5 ? atof(w[5].c_str()) : 0, nullptr, &nsegs, &tr);
        }
        trdestroy(&tr);
        kodsseis_free(handle);
    }
    elog_clear_register(0);
    return 0;
}
