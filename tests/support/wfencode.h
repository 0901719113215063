// Waveform samples encoded for tests, independently of the library's
// decoders: each value written byte by byte in a wfdisc datatype's encoding.
#ifndef RZV_WFENCODE_H
#define RZV_WFENCODE_H

#include <cstdint>
#include <string>
#include <vector>

namespace rzvtest {

using Bytes = std::vector<unsigned char>;

// n bytes of v, most or least significant first; the bits of a float or
// double.
void put_be(Bytes &b, uint64_t v, int n);
void put_le(Bytes &b, uint64_t v, int n);
uint32_t fbits(float f);
uint64_t dbits(double d);

// The values of v in datatype dt (s2 s3 s4 i2 i4 t4 t8 f4 f8); an unknown
// datatype gives no bytes.
Bytes encode(const std::string &dt, const std::vector<double> &v);

// Writes the bytes to path, replacing the file.
void write_bytes(const std::string &path, const Bytes &b);

}  // namespace rzvtest

#endif
