// Reading waveform samples: every raw datatype in both byte orders, windows
// that fall between samples, rows that do not fit their file, and miniSEED
// records with gaps between them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "rzvtest.h"
#include "stock.h"
#include "tr.h"
#include "wfencode.h"

namespace {

using rzvtest::Bytes;
using rzvtest::dbits;
using rzvtest::fbits;
using rzvtest::put_be;
using rzvtest::put_le;
using rzvtest::encode;
using rzvtest::write_bytes;

struct Reader {
    float *data = nullptr;
    long size = 0;
    double t0 = -1, t1 = -1;
    long n = -1;
    ~Reader() { free(data); }
    int read(const TrWaveform &wf, double a, double b) { return trgetwf_file(&wf, &data, &size, a, b, &t0, &t1, &n); }
};

TrWaveform row(const std::string &path, const char *dt, long nsamp, long foff = 0, double time = 1000.0,
               double rate = 10.0) {
    TrWaveform wf{};
    wf.path = strdup(path.c_str());  // released by the fixture's TempDir lifetime is not needed: tests are short
    wf.foff = foff;
    wf.datatype = dt;
    wf.time = time;
    wf.samprate = rate;
    wf.nsamp = nsamp;
    return wf;
}

struct Case {
    const char *dt;
    std::vector<double> values;
};

std::vector<Case> cases() {
    return {
        {"s2", {0, 1, -1, 32767, -32768, 1234, -4321}},
        {"i2", {0, 1, -1, 32767, -32768, 1234, -4321}},
        {"s3", {0, 1, -1, 8388607, -8388608, 65536, -70000}},
        {"s4", {0, 1, -1, 2147483647.0, -2147483648.0, 16777217, -123456789}},
        {"i4", {0, 1, -1, 2147483647.0, -2147483648.0, 16777217, -123456789}},
        {"t4", {0, 1.5, -2.25, 3.4e38, -1e-30, 123.456, 6.02e23}},
        {"f4", {0, 1.5, -2.25, 3.4e38, -1e-30, 123.456, 6.02e23}},
        {"t8", {0, 1.5, -2.25, 1.0 / 3.0, -1e-300, 123.456789012345, 6.02e23}},
        {"f8", {0, 1.5, -2.25, 1.0 / 3.0, -1e-300, 123.456789012345, 6.02e23}},
    };
}

// The float a reader must deliver for a stored value.
float expected(const std::string &dt, double x) {
    if (dt[1] == '2') return (float)(int16_t)x;
    if (dt == "s3" || dt == "s4" || dt == "i4") return (float)(int32_t)x;
    return (float)x;
}

// ------------------------------------------------------------ datatypes

TEST(TrgetwfDatatypes, EveryTypeAtSamplePrecision) {
    rzvtest::TempDir dir;
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.dt);
        Bytes b = {'j', 'u', 'n', 'k', '!'};  // samples start at byte 5
        Bytes enc = encode(c.dt, c.values);
        b.insert(b.end(), enc.begin(), enc.end());
        std::string path = dir.file(std::string("w.") + c.dt);
        write_bytes(path, b);
        TrWaveform wf = row(path, c.dt, (long)c.values.size(), 5);
        Reader r;
        ASSERT_EQ(r.read(wf, 0.0, 1e10), 0);
        ASSERT_EQ(r.n, (long)c.values.size());
        EXPECT_EQ(r.t0, 1000.0);
        EXPECT_DOUBLE_EQ(r.t1, 1000.0 + (c.values.size() - 1) / 10.0);
        for (size_t i = 0; i < c.values.size(); i++) EXPECT_EQ(r.data[i], expected(c.dt, c.values[i])) << i;
        free((void *)wf.path);
    }
}

TEST(TrgetwfDatatypes, SizesAndUnknownTypes) {
    EXPECT_EQ(trdatatype_size("s3"), 3);
    EXPECT_EQ(trdatatype_size("t8"), 8);
    EXPECT_EQ(trdatatype_size("sd"), 0);
    EXPECT_EQ(trdatatype_size("g2"), -1);
    EXPECT_EQ(trdatatype_size(nullptr), -1);
    rzvtest::TempDir dir;
    std::string path = dir.file("w");
    write_bytes(path, Bytes(40, 0));
    TrWaveform wf = row(path, "S4", 10);
    Reader r;
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_EDATATYPE);
    trgetwf_file_error(TRGETWF_EDATATYPE, path.c_str());
    EXPECT_TRUE(rzvtest::has_message("trgetwf: unknown datatype 'S4' for waveform file " + path));
    free((void *)wf.path);
}

TEST(TrgetwfDatatypes, LargeReadsThroughTheMapping) {
    rzvtest::TempDir dir;
    std::vector<double> v(200003);
    for (size_t i = 0; i < v.size(); i++) v[i] = (double)((long)(i * 7919) % 100003 - 50000);
    for (const char *dt : {"s4", "t4", "i2", "f8"}) {
        SCOPED_TRACE(dt);
        Bytes b(4099, 0);  // an offset that is not on a page boundary
        Bytes enc = encode(dt, v);
        b.insert(b.end(), enc.begin(), enc.end());
        std::string path = dir.file(std::string("big.") + dt);
        write_bytes(path, b);
        TrWaveform wf = row(path, dt, (long)v.size(), 4099, 0.0, 100.0);
        Reader r;
        ASSERT_EQ(r.read(wf, 10.005, 1e9), 0);  // from sample 1001 on
        ASSERT_EQ(r.n, (long)v.size() - 1001);
        for (long i = 0; i < r.n; i++) ASSERT_EQ(r.data[i], expected(dt, v[i + 1001])) << i;
        free((void *)wf.path);
    }
}

// ------------------------------------------------------------ windows

class TrgetwfWindows : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 20; i++) values.push_back(i * 10.0);
        path = dir.file("win.s4");
        write_bytes(path, encode("s4", values));
        wf = row(path, "s4", 20, 0, 1600000000.0, 10.0);  // samples every 0.1 s
    }
    void TearDown() override { free((void *)wf.path); }
    rzvtest::TempDir dir;
    std::vector<double> values;
    std::string path;
    TrWaveform wf;
    Reader r;
};

TEST_F(TrgetwfWindows, BetweenSamples) {
    ASSERT_EQ(r.read(wf, 1600000000.25, 1600000000.55), 0);
    ASSERT_EQ(r.n, 3);  // samples 3, 4, 5
    EXPECT_EQ(r.data[0], 30.0f);
    EXPECT_EQ(r.data[2], 50.0f);
    EXPECT_NEAR(r.t0, 1600000000.3, 1e-6);
    EXPECT_NEAR(r.t1, 1600000000.5, 1e-6);
}

TEST_F(TrgetwfWindows, BoundsOnSamplesAreIncluded) {
    ASSERT_EQ(r.read(wf, 1600000000.3, 1600000000.5), 0);
    EXPECT_EQ(r.n, 3);
    EXPECT_EQ(r.data[0], 30.0f);
    ASSERT_EQ(r.read(wf, 1600000000.7, 1600000000.7), 0);
    EXPECT_EQ(r.n, 1);
    EXPECT_EQ(r.data[0], 70.0f);
}

TEST_F(TrgetwfWindows, TheLastSampleHasTheSameSlackAsTheOthers) {
    // A start a ten-thousandth of a sample after the last sample, as epoch
    // arithmetic gives, still includes it -- as it does for sample 7.
    ASSERT_EQ(r.read(wf, 1600000000.7 + 1e-5, 1600000100.0), 0);
    EXPECT_EQ(r.n, 13);
    ASSERT_EQ(r.read(wf, 1600000001.9 + 1e-5, 1600000100.0), 0);
    ASSERT_EQ(r.n, 1);
    EXPECT_EQ(r.data[0], 190.0f);
    ASSERT_EQ(r.read(wf, 1600000001.9 + 2e-4, 1600000100.0), 0);
    EXPECT_EQ(r.n, 0);
}

TEST_F(TrgetwfWindows, WiderThanTheRow) {
    ASSERT_EQ(r.read(wf, 1599999990.0, 1600000100.0), 0);
    EXPECT_EQ(r.n, 20);
    EXPECT_EQ(r.t0, 1600000000.0);
    EXPECT_NEAR(r.t1, 1600000001.9, 1e-6);
    EXPECT_EQ(r.data[19], 190.0f);
    ASSERT_EQ(r.read(wf, 1600000001.85, 1600000100.0), 0);  // tail only
    EXPECT_EQ(r.n, 1);
    EXPECT_EQ(r.data[0], 190.0f);
}

TEST_F(TrgetwfWindows, NoSampleInside) {
    for (auto w : {std::pair<double, double>{1500000000.0, 1599999999.0}, {1600000002.0, 1600000003.0},
                   {1600000000.31, 1600000000.39}, {1600000000.5, 1600000000.2}}) {
        ASSERT_EQ(r.read(wf, w.first, w.second), 0);
        EXPECT_EQ(r.n, 0);
        EXPECT_EQ(r.t0, 0.0);
        EXPECT_EQ(r.t1, 0.0);
    }
}

TEST_F(TrgetwfWindows, ArrayIsGrownAndReused) {
    r.size = 2;
    r.data = static_cast<float *>(malloc(2 * sizeof(float)));
    ASSERT_EQ(r.read(wf, 0, 1e10), 0);
    EXPECT_GE(r.size, 20);
    float *kept = r.data;
    ASSERT_EQ(r.read(wf, 1600000000.0, 1600000000.4), 0);
    EXPECT_EQ(r.data, kept);
    EXPECT_EQ(r.n, 5);
}

TEST_F(TrgetwfWindows, NotANumberIsRefused) {
    EXPECT_EQ(r.read(wf, NAN, 1e10), TRGETWF_EWINDOW);
    TrWaveform bad = wf;
    bad.samprate = 0;
    EXPECT_EQ(r.read(bad, 0, 1e10), TRGETWF_EROW);
    bad = wf;
    bad.nsamp = -3;
    EXPECT_EQ(r.read(bad, 0, 1e10), TRGETWF_EROW);
}

// ------------------------------------------------------------ files

TEST(TrgetwfFiles, RowPastTheEndOfItsFile) {
    rzvtest::TempDir dir;
    std::string path = dir.file("short.t4");
    write_bytes(path, encode("t4", std::vector<double>(10, 1.0)));
    TrWaveform wf = row(path, "t4", 11);
    Reader r;
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_ESHORT);
    EXPECT_EQ(r.n, 0);
    trgetwf_file_error(TRGETWF_ESHORT, path.c_str());
    EXPECT_TRUE(rzvtest::has_message("waveform file " + path + " has 40 bytes, the row needs 44"));
    // Even a window inside the part that exists fails: the row is wrong.
    EXPECT_EQ(r.read(wf, 1000.0, 1000.2), TRGETWF_ESHORT);
    wf.nsamp = 5;
    wf.foff = 24;
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_ESHORT);
    wf.foff = 20;
    EXPECT_EQ(r.read(wf, 0, 1e10), 0);
    EXPECT_EQ(r.n, 5);
    free((void *)wf.path);
}

TEST(TrgetwfFiles, MissingFile) {
    rzvtest::TempDir dir;
    TrWaveform wf = row(dir.file("nothing.s4"), "s4", 10);
    Reader r;
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_ENOFILE);
    trgetwf_file_error(TRGETWF_ENOFILE, wf.path);
    EXPECT_TRUE(rzvtest::has_message("trgetwf: cannot open waveform file " +
                                     dir.file("nothing.s4")));
    // A code that is not the last failure's gets the plain wording.
    trgetwf_file_error(TRGETWF_EMSEED, "other.msd");
    EXPECT_TRUE(rzvtest::has_message("trgetwf: bad miniSEED data (other.msd)\n"));
    free((void *)wf.path);
}

// ------------------------------------------------------------ miniSEED

// One 512-byte miniSEED record of 32-bit IEEE floats (encoding 4), big-endian.
Bytes mseed_record(const char *sta, const char *chan, int year, int doy, int hour, int min, int sec, int tenk,
                   int rate, const std::vector<float> &v) {
    Bytes b;
    const char *seq = "000001D ";
    for (int i = 0; i < 8; i++) b.push_back((unsigned char)seq[i]);
    auto text = [&](const char *s, size_t w) {
        for (size_t i = 0; i < w; i++) b.push_back(i < strlen(s) ? s[i] : ' ');
    };
    text(sta, 5);
    text("", 2);
    text(chan, 3);
    text("XX", 2);
    put_be(b, year, 2);
    put_be(b, doy, 2);
    b.push_back(hour);
    b.push_back(min);
    b.push_back(sec);
    b.push_back(0);
    put_be(b, tenk, 2);
    put_be(b, v.size(), 2);
    put_be(b, rate, 2);
    put_be(b, 1, 2);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    b.push_back(1);  // one blockette
    put_be(b, 0, 4);
    put_be(b, 64, 2);  // data offset
    put_be(b, 48, 2);  // blockette 1000 offset
    put_be(b, 1000, 2);
    put_be(b, 0, 2);
    b.push_back(4);  // IEEE float
    b.push_back(1);  // big-endian
    b.push_back(9);  // 2^9 bytes
    b.push_back(0);
    while (b.size() < 64) b.push_back(0);
    for (float f : v) put_be(b, fbits(f), 4);
    b.resize(512, 0);
    return b;
}

TEST(TrgetwfMiniseed, RecordsPlacedByTimeWithGaps) {
    rzvtest::TempDir dir;
    std::string path = dir.file("a.msd");
    // 2020 day 32 00:00:00, 10 samples per second; 5 samples, a gap of 3,
    // 4 samples; a record of another channel in between.
    std::vector<float> a = {1, 2, 3, 4, 5}, other = {99, 99, 99, 99, 99, 99, 99, 99, 99, 99}, c = {9, 10, 11, 12};
    Bytes b = {};
    Bytes r1 = mseed_record("ANMO", "BHZ", 2020, 32, 0, 0, 0, 0, 10, a);
    Bytes r2 = mseed_record("ANMO", "BHN", 2020, 32, 0, 0, 0, 0, 10, other);
    Bytes r3 = mseed_record("ANMO", "BHZ", 2020, 32, 0, 0, 0, 8000, 10, c);
    Bytes junk(100, 'j');
    b.insert(b.end(), junk.begin(), junk.end());
    b.insert(b.end(), r1.begin(), r1.end());
    b.insert(b.end(), r2.begin(), r2.end());
    b.insert(b.end(), r3.begin(), r3.end());
    write_bytes(path, b);
    double t = 1580515200.0;
    TrWaveform wf = row(path, "sd", 12, 100, t, 10.0);
    wf.sta = "anmo";  // codes compare without regard to case
    wf.chan = "BHZ";
    Reader r;
    ASSERT_EQ(r.read(wf, t - 5, t + 5), 0);
    ASSERT_EQ(r.n, 12);
    float gap;
    trfill_gap(&gap, 1);
    std::vector<float> want = {1, 2, 3, 4, 5, gap, gap, gap, 9, 10, 11, 12};
    for (int i = 0; i < 12; i++) EXPECT_EQ(r.data[i], want[i]) << i;
    // A window that begins between samples, inside the gap.
    ASSERT_EQ(r.read(wf, t + 0.55, t + 0.95), 0);
    ASSERT_EQ(r.n, 4);
    EXPECT_EQ(r.data[0], gap);
    EXPECT_EQ(r.data[2], 9.0f);
    EXPECT_NEAR(r.t0, t + 0.6, 1e-6);
    free((void *)wf.path);
}

TEST(TrgetwfMiniseed, BadRecordsAndForeignChannels) {
    rzvtest::TempDir dir;
    std::string path = dir.file("b.msd");
    Bytes rec = mseed_record("ANMO", "BHZ", 2020, 32, 0, 0, 0, 0, 10, {1, 2, 3});
    write_bytes(path, rec);
    TrWaveform wf = row(path, "sd", 3, 0, 1580515200.0, 10.0);
    wf.sta = "KONO";
    wf.chan = "BHZ";
    Reader r;
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_EMSEED);
    trgetwf_file_error(TRGETWF_EMSEED, path.c_str());
    EXPECT_TRUE(rzvtest::has_message("holds no records of KONO BHZ"));
    // A damaged header.
    Bytes bad = rec;
    memcpy(bad.data(), "garbage!garbage!", 16);
    write_bytes(path, bad);
    wf.sta = "ANMO";
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_EMSEED);
    // A record cut short.
    write_bytes(path, Bytes(rec.begin(), rec.begin() + 200));
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_EMSEED);
    // A record sampled at another rate than the row's.
    write_bytes(path, mseed_record("ANMO", "BHZ", 2020, 32, 0, 0, 0, 0, 20, {1, 2, 3}));
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_EMSEED);
    trgetwf_file_error(TRGETWF_EMSEED, path.c_str());
    EXPECT_TRUE(rzvtest::has_message("has 20 samples per second, the row 10"));
    // No bytes at all after foff.
    wf.foff = 512;
    write_bytes(path, rec);
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_ESHORT);
    free((void *)wf.path);
}

TEST(TrgetwfMiniseed, ARowCountNoFileCouldHoldIsRefusedBeforeAllocating) {
    rzvtest::TempDir dir;
    std::string path = dir.file("c.msd");
    write_bytes(path, mseed_record("ANMO", "BHZ", 2020, 32, 0, 0, 0, 0, 10, {1, 2, 3}));
    // Two thousand million samples (8 GB of gap markers) for one record.
    TrWaveform wf = row(path, "sd", 2000000000L, 0, 1580515200.0, 10.0);
    Reader r;
    EXPECT_EQ(r.read(wf, 0, 1e10), TRGETWF_EROW);
    EXPECT_EQ(r.data, nullptr);
    trgetwf_file_error(TRGETWF_EROW, path.c_str());
    EXPECT_TRUE(rzvtest::has_message("samples asked of miniSEED file"));
    // A narrow window of the same row is fine: the first record is there.
    ASSERT_EQ(r.read(wf, 1580515200.0, 1580515200.25), 0);
    ASSERT_EQ(r.n, 3);
    EXPECT_EQ(r.data[2], 3.0f);
    // A day at 100 samples per second in a small file: gaps, not an error.
    wf.nsamp = 8640000;
    ASSERT_EQ(r.read(wf, 0, 1e10), 0);
    EXPECT_EQ(r.n, 8640000);
    free((void *)wf.path);
}

}  // namespace
