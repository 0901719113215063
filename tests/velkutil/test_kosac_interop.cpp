// SAC files exchanged with the field's miniSEED converters: files written
// here convert to miniSEED with the same samples and start time, and SAC
// files the converter writes read back here.  Skipped where the converters
// are not installed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kosac.h"
#include "rzvtest.h"
#include "tr.h"

namespace {

bool have_tool(const char *name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

int run(const std::string &cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }

std::vector<std::string> files_ending(const std::string &dir, const std::string &suffix) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    return out;
}

const double kStart = 1580560496.789;  // 2020-02-01 12:34:56.789
const double kRate = 20.0;

// Writes a SAC file with the fields a real file needs.
void write_sac(const std::string &path, const std::vector<float> &v) {
    KOSac *s = kosac_create(nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(kosac_putdata_kosac(s, (int)v.size(), kStart, kRate, const_cast<float *>(v.data()), (char *)"V"), 0);
    // putdata sets NPTS, DELTA, B, E, the reference time, IFTYPE, LEVEN;
    // NVHDR is 6 from the null header.  KHOLE is cleared: its null text would
    // become a location code.
    ASSERT_EQ(kosac_puthdr_kosac(s, "KSTNM", "ANMO", "KCMPNM", "BHZ", "KNETWK", "IU", "KHOLE", "", (char *)0), 0);
    ASSERT_EQ(kosac_write_to_file_kosac(s, (char *)path.c_str()), 0);
    kosac_free_kosac(s);
}

void check_miniseed(const std::string &mseed, const std::vector<float> &v) {
    TrWaveform wf{};
    wf.path = mseed.c_str();
    wf.datatype = "sd";
    wf.time = kStart;
    wf.samprate = kRate;
    wf.nsamp = (long)v.size();
    wf.sta = "ANMO";
    wf.chan = "BHZ";
    float *data = nullptr;
    long size = 0, n = 0;
    double t0 = 0, t1 = 0;
    // A window well beyond the row: the samples that exist come back.
    ASSERT_EQ(trgetwf_file(&wf, &data, &size, kStart - 60, kStart + 600, &t0, &t1, &n), 0);
    ASSERT_EQ(n, (long)v.size());
    EXPECT_NEAR(t0, kStart, 1e-6);
    for (size_t i = 0; i < v.size(); i++) ASSERT_EQ(data[i], v[i]) << i;
    free(data);
}

void check_sac_from_converter(const std::string &path, const std::vector<float> &v) {
    KOSac *s = kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr);
    ASSERT_NE(s, nullptr) << rzvtest::all_messages();
    int n = 0;
    double t0 = 0, rate = 0;
    float *data = nullptr;
    char seg[2];
    ASSERT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);
    ASSERT_EQ(n, (int)v.size());
    EXPECT_NEAR(t0, kStart, 1e-6);
    EXPECT_NEAR(rate, kRate, 1e-4);
    for (size_t i = 0; i < v.size(); i++) ASSERT_EQ(data[i], v[i]) << i;
    char sta[9], chan[9], net[9];
    ASSERT_EQ(kosac_gethdr_kosac(s, "KSTNM", sta, "KCMPNM", chan, "KNETWK", net, (char *)0), 0);
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_STREQ(chan, "BHZ");
    EXPECT_STREQ(net, "IU");
    free(data);
    kosac_free_kosac(s);
}

void round_trip(const std::vector<float> &v, const std::string &encoding) {
    if (!have_tool("sac2mseed") || !have_tool("mseed2sac"))
        GTEST_SKIP() << "sac2mseed and mseed2sac are not installed";
    rzvtest::TempDir dir;
    std::string sac = dir.file("out.sac"), mseed = dir.file("out.mseed");
    write_sac(sac, v);
    ASSERT_EQ(run("sac2mseed " + encoding + " -o " + mseed + " " + sac), 0);
    check_miniseed(mseed, v);
    std::string back = dir.file("back");
    ASSERT_EQ(run("mkdir -p " + back + " && cd " + back + " && mseed2sac " + mseed), 0);
    std::vector<std::string> made = files_ending(back, ".SAC");
    ASSERT_EQ(made.size(), 1u);
    check_sac_from_converter(made[0], v);
}

TEST(SacInterop, IntegerSamplesThroughSteim2) {
    std::vector<float> v(3000);
    for (size_t i = 0; i < v.size(); i++) v[i] = (float)((long)(i * 7919) % 20001 - 10000);
    round_trip(v, "");
}

TEST(SacInterop, FractionalSamplesAsFloats) {
    std::vector<float> v(1500);
    for (size_t i = 0; i < v.size(); i++) v[i] = 0.001f * (float)i - 0.37f * (float)(i % 7);
    round_trip(v, "-e 4");
}

}  // namespace
