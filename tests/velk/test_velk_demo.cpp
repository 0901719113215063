// The demo database as a seismologist would check it: every table it
// promises, waveforms readable in both datatypes with the gap where it is
// said to be, P and S onsets at the predicted times, orientations that
// rotate as the sitechan rows say; and the channel reader and pictures on
// it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <libmseed.h>

#include "db.h"
#include "demo_db.h"
#include "komoment.h"
#include "pictures.h"
#include "rzvtest.h"
#include "stock.h"
#include "tr.h"
#include "velk.h"
#include "wfread.h"

using namespace velk;

namespace {

class DemoDb : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tmp_ = new rzvtest::TempDir;
        info_ = new DemoInfo(build_demo_database(tmp_->path() + "/out"));
    }
    static void TearDownTestSuite() {
        delete info_;
        delete tmp_;
    }
    static const DemoInfo &info() { return *info_; }
    long count(const char *table) {
        Dbptr db;
        if (dbopen(info().dbname.c_str(), "r", &db) < 0) return -1;
        long n = -1;
        dbquery(dblookup(db, 0, table, 0, 0), dbRECORD_COUNT, &n);
        dbclose(db);
        return n;
    }

private:
    static rzvtest::TempDir *tmp_;
    static DemoInfo *info_;
};
rzvtest::TempDir *DemoDb::tmp_ = nullptr;
DemoInfo *DemoDb::info_ = nullptr;

// Root mean square of samples between t0 and t1 (gaps left out).
double rms(const Segment &s, double t0, double t1) {
    double sum = 0;
    long n = 0;
    for (size_t k = 0; k < s.data.size(); k++) {
        double t = s.t0 + (double)k * s.dt;
        if (t < t0 || t > t1 || std::fabs(s.data[k]) > 1e29f) continue;
        sum += (double)s.data[k] * s.data[k];
        n++;
    }
    return n ? std::sqrt(sum / (double)n) : 0;
}

// The first time after `from` where the samples leave the noise of the
// preceding 20 s by a factor of ten.
double onset(const Segment &s, double from) {
    double noise = rms(s, from - 20, from);
    for (size_t k = 0; k < s.data.size(); k++) {
        double t = s.t0 + (double)k * s.dt;
        if (t >= from && std::fabs(s.data[k]) > 10 * noise) return t;
    }
    return -1;
}

}  // namespace

TEST_F(DemoDb, HoldsEveryTableOfASmallNetwork) {
    EXPECT_GE(info().stations.size(), 8u);
    for (const DemoStation &s : info().stations) {
        EXPECT_GE(s.distance, 2.0);
        EXPECT_LE(s.distance, 90.0);
    }
    long n = (long)info().stations.size();
    EXPECT_EQ(count("site"), n);
    EXPECT_EQ(count("sitechan"), 3 * n);
    EXPECT_EQ(count("sensor"), 3 * n);
    EXPECT_EQ(count("calibration"), 3 * n);
    EXPECT_EQ(count("snetsta"), n);
    EXPECT_EQ(count("schanloc"), 3 * n);
    EXPECT_EQ(count("instrument"), 1);
    EXPECT_EQ(count("wfdisc"), 3 * n + 1);  // the gap splits one channel
    EXPECT_EQ(count("event"), 1);
    EXPECT_EQ(count("origin"), 2);
    EXPECT_EQ(count("origerr"), 2);
    EXPECT_EQ(count("arrival"), 2 * n);
    EXPECT_EQ(count("assoc"), 3 * n);
    EXPECT_EQ(count("netmag"), 3);
    EXPECT_EQ(count("stamag"), n);
    EXPECT_EQ(count("mt"), 1);
    EXPECT_EQ(count("detection"), 3 * n + 1);
    EXPECT_TRUE(info().missing_phases.empty());  // P, S, PP and SS all predicted

    Dbptr db;
    ASSERT_EQ(dbopen(info().dbname.c_str(), "r", &db), 0);
    // The instrument's response file is where the row says and reads.
    Dbptr ins = dblookup(db, 0, "instrument", 0, 0);
    ins.record = 0;
    char path[FILENAME_MAX];
    EXPECT_EQ(dbextfile(ins, 0, path), 1);
    // SEED codes map through snetsta and schanloc.
    char snet[16], fsta[16], fchan[16], loc[16];
    EXPECT_EQ(dbseed_net(db, "KV03", snet, fsta), 0);
    EXPECT_STREQ(snet, "XV");
    EXPECT_EQ(dbseed_loc(db, "KV03", "BHE", fchan, loc), 0);
    EXPECT_STREQ(loc, "00");
    // Real orientations: verticals up, horizontals north and east, KV06 off by 4 degrees.
    Dbptr sc = dblookup(db, 0, "sitechan", 0, 0);
    long nsc = 0;
    dbquery(sc, dbRECORD_COUNT, &nsc);
    for (sc.record = 0; sc.record < nsc; sc.record++) {
        char sta[8], chan[9];
        double hang, vang;
        dbgetv(sc, 0, "sta", sta, "chan", chan, "hang", &hang, "vang", &vang, (char *)0);
        double off = std::string(sta) == "KV06" ? 4.0 : 0.0;
        if (chan[2] == 'Z') {
            EXPECT_EQ(vang, 0.0) << sta;
        } else {
            EXPECT_EQ(hang, chan[2] == 'N' ? off : 90.0 + off) << sta << " " << chan;
            EXPECT_EQ(vang, 90.0) << sta;
        }
    }
    // The mt row's axes agree with the analysis of its tensor: a thrust,
    // T axis steep, share of double couple as stored.
    Dbptr mt = dblookup(db, 0, "mt", 0, 0);
    mt.record = 0;
    double tplunge = 0, pdc = 0;
    dbgetv(mt, 0, "taxplunge", &tplunge, "pdc", &pdc, (char *)0);
    EXPECT_GT(tplunge, 60.0);
    KOMoment *m = komoment_create(info().mt[0], info().mt[1], info().mt[2], info().mt[3], info().mt[4], info().mt[5],
                                  nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_NEAR(pdc, m->percent_dc, 0.01);
    komoment_free_komoment(m);
    dbclose(db);
}

TEST_F(DemoDb, WaveformsInBothDatatypesWithTheGapWhereItIsSaid) {
    Dbptr db;
    ASSERT_EQ(dbopen(info().dbname.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    long n = 0, sd = 0, s4 = 0;
    dbquery(wf, dbRECORD_COUNT, &n);
    float *buf = nullptr;
    long cap = 0;
    for (wf.record = 0; wf.record < n; wf.record++) {
        char dt[4], sta[8], chan[9];
        long nsamp;
        double time;
        dbgetv(wf, 0, "datatype", dt, "nsamp", &nsamp, "time", &time, "sta", sta, "chan", chan, (char *)0);
        (std::string(dt) == "sd" ? sd : s4)++;
        double ts, te;
        long got = 0;
        ASSERT_EQ(trgetwf(wf, &buf, &cap, time, time + 1e5, &ts, &te, &got), 0) << sta << " " << chan;
        EXPECT_EQ(got, nsamp) << sta << " " << chan;
        for (long k = 0; k < got; k++) ASSERT_LT(std::fabs(buf[k]), 1e29f) << sta << " " << chan << " " << k;
    }
    free(buf);
    dbclose(db);
    EXPECT_GT(sd, 0);
    EXPECT_GT(s4, 0);
    EXPECT_EQ(sd + s4, n);
    EXPECT_GE(sd, info().miniseed_files);  // one file per channel, a split channel has two rows
    // The miniSEED files are records that libmseed itself reads back.
    MSRecord *msr = nullptr;
    int64_t total = 0;
    std::string file = info().dir + "/wf/KV02.BHZ.mseed";
    int rc;
    while ((rc = ms_readmsr(&msr, file.c_str(), 0, nullptr, nullptr, 1, 0, 0)) == MS_NOERROR) {
        EXPECT_STREQ(msr->network, "XV");
        EXPECT_STREQ(msr->location, "00");
        total += msr->samplecnt;
    }
    ms_readmsr(&msr, nullptr, 0, nullptr, nullptr, 0, 0, 0);
    EXPECT_EQ(total, 3600L * 40);

    // The gap through the channel reader: two rows around 40 s.
    ChannelReader reader(info().dbname, 0, 0, 2);
    std::vector<ChannelSegment> segs;
    ASSERT_TRUE(reader.read(info().gap_sta, info().gap_chan, info().t0, info().t1, false, false, &segs));
    ASSERT_EQ(segs.size(), 2u);
    double end0 = segs[0].seg.t0 + segs[0].seg.dt * ((double)segs[0].seg.data.size() - 1);
    EXPECT_NEAR(end0, info().gap_t0, 1e-3);
    EXPECT_NEAR(segs[1].seg.t0, info().gap_t1, 1e-3);
    EXPECT_NEAR(segs[1].seg.t0 - end0, 40.025, 1e-3);
    Segment whole = fill_gaps(segs, nullptr);
    EXPECT_EQ((long)whole.data.size(), 3600L * 40);
    // Calibration multiplies by the row's calib (0.5 nm/s per count).
    std::vector<ChannelSegment> cal;
    ASSERT_TRUE(reader.read("KV01", "BHZ", info().t0, info().t0 + 10, true, false, &cal));
    std::vector<ChannelSegment> raw;
    ASSERT_TRUE(reader.read("KV01", "BHZ", info().t0, info().t0 + 10, false, false, &raw));
    ASSERT_EQ(cal.size(), 1u);
    EXPECT_EQ(cal[0].calib, 0.5);
    for (size_t k = 0; k < raw[0].seg.data.size(); k++) EXPECT_FLOAT_EQ(cal[0].seg.data[k], raw[0].seg.data[k] * 0.5f);
    // A pair the view does not have reads as nothing.
    EXPECT_TRUE(reader.read("NONE", "BHZ", info().t0, info().t1, false, false, &segs));
    EXPECT_TRUE(segs.empty());
}

TEST_F(DemoDb, OnsetsSitAtThePredictedTimes) {
    ChannelReader reader(info().dbname, 0, 0, 1);
    for (const DemoStation &s : info().stations) {
        double tp = info().origin + s.ptime, ts = info().origin + s.stime;
        std::vector<ChannelSegment> z, n, e;
        ASSERT_TRUE(reader.read(s.sta, "BHZ", tp - 40, tp + 20, true, false, &z));
        ASSERT_FALSE(z.empty());
        Segment zz = fill_gaps(z, nullptr);
        // Quiet up to the predicted P, above the noise within a fifth of a
        // second of it (the wavelet's own rise).
        double on = onset(zz, tp - 10);
        EXPECT_GE(on, tp - zz.dt) << s.sta;
        EXPECT_LE(on, tp + 0.2) << s.sta;
        EXPECT_GT(rms(zz, tp, tp + 5), 5 * rms(zz, tp - 20, tp - 1)) << s.sta;
        // S is larger on the horizontals than the P coda before it.
        ASSERT_TRUE(reader.read(s.sta, "BHN", ts - 20, ts + 10, true, false, &n));
        ASSERT_TRUE(reader.read(s.sta, "BHE", ts - 20, ts + 10, true, false, &e));
        double before = std::hypot(rms(n[0].seg, ts - 10, ts - 1), rms(e[0].seg, ts - 10, ts - 1));
        double after = std::hypot(rms(n[0].seg, ts, ts + 5), rms(e[0].seg, ts, ts + 5));
        EXPECT_GT(after, 3 * before) << s.sta;
    }
}

TEST(Pictures, LowerHemisphereIsTheUpperTurnedRound) {
    // Radiation z (x + 2y): in the upper hemisphere positive to the north
    // and east of the nodal line, in the lower to the south and west.
    const double m[6] = {0, 0, 0, 0, 0.5, 1};
    // Whether a picture point is shaded: the even-odd rule over every
    // fill path, as the picture is drawn.
    auto shaded = [&](bool lower, double px, double py) {
        std::string svg, line;
        EXPECT_TRUE(beachball_svg(m, 400, lower, "", &svg, &line));
        bool inside = false;
        std::regex fill_re("class=\"fill\" d=\"([^\"]+)\"");
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), fill_re); it != std::sregex_iterator(); ++it) {
            std::string d = std::regex_replace((*it)[1].str(), std::regex("[MLZ]"), " ");
            std::istringstream in(d);
            std::vector<std::pair<double, double>> v;
            double x, y;
            while (in >> x >> y) v.emplace_back(x, y);
            for (size_t i = 0, j = v.size() - 1; i < v.size(); j = i++)
                if ((v[i].second > py) != (v[j].second > py) &&
                    px < (v[j].first - v[i].first) * (py - v[i].second) / (v[j].second - v[i].second) + v[i].first)
                    inside = !inside;
        }
        return inside;
    };
    // The centre of the picture is (200, 200); north is up in both views.
    EXPECT_TRUE(shaded(false, 250, 100));   // upper: north-east shaded
    EXPECT_FALSE(shaded(false, 150, 300));  // south-west not
    EXPECT_FALSE(shaded(true, 250, 100));   // lower: the other way round
    EXPECT_TRUE(shaded(true, 150, 300));
    std::string svg, line;
    const double bad[6] = {NAN, 0, 0, 0, 0, 0};
    EXPECT_FALSE(beachball_svg(bad, 400, false, "", &svg, &line));
}

TEST(Pictures, PanelMarksSitAtTheirTimes) {
    Panel p;
    p.label = "A BHZ";
    p.segments.push_back(Segment{100.0, 0.5, std::vector<float>(400, 0.0f)});
    p.marks = {Mark{150.0, "P", "predicted"}, Mark{160.0, "P pick", "pick"}, Mark{500.0, "late", "pick"}};
    std::string svg = panels_svg({p}, 100.0, 300.0, 100.0, "t");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("data-x0=\"([0-9.]+)\" data-x1=\"([0-9.]+)\"")));
    double x0 = std::stod(m[1]), x1 = std::stod(m[2]);
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("class=\"predicted\" data-time=\"150.000\" x1=\"([0-9.]+)\"")));
    EXPECT_NEAR(std::stod(m[1]), x0 + 0.25 * (x1 - x0), 0.06);
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("class=\"pick\" data-time=\"160.000\" x1=\"([0-9.]+)\"")));
    EXPECT_NEAR(std::stod(m[1]), x0 + 0.30 * (x1 - x0), 0.06);
    EXPECT_EQ(svg.find("late"), std::string::npos);  // outside the window: not drawn
    // A flat trace still draws (scaled to 1), and extents leave gaps out.
    EXPECT_NE(svg.find("class=\"trace\" data-label=\"A BHZ\" d=\"M"), std::string::npos);
    double mean = 0, peak = 0;
    segment_extent({Segment{0.0, 1.0, {1, 3, 1e30f, 5}}}, 0, 10, &mean, &peak);
    EXPECT_DOUBLE_EQ(mean, 3);
    EXPECT_DOUBLE_EQ(peak, 2);
}
