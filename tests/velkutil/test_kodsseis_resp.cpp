// Responses attached by the data source: files of every kind of stage the
// engine reads, a file read once for the whole process, and the response of
// a segment that starts on the last sample time of the row before it.
#include <gtest/gtest.h>

#include "test_kodsseis_fixture.h"

namespace {

using namespace kodsseis_test;

const char *kPaz = "theoretical 1 acme paz\n1.0 1.0\n1\n-1.0 0.0\n0\n";
const char *kFap = "measured 1 lab fap\n2\n1.0 1.0 0.0\n10.0 2.0 -90.0\n";
const char *kFap2 = "measured 1 lab fap2\n2\n1.0 1.0 0.0 1.1 0.9 5 -5\n10.0 2.0 -90.0 2.1 1.9 -85 -95\n";
const char *kFir = "theoretical 2 acme fir\n100 1\n2\n0.5\n0.5\n0\n";
const char *kDelay = "theoretical 3 acme delay\n0.005\n";

class Responses : public SourceDb {
protected:
    Response *response_of(long r) {
        void *p = nullptr;
        Dbptr row = tr;
        row.record = r;
        EXPECT_EQ(dbgetv(row, nullptr, "response", &p, (char *)0), 0);
        return static_cast<Response *>(p);
    }
    // The first channel of station sta from source s, appended to tr; its
    // first new row.
    long extract(KODsseis *s, const char *sta) {
        int nsegs = 0;
        EXPECT_EQ(dsseis_getchannel(s->dbsc, nullptr, (char *)sta, nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr,
                                    &nsegs, &tr),
                  0)
            << rzvtest::all_messages();
        return tr.record;
    }
};

TEST_F(Responses, EveryKindOfStageReadOnceForTheProcess) {
    struct {
        const char *sta, *file;
        std::string text;
        std::vector<int> kinds;
    } cases[] = {
        {"PAZ", "a.paz", kPaz, {RESPONSE_PAZ}},
        {"FAP", "a.fap", kFap, {RESPONSE_FAP}},
        {"FAP2", "a.fap2", kFap2, {RESPONSE_FAP2}},
        {"FIR", "a.fir", kFir, {RESPONSE_FIR}},
        {"DLY", "a.dly", kDelay, {RESPONSE_DELAY}},
        {"ALL", "a.all", std::string(kPaz) + "# digitiser\n" + kFir + kDelay,
         {RESPONSE_PAZ, RESPONSE_FIR, RESPONSE_DELAY}},
    };
    long inid = 1;
    for (auto &c : cases) {
        add_wf(c.sta, "BHZ", T0, ramp(20));
        add_sensor(c.sta, "BHZ", T0 - 10, T0 + 86400, inid);
        add_instrument(inid++, c.file, c.text.c_str());
    }
    KODsseis *s = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "2"}, &s), 0) << rzvtest::all_messages();
    std::vector<Response *> first;
    for (auto &c : cases) {
        Response *r = response_of(extract(s, c.sta));
        ASSERT_NE(r, nullptr) << c.sta;
        ASSERT_EQ(r->nstages, (int)c.kinds.size()) << c.sta;
        for (size_t k = 0; k < c.kinds.size(); k++) EXPECT_EQ(r->stages[k].kind, c.kinds[k]) << c.sta;
        first.push_back(r);
    }
    // the files change on disk; a new source still has what was read first
    for (auto &c : cases) rzvtest::write_file(dir.file(c.file), "not a response\n");
    KODsseis *again = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "2"}, &again), 0) << rzvtest::all_messages();
    for (size_t i = 0; i < first.size(); i++) EXPECT_EQ(response_of(extract(again, cases[i].sta)), first[i]);
}

TEST_F(Responses, SegmentStartingOnThePreviousRowsLastSample) {
    // the second row starts on the last sample time of the first, when the
    // sensor changed: it is not spliced, and takes the new instrument
    add_wf("AAK", "BHZ", T0, ramp(100));        // T0 .. T0 + 9.9
    add_wf("AAK", "BHZ", T0 + 9.9, ramp(100));  // T0 + 9.9 .. T0 + 19.8
    add_sensor("AAK", "BHZ", T0 - 100, T0 + 9.9, 1);
    add_sensor("AAK", "BHZ", T0 + 9.9, 9999999999.999, 2);
    add_instrument(1, "one.resp", kPaz);
    add_instrument(2, "two.resp", kFap);
    KODsseis *s = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-ir", "1"}, &s), 0) << rzvtest::all_messages();
    int nsegs = 0;
    ASSERT_EQ(dsseis_getchannel(s->dbsc, nullptr, nullptr, nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr, &nsegs,
                                &tr),
              0)
        << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 2);
    Response *a = response_of(tr.record), *b = response_of(tr.record + 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->stages[0].kind, RESPONSE_PAZ);
    EXPECT_EQ(b->stages[0].kind, RESPONSE_FAP);
    // a one-sample row still has its instrument's response
    add_wf("BBK", "BHZ", T0, ramp(1));
    add_sensor("BBK", "BHZ", T0 - 100, 9999999999.999, 2);
    KODsseis *one = nullptr;
    ASSERT_EQ(create({tstr(T0 - 1), tstr(T0 + 3600), "-ir", "1", "-sta", "BBK"}, &one), 0)
        << rzvtest::all_messages();
    ASSERT_EQ(dsseis_getchannel(one->dbsc, nullptr, nullptr, nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr,
                                &nsegs, &tr),
              0)
        << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 1);
    EXPECT_EQ(response_of(tr.record), b);
}

}  // namespace
