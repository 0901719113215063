// Allocation failures in the seismic data source: the loading plan of
// kodsseis_create (subsets, sort, joins with sensor, instrument, sitechan and
// site, responses read into the shared cache, grouping) and the extraction
// of a channel by kodsseis_getchannel and dsseis_getchannel (gaps split and
// spliced, calibration, responses, rotation of orthogonal channels).  Each
// allocation of an operation is made to fail in turn; a failure must come
// back as the operation's failure result with a message, give back what it
// took (the hook's count of live blocks here, LeakSanitizer in the
// sanitized build) and leave no source registered and no view behind, and a
// success that absorbed a failure must have built its whole result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "allocfail.h"
#include "allocfail_interpose.h"
#include "allocsweep.h"
#include "test_kodsseis_fixture.h"

namespace {

using namespace kodsseis_test;
using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;

using namespace rzvtest::allocsweep;

const char kPaz[] = "theoretical 1 acme paz\n1.0 1.0\n2\n-4.443 4.443\n-4.443 -4.443\n2\n0 0\n0 0\n";

// Two stations: AAA with three orthogonal channels in two rows each that
// meet (spliced into one segment), BHZ with a gap sample (split in two);
// BBB with one channel.  Sensors with instruments and responses,
// orientations and coordinates.
class SourceSweeps : public SourceDb {
protected:
    void SetUp() override {
        SourceDb::SetUp();
        add_instrument(1, "one.resp", kPaz, 2.0);
        const struct {
            const char *chan;
            double hang, vang;
        } comps[] = {{"BHZ", 0, 0}, {"BHN", 0, 90}, {"BHE", 90, 90}};
        for (const auto &c : comps) {
            std::vector<float> first = ramp(20, 1), second = ramp(20, 21);
            if (!strcmp(c.chan, "BHZ")) first[7] = TRGAP_VALUE;
            add_wf("AAA", c.chan, T0, first);
            add_wf("AAA", c.chan, T0 + 2.0, second);
            add_sensor("AAA", c.chan, T0 - 86400, 9999999999.999, 1);
            add_sitechan("AAA", c.chan, c.hang, c.vang);
        }
        add_wf("BBB", "BHZ", T0, ramp(40));
        add_sensor("BBB", "BHZ", T0 - 86400, 9999999999.999, 1);
        add_site("AAA", 10, 20);
        add_site("BBB", 11, 21);
    }

    // Tables and views of the database: a view a failed call left behind
    // shows here.
    long views() {
        long n = -1;
        dbquery(db, dbTABLE_COUNT, &n);
        return n;
    }

    // Sources registered under the next tags after last.
    bool registered_after(long last) {
        bool any = false;
        for (long k = last + 1; k <= last + 4; k++) {
            char t[32];
            snprintf(t, sizeof t, "scg%ld", k);
            if (kodsseis_get(t)) any = true;
        }
        elog_clear_register(0);
        return any;
    }
};

long tag_number(const char *tag) { return strncmp(tag, "scg", 3) == 0 ? atol(tag + 3) : -1; }

}  // namespace

// ------------------------------------------------------------ the loading plan

TEST_F(SourceSweeps, LoadingPlan) {
    long last = 0, nviews = 0;
    for (bool joins : {false, true}) {
        std::vector<std::string> words = {tstr(T0 - 10), tstr(T0 + 100), "-sta", "AAA|BBB", "-chan", "BH."};
        if (joins) words.insert(words.end(), {"-coord", "1", "-ir", "1", "-orient", "1"});
        std::vector<char *> argv;
        for (auto &w : words) argv.push_back(&w[0]);
        char handle[64] = "";
        KODsseis *scg = nullptr;
        Op create;
        create.name = std::string("kodsseis_create (") + (joins ? "joins, responses)" : "wfdisc only)");
        create.prepare = [&] { nviews = views(); };
        create.run = [&] {
            handle[0] = '\0';
            scg = nullptr;
            return kodsseis_create(db, (int)argv.size(), argv.data(), &scg, handle) == 0;
        };
        create.whole = [&] {
            last = std::max(last, tag_number(handle));
            char *a[] = {handle};
            return scg && kodsseis_get(handle) == scg && kodsseis_getnstachans(1, a) == 4;
        };
        create.undo = [&] { kodsseis_free(handle); };
        create.changed = [&] { return registered_after(last) || views() != nviews; };
        expect_all_clean(sweep(create));
    }
}

// ------------------------------------------------------------ extracting channels

TEST_F(SourceSweeps, Channels) {
    std::string tag;
    KODsseis *scg = nullptr;
    ASSERT_EQ(create({tstr(T0 - 10), tstr(T0 + 100), "-ir", "1", "-orient", "1"}, &scg, &tag), 0)
        << rzvtest::all_messages();
    int nsegs = 0;
    // A failed extraction keeps the rows it loaded (the caller's table):
    // the run gives the table back, as a caller would.
    auto finish = [&](int rc) {
        if (rc != 0) trdestroy(&tr);
        return rc == 0;
    };

    std::vector<std::string> words = {tag, "-time", tstr(T0 - 1), "-endtime", tstr(T0 + 10)};
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(&w[0]);
    // Into a trace table of the caller's, with one row of its own that
    // stays as it is.
    Op plain;
    plain.name = "kodsseis_getchannel (spliced, calibrated, into a table)";
    plain.prepare = [&] {
        trdestroy(&tr);
        tr = trnew(nullptr, nullptr);
        float *own = static_cast<float *>(calloc(2, sizeof(float)));
        ASSERT_GE(dbaddv(tr, nullptr, "sta", "OWN", "chan", "BHZ", "time", T0, "nsamp", 2L, "samprate", 10.0, "data",
                         (void *)own, (char *)0),
                  0);
    };
    plain.run = [&] { return finish(kodsseis_getchannel((int)argv.size(), argv.data(), &nsegs, &tr)); };
    plain.whole = [&] {
        // AAA BHE: the two rows meet and are spliced into one segment.
        std::vector<float> s = samples(tr.record);
        return nsegs == 1 && tr.record == 1 && count(tr) == 2 && field(0, "sta") == "OWN" && s.size() == 40 &&
               s[0] == 1.0f && s[39] == 40.0f;
    };
    plain.undo = [&] { trdestroy(&tr); };
    expect_all_clean(sweep(plain));

    Op gaps;
    gaps.name = "dsseis_getchannel (BHZ, a gap, a response)";
    gaps.prepare = [&] { trdestroy(&tr); };
    gaps.run = [&] {
        return finish(dsseis_getchannel(scg->dbsc, nullptr, (char *)"AAA", (char *)"BHZ", 0, 0, nullptr, 1, nullptr,
                                        0, 0, nullptr, &nsegs, &tr));
    };
    gaps.whole = [&] {
        if (nsegs != 2 || count(tr) != 2) return false;
        std::vector<float> a = samples(0), b = samples(1);
        void *resp = nullptr;
        Dbptr r = tr;
        r.record = 0;
        dbgetv(r, nullptr, "response", &resp, (char *)0);
        return a.size() == 7 && b.size() == 32 && resp != nullptr;
    };
    gaps.undo = [&] { trdestroy(&tr); };
    expect_all_clean(sweep(gaps));

    Op rotated;
    rotated.name = "dsseis_getchannel (rotated to strike 30)";
    rotated.prepare = [&] { trdestroy(&tr); };
    rotated.run = [&] {
        return finish(dsseis_getchannel(scg->dbsc, nullptr, (char *)"AAA", nullptr, 0, 0, (char *)"leave", 0,
                                        (char *)"R", 30.0, 0.0, nullptr, &nsegs, &tr));
    };
    rotated.whole = [&] {
        if (nsegs < 1) return false;
        long total = 0;
        for (long r = tr.record; r < tr.field; r++) total += (long)samples(r).size();
        return field(tr.record, "chan") == "R" && total == 40;
    };
    rotated.undo = [&] { trdestroy(&tr); };
    expect_all_clean(sweep(rotated));
}
