// Arbitrary text as a time string; what is accepted must print and read back.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "stock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string s(reinterpret_cast<const char *>(data), size);
    s = s.c_str();
    double t;
    if (zstr2epoch_r(s.c_str(), &t) == 0) {
        // Any accepted time, however far out, prints and converts without fault.
        char any[64];
        strtime_r(t, any, sizeof any);
        int y, d, h, m;
        double sec;
        e2h(t, &y, &d, &h, &m, &sec);
        yearday(t);
    }
    if (zstr2epoch_r(s.c_str(), &t) == 0 && std::isfinite(t) && t >= -62135596800.0 && t < 253402300799.0) {
        char buf[64];
        strtime_r(t, buf, sizeof buf);
        double back;
        if (str2epoch_r(buf, &back) != 0) abort();
        if (std::fabs(back - t) > 0.0006) abort();
        yearday(t);
    }
    str2epoch(s.c_str());
    elog_clear_register(0);
    return 0;
}
