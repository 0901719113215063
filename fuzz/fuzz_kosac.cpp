// Fuzz target: arbitrary bytes as a SAC file, read and then taken apart the
// way callers do (samples, reference time, header fields).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "kosac.h"
#include "stock.h"

static std::string scratch_file() {
    char path[] = "/tmp/fuzz_kosac_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t n) {
    static std::string path = scratch_file();
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(bytes, 1, n, f);
    fclose(f);
    char handle[32];
    KOSac *s = kosac_read_from_file_kosac((char *)path.c_str(), (char *)"fuzz", handle);
    if (s) {
        int ns = 0;
        double t0, rate, rt;
        float *data = nullptr;
        char seg[2], sta[9], evnm[17];
        int64_t npts;
        double delta;
        kosac_getdata_kosac(s, &ns, &t0, &rate, &data, seg);
        free(data);
        kosac_getreftime_kosac(s, &rt);
        kosac_gethdr_kosac(s, "KSTNM", sta, "KEVNM", evnm, "NPTS", &npts, "DELTA", &delta, (char *)0);
        kosac_free(handle);
    }
    elog_clear_register(0);
    return 0;
}
