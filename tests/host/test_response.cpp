// Instrument responses: reading stage files and evaluating the cascade at
// known frequencies; malformed files fail with a message.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>

#include "response.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

using cplx = std::complex<double>;

// Reads a response from text; null (with the register holding the reason)
// on failure.
Response *parse(const std::string &text) {
    FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    EXPECT_NE(fp, nullptr);
    if (!fp) return nullptr;
    Response *r = reinterpret_cast<Response *>(0x1);
    int rc = read_response(fp, &r);
    fclose(fp);
    if (rc != 0) {
        EXPECT_EQ(r, nullptr);
        return nullptr;
    }
    return r;
}

cplx eval(Response *r, double f, int want_rc = 0) {
    double re = NAN, im = NAN;
    EXPECT_EQ(eval_response(r, f, &re, &im), want_rc) << f;
    return {re, im};
}

double phase_deg(cplx v) { return std::arg(v) * 180 / M_PI; }

const double fc = 2.0;  // corner frequency of the one-pole test stage

std::string one_pole() {
    char buf[256];
    snprintf(buf, sizeof buf,
             "theoretical 1 test paz\n"
             "%.17g 0\n"
             "1\n"
             "%.17g 0\n"
             "0\n",
             2 * M_PI * fc, -2 * M_PI * fc);
    return buf;
}

// --------------------------------------------------------------- poles and zeros

TEST(ResponsePaz, SinglePoleCorner) {
    Response *r = parse(one_pole());
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->nstages, 1);
    EXPECT_EQ(r->stages[0].kind, RESPONSE_PAZ);
    EXPECT_STREQ(r->stages[0].type, "theoretical");
    EXPECT_STREQ(r->stages[0].auth, "test");
    EXPECT_EQ(r->stages[0].npoles, 1);
    EXPECT_EQ(r->stages[0].nzeros, 0);
    cplx h = eval(r, fc);
    EXPECT_NEAR(std::abs(h), 1 / sqrt(2.0), 1e-14);
    EXPECT_NEAR(phase_deg(h), -45, 1e-12);
    EXPECT_NEAR(std::abs(eval(r, 0)), 1, 1e-15);
    // far above the corner: falls as 1/f, phase towards -90
    cplx hi = eval(r, 1000 * fc);
    EXPECT_NEAR(std::abs(hi), 1e-3, 1e-8);
    EXPECT_NEAR(phase_deg(hi), -90, 0.1);
    // negative frequencies give the conjugate
    cplx neg = eval(r, -fc);
    EXPECT_DOUBLE_EQ(neg.real(), h.real());
    EXPECT_DOUBLE_EQ(neg.imag(), -h.imag());
    free_response(r);
}

TEST(ResponsePaz, SeismometerWithErrorsAndComments) {
    // Second-order velocity sensor, 1 Hz, damping 0.707: flat above 1 Hz.
    const double w0 = 2 * M_PI, h = 1 / sqrt(2.0);
    char buf[512];
    snprintf(buf, sizeof buf,
             "# a sensor\n\n"
             "theoretical 1 acme paz   # header\n"
             "1.0 5.0\n"
             "2\n"
             "%.17g %.17g 0.01 0.01\n"
             "%.17g %.17g\n"
             "2\n"
             "0 0\n"
             "0 0 0 0\n",
             -h * w0, w0 * sqrt(1 - h * h), -h * w0, -w0 * sqrt(1 - h * h));
    Response *r = parse(buf);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->stages[0].fnorm, 5.0);
    EXPECT_EQ(r->stages[0].pole_errors[0], 0.01);
    EXPECT_EQ(r->stages[0].pole_errors[2], 0.0);
    EXPECT_NEAR(std::abs(eval(r, 1.0)), 1 / (2 * h), 1e-12);  // at the natural frequency
    EXPECT_NEAR(phase_deg(eval(r, 1.0)), 90, 1e-9);
    EXPECT_NEAR(std::abs(eval(r, 100.0)), 1, 1e-3);
    free_response(r);
}

TEST(ResponsePaz, FrequencyAtAPoleFails) {
    Response *r = parse("t 1 a paz\n1 0\n1\n0 0\n0\n");
    ASSERT_NE(r, nullptr);
    elog_clear_register(0);
    eval(r, 0, -1);
    EXPECT_TRUE(rzvtest::has_message("eval_response: 0 Hz is at a pole of stage 1."));
    EXPECT_NEAR(std::abs(eval(r, 1 / (2 * M_PI))), 1, 1e-15);
    elog_clear_register(0);
    free_response(r);
}

// n poles and n zeros, each given once per line.
std::string many_factors(int n, const char *pole, const char *zero) {
    std::string t = "theoretical 1 test paz\n1 1\n" + std::to_string(n) + "\n";
    for (int k = 0; k < n; k++) t += std::string(pole) + "\n";
    t += std::to_string(n) + "\n";
    for (int k = 0; k < n; k++) t += std::string(zero) + "\n";
    return t;
}

TEST(ResponsePaz, ManyFactorsNeitherOverflowNorUnderflow) {
    // 60 high-pass corners at 1 rad/s: far above them every factor is close
    // to 1, though each product alone exceeds the range of a double.
    Response *r = parse(many_factors(60, "-1 0", "0 0"));
    ASSERT_NE(r, nullptr);
    cplx v = eval(r, 1e6);
    EXPECT_NEAR(std::abs(v), 1, 1e-9);
    free_response(r);
    // 60 pole-zero pairs of tiny magnitude: at 0 Hz each pair gives 2, the
    // products alone underflow to 0 (which is not a pole).
    r = parse(many_factors(60, "-1e-7 0", "-2e-7 0"));
    ASSERT_NE(r, nullptr);
    v = eval(r, 0);
    EXPECT_NEAR(v.real() / pow(2.0, 60), 1, 1e-12);
    EXPECT_EQ(v.imag(), 0);
    free_response(r);
}

TEST(ResponsePaz, NormalisedSensorIsOneAtItsNormalisationFrequency) {
    // A 1 Hz, 0.7-damped velocity sensor with a0 computed for fnorm 5 Hz.
    const double w0 = 2 * M_PI, h = 0.7, fn = 5;
    const cplx p1(-h * w0, w0 * sqrt(1 - h * h)), p2 = std::conj(p1);
    const cplx s(0, 2 * M_PI * fn);
    const double a0 = std::abs((s - p1) * (s - p2) / (s * s));
    char buf[512];
    snprintf(buf, sizeof buf, "theoretical 1 acme paz\n%.17g %g\n2\n%.17g %.17g\n%.17g %.17g\n2\n0 0\n0 0\n", a0, fn,
             p1.real(), p1.imag(), p2.real(), p2.imag());
    Response *r = parse(buf);
    ASSERT_NE(r, nullptr);
    EXPECT_NEAR(std::abs(eval(r, fn)), 1, 1e-14);
    EXPECT_NEAR(std::abs(eval(r, 0.01)), a0 * 1e-4, 1e-5 * a0 * 1e-4);  // f^2 below the corner
    free_response(r);
}

// --------------------------------------------------------------- tables

TEST(ResponseFap, InterpolatesAmplitudeAndPhase) {
    Response *r = parse("measured 2 lab fap\n3\n1 2 0\n3 4 -90\n5 4 170\n");
    ASSERT_NE(r, nullptr);
    const ResponseStage &s = r->stages[0];
    EXPECT_EQ(s.kind, RESPONSE_FAP);
    EXPECT_EQ(s.nfap, 3);
    EXPECT_EQ(s.amp_high, nullptr);
    cplx v = eval(r, 2);
    EXPECT_NEAR(std::abs(v), 3, 1e-14);
    EXPECT_NEAR(phase_deg(v), -45, 1e-12);
    // between -90 and 170 the short way is through -180
    v = eval(r, 4);
    EXPECT_NEAR(std::abs(v), 4, 1e-14);
    EXPECT_NEAR(fabs(phase_deg(v)), 140, 1e-9);
    EXPECT_LT(phase_deg(v), 0);
    // exact rows
    EXPECT_NEAR(std::abs(eval(r, 3)), 4, 1e-14);
    free_response(r);
}

TEST(ResponseFap, PhaseWrapsTheShortWay) {
    Response *r = parse("m 1 a fap\n2\n10 1 170\n20 1 -170\n");
    ASSERT_NE(r, nullptr);
    cplx v = eval(r, 15);
    EXPECT_NEAR(fabs(phase_deg(v)), 180, 1e-9);
    free_response(r);
}

TEST(ResponseFap, OutsideTheTableHoldsTheEndsAndSaysSo) {
    Response *r = parse("m 1 a fap\n2\n1 2 0\n3 4 90\n");
    ASSERT_NE(r, nullptr);
    cplx lo = eval(r, 0.5, 1), hi = eval(r, 10, 1);
    EXPECT_NEAR(lo.real(), 2, 1e-15);
    EXPECT_NEAR(hi.imag(), 4, 1e-15);
    eval(r, 1, 0);
    eval(r, 3, 0);
    free_response(r);
}

TEST(ResponseFap, NegativeAmplitudeIsASignFlip) {
    Response *r = parse("m 1 a fap\n2\n1 -2 0\n3 -4 90\n");
    ASSERT_NE(r, nullptr);
    cplx v = eval(r, 1);
    EXPECT_EQ(v.real(), -2);
    EXPECT_EQ(v.imag(), 0);
    v = eval(r, 3);
    EXPECT_NEAR(v.real(), 0, 1e-15);
    EXPECT_EQ(v.imag(), -4);
    free_response(r);
}

TEST(ResponseFap2, KeepsTheBounds) {
    Response *r = parse("m 1 a fap2\n2\n1 1 0 1.1 0.9 5 -5\n2 2 0 2.2 1.8 6 -6\n");
    ASSERT_NE(r, nullptr);
    const ResponseStage &s = r->stages[0];
    EXPECT_EQ(s.kind, RESPONSE_FAP2);
    ASSERT_NE(s.phase_low, nullptr);
    EXPECT_EQ(s.amp_high[1], 2.2);
    EXPECT_EQ(s.amp_low[0], 0.9);
    EXPECT_EQ(s.phase_high[1], 6);
    EXPECT_EQ(s.phase_low[1], -6);
    EXPECT_NEAR(eval(r, 1.5).real(), 1.5, 1e-15);
    free_response(r);
}

// --------------------------------------------------------------- digital filters

TEST(ResponseFir, TwoTapAverage) {
    Response *r = parse("t 3 dsp fir\n100 1\n2\n0.5\n0.5\n0\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->stages[0].kind, RESPONSE_FIR);
    EXPECT_EQ(r->stages[0].den, nullptr);
    EXPECT_NEAR(std::abs(eval(r, 0)), 1, 1e-15);
    cplx q = eval(r, 25);  // a quarter of the sample rate
    EXPECT_NEAR(std::abs(q), cos(M_PI / 4), 1e-15);
    EXPECT_NEAR(phase_deg(q), -45, 1e-12);
    EXPECT_NEAR(std::abs(eval(r, 50)), 0, 1e-15);  // Nyquist
    free_response(r);
}

TEST(ResponseFir, KnownTapsAndARecursiveStage) {
    // h = [1, 2, 3] at 10 samples/s, at 2.5 Hz: z^-1 = -i
    Response *r = parse("t 1 a fir\n10 2\n3\n1\n2 0.1\n3\n0\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->stages[0].decimation, 2);
    EXPECT_EQ(r->stages[0].num_errors[1], 0.1);
    cplx v = eval(r, 2.5);
    EXPECT_NEAR(v.real(), 1 - 3, 1e-14);
    EXPECT_NEAR(v.imag(), -2, 1e-14);
    free_response(r);
    // one-pole recursion y[n] = x[n] + 0.5 y[n-1]: H = 1 / (1 - 0.5 z^-1)
    r = parse("t 1 a fir\n10 1\n1\n1\n2\n1\n-0.5\n");
    ASSERT_NE(r, nullptr);
    EXPECT_NEAR(eval(r, 0).real(), 2, 1e-15);
    EXPECT_NEAR(eval(r, 5).real(), 1 / 1.5, 1e-15);
    free_response(r);
}

// --------------------------------------------------------------- cascades

TEST(ResponseCascade, StagesMultiply) {
    std::string text = one_pole() + "t 2 dsp fir\n100 1\n2\n0.5\n0.5\n0\n" + "m 3 lab fap\n2\n0 10 0\n100 10 0\n";
    Response *r = parse(text);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->nstages, 3);
    EXPECT_EQ(r->stages[1].stage, 2);
    cplx v = eval(r, 25);
    cplx pole = cplx(2 * M_PI * fc) / (cplx(0, 2 * M_PI * 25) + 2 * M_PI * fc);
    cplx fir = 0.5 * (1.0 + std::polar(1.0, -M_PI / 2));
    cplx want = pole * fir * 10.0;
    EXPECT_NEAR(v.real(), want.real(), 1e-13);
    EXPECT_NEAR(v.imag(), want.imag(), 1e-13);
    free_response(r);
}

// --------------------------------------------------------------- malformed files

struct Bad {
    const char *text;
    const char *message;  // part of the expected message
};

TEST(ResponseMalformed, ClearMessagesAndFailure) {
    const Bad cases[] = {
        {"", "no response stages found"},
        {"# only a comment\n\n", "no response stages found"},
        {"t 1 a xyz\n1\n", "unknown response type 'xyz'"},
        {"t one a paz\n", "stage number 'one' is not an integer"},
        {"t 1 a\n", "expected a stage header"},
        {"t 1 a paz extra\n", "the file ends inside stage 1 (paz)"},
        {"t 1 a paz\n", "the file ends inside stage 1 (paz)"},
        {"t 1 a paz\n1 0\n", "the number of poles"},
        {"t 1 a paz\n1 0\n-1\n", "line 3: expected the number of poles"},
        {"t 1 a paz\n1 0\n2\n1 1\n", "the file ends inside stage 1 (paz): expected a pole"},
        {"t 1 a paz\n1 0\n1\n1 x\n0\n", "line 4: expected a pole"},
        {"t 1 a paz\n1 0\n1\n1 1 1\n0\n", "found 3 numbers"},
        {"t 1 a paz\nnan 0\n", "not a finite number"},
        {"t 1 a paz\n1e999 0\n", "not a finite number"},
        {"t 1 a paz\n1 0\n99999999999\n", "the number of poles"},
        {"t 1 a fap\n0\n", "the number of frequency rows"},
        {"t 1 a fap\n3\n1 1 0\n2 1 0\n", "the file ends inside stage 1 (fap)"},
        {"t 1 a fap\n2\n2 1 0\n1 1 0\n", "frequencies increasing"},
        {"t 1 a fap\n1\n-1 1 0\n", "negative frequency"},
        {"t 1 a fap\n1\n1 1\n", "a row of 3 numbers"},
        {"t 1 a fap2\n1\n1 1 0\n", "a row of 7 numbers"},
        {"t 1 a fir\n0 1\n1\n1\n0\n", "a positive sample rate"},
        {"t 1 a fir\n10 1.5\n1\n1\n0\n", "decimation factor"},
        {"t 1 a fir\n10 1\n1\n1\n", "the number of denominator coefficients"},
        {"t 1 a fir\n10 1\n1\n1\n1\n0\n", "all zeros"},
        {"t 1 a fir\n10 1\n0\n", "numerator coefficients"},
        {"t 1 a fap\n1\n1 1 0\nt 2 a paz\n1 2 3\n", "line 5: expected the normalisation factor"},
    };
    for (const Bad &b : cases) {
        elog_clear_register(0);
        Response *r = parse(b.text);
        EXPECT_EQ(r, nullptr) << b.text;
        EXPECT_TRUE(rzvtest::has_message(b.message)) << b.text << "\n got: " << rzvtest::all_messages();
        EXPECT_TRUE(rzvtest::has_message("read_response: ")) << b.text;
        free_response(r);
    }
    elog_clear_register(0);
}

TEST(ResponseMalformed, LongLinesNulBytesAndLongWords) {
    elog_clear_register(0);
    std::string longline = "t 1 a fap\n1\n1 1 " + std::string(5000, '0') + "\n";
    EXPECT_EQ(parse(longline), nullptr);
    EXPECT_TRUE(rzvtest::has_message("line 3 is longer than 4095 characters"));
    std::string nul("t 1 a fap\n1\n1 1 0\0 5\n", 21);
    EXPECT_EQ(parse(nul), nullptr);
    EXPECT_TRUE(rzvtest::has_message("NUL byte"));
    EXPECT_EQ(parse("t 1 " + std::string(64, 'a') + " fap\n1\n1 1 0\n"), nullptr);
    EXPECT_TRUE(rzvtest::has_message("longer than 63 characters"));
    elog_clear_register(0);
}

TEST(ResponseMalformed, NullArguments) {
    elog_clear_register(0);
    Response *r = nullptr;
    EXPECT_EQ(read_response(nullptr, &r), -1);
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(read_response(fp, nullptr), -1);
    fclose(fp);
    double re, im;
    EXPECT_EQ(eval_response(nullptr, 1, &re, &im), -1);
    Response *ok = parse(one_pole());
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(eval_response(ok, NAN, &re, &im), -1);
    EXPECT_EQ(eval_response(ok, 1, nullptr, &im), -1);
    free_response(ok);
    free_response(nullptr);
    elog_clear_register(0);
}

TEST(ResponseFile, ReadsFromARealFileWithCrLf) {
    rzvtest::TempDir dir;
    std::string path = dir.file("sensor.resp");
    ASSERT_TRUE(rzvtest::write_file(path, "theoretical 1 acme fap\r\n2\r\n1 1 0\r\n2 3 0\r\n"));
    FILE *fp = fopen(path.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    Response *r = nullptr;
    ASSERT_EQ(read_response(fp, &r), 0) << rzvtest::all_messages();
    fclose(fp);
    EXPECT_NEAR(eval(r, 1.5).real(), 2, 1e-15);
    free_response(r);
}

}  // namespace
