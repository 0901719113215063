// The seismic data source: options and messages of creation, the loading
// plan (selection, order, outer joins with instruments, responses,
// orientations and coordinates), groups and their descriptions, handles,
// and channel extraction with its gap modes, calibration and responses.
#include "test_kodsseis_fixture.h"

namespace {

using namespace kodsseis_test;
using rzvtest::has_message;

const char *kPaz =
    "theoretical 1 acme paz\n"
    "1.0 1.0\n"
    "1\n"
    "-1.0 0.0\n"
    "0\n";

// Runs first: before any source exists the lookup says so.
TEST(KodsseisRegistry, LookupBeforeAnySource) {
    elog_clear_register(0);
    EXPECT_EQ(kodsseis_get((char *)"scg1"), nullptr);
    EXPECT_TRUE(has_message("kodsseis_get: No scgs"));
    char *argv[] = {(char *)"scg1"};
    EXPECT_EQ(kodsseis_getnstachans(1, argv), -1);
}

class Source : public SourceDb {};

TEST_F(Source, UsageAndOptionErrors) {
    EXPECT_EQ(create({"x"}), 2);
    EXPECT_TRUE(has_message("@db tstart tend [-sta sta_expr] [-chan chan_expr] [-coord coord_flag] "
                            "[-ir ir_flag] [-orient orient_flag]"));
    EXPECT_EQ(kodsseis_create(db, 0, nullptr, nullptr, nullptr), 2);
    elog_clear_register(0);
    EXPECT_EQ(create({tstr(T0), tstr(T0 + 3600), "-bogus", "1"}), 1);
    EXPECT_EQ(rzvtest::messages().back(), "Unrecognized option -bogus");
    EXPECT_EQ(create({tstr(T0), tstr(T0 + 3600), "-sta"}), 1);
    EXPECT_EQ(rzvtest::messages().back(), "Need -sta argument.");
    EXPECT_EQ(create({"yesterday-ish", tstr(T0 + 3600)}), 1);
    EXPECT_TRUE(has_message("kodsseis_create: Cannot convert time 'yesterday-ish'."));
    // a selection without rows, and an expression that does not compile
    elog_clear_register(0);
    EXPECT_EQ(create({tstr(T0), tstr(T0 + 3600)}), -1);
    EXPECT_TRUE(has_message("grdb_sc_loadcss: No wfdisc rows to process.\n"));
    add_wf("AAK", "BHZ", T0, ramp(10));
    EXPECT_EQ(create({tstr(T0), tstr(T0 + 3600), "-sta", "(("}), -1);
    EXPECT_TRUE(has_message("grdb_sc_loadcss: dbsubset() error.\n"));
}

TEST_F(Source, SelectsOrdersAndGroups) {
    // out of order in the table; one row ends exactly at the start, one
    // starts exactly at the end: both left out (strict overlap)
    add_wf("AAK", "BHZ", T0 + 200, ramp(100));
    add_wf("BBK", "BHZ", T0 + 10, ramp(100));
    add_wf("AAK", "BHZ", T0 + 100, ramp(100));
    add_wf("AAK", "BHN", T0 + 10, ramp(100));
    add_wf("AAK", "BHZ", T0 + 10, ramp(100));
    add_wf("AAK", "BHZ", T0 - 99.9, ramp(1000));  // ends at T0 - 0.0
    add_wf("CCK", "BHZ", T0 + 3600, ramp(100));   // starts at the end
    KODsseis *s = nullptr;
    std::string tag;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600)}, &s, &tag), 0) << rzvtest::all_messages();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(kodsseis_get((char *)tag.c_str()), s);
    char *argv[] = {(char *)tag.c_str(), (char *)"0"};
    EXPECT_EQ(kodsseis_getnstachans(1, argv), 3);
    char out[128];
    ASSERT_EQ(kodsseis_getstachan(2, argv, out), 0);
    // groups in station then channel order: AAK BHN, AAK BHZ, BBK BHZ
    EXPECT_EQ(std::string(out), "- AAK BHN 1 " + tstr(T0 + 10) + " " + tstr(T0 + 19.9));
    argv[1] = (char *)"1";
    ASSERT_EQ(kodsseis_getstachan(2, argv, out), 0);
    EXPECT_EQ(std::string(out), "- AAK BHZ 3 " + tstr(T0 + 10) + " " + tstr(T0 + 209.9));
    // rows of a channel in start-time order
    std::vector<double> times;
    for (long r = 1; r < 4; r++) {
        Dbptr p = s->dbsc;
        p.record = r;
        double t = 0;
        dbgetv(p, nullptr, "time", &t, (char *)0);
        times.push_back(t);
    }
    EXPECT_EQ(times, (std::vector<double>{T0 + 10, T0 + 100, T0 + 200}));
    argv[1] = (char *)"3";
    elog_clear_register(0);
    EXPECT_EQ(kodsseis_getstachan(2, argv, out), -1);
    EXPECT_TRUE(has_message("kodsseis_getstachan: Group 3 out of range (3 groups).\n"));
    argv[1] = (char *)"-1";
    EXPECT_EQ(kodsseis_getstachan(2, argv, out), -1);
    EXPECT_EQ(kodsseis_getstachan(1, argv, out), -1);

    // station and channel expressions
    KODsseis *s2 = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-sta", "AA.", "-chan", "BH[NE]"}, &s2), 0);
    EXPECT_EQ(count(s2->dbscgr), 1);
    // both times 0: no time condition, every row
    KODsseis *s3 = nullptr;
    ASSERT_EQ(create({"0", "0"}, &s3), 0);
    EXPECT_EQ(count(s3->dbsc), 7);
}

TEST_F(Source, TagsAreNeverReusedAndFreeIsSilent) {
    add_wf("AAK", "BHZ", T0, ramp(10));
    std::string a, b;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 60)}, nullptr, &a), 0);
    ASSERT_EQ(a.rfind("scg", 0), 0u);
    long first = atol(a.c_str() + 3);
    EXPECT_GE(first, 1);
    kodsseis_free((char *)a.c_str());
    handles.erase(handles.begin());
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 60)}, nullptr, &b), 0);
    EXPECT_EQ(atol(b.c_str() + 3), first + 1);
    elog_clear_register(0);
    EXPECT_EQ(kodsseis_get((char *)a.c_str()), nullptr);
    EXPECT_TRUE(has_message("kodsseis_get: Cannot find " + a));
    // an unknown tag frees nothing and leaves earlier messages alone
    elog_clear_register(0);
    elog_log(0, "earlier\n");
    kodsseis_free((char *)"scg999999");
    kodsseis_free(nullptr);
    EXPECT_EQ(rzvtest::messages().size(), 1u);
    EXPECT_NE(kodsseis_get((char *)b.c_str()), nullptr);
}

TEST_F(Source, OuterJoinsKeepRowsWithoutPartners) {
    add_wf("AAK", "BHZ", T0, ramp(100));
    add_wf("AAK", "BHN", T0, ramp(100));
    add_wf("ZZK", "BHZ", T0, ramp(100));  // no sensor at all
    add_sensor("AAK", "BHZ", T0 - 86400, 9999999999.999, 1);
    add_sensor("AAK", "BHN", T0 - 86400, 9999999999.999, 1);
    add_instrument(1, "paz.resp", kPaz);
    add_sitechan("AAK", "BHZ", 0, 0);  // no chanid anywhere: joined by day
    add_sitechan("AAK", "BHN", 0, 90);
    add_site("AAK", 61.5, 74.5);
    KODsseis *s = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-orient", "1"}, &s), 0) << rzvtest::all_messages();
    EXPECT_EQ(count(s->dbsc), 3);
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-orient", "1", "-ir", "1", "-coord", "1"}, &s), 0)
        << rzvtest::all_messages();
    ASSERT_EQ(count(s->dbsc), 3);
    Dbptr p = s->dbsc;
    std::vector<double> vang, lat;
    std::vector<long> inid;
    for (p.record = 0; p.record < 3; p.record++) {
        double v = -5, la = -5;
        long id = -5;
        int mark = elog_mark();
        dbgetv(p, nullptr, "sitechan.vang", &v, "site.lat", &la, "instrument.inid", &id, (char *)0);
        elog_flush(0, mark);
        vang.push_back(v);
        lat.push_back(la);
        inid.push_back(id);
    }
    EXPECT_EQ(vang, (std::vector<double>{90, 0, -1}));  // BHN, BHZ, ZZK without partner
    EXPECT_EQ(lat, (std::vector<double>{61.5, 61.5, -999}));
    EXPECT_EQ(inid, (std::vector<long>{1, 1, -1}));

    // the extracted channel carries orientation, coordinates and response
    int nsegs = 0;
    ASSERT_EQ(dsseis_getchannel(s->dbsc, nullptr, (char *)"AAK", (char *)"BHN", 0, 0, nullptr, 0, nullptr, 0, 0,
                                nullptr, &nsegs, &tr),
              0)
        << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 1);
    EXPECT_EQ(num(0, "vang"), 90);
    EXPECT_EQ(num(0, "lat"), 61.5);
    void *resp = nullptr;
    Dbptr row = tr;
    row.record = 0;
    ASSERT_EQ(dbgetv(row, nullptr, "response", &resp, (char *)0), 0);
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(static_cast<Response *>(resp)->nstages, 1);
    // a second source shares the response read once
    KODsseis *s2 = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "2"}, &s2), 0);
    ASSERT_EQ(dsseis_getchannel(s2->dbsc, nullptr, (char *)"AAK", (char *)"BHZ", 0, 0, nullptr, 0, nullptr, 0, 0,
                                nullptr, &nsegs, &tr),
              0);
    void *resp2 = nullptr;
    row.record = 1;
    ASSERT_EQ(dbgetv(row, nullptr, "response", &resp2, (char *)0), 0);
    EXPECT_EQ(resp2, resp);
}

TEST_F(Source, RowSpanningASensorChangeIsLoadedOnce) {
    add_wf("AAK", "BHZ", T0, ramp(100));        // 0 .. 9.9 s
    add_wf("AAK", "BHZ", T0 + 10, ramp(100));   // 10 .. 19.9 s
    add_sensor("AAK", "BHZ", T0 + 5, 9999999999.999, 2);  // the new sensor, listed first
    add_sensor("AAK", "BHZ", T0 - 100, T0 + 5, 1);
    add_instrument(1, "one.resp", kPaz);
    add_instrument(2, "two.resp", kPaz);
    KODsseis *s = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "1"}, &s), 0) << rzvtest::all_messages();
    // the joined rows: one per partner
    ASSERT_EQ(count(s->dbsc), 3);
    std::vector<long> inids;
    Dbptr p = s->dbsc;
    for (p.record = 0; p.record < 3; p.record++) {
        long inid = 0;
        dbgetv(p, nullptr, "sensor.inid", &inid, (char *)0);
        inids.push_back(inid);
    }
    EXPECT_EQ(inids, (std::vector<long>{2, 1, 2}));
    char *argv[] = {(char *)"", (char *)"0"};
    std::string tag = handles.back();
    argv[0] = (char *)tag.c_str();
    char out[128];
    ASSERT_EQ(kodsseis_getstachan(2, argv, out), 0);
    EXPECT_EQ(std::string(out).substr(0, 12), "- AAK BHZ 2 ");
    int nsegs = 0;
    ASSERT_EQ(dsseis_getchannel(s->dbsc, nullptr, nullptr, nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr, &nsegs,
                                &tr),
              0);
    EXPECT_EQ(nsegs, 1);  // spliced, no sample twice
    EXPECT_EQ(samples(tr.record).size(), 200u);
    // the first row's response is the one of the sensor in effect at its start
    Dbptr first = tr;
    first.record = tr.record;
    void *resp = nullptr;
    ASSERT_EQ(dbgetv(first, nullptr, "response", &resp, (char *)0), 0);
    ASSERT_NE(resp, nullptr);
    KODsseis *only1 = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 5), "-ir", "1", "-sta", "AAK"}, &only1), 0);
    Dbptr tr1 = dbinvalid();
    ASSERT_EQ(dsseis_getchannel(only1->dbsc, nullptr, nullptr, nullptr, T0, T0 + 4, nullptr, 0, nullptr, 0, 0,
                                nullptr, &nsegs, &tr1),
              0);
    void *resp1 = nullptr;
    tr1.record = 0;
    dbgetv(tr1, nullptr, "response", &resp1, (char *)0);
    trdestroy(&tr1);
    EXPECT_EQ(resp, resp1);
}

TEST_F(Source, ResponseFilesMissingOrMalformed) {
    add_wf("AAK", "BHZ", T0, ramp(100));
    add_wf("BBK", "BHZ", T0, ramp(100));
    add_sensor("AAK", "BHZ", T0 - 10, T0 + 86400, 1);
    add_sensor("BBK", "BHZ", T0 - 10, T0 + 86400, 2);
    add_instrument(1, "gone.resp", nullptr);
    add_instrument(2, "fap.resp", "measured 1 lab fap\n2\n1.0 1.0 0.0\n10.0 2.0 -90.0\n");
    KODsseis *s = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "1"}, &s), 0) << rzvtest::all_messages();
    int nsegs = 0;
    ASSERT_EQ(dsseis_getchannel(s->dbsc, nullptr, nullptr, nullptr, 0, 0, nullptr, 1, nullptr, 0, 0, nullptr, &nsegs,
                                &tr),
              0);
    void *resp = (void *)1;
    Dbptr row = tr;
    row.record = 0;
    dbgetv(row, nullptr, "response", &resp, (char *)0);
    EXPECT_EQ(resp, nullptr);  // AAK: its file is missing
    ASSERT_EQ(dsseis_getchannel(s->dbsc, nullptr, (char *)"BBK", nullptr, 0, 0, nullptr, 1, nullptr, 0, 0, nullptr,
                                &nsegs, &tr),
              0);
    row.record = 1;
    dbgetv(row, nullptr, "response", &resp, (char *)0);
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(static_cast<Response *>(resp)->stages[0].kind, RESPONSE_FAP);

    elog_clear_register(0);
    EXPECT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "2"}), -1);
    EXPECT_TRUE(has_message("grdb_sc_loadcss: fopen('" + dir.file("./gone.resp") + "') error.\n") ||
                has_message("grdb_sc_loadcss: fopen('"));
    // a malformed file fails whatever the flag
    add_wf("CCK", "BHZ", T0, ramp(100));
    add_sensor("CCK", "BHZ", T0 - 10, T0 + 86400, 3);
    add_instrument(3, "bad.resp", "theoretical 1 acme paz\nnot numbers\n");
    elog_clear_register(0);
    EXPECT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "1", "-sta", "CCK"}), -1);
    EXPECT_TRUE(has_message("grdb_sc_loadcss: read_response('"));
}

TEST_F(Source, ExtractsFirstChannelCalibratedAndKeepsEarlierRows) {
    add_wf("BBK", "BHZ", T0, ramp(50));
    add_wf("AAK", "BHZ", T0, ramp(50));
    add_wf("AAK", "BHE", T0 + 5, ramp(50, 100), 10.0, 2.0);  // 5.0 .. 9.9
    add_wf("AAK", "BHE", T0, ramp(50), 10.0, 2.0);           // 0.0 .. 4.9: spliced
    std::string tag;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600)}, nullptr, &tag), 0);
    // a trace table that already holds a row
    tr = trnew(nullptr, nullptr);
    ASSERT_GE(dbaddv(tr, nullptr, "sta", "OLD", "chan", "X", "time", 1.0, "nsamp", 0L, "samprate", 1.0, (char *)0),
              0);
    int nsegs = -1;
    char *argv[] = {(char *)tag.c_str()};
    ASSERT_EQ(kodsseis_getchannel(1, argv, &nsegs, &tr), 0) << rzvtest::all_messages();
    EXPECT_EQ(nsegs, 1);
    EXPECT_EQ(tr.record, 1);
    EXPECT_EQ(tr.field, 2);
    EXPECT_EQ(field(0, "sta"), "OLD");
    EXPECT_EQ(field(1, "chan"), "BHE");
    double t = 0, dt = 0;
    int n = 0;
    float *d = nullptr;
    ASSERT_EQ(kodsseis_getsegment(tr, 0, &t, &dt, &n, &d), 0);
    EXPECT_DOUBLE_EQ(t, T0);
    EXPECT_DOUBLE_EQ(dt, 0.1);
    ASSERT_EQ(n, 100);
    EXPECT_EQ(d[10], 20.0f);   // calibrated: 10 * 2
    EXPECT_EQ(d[60], 220.0f);  // second row: (100 + 10) * 2
    EXPECT_EQ(kodsseis_getsegment(tr, 1, &t, &dt, &n, &d), -1);
    EXPECT_TRUE(has_message("kodsseis_getsegment: segment 1 is not in the result.\n"));

    // options
    std::string a[] = {tag, "-twin", "2", "-time", tstr(T0 + 1)};
    char *av[] = {(char *)a[0].c_str(), (char *)a[1].c_str(), (char *)a[2].c_str(), (char *)a[3].c_str(),
                  (char *)a[4].c_str()};
    // "-twin" before "-time" counts from 0: the end is 2 seconds after 1970,
    // a window without data
    elog_clear_register(0);
    EXPECT_EQ(kodsseis_getchannel(5, av, &nsegs, &tr), 0);
    EXPECT_EQ(nsegs, 0);
    char *bad[] = {(char *)tag.c_str(), (char *)"-what", (char *)"1"};
    EXPECT_EQ(kodsseis_getchannel(3, bad, &nsegs, &tr), 1);
    EXPECT_EQ(rzvtest::messages().back(), "Unrecognized option -what");
    char *need[] = {(char *)tag.c_str(), (char *)"-endtime"};
    EXPECT_EQ(kodsseis_getchannel(2, need, &nsegs, &tr), 1);
    EXPECT_EQ(rzvtest::messages().back(), "Need -endtime argument.");
    char *unknown[] = {(char *)"scg424242"};
    EXPECT_EQ(kodsseis_getchannel(1, unknown, &nsegs, &tr), -1);
    // a window: 2 seconds of the first channel
    std::string w[] = {tag, "-time", tstr(T0 + 1), "-twin", "2"};
    char *wv[] = {(char *)w[0].c_str(), (char *)w[1].c_str(), (char *)w[2].c_str(), (char *)w[3].c_str(),
                  (char *)w[4].c_str()};
    long before = count(tr);
    ASSERT_EQ(kodsseis_getchannel(5, wv, &nsegs, &tr), 0) << rzvtest::all_messages();
    EXPECT_EQ(tr.record, before);
    ASSERT_EQ(nsegs, 1);
    EXPECT_EQ(samples(before).size(), 21u);
}

TEST_F(Source, GapModes) {
    add_wf("AAK", "BHZ", T0, ramp(50));
    add_wf("AAK", "BHZ", T0 + 10, ramp(50));  // a gap from 4.9 to 10
    add_wf("AAK", "BHN", T0, ramp(50));
    KODsseis *s = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600)}, &s), 0);
    int nsegs = 0;
    auto get = [&](const char *chan, const char *gap) {
        return dsseis_getchannel(s->dbsc, nullptr, nullptr, (char *)chan, 0, 0, (char *)gap, 0, nullptr, 0, 0,
                                 nullptr, &nsegs, &tr);
    };
    ASSERT_EQ(get("BHZ", "seg"), 0);
    EXPECT_EQ(nsegs, 2);
    ASSERT_EQ(get("BHZ", "leave"), 0);
    EXPECT_EQ(nsegs, 2);
    ASSERT_EQ(get("BHZ", "drop"), 0);
    EXPECT_EQ(nsegs, 0);
    ASSERT_EQ(get("BHN", "drop"), 0);
    EXPECT_EQ(nsegs, 1);
    // drop removes BHN? no: the first channel of AAK is BHN, kept
    ASSERT_EQ(get(nullptr, "drop"), 0);
    EXPECT_EQ(nsegs, 1);
    EXPECT_EQ(field(tr.record, "chan"), "BHN");
    elog_clear_register(0);
    EXPECT_EQ(get("BHZ", "zero"), -1);
    EXPECT_TRUE(has_message("grtr_sc_create: gap value 'zero' not implemented yet.\n"));
    EXPECT_TRUE(has_message("getchannel: grtr_sc_create(NULL, NULL, BHZ) error.\n"));
    EXPECT_EQ(get("BHZ", "interp"), -1);
    EXPECT_EQ(get("BHZ", "fill"), -1);
    EXPECT_TRUE(has_message("grtr_sc_create: Illegal gap value 'fill'.\n"));
    EXPECT_EQ(get("XYZ", nullptr), -1);
    EXPECT_TRUE(has_message("grtr_sc_create: No data to process.\n"));
}

TEST_F(Source, MissingWaveformFileFails) {
    add_wf("AAK", "BHN", T0, ramp(50), 10.0, 1.0, false);  // no file
    add_wf("AAK", "BHZ", T0, ramp(50));
    add_wf("BBK", "BHZ", T0, ramp(50), 10.0, 1.0, false);
    KODsseis *s = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600)}, &s), 0);
    int nsegs = 0;
    // the first channel's file is missing: no silent switch to BHZ
    EXPECT_EQ(dsseis_getchannel(s->dbsc, nullptr, nullptr, nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr, &nsegs,
                                &tr),
              -1);
    EXPECT_TRUE(has_message("getchannel: waveform file '"));
    // a missing file of another station does not matter
    ASSERT_EQ(dsseis_getchannel(s->dbsc, nullptr, nullptr, (char *)"BHZ", 0, 0, nullptr, 0, nullptr, 0, 0, nullptr,
                                &nsegs, &tr),
              0);
    EXPECT_EQ(nsegs, 1);
    EXPECT_EQ(field(tr.record, "sta"), "AAK");
    EXPECT_EQ(dsseis_getchannel(s->dbsc, nullptr, (char *)"BBK", nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr,
                                &nsegs, &tr),
              -1);
}

}  // namespace
