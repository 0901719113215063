// Response files in the shape data centres publish them: comment blocks
// between any lines, stage headers with a source field and tabs, a paz
// normalisation line holding a0 alone, poles and zeros with two error
// columns, fap rows with amplitude and phase errors, fir stages that give
// only the input sample rate, delay stages, and a whole sensor-plus-
// digitiser cascade.  Each is compared with its response worked out here
// by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>

#include "response.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

using cplx = std::complex<double>;

Response *parse(const std::string &text) {
    FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    EXPECT_NE(fp, nullptr);
    if (!fp) return nullptr;
    Response *r = nullptr;
    int rc = read_response(fp, &r);
    fclose(fp);
    EXPECT_EQ(rc == 0, r != nullptr);
    return r;
}

cplx eval(Response *r, double f) {
    double re = NAN, im = NAN;
    EXPECT_EQ(eval_response(r, f, &re, &im), 0) << f << " " << rzvtest::all_messages();
    return {re, im};
}

void expect_near(cplx got, cplx want, double rel) {
    EXPECT_LE(std::abs(got - want), rel * std::abs(want)) << "got " << got << " want " << want;
}

// A broadband sensor: a0 alone on its line, poles and zeros with two error
// columns, comments before, between and inside the stage, tabs in the
// header, which names its source.
const char *kSensor =
    "#\n"
    "#\tResponse of AAK BHZ from 2014-09-12\n"
    "#\tvelocity in, volts out\n"
    "#\n"
    "theoretical\t 1   instrument    paz\tAAK.BHZ.1410480000.pazfir\n"
    "#\tnormalization factor\n"
    "  6.0077e+07\n"
    "# number of poles\n"
    " 4\n"
    " -3.70100e-02  3.70100e-02  0.000000e+00  0.000000e+00\n"
    " -3.70100e-02 -3.70100e-02  0.000000e+00  0.000000e+00\n"
    "#   a comment block\n"
    "#   inside the poles\n"
    " -2.22110e+02  2.22110e+02  1.0e-01  1.0e-01\n"
    " -2.22110e+02 -2.22110e+02  1.0e-01  1.0e-01\n"
    "# number of zeros\n"
    " 2\n"
    "  0.000000e+00  0.000000e+00  0.000000e+00  0.000000e+00\n"
    "  0.000000e+00  0.000000e+00  0.000000e+00  0.000000e+00\n"
    "#\n";

cplx sensor_by_hand(double f) {
    const cplx s(0, 2 * M_PI * f);
    const cplx p[] = {{-3.701e-2, 3.701e-2}, {-3.701e-2, -3.701e-2}, {-222.11, 222.11}, {-222.11, -222.11}};
    cplx h = 6.0077e7 * s * s;
    for (const cplx &q : p) h /= s - q;
    return h;
}

// The three-tap binomial smoother at a sample rate: 0.25 + 0.5 z^-1 +
// 0.25 z^-2 = exp(-i w) cos^2(w / 2), w = 2 pi f / srate.
std::string binomial_fir(int stage, double srate) {
    char buf[512];
    snprintf(buf, sizeof buf,
             "theoretical  %d   instrument    fir\tAAK.BHZ.1410480000.pazfir\n"
             "#\tinput sample rate\n"
             "  %.6e\n"
             "#\tnumerator coefficients\n"
             " 3\n"
             "#\tcoefficient error\n"
             "  2.500000e-01  0.000000e+00\n"
             "  5.000000e-01  1.000000e-09\n"
             "  2.500000e-01  0.000000e+00\n"
             "#\tdenominator coefficients\n"
             " 0\n",
             stage, srate);
    return buf;
}

cplx binomial_by_hand(double f, double srate) {
    double w = 2 * M_PI * f / srate;
    double c = std::cos(w / 2);
    return std::polar(c * c, -w);
}

TEST(ResponsePublished, SensorWithCommentBlocksSourceAndOneNumberNormalisation) {
    elog_clear_register(0);
    Response *r = parse(kSensor);
    ASSERT_NE(r, nullptr) << rzvtest::all_messages();
    ASSERT_EQ(r->nstages, 1);
    const ResponseStage &s = r->stages[0];
    EXPECT_EQ(s.kind, RESPONSE_PAZ);
    EXPECT_STREQ(s.type, "theoretical");
    EXPECT_STREQ(s.auth, "instrument");
    EXPECT_STREQ(s.source, "AAK.BHZ.1410480000.pazfir");
    EXPECT_DOUBLE_EQ(s.a0, 6.0077e7);
    EXPECT_EQ(s.fnorm, 0.0);
    ASSERT_EQ(s.npoles, 4);
    ASSERT_EQ(s.nzeros, 2);
    EXPECT_DOUBLE_EQ(s.poles[4], -222.11);
    EXPECT_DOUBLE_EQ(s.pole_errors[4], 0.1);
    EXPECT_DOUBLE_EQ(s.pole_errors[0], 0.0);
    for (double f : {0.001, 0.05, 1.0, 20.0, 100.0}) expect_near(eval(r, f), sensor_by_hand(f), 1e-12);
    free_response(r);
}

TEST(ResponsePublished, FapRowsWithAmplitudeAndPhaseErrors) {
    Response *r = parse(
        "# measured by the network operator\n"
        "measured 1 instrument fap AAK.BHZ.1410480000.fap\n"
        " 3\n"
        "#  freq        amp          phase        amp error    phase error\n"
        "  1.0e-01  1.000000e+00  9.000000e+01  1.0e-02  5.0e-01\n"
        "  1.0e+00  3.000000e+00  0.000000e+00  2.0e-02  5.0e-01\n"
        "  1.0e+01  2.000000e+00 -9.000000e+01  3.0e-02  1.0e+00\n");
    ASSERT_NE(r, nullptr) << rzvtest::all_messages();
    const ResponseStage &s = r->stages[0];
    EXPECT_EQ(s.kind, RESPONSE_FAP);
    ASSERT_EQ(s.nfap, 3);
    ASSERT_NE(s.amp_error, nullptr);
    ASSERT_NE(s.phase_error, nullptr);
    EXPECT_DOUBLE_EQ(s.amp_error[2], 0.03);
    EXPECT_DOUBLE_EQ(s.phase_error[2], 1.0);
    EXPECT_EQ(s.amp_high, nullptr);
    // the errors are not part of the value: half way between rows 2 and 3
    cplx v = eval(r, 5.5);
    EXPECT_NEAR(std::abs(v), 2.5, 1e-12);
    EXPECT_NEAR(std::arg(v) * 180 / M_PI, -45, 1e-9);
    free_response(r);
    // a plain three-column table has no error columns
    Response *plain = parse("t 1 a fap\n1\n1 2 0\n");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->stages[0].amp_error, nullptr);
    EXPECT_STREQ(plain->stages[0].source, "");
    free_response(plain);
}

TEST(ResponsePublished, FirGivingOnlyTheInputSampleRate) {
    Response *r = parse(binomial_fir(2, 40.0));
    ASSERT_NE(r, nullptr) << rzvtest::all_messages();
    const ResponseStage &s = r->stages[0];
    EXPECT_EQ(s.kind, RESPONSE_FIR);
    EXPECT_EQ(s.srate, 40.0);
    EXPECT_EQ(s.decimation, 1);
    ASSERT_EQ(s.nnum, 3);
    EXPECT_EQ(s.nden, 0);
    EXPECT_DOUBLE_EQ(s.num_errors[1], 1e-9);
    for (double f : {0.0, 1.0, 7.5, 19.0}) expect_near(eval(r, f), binomial_by_hand(f, 40.0), 1e-12);
    free_response(r);
}

TEST(ResponsePublished, DelayIsAPurePhaseShift) {
    Response *r = parse(
        "theoretical 3 instrument delay AAK.BHZ.1410480000.pazfir\n"
        "# delay in seconds\n"
        "  1.2300e-02\n");
    ASSERT_NE(r, nullptr) << rzvtest::all_messages();
    EXPECT_EQ(r->stages[0].kind, RESPONSE_DELAY);
    EXPECT_STREQ(r->stages[0].rtype, "delay");
    for (double f : {0.0, 0.25, 10.0, 1000.0}) {
        cplx v = eval(r, f);
        EXPECT_NEAR(std::abs(v), 1.0, 1e-12);
        expect_near(v, std::polar(1.0, -2 * M_PI * f * 0.0123), 1e-9);
    }
    // negative frequencies give the conjugate; an advance turns the other way
    expect_near(eval(r, -10.0), std::conj(eval(r, 10.0)), 1e-12);
    free_response(r);
    Response *adv = parse("t 1 a delay\n-0.5\n");
    ASSERT_NE(adv, nullptr);
    expect_near(eval(adv, 0.5), cplx(0, 1), 1e-12);  // exp(i pi / 2)
    expect_near(eval(adv, 0.25), std::polar(1.0, M_PI / 4), 1e-12);
    free_response(adv);
}

// The whole cascade of a broadband channel: the sensor, nine decimating
// filters and the digitiser's delay, in one file.
TEST(ResponsePublished, SensorNineFirStagesAndADelay) {
    std::string text = kSensor;
    const double rates[] = {5120, 2560, 1280, 640, 320, 160, 80, 40, 40};
    for (int k = 0; k < 9; k++) text += binomial_fir(k + 2, rates[k]);
    text += "#\n# digitiser group delay\n#\ntheoretical 11\tinstrument\tdelay\tAAK.BHZ.1410480000.pazfir\n 0.0256\n";
    Response *r = parse(text);
    ASSERT_NE(r, nullptr) << rzvtest::all_messages();
    ASSERT_EQ(r->nstages, 11);
    EXPECT_EQ(r->stages[0].kind, RESPONSE_PAZ);
    for (int k = 1; k <= 9; k++) {
        EXPECT_EQ(r->stages[k].kind, RESPONSE_FIR);
        EXPECT_EQ(r->stages[k].stage, k + 1);
        EXPECT_EQ(r->stages[k].srate, rates[k - 1]);
    }
    EXPECT_EQ(r->stages[10].kind, RESPONSE_DELAY);
    for (double f : {0.01, 0.3, 1.0, 5.0, 15.0}) {
        cplx want = sensor_by_hand(f) * std::polar(1.0, -2 * M_PI * f * 0.0256);
        for (double sr : rates) want *= binomial_by_hand(f, sr);
        expect_near(eval(r, f), want, 1e-10);
    }
    free_response(r);
}

TEST(ResponsePublished, MalformedNewShapesFailWithTheLine) {
    struct Bad {
        std::string text;
        const char *message;
    };
    const Bad cases[] = {
        {"t 1 a fap\n2\n1 1 0 0.1 0.1\n2 1 0\n", "line 4: expected a row of 3 numbers"},
        {"t 1 a fap\n1\n1 1 0 0.1\n", "found 4 numbers"},
        {"t 1 a fap\n1\n1 1 0 0.1 0.1 3\n", "found 6 numbers"},
        {"t 1 a delay\n", "the file ends inside stage 1 (delay)"},
        {"t 1 a delay\n0.1 0.2\n", "expected the delay in seconds"},
        {"t 1 a delay\nx\n", "not a finite number"},
        {"t 1 a delay\n1e12\n", "a delay of at most"},
        {"t 1 a fir\n-40\n1\n1\n0\n", "a positive sample rate"},
        {"t 1 a paz " + std::string(300, 's') + "\n1\n0\n0\n", "source"},
        {"t 1 a paz src\n\t\n", "the file ends inside stage 1 (paz)"},
    };
    for (const Bad &b : cases) {
        elog_clear_register(0);
        Response *r = parse(b.text);
        EXPECT_EQ(r, nullptr) << b.text;
        EXPECT_TRUE(rzvtest::has_message(b.message)) << b.text << "\n got: " << rzvtest::all_messages();
        free_response(r);
    }
    elog_clear_register(0);
}

// The two shapes of one cascade (the plain format and the published one
// with a delay added) evaluate alike but for the delay.
TEST(ResponsePublished, PlainAndPublishedShapesOfOneCascadeAgree) {
    Response *plain = parse(
        "# sensor\ntheoretical 1 acme paz\n1.0 1.0\n2\n-4.443 4.443\n-4.443 -4.443\n2\n0 0\n0 0\n"
        "theoretical 2 acme fir\n100 1\n2\n0.5\n0.5\n0\n");
    Response *pub = parse(
        "#  sensor and digitiser of XYZ BHZ\ntheoretical  1  acme  paz   XYZ.BHZ.pazfir\n#  normalization factor\n"
        " 1.0\n 2\n -4.443  4.443  0  0\n -4.443 -4.443  0  0\n 2\n 0 0 0 0\n 0 0 0 0\n"
        "theoretical  2  acme  fir   XYZ.BHZ.pazfir\n#  input sample rate\n 100\n 2\n#  coefficient  error\n"
        " 0.5  0\n 0.5  0\n 0\ntheoretical  3  acme  delay XYZ.BHZ.pazfir\n 0.005\n");
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(pub, nullptr) << rzvtest::all_messages();
    ASSERT_EQ(pub->nstages, 3);
    for (double f : {0.1, 1.0, 10.0, 40.0})
        expect_near(eval(pub, f), eval(plain, f) * std::polar(1.0, -2 * M_PI * f * 0.005), 1e-12);
    free_response(plain);
    free_response(pub);
}

// A source of several words is kept, joined by single blanks.
TEST(ResponsePublished, SourceOfSeveralWords) {
    Response *r = parse("theoretical 1 instrument delay  from\tthe   data logger \n0\n");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->stages[0].source, "from the data logger");
    expect_near(eval(r, 3.0), cplx(1, 0), 1e-15);
    free_response(r);
}

}  // namespace
