// Waveform reading from several threads at once, as the station-channel
// views do on their worker pools: every thread gets the right samples.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "rzvtest.h"
#include "tr.h"

namespace {

void put_be32(std::string &b, uint32_t v) {
    for (int i = 3; i >= 0; i--) b.push_back((char)(v >> (8 * i)));
}

// A 512-byte miniSEED record of n int32 samples (encoding 3) from value v0,
// starting `offset` seconds after 2020-02-01 00:00.
std::string record(int offset, int v0, int n) {
    std::string b = "000001D ANMO   BHZXX";
    auto be16 = [&](int v) {
        b.push_back((char)(v >> 8));
        b.push_back((char)v);
    };
    be16(2020);
    be16(32);
    b.push_back(0);
    b.push_back((char)(offset / 60));
    b.push_back((char)(offset % 60));
    b.push_back(0);
    be16(0);
    be16(n);
    be16(10);
    be16(1);
    b += std::string("\0\0\0\1", 4);
    put_be32(b, 0);
    be16(64);
    be16(48);
    be16(1000);
    be16(0);
    b += std::string("\3\1\x09\0", 4);
    b.resize(64, '\0');
    for (int i = 0; i < n; i++) put_be32(b, (uint32_t)(v0 + i));
    b.resize(512, '\0');
    return b;
}

TEST(TrgetwfThreads, ConcurrentReadsOfRawAndMiniseedFiles) {
    rzvtest::TempDir dir;
    std::string raw = dir.file("a.s4"), msd = dir.file("a.msd");
    {
        std::string b;
        for (int i = 0; i < 5000; i++) put_be32(b, (uint32_t)i);
        std::ofstream(raw, std::ios::binary) << b;
        std::string m;
        for (int r = 0; r < 20; r++) m += record(r * 10, r * 100, 100);  // 10 s per record
        std::ofstream(msd, std::ios::binary) << m;
    }
    std::vector<int> bad(4, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; k++) {
        threads.emplace_back([&, k] {
            TrWaveform wf{};
            wf.path = (k % 2) ? raw.c_str() : msd.c_str();
            wf.datatype = (k % 2) ? "s4" : "sd";
            wf.time = 1580515200.0;
            wf.samprate = 10.0;
            wf.nsamp = (k % 2) ? 5000 : 2000;
            float *data = nullptr;
            long size = 0, n = 0;
            double t0, t1;
            for (int it = 0; it < 30; it++) {
                if (trgetwf_file(&wf, &data, &size, wf.time + it, wf.time + it + 50, &t0, &t1, &n) != 0 ||
                    n != 501) {
                    bad[k]++;
                    continue;
                }
                for (long i = 0; i < n; i++)
                    if (data[i] != (float)(it * 10 + i)) {
                        bad[k]++;
                        break;
                    }
            }
            free(data);
        });
    }
    for (auto &t : threads) t.join();
    for (int k = 0; k < 4; k++) EXPECT_EQ(bad[k], 0) << "thread " << k;
}

}  // namespace
