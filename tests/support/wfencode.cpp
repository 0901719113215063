// Waveform samples encoded byte by byte for tests (see wfencode.h).
#include "wfencode.h"

#include <cstdint>
#include <cstring>
#include <fstream>

namespace rzvtest {

void put_be(Bytes &b, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; i--) b.push_back((unsigned char)(v >> (8 * i)));
}
void put_le(Bytes &b, uint64_t v, int n) {
    for (int i = 0; i < n; i++) b.push_back((unsigned char)(v >> (8 * i)));
}
uint32_t fbits(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}
uint64_t dbits(double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return u;
}

Bytes encode(const std::string &dt, const std::vector<double> &v) {
    Bytes b;
    for (double x : v) {
        if (dt == "s2") put_be(b, (uint16_t)(int16_t)x, 2);
        else if (dt == "i2") put_le(b, (uint16_t)(int16_t)x, 2);
        else if (dt == "s3") put_be(b, (uint32_t)(int32_t)x & 0xffffff, 3);
        else if (dt == "s4") put_be(b, (uint32_t)(int32_t)x, 4);
        else if (dt == "i4") put_le(b, (uint32_t)(int32_t)x, 4);
        else if (dt == "t4") put_be(b, fbits((float)x), 4);
        else if (dt == "f4") put_le(b, fbits((float)x), 4);
        else if (dt == "t8") put_be(b, dbits(x), 8);
        else if (dt == "f8") put_le(b, dbits(x), 8);
    }
    return b;
}

void write_bytes(const std::string &path, const Bytes &b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(b.data()), (std::streamsize)b.size());
}

}  // namespace rzvtest
