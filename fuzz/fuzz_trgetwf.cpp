// Fuzz target: the waveform decoders.  The first bytes choose the datatype,
// the row's count and offset and the window; the rest is the file.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "stock.h"
#include "tr.h"

static std::string scratch_file() {
    char path[] = "/tmp/fuzz_trgetwf_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t n) {
    static const char *types[] = {"s2", "s3", "s4", "i2", "i4", "t4", "t8", "f4", "f8", "sd", "sd", "sd", "xx"};
    static std::string path = scratch_file();
    if (n < 8) return 0;
    TrWaveform wf{};
    wf.path = path.c_str();
    wf.datatype = types[bytes[0] % (sizeof types / sizeof types[0])];
    // Rows and windows that no sound wfdisc row holds, now and then.
    static const long odd_counts[] = {-1, -2147483647L, 2000000000L, 0x7fffffffffffffffL};
    static const double odd_rates[] = {0.0, -1.0, NAN, INFINITY, 1e300, 1e-300};
    wf.nsamp = (long)(bytes[1] | (bytes[2] << 8)) * (bytes[3] & 0x80 ? 16 : 1);
    if (bytes[2] >= 0xfc) wf.nsamp = odd_counts[bytes[2] - 0xfc];
    wf.foff = bytes[3] & 0x7f;
    wf.time = 1580515200.0 + (int8_t)bytes[4];
    wf.samprate = bytes[5] >= 0xfa ? odd_rates[bytes[5] - 0xfa] : 1.0 + bytes[5];
    wf.sta = bytes[6] & 1 ? nullptr : "ANMO";
    wf.chan = bytes[6] & 2 ? nullptr : "BHZ";
    double t0 = wf.time + (int8_t)bytes[7] * 0.37, t1 = t0 + (bytes[6] & 0x80 ? -1.0 : 1.0) * bytes[6] * 3.1;
    if (bytes[7] == 0x80) t0 = NAN;
    if (bytes[7] == 0x7f) t1 = INFINITY;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(bytes + 8, 1, n - 8, f);
    fclose(f);
    float *data = nullptr;
    long size = 0, ns = 0;
    double ts, te;
    int r = trgetwf_file(&wf, &data, &size, t0, t1, &ts, &te, &ns);
    if (r < 0) trgetwf_file_error(r, wf.path);
    else if (ns > size) abort();
    free(data);
    elog_clear_register(0);
    return 0;
}
