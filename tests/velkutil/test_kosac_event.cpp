// SAC images and database rows: samples and station metadata from a trace
// row, event geometry from an origin row, and the way back into new rows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "kosac.h"
#include "rzvtest.h"
#include "tr.h"
#include "tt.h"

namespace {

using rzvtest::has_message;

// Great-circle arc and azimuth in degrees by the spherical formulas, written
// out here so that the library's dist is not checked against itself.
void arc_and_azimuth(double lat1, double lon1, double lat2, double lon2, double *arc, double *az) {
    const double r = M_PI / 180.0;
    double p1 = lat1 * r, p2 = lat2 * r, dl = (lon2 - lon1) * r;
    double a = std::sin((p2 - p1) / 2) * std::sin((p2 - p1) / 2) +
               std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
    *arc = 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) / r;
    double y = std::sin(dl) * std::cos(p2);
    double x = std::cos(p1) * std::sin(p2) - std::sin(p1) * std::cos(p2) * std::cos(dl);
    *az = std::fmod(std::atan2(y, x) / r + 360.0, 360.0);
}

class SacEvent : public ::testing::Test {
protected:
    void SetUp() override {
        trace = trnew(nullptr, nullptr);
        ASSERT_GE(trace.database, 0);
        origin = dblookup(trace, nullptr, "origin", nullptr, "dbALL");
        ASSERT_GE(origin.table, 0);
        samples = static_cast<float *>(malloc(3 * sizeof(float)));
        samples[0] = 1;
        samples[1] = -2;
        samples[2] = 4;
        trace.record = dbaddv(trace, nullptr, "net", "IU", "sta", "ANMO", "chan", "BHZ", "segtype", "V", "data",
                              (void *)samples, "time", kTime, "endtime", kTime + 0.02, "nsamp", 3L, "samprate", 100.0,
                              "lat", 34.9462, "lon", -106.4567, "elev", 1.85, "edepth", 0.1, "hang", 0.0, "vang",
                              0.0, (char *)0);
        ASSERT_GE(trace.record, 0);
        origin.record = dbaddv(origin, nullptr, "time", kTime - 300.0, "lat", -20.33, "lon", -174.03, "depth", 65.5,
                               "orid", 7L, (char *)0);
        ASSERT_GE(origin.record, 0);
        sac = kosac_create(nullptr, nullptr);
        ASSERT_NE(sac, nullptr);
    }
    void TearDown() override {
        kosac_free_kosac(sac);
        trdestroy(&trace);
    }
    static constexpr double kTime = 1580560496.789;
    Dbptr trace{}, origin{};
    float *samples = nullptr;
    KOSac *sac = nullptr;
};

TEST_F(SacEvent, ImportFillsSamplesStationAndEvent) {
    ASSERT_EQ(kosac_putevent_kosac(sac, trace, origin), 0) << rzvtest::all_messages();
    ASSERT_EQ(sac->sacimage->data_nsamples, 3);
    EXPECT_EQ(sac->sacimage->data[2], 4.0f);
    EXPECT_NE(sac->sacimage->data, samples);  // a copy: the row keeps its own
    char net[9], sta[9], chan[9];
    double stla, stlo, stel, stdp, cmpaz, cmpinc, o, evla, evlo, evdp, depmen;
    int64_t norid, npts, idep;
    ASSERT_EQ(kosac_gethdr_kosac(sac, "KNETWK", net, "KSTNM", sta, "KCMPNM", chan, "STLA", &stla, "STLO", &stlo,
                                 "STEL", &stel, "STDP", &stdp, "CMPAZ", &cmpaz, "CMPINC", &cmpinc, "O", &o, "EVLA",
                                 &evla, "EVLO", &evlo, "EVDP", &evdp, "NORID", &norid, "NPTS", &npts, "IDEP", &idep,
                                 "DEPMEN", &depmen, (char *)0),
              0);
    EXPECT_STREQ(net, "IU");
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_STREQ(chan, "BHZ");
    EXPECT_FLOAT_EQ(stla, 34.9462);
    EXPECT_FLOAT_EQ(stlo, -106.4567);
    EXPECT_FLOAT_EQ(stel, 1850.0);  // km in the row, m in the header
    EXPECT_FLOAT_EQ(stdp, 100.0);
    EXPECT_FLOAT_EQ(evdp, 65500.0);
    EXPECT_EQ(cmpaz, 0.0);
    EXPECT_FLOAT_EQ(o, -300.0);
    EXPECT_FLOAT_EQ(evla, -20.33);
    EXPECT_FLOAT_EQ(evlo, -174.03);
    EXPECT_EQ(norid, 7);
    EXPECT_EQ(npts, 3);
    EXPECT_EQ(idep, 7);
    EXPECT_EQ(depmen, 1.0);
    double ref;
    ASSERT_EQ(kosac_getreftime_kosac(sac, &ref), 0);
    EXPECT_NEAR(ref, kTime, 1e-6);
}

TEST_F(SacEvent, GreatCircleQuantities) {
    ASSERT_EQ(kosac_putevent_kosac(sac, trace, origin), 0);
    double gcarc, az, baz, d;
    ASSERT_EQ(kosac_gethdr_kosac(sac, "GCARC", &gcarc, "AZ", &az, "BAZ", &baz, "DIST", &d, (char *)0), 0);
    double arc, az_ev, az_st, arc2;
    arc_and_azimuth(-20.33, -174.03, 34.9462, -106.4567, &arc, &az_ev);
    arc_and_azimuth(34.9462, -106.4567, -20.33, -174.03, &arc2, &az_st);
    EXPECT_NEAR(gcarc, arc, 1e-4);
    EXPECT_NEAR(az, az_ev, 1e-4);   // event to station
    EXPECT_NEAR(baz, az_st, 1e-4);  // station to event
    EXPECT_NEAR(d, arc * 111.19492664455873, 0.01);
    EXPECT_NEAR(d, deg2km(gcarc), 0.01);
    // A plausible figure for Tonga to New Mexico, as a sanity anchor.
    EXPECT_GT(gcarc, 80.0);
    EXPECT_LT(gcarc, 85.0);
}

TEST_F(SacEvent, EventAtTheStation) {
    ASSERT_EQ(dbputv(origin, nullptr, "lat", 34.9462, "lon", -106.4567, (char *)0), 0);
    ASSERT_EQ(kosac_putevent_kosac(sac, trace, origin), 0);
    double gcarc, d;
    ASSERT_EQ(kosac_gethdr_kosac(sac, "GCARC", &gcarc, "DIST", &d, (char *)0), 0);
    EXPECT_NEAR(gcarc, 0.0, 1e-9);
    EXPECT_NEAR(d, 0.0, 1e-6);
}

TEST_F(SacEvent, ExportAddsTraceAndOriginRows) {
    ASSERT_EQ(kosac_putevent_kosac(sac, trace, origin), 0);
    Dbptr tr2 = trace, or2 = origin;
    ASSERT_EQ(kosac_getevent_kosac(sac, &tr2, &or2), 0) << rzvtest::all_messages();
    EXPECT_EQ(tr2.record, trace.record + 1);
    EXPECT_EQ(or2.record, origin.record + 1);
    char sta[16], chan[16], net[16], seg[4];
    void *data = nullptr;
    double time, endtime, rate, lat, lon, elev, edepth, hang, vang;
    long nsamp;
    ASSERT_EQ(dbgetv(tr2, nullptr, "sta", sta, "chan", chan, "net", net, "segtype", seg, "data", &data, "time", &time,
                     "endtime", &endtime, "nsamp", &nsamp, "samprate", &rate, "lat", &lat, "lon", &lon, "elev", &elev,
                     "edepth", &edepth, "hang", &hang, "vang", &vang, (char *)0),
              0);
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_STREQ(chan, "BHZ");
    EXPECT_STREQ(net, "IU");
    EXPECT_STREQ(seg, "V");
    EXPECT_NEAR(time, kTime, 1e-5);
    EXPECT_NEAR(endtime, kTime + 0.02, 1e-5);
    EXPECT_EQ(nsamp, 3);
    EXPECT_NEAR(rate, 100.0, 1e-4);
    EXPECT_NEAR(elev, 1.85, 1e-6);  // back to km
    EXPECT_NEAR(edepth, 0.1, 1e-6);
    EXPECT_NEAR(lat, 34.9462, 1e-5);
    ASSERT_NE(data, nullptr);
    EXPECT_NE(data, (void *)samples);
    EXPECT_EQ(static_cast<float *>(data)[1], -2.0f);
    double otime, olat, olon, depth;
    long nass, ndef;
    ASSERT_EQ(dbgetv(or2, nullptr, "time", &otime, "lat", &olat, "lon", &olon, "depth", &depth, "nass", &nass, "ndef",
                     &ndef, (char *)0),
              0);
    EXPECT_NEAR(otime, kTime - 300.0, 1e-3);
    EXPECT_NEAR(olat, -20.33, 1e-4);
    EXPECT_NEAR(depth, 65.5, 1e-3);
    EXPECT_EQ(nass, 0);
    EXPECT_EQ(ndef, 0);
}

TEST_F(SacEvent, HalfKilometreRoundTrip) {
    ASSERT_EQ(dbputv(trace, nullptr, "elev", 0.5, "segtype", "d", (char *)0), 0);
    ASSERT_EQ(kosac_putevent_kosac(sac, trace, origin), 0);
    double stel;
    ASSERT_EQ(kosac_gethdr_kosac(sac, "STEL", &stel, (char *)0), 0);
    EXPECT_EQ(stel, 500.0);
    Dbptr tr2 = trace, or2 = origin;
    ASSERT_EQ(kosac_getevent_kosac(sac, &tr2, &or2), 0);
    double elev;
    char seg[4];
    ASSERT_EQ(dbgetv(tr2, nullptr, "elev", &elev, "segtype", seg, (char *)0), 0);
    EXPECT_EQ(elev, 0.5);
    EXPECT_STREQ(seg, "-");  // lower-case "d" is no known type
}

TEST_F(SacEvent, ImportFailures) {
    Dbptr bad = trace;
    bad.record = 99;
    EXPECT_EQ(kosac_putevent_kosac(sac, bad, origin), -1);
    EXPECT_TRUE(has_message("kosac_putevent_kosac: dbgetv(dbtrace) error.\n"));
    bad = origin;
    bad.record = 99;
    EXPECT_EQ(kosac_putevent_kosac(sac, trace, bad), -1);
    EXPECT_TRUE(has_message("kosac_putevent_kosac: dbgetv(dborigin) error.\n"));
    ASSERT_EQ(dbputv(trace, nullptr, "nsamp", 0L, (char *)0), 0);
    EXPECT_EQ(kosac_putevent_kosac(sac, trace, origin), -1);
    EXPECT_TRUE(has_message("kosac_putdata_kosac: Number of samples < 1\n"));
    EXPECT_TRUE(has_message("kosac_putevent_kosac: kosac_putdata_kosac() error.\n"));
}

TEST_F(SacEvent, ExportOfAnImageWithoutSamples) {
    // A new image: no samples, null header values exported as they stand.
    Dbptr tr2 = trace, or2 = origin;
    ASSERT_EQ(kosac_getevent_kosac(sac, &tr2, &or2), 0);
    long nsamp;
    void *data = (void *)1;
    ASSERT_EQ(dbgetv(tr2, nullptr, "nsamp", &nsamp, "data", &data, (char *)0), 0);
    EXPECT_EQ(nsamp, 0);
    EXPECT_EQ(data, nullptr);
}

}  // namespace
