// A waveform database in a temporary directory for the data source tests:
// wfdisc rows with little-endian float waveform files, and the sensor,
// instrument (with response files), sitechan and site rows that go with
// them, written with the engine's own writers.
#ifndef RZV_TEST_KODSSEIS_FIXTURE_H
#define RZV_TEST_KODSSEIS_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "db.h"
#include "rzvtest.h"
#include "stock.h"
#include "response.h"
#include "tr.h"
#include "velkutil.h"

namespace kodsseis_test {

const double T0 = 1580515200.0;  // 2020-02-01 00:00:00, day 2020032

class SourceDb : public ::testing::Test {
protected:
    rzvtest::TempDir dir;
    Dbptr db{}, wf{}, sensor{}, instrument{}, sitechan{}, site{};
    Dbptr tr = dbinvalid();
    std::vector<std::string> handles;
    int nfile = 0;

    void SetUp() override {
        elog_clear_register(0);
        ASSERT_EQ(dbopen(dir.file("db").c_str(), "r+", &db), 0);
        wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        sensor = dblookup(db, nullptr, "sensor", nullptr, nullptr);
        instrument = dblookup(db, nullptr, "instrument", nullptr, nullptr);
        sitechan = dblookup(db, nullptr, "sitechan", nullptr, nullptr);
        site = dblookup(db, nullptr, "site", nullptr, nullptr);
    }
    void TearDown() override {
        for (auto &h : handles) kodsseis_free((char *)h.c_str());
        trdestroy(&tr);
        dbclose(db);
    }

    // A waveform file of samples (f4) and its wfdisc row; returns the file.
    std::string add_wf(const char *sta, const char *chan, double time, const std::vector<float> &v,
                       double rate = 10.0, double calib = 1.0, bool write = true) {
        std::string name = "w" + std::to_string(nfile++) + ".f4";
        if (write) {
            std::ofstream f(dir.file(name), std::ios::binary);
            f.write(reinterpret_cast<const char *>(v.data()), (std::streamsize)(v.size() * sizeof(float)));
        }
        long n = (long)v.size();
        EXPECT_GE(dbaddv(wf, nullptr, "sta", sta, "chan", chan, "time", time, "endtime", time + (n - 1) / rate,
                         "nsamp", n, "samprate", rate, "calib", calib, "calper", 1.0, "datatype", "f4", "dir", ".",
                         "dfile", name.c_str(), "foff", 0L, "jdate", yearday(time), "wfid", (long)nfile,
                         (char *)0),
                  0);
        return name;
    }
    void add_sensor(const char *sta, const char *chan, double t, double et, long inid, long chanid = -1) {
        EXPECT_GE(dbaddv(sensor, nullptr, "sta", sta, "chan", chan, "time", t, "endtime", et, "inid", inid,
                         "chanid", chanid, "calratio", 1.0, (char *)0),
                  0);
    }
    void add_instrument(long inid, const char *dfile, const char *text, double ncalib = 1.0) {
        if (text) rzvtest::write_file(dir.file(dfile), text);
        EXPECT_GE(dbaddv(instrument, nullptr, "inid", inid, "insname", "test", "dir", ".", "dfile", dfile,
                         "ncalib", ncalib, "ncalper", 1.0, (char *)0),
                  0);
    }
    void add_sitechan(const char *sta, const char *chan, double hang, double vang, long chanid = -1) {
        EXPECT_GE(dbaddv(sitechan, nullptr, "sta", sta, "chan", chan, "ondate", 2019001L, "offdate", -1L,
                         "chanid", chanid, "hang", hang, "vang", vang, (char *)0),
                  0);
    }
    void add_site(const char *sta, double lat, double lon) {
        EXPECT_GE(dbaddv(site, nullptr, "sta", sta, "ondate", 2019001L, "offdate", -1L, "lat", lat, "lon", lon,
                         "elev", 0.1, (char *)0),
                  0);
    }

    // kodsseis_create with words; the handle is freed at the end.
    int create(std::vector<std::string> words, KODsseis **s = nullptr, std::string *tag = nullptr) {
        std::vector<char *> argv;
        for (auto &w : words) argv.push_back((char *)w.c_str());
        KODsseis *scg = nullptr;
        char handle[64] = "";
        int rc = kodsseis_create(db, (int)argv.size(), argv.data(), &scg, handle);
        if (rc == 0) handles.push_back(handle);
        if (s) *s = scg;
        if (tag) *tag = handle;
        return rc;
    }
    static std::string tstr(double t) {
        char b[64];
        snprintf(b, sizeof b, "%.5f", t);
        return b;
    }
    static long count(Dbptr p) {
        long n = -1;
        p.record = dbALL;
        dbquery(p, dbRECORD_COUNT, &n);
        return n;
    }
    // Samples of trace row r.
    std::vector<float> samples(long r, double *time = nullptr) {
        double t0 = 0, dt = 0;
        int n = 0;
        float *d = nullptr;
        Dbptr p = tr;
        p.record = r;
        EXPECT_EQ(kodsseis_getsegment(p, -1, &t0, &dt, &n, &d), 0) << rzvtest::all_messages();
        if (time) *time = t0;
        return d ? std::vector<float>(d, d + n) : std::vector<float>();
    }
    std::string field(long r, const char *name) {
        char b[128] = "";
        Dbptr p = tr;
        p.record = r;
        dbgetv(p, nullptr, name, b, (char *)0);
        return b;
    }
    double num(long r, const char *name) {
        double x = -12345;
        Dbptr p = tr;
        p.record = r;
        dbgetv(p, nullptr, name, &x, (char *)0);
        return x;
    }
};

inline std::vector<float> ramp(int n, float start = 0, float step = 1) {
    std::vector<float> v((size_t)n);
    for (int i = 0; i < n; i++) v[(size_t)i] = start + step * (float)i;
    return v;
}

}  // namespace kodsseis_test

#endif
