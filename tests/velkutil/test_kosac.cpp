// SAC images: the header table, the null header, header access by name,
// handle tags, file reading and writing, samples and reference times.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <string>
#include <vector>

#include "kosac_pvt.h"
#include "rzvtest.h"

namespace {

using rzvtest::has_message;

KOSac *new_image() {
    KOSac *s = kosac_create(nullptr, nullptr);
    EXPECT_NE(s, nullptr);
    return s;
}

int32_t raw_i32(const KOSac *s, int offset) {
    int32_t v;
    memcpy(&v, s->sacimage->header + offset, 4);
    return v;
}

float raw_f32(const KOSac *s, int offset) {
    float v;
    memcpy(&v, s->sacimage->header + offset, 4);
    return v;
}

// An image with n samples 0, 1, 2, ... and the header fields a file needs.
KOSac *image_with_samples(int n, double tstart = 1580560496.789, double rate = 20.0) {
    KOSac *s = new_image();
    std::vector<float> v(n);
    for (int i = 0; i < n; i++) v[i] = (float)i;
    EXPECT_EQ(kosac_putdata_kosac(s, n, tstart, rate, v.data(), (char *)"V"), 0);
    return s;
}

std::string file_bytes(const std::string &path) { return rzvtest::read_file(path); }

void write_bytes(const std::string &path, const void *p, size_t n) {
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char *>(p), (std::streamsize)n);
}

// ------------------------------------------------------------ handle tags
// (first in the file: it needs a process without images yet)

TEST(SacRegistry, LookupBeforeAnyImageAndTags) {
    EXPECT_EQ(kosac_get_kosac((char *)"sac0"), nullptr);
    EXPECT_TRUE(has_message("kosac_get_kosac: No kosacs defined"));
    EXPECT_EQ(kosac_free((char *)"sac0"), -1);
    EXPECT_TRUE(has_message("kosac_free: No kosacs defined"));
    char h1[32], h2[32];
    KOSac *a = kosac_create((char *)"grp", h1);
    KOSac *b = kosac_create(nullptr, h2);
    ASSERT_TRUE(a && b);
    EXPECT_STREQ(h1, "sac0");
    EXPECT_STREQ(h2, "sac1");
    EXPECT_EQ(kosac_get_kosac(h1), a);
    EXPECT_STREQ(a->tag, "grp");
    EXPECT_EQ(b->tag, nullptr);
    EXPECT_EQ(kosac_free(h1), 0);
    EXPECT_EQ(kosac_get_kosac(h1), nullptr);
    EXPECT_TRUE(has_message("kosac_get_kosac: Cannot find sac0"));
    EXPECT_EQ(kosac_free(h1), -1);
    EXPECT_TRUE(has_message("kosac_free: Cannot find sac0"));
    char h3[32];
    ASSERT_NE(kosac_create(nullptr, h3), nullptr);
    EXPECT_STREQ(h3, "sac2");  // freed tags are never issued again
    EXPECT_EQ(kosac_free(h3), 0);
    EXPECT_EQ(kosac_free(h2), 0);
}

// ------------------------------------------------------------ header table

TEST(SacHeaderTable, FieldsTileTheHeaderExactly) {
    ASSERT_EQ(kosac_fill_null_header(nullptr), 0);
    std::vector<int> owner(KOSAC_HEADER_SIZE, -1);
    std::set<std::string> names;
    for (int i = 0; i < KOSAC_NFIELDS; i++) {
        const sac_header_define &d = SacHeaderDefines[i];
        ASSERT_NE(d.format, nullptr) << d.name;
        EXPECT_EQ(d.format->type, d.type) << d.name;
        EXPECT_TRUE(names.insert(d.name).second) << "duplicate " << d.name;
        for (int b = d.offset; b < d.offset + d.format->size; b++) {
            ASSERT_LT(b, KOSAC_HEADER_SIZE) << d.name;
            EXPECT_EQ(owner[b], -1) << d.name << " overlaps " << SacHeaderDefines[owner[b]].name;
            owner[b] = i;
        }
    }
    for (int b = 0; b < KOSAC_HEADER_SIZE; b++) EXPECT_NE(owner[b], -1) << "byte " << b << " has no field";
}

TEST(SacHeaderTable, KnownOffsetsAndTypes) {
    struct {
        const char *name;
        int offset, type;
    } known[] = {{"DELTA", 0, 1},    {"B", 20, 1},       {"E", 24, 1},        {"O", 28, 1},     {"STLA", 124, 1},
                 {"EVDP", 152, 1},   {"GCARC", 212, 1},  {"DEPMEN", 224, 1},  {"CMPINC", 232, 1}, {"UNUSED7", 276, 1},
                 {"NZYEAR", 280, 2}, {"NZMSEC", 300, 2}, {"NVHDR", 304, 2},   {"NPTS", 316, 2}, {"UNUSED8", 336, 2},
                 {"IFTYPE", 340, 3}, {"IZTYPE", 348, 3}, {"UNUSED9", 352, 2}, {"IMAGSRC", 384, 3},
                 {"UNUSED17", 416, 2}, {"LEVEN", 420, 4}, {"LCALDA", 432, 4}, {"UNUSED18", 436, 4},
                 {"KSTNM", 440, 5},  {"KEVNM", 448, 6},  {"KHOLE", 464, 5},   {"KCMPNM", 600, 5}, {"KNETWK", 608, 5},
                 {"KINST", 624, 5}};
    for (auto &k : known) {
        const sac_header_define *d = kosac_find_header_define(k.name);
        ASSERT_NE(d, nullptr) << k.name;
        EXPECT_EQ(d->offset, k.offset) << k.name;
        EXPECT_EQ(d->type, k.type) << k.name;
    }
    EXPECT_EQ(kosac_find_header_define("delta"), nullptr);
    EXPECT_EQ(kosac_find_header_define("NOSUCH"), nullptr);
}

// ------------------------------------------------------------ null header

TEST(SacNullHeader, NewImageHoldsNullValues) {
    KOSac *s = new_image();
    double delta = 0;
    int64_t npts = 0, leven = 7, nvhdr = 0, iftype = 0;
    char kstnm[9], kevnm[17];
    ASSERT_EQ(kosac_gethdr_kosac(s, "DELTA", &delta, "NPTS", &npts, "LEVEN", &leven, "KSTNM", kstnm, "NVHDR", &nvhdr,
                                 "IFTYPE", &iftype, "KEVNM", kevnm, (char *)0),
              0);
    EXPECT_EQ(delta, -12345.0);
    EXPECT_EQ(npts, -12345);
    EXPECT_EQ(iftype, -12345);
    EXPECT_EQ(leven, 0);
    EXPECT_STREQ(kstnm, "-12345");
    EXPECT_STREQ(kevnm, "-12345");
    EXPECT_EQ(nvhdr, 6);
    EXPECT_EQ(s->sacimage->data, nullptr);
    EXPECT_EQ(s->sacimage->data_nsamples, 0);
    kosac_free_kosac(s);
}

TEST(SacNullHeader, StoredFormOfEveryType) {
    char h[KOSAC_HEADER_SIZE];
    memset(h, 0x5a, sizeof h);
    ASSERT_EQ(kosac_fill_null_header(h), 0);
    float f;
    int32_t i;
    memcpy(&f, h + 4, 4);
    EXPECT_EQ(f, -12345.0f);
    memcpy(&i, h + 316, 4);
    EXPECT_EQ(i, -12345);
    memcpy(&i, h + 420, 4);
    EXPECT_EQ(i, 0);
    // Character fields: the digits, then NUL bytes up to the width.
    EXPECT_EQ(std::string(h + 440, 8), std::string("-12345\0\0", 8));
    EXPECT_EQ(std::string(h + 448, 16), std::string("-12345\0\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(std::string(h + 624, 8), std::string("-12345\0\0", 8));
}

// ------------------------------------------------------------ access by name

TEST(SacHeaderAccess, EveryTypeRoundTrips) {
    KOSac *s = new_image();
    ASSERT_EQ(kosac_puthdr_kosac(s, "DELTA", 0.025, "STLA", 34.9462f, "NORID", (int64_t)42, "IDEP", (int64_t)7,
                                 "LEVEN", (int64_t)1, "LPSPOL", (int64_t)-3, "KSTNM", "ANMO", "KEVNM", "Tonga Islands",
                                 "UNUSED18", (int64_t)99, "INTERNAL1", 1.5, (char *)0),
              0);
    double delta, stla, internal1;
    int64_t norid, idep, leven, lpspol, unused18;
    char kstnm[9], kevnm[17];
    ASSERT_EQ(kosac_gethdr_kosac(s, "DELTA", &delta, "STLA", &stla, "NORID", &norid, "IDEP", &idep, "LEVEN", &leven,
                                 "LPSPOL", &lpspol, "KSTNM", kstnm, "KEVNM", kevnm, "UNUSED18", &unused18, "INTERNAL1",
                                 &internal1, (char *)0),
              0);
    EXPECT_EQ(delta, (double)0.025f);
    EXPECT_EQ(stla, (double)34.9462f);
    EXPECT_EQ(norid, 42);
    EXPECT_EQ(idep, 7);
    EXPECT_EQ(leven, 1);
    EXPECT_EQ(lpspol, -3);
    EXPECT_STREQ(kstnm, "ANMO");
    EXPECT_STREQ(kevnm, "Tonga Islands");
    EXPECT_EQ(unused18, 99);
    EXPECT_EQ(internal1, 1.5);
    // Stored in host order at the field's own offset.
    EXPECT_EQ(raw_i32(s, 72 * 4 + 4 * 5), 42);  // NORID is word 77
    EXPECT_EQ(raw_f32(s, 0), 0.025f);
    kosac_free_kosac(s);
}

TEST(SacHeaderAccess, CharacterFieldsAreCutNotPadded) {
    KOSac *s = new_image();
    ASSERT_EQ(kosac_puthdr_kosac(s, "KSTNM", "ABCDEFGHIJ", "KEVNM", "0123456789abcdefXYZ", "KCMPNM", "BHZ",
                                 (char *)0),
              0);
    char kstnm[9], kevnm[17], kcmpnm[9];
    ASSERT_EQ(kosac_gethdr_kosac(s, "KSTNM", kstnm, "KEVNM", kevnm, "KCMPNM", kcmpnm, (char *)0), 0);
    EXPECT_STREQ(kstnm, "ABCDEFGH");
    EXPECT_STREQ(kevnm, "0123456789abcdef");
    EXPECT_STREQ(kcmpnm, "BHZ");
    // The rest of a short field is NUL bytes (the old "-12345" is gone).
    EXPECT_EQ(std::string(s->sacimage->header + 600, 8), std::string("BHZ\0\0\0\0\0", 8));
    // The neighbour of a full-width field is untouched.
    EXPECT_EQ(std::string(s->sacimage->header + 448, 16), "0123456789abcdef");
    kosac_free_kosac(s);
}

TEST(SacHeaderAccess, BlanksAreTrimmedOnGet) {
    KOSac *s = new_image();
    ASSERT_EQ(kosac_puthdr_kosac(s, "KNETWK", "  IU    ", (char *)0), 0);
    char net[9];
    ASSERT_EQ(kosac_gethdr_kosac(s, "KNETWK", net, (char *)0), 0);
    EXPECT_STREQ(net, "IU");
    kosac_free_kosac(s);
}

TEST(SacHeaderAccess, IntegersKeepTheirLow32Bits) {
    KOSac *s = new_image();
    ASSERT_EQ(kosac_puthdr_kosac(s, "NEVID", (int64_t)0x100000007LL, "NWFID", (int64_t)-2, (char *)0), 0);
    int64_t nevid, nwfid;
    ASSERT_EQ(kosac_gethdr_kosac(s, "NEVID", &nevid, "NWFID", &nwfid, (char *)0), 0);
    EXPECT_EQ(nevid, 7);
    EXPECT_EQ(nwfid, -2);  // sign-extended on the way out
    kosac_free_kosac(s);
}

TEST(SacHeaderAccess, UndefinedNameStopsAfterEarlierPairs) {
    KOSac *s = new_image();
    EXPECT_EQ(kosac_puthdr_kosac(s, "NPTS", (int64_t)5, "delta", 0.5, "B", 1.0, (char *)0), -1);
    EXPECT_TRUE(has_message("kosac_puthdr_kosac: Undefined header name 'delta'\n"));
    double b = 0;
    int64_t npts = 0;
    EXPECT_EQ(kosac_gethdr_kosac(s, "NPTS", &npts, "Npts", &b, "B", &b, (char *)0), -1);
    EXPECT_TRUE(has_message("kosac_gethdr_kosac: Undefined header name 'Npts'\n"));
    EXPECT_EQ(npts, 5);
    EXPECT_EQ(b, 0.0);  // not reached
    ASSERT_EQ(kosac_gethdr_kosac(s, "B", &b, (char *)0), 0);
    EXPECT_EQ(b, -12345.0);  // the pair after the bad name was not applied
    kosac_free_kosac(s);
}

// ------------------------------------------------------------ handle tags

TEST(SacRegistry, FreeTagFreesOnlyMatchingLabels) {
    char a[32], b[32], c[32], d[32];
    ASSERT_TRUE(kosac_create((char *)"x", a) && kosac_create((char *)"y", b) && kosac_create((char *)"x", c) &&
                kosac_create(nullptr, d));
    EXPECT_EQ(kosac_free_tag((char *)"x"), 0);
    EXPECT_EQ(kosac_get_kosac(a), nullptr);
    EXPECT_EQ(kosac_get_kosac(c), nullptr);
    EXPECT_NE(kosac_get_kosac(b), nullptr);
    EXPECT_NE(kosac_get_kosac(d), nullptr);
    EXPECT_EQ(kosac_free_tag((char *)"nothing"), 0);
    EXPECT_EQ(kosac_free(b), 0);
    EXPECT_EQ(kosac_free(d), 0);
}

TEST(SacRegistry, UnregisteredImageIsNotFound) {
    KOSac *s = kosac_create((char *)"solo", nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(kosac_free_tag((char *)"solo"), 0);
    EXPECT_STREQ(s->tag, "solo");  // still the caller's
    kosac_free_kosac(s);
    kosac_free_kosac(nullptr);
}

// ------------------------------------------------------------ files

TEST(SacFiles, WriteAndReadBack) {
    rzvtest::TempDir dir;
    std::string path = dir.file("a.sac");
    KOSac *s = image_with_samples(100);
    ASSERT_EQ(kosac_puthdr_kosac(s, "KSTNM", "ANMO", (char *)0), 0);
    ASSERT_EQ(kosac_write_to_file_kosac(s, (char *)path.c_str()), 0);
    std::string bytes = file_bytes(path);
    ASSERT_EQ(bytes.size(), 632u + 400u);
    EXPECT_EQ(memcmp(bytes.data(), s->sacimage->header, 632), 0);
    char handle[32];
    KOSac *r = kosac_read_from_file_kosac((char *)path.c_str(), (char *)"rd", handle);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(kosac_get_kosac(handle), r);
    ASSERT_EQ(r->sacimage->data_nsamples, 100);
    EXPECT_EQ(r->sacimage->data_size, 400u);
    for (int i = 0; i < 100; i++) ASSERT_EQ(r->sacimage->data[i], (float)i);
    EXPECT_EQ(memcmp(r->sacimage->header, s->sacimage->header, 632), 0);
    EXPECT_EQ(kosac_free(handle), 0);
    kosac_free_kosac(s);
}

TEST(SacFiles, WriterLeavesTheHeaderAsItStands) {
    rzvtest::TempDir dir;
    std::string path = dir.file("b.sac");
    KOSac *s = image_with_samples(100);
    ASSERT_EQ(kosac_puthdr_kosac(s, "NPTS", (int64_t)-12345, (char *)0), 0);
    ASSERT_EQ(kosac_write_to_file_kosac(s, (char *)path.c_str()), 0);
    EXPECT_EQ(file_bytes(path).size(), 1032u);
    KOSac *r = kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->sacimage->data, nullptr);  // NPTS null: no samples taken
    EXPECT_EQ(r->sacimage->data_nsamples, 0);
    kosac_free_kosac(r);
    kosac_free_kosac(s);
}

TEST(SacFiles, WriteFailures) {
    rzvtest::TempDir dir;
    KOSac *s = new_image();
    std::string path = dir.file("none.sac");
    EXPECT_EQ(kosac_write_to_file_kosac(s, (char *)path.c_str()), -1);
    EXPECT_TRUE(has_message("kosac_write_to_file_kosac: No sac data samples to write.\n"));
    kosac_free_kosac(s);
    s = image_with_samples(3);
    std::string bad = dir.file("no/such/dir.sac");
    EXPECT_EQ(kosac_write_to_file_kosac(s, (char *)bad.c_str()), -1);
    EXPECT_TRUE(has_message("kosac_write_to_file_kosac: open(" + bad + ") error.\n"));
    kosac_free_kosac(s);
}

TEST(SacFiles, VersionAndTypeChecks) {
    rzvtest::TempDir dir;
    std::string path = dir.file("v.sac");
    KOSac *s = image_with_samples(10);
    ASSERT_EQ(kosac_puthdr_kosac(s, "NVHDR", (int64_t)7, (char *)0), 0);
    ASSERT_EQ(kosac_write_to_file_kosac(s, (char *)path.c_str()), 0);
    char handle[32] = "";
    EXPECT_EQ(kosac_read_from_file_kosac((char *)path.c_str(), nullptr, handle), nullptr);
    EXPECT_TRUE(has_message("kosac_read_from_file_kosac: sac header version from " + path + ", 7, not supported.\n"));
    // The half-made image is gone from the registry.
    EXPECT_EQ(kosac_get_kosac(handle), nullptr);

    ASSERT_EQ(kosac_puthdr_kosac(s, "NVHDR", (int64_t)6, "IFTYPE", (int64_t)2, (char *)0), 0);
    ASSERT_EQ(kosac_write_to_file_kosac(s, (char *)path.c_str()), 0);
    EXPECT_EQ(kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kosac_read_from_file_kosac: sac file type from " + path + ", 2, not supported.\n"));
    kosac_free_kosac(s);
}

TEST(SacFiles, OtherByteOrderFailsTheVersionTest) {
    rzvtest::TempDir dir;
    std::string path = dir.file("swapped.sac");
    KOSac *s = image_with_samples(4);
    char h[632];
    memcpy(h, s->sacimage->header, 632);
    for (int w = 0; w < 110; w++) std::reverse(h + 4 * w, h + 4 * w + 4);
    std::string bytes(h, 632);
    bytes.append(16, '\0');
    write_bytes(path, bytes.data(), bytes.size());
    EXPECT_EQ(kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("sac header version from " + path + ", 100663296, not supported.\n"));
    kosac_free_kosac(s);
}

TEST(SacFiles, ShortHeaderAndMissingFile) {
    rzvtest::TempDir dir;
    std::string path = dir.file("short.sac");
    std::string hundred(100, 'x');
    write_bytes(path, hundred.data(), hundred.size());
    EXPECT_EQ(kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kosac_read_from_file_kosac: read(" + path +
                            ") error for header (read 100 bytes instead of 632 bytes).\n"));
    std::string missing = dir.file("missing.sac");
    EXPECT_EQ(kosac_read_from_file_kosac((char *)missing.c_str(), nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kosac_read_from_file_kosac: open(" + missing + ") error.\n"));
}

TEST(SacFiles, NptsIsNotTrustedBeyondTheFile) {
    rzvtest::TempDir dir;
    std::string path = dir.file("trunc.sac");
    KOSac *s = image_with_samples(10);
    std::string bytes(s->sacimage->header, 632);
    bytes.append(reinterpret_cast<const char *>(s->sacimage->data), 40);
    // Claims 100 samples, holds 10.
    int32_t npts = 100;
    memcpy(&bytes[316], &npts, 4);
    write_bytes(path, bytes.data(), bytes.size());
    EXPECT_EQ(kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("kosac_read_from_file_kosac: read(" + path +
                            ") error for data (read 40 bytes instead of 400 bytes).\n"));
    // A count near the 32-bit limit is refused from the file size alone.
    npts = 0x7fffffff;
    memcpy(&bytes[316], &npts, 4);
    write_bytes(path, bytes.data(), bytes.size());
    EXPECT_EQ(kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_message("error for data (read 40 bytes instead of 8589934588 bytes).\n"));
    // Bytes after the samples are ignored.
    npts = 4;
    memcpy(&bytes[316], &npts, 4);
    write_bytes(path, bytes.data(), bytes.size());
    KOSac *r = kosac_read_from_file_kosac((char *)path.c_str(), nullptr, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->sacimage->data_nsamples, 4);
    EXPECT_EQ(r->sacimage->data[3], 3.0f);
    kosac_free_kosac(r);
    kosac_free_kosac(s);
}

TEST(SacFiles, ReadsFromAPipe) {
    rzvtest::TempDir dir;
    std::string fifo = dir.file("pipe.sac");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    KOSac *s = image_with_samples(300000);  // more than one growth step
    std::string whole(s->sacimage->header, 632);
    whole.append(reinterpret_cast<const char *>(s->sacimage->data), 300000 * 4);
    for (size_t cut : {whole.size(), whole.size() - 6}) {
        std::thread writer([&] {
            std::ofstream f(fifo, std::ios::binary);
            f.write(whole.data(), (std::streamsize)cut);
        });
        KOSac *r = kosac_read_from_file_kosac((char *)fifo.c_str(), nullptr, nullptr);
        writer.join();
        if (cut == whole.size()) {
            ASSERT_NE(r, nullptr) << rzvtest::all_messages();
            ASSERT_EQ(r->sacimage->data_nsamples, 300000);
            EXPECT_EQ(r->sacimage->data[299999], 299999.0f);
            kosac_free_kosac(r);
        } else {
            EXPECT_EQ(r, nullptr);
            EXPECT_TRUE(has_message("error for data (read 1199994 bytes instead of 1200000 bytes).\n"));
        }
    }
    kosac_free_kosac(s);
}

// ------------------------------------------------------------ samples

TEST(SacSamples, StatisticsAndSampling) {
    KOSac *s = new_image();
    float v[3] = {1, -2, 4};
    ASSERT_EQ(kosac_putdata_kosac(s, 3, 0.0, 100.0, v, (char *)"A"), 0);
    int64_t npts, iftype, leven, idep, iztype;
    double depmin, depmax, depmen, delta, b, e, scale;
    ASSERT_EQ(kosac_gethdr_kosac(s, "NPTS", &npts, "DEPMIN", &depmin, "DEPMAX", &depmax, "DEPMEN", &depmen, "DELTA",
                                 &delta, "B", &b, "E", &e, "IFTYPE", &iftype, "LEVEN", &leven, "IDEP", &idep, "SCALE",
                                 &scale, "IZTYPE", &iztype, (char *)0),
              0);
    EXPECT_EQ(npts, 3);
    EXPECT_EQ(depmin, -2.0);
    EXPECT_EQ(depmax, 4.0);
    EXPECT_EQ(depmen, 1.0);
    EXPECT_FLOAT_EQ(delta, 0.01);
    EXPECT_EQ(b, 0.0);
    EXPECT_FLOAT_EQ(e, 0.02);
    EXPECT_EQ(iftype, 1);
    EXPECT_EQ(leven, 1);
    EXPECT_EQ(idep, 8);
    EXPECT_EQ(scale, 1.0);
    EXPECT_EQ(iztype, 9);
    EXPECT_EQ(s->sacimage->data_size, 12u);
    v[0] = 99;  // the image holds its own copy
    EXPECT_EQ(s->sacimage->data[0], 1.0f);
    kosac_free_kosac(s);
}

TEST(SacSamples, MeanIsSummedInDoublePrecision) {
    KOSac *s = new_image();
    std::vector<float> v(100000, 16777216.0f);  // 2^24: float sums would stall
    v[0] = 16777218.0f;
    ASSERT_EQ(kosac_putdata_kosac(s, (int)v.size(), 0.0, 1.0, v.data(), nullptr), 0);
    double depmen;
    ASSERT_EQ(kosac_gethdr_kosac(s, "DEPMEN", &depmen, (char *)0), 0);
    EXPECT_EQ(depmen, (double)(float)(16777216.0 + 2.0 / 100000));
    kosac_free_kosac(s);
}

TEST(SacSamples, ReferenceTimeFields) {
    KOSac *s = new_image();
    float v[1] = {0};
    ASSERT_EQ(kosac_putdata_kosac(s, 1, 1580560496.789, 1.0, v, nullptr), 0);  // 2020-02-01 12:34:56.789
    int64_t y, d, h, m, sec, ms;
    ASSERT_EQ(kosac_gethdr_kosac(s, "NZYEAR", &y, "NZJDAY", &d, "NZHOUR", &h, "NZMIN", &m, "NZSEC", &sec, "NZMSEC",
                                 &ms, (char *)0),
              0);
    EXPECT_EQ(y, 2020);
    EXPECT_EQ(d, 32);
    EXPECT_EQ(h, 12);
    EXPECT_EQ(m, 34);
    EXPECT_EQ(sec, 56);
    EXPECT_EQ(ms, 789);
    double rt = 0;
    ASSERT_EQ(kosac_getreftime_kosac(s, &rt), 0);
    EXPECT_NEAR(rt, 1580560496.789, 1e-6);
    // Close enough to the next second: 1000 ms, no carry.
    ASSERT_EQ(kosac_putdata_kosac(s, 1, 1580560496.9996, 1.0, v, nullptr), 0);
    ASSERT_EQ(kosac_gethdr_kosac(s, "NZSEC", &sec, "NZMSEC", &ms, (char *)0), 0);
    EXPECT_EQ(sec, 56);
    EXPECT_EQ(ms, 1000);
    kosac_free_kosac(s);
}

TEST(SacSamples, MidnightReferenceTime) {
    KOSac *s = image_with_samples(5, 1580560496.789, 10.0);
    // Midnight of 2020-02-01, first sample one hour later.
    ASSERT_EQ(kosac_puthdr_kosac(s, "IZTYPE", (int64_t)10, "B", 3600.0, (char *)0), 0);
    double rt;
    ASSERT_EQ(kosac_getreftime_kosac(s, &rt), 0);
    EXPECT_EQ(rt, 1580515200.0);
    int n = 0;
    double t0 = 0, rate = 0;
    float *data = nullptr;
    char seg[2];
    ASSERT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);
    EXPECT_EQ(t0, 1580515200.0 + 3600.0);
    EXPECT_EQ(n, 5);
    EXPECT_NEAR(rate, 10.0, 1e-5);
    EXPECT_STREQ(seg, "V");
    free(data);
    kosac_free_kosac(s);
}

TEST(SacSamples, GetDataRoundTripAndSegtypes) {
    KOSac *s = image_with_samples(50, 1580560496.789, 40.0);
    int n = 0;
    double t0, rate;
    float *data = static_cast<float *>(malloc(8));  // replaced
    char seg[2];
    ASSERT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);
    ASSERT_EQ(n, 50);
    EXPECT_NEAR(t0, 1580560496.789, 1e-6);
    for (int i = 0; i < n; i++) ASSERT_EQ(data[i], (float)i);
    // Lower-case segment types are not recognised.
    float v[2] = {1, 2};
    ASSERT_EQ(kosac_putdata_kosac(s, 2, 0.0, 1.0, v, (char *)"d"), 0);
    int64_t idep;
    ASSERT_EQ(kosac_gethdr_kosac(s, "IDEP", &idep, (char *)0), 0);
    EXPECT_EQ(idep, 5);
    ASSERT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);
    EXPECT_STREQ(seg, "-");
    ASSERT_EQ(kosac_putdata_kosac(s, 2, 0.0, 1.0, v, (char *)"D"), 0);
    ASSERT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);
    EXPECT_STREQ(seg, "D");
    // More NPTS than samples held: the rest reads as zero.
    ASSERT_EQ(kosac_puthdr_kosac(s, "NPTS", (int64_t)4, (char *)0), 0);
    ASSERT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(data[1], 2.0f);
    EXPECT_EQ(data[2], 0.0f);
    EXPECT_EQ(data[3], 0.0f);
    free(data);
    kosac_free_kosac(s);
}

TEST(SacSamples, NothingToGet) {
    KOSac *s = new_image();
    int n = 5;
    double t0, rate;
    float *data = nullptr;
    char seg[2];
    EXPECT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);  // no samples held
    EXPECT_EQ(n, 0);
    kosac_free_kosac(s);
    s = image_with_samples(3);
    ASSERT_EQ(kosac_puthdr_kosac(s, "NPTS", (int64_t)-12345, (char *)0), 0);
    n = 5;
    EXPECT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), 0);  // NPTS null
    EXPECT_EQ(n, 0);
    EXPECT_EQ(data, nullptr);
    ASSERT_EQ(kosac_puthdr_kosac(s, "NPTS", (int64_t)3, "IFTYPE", (int64_t)3, (char *)0), 0);
    EXPECT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &data, seg), -1);
    EXPECT_TRUE(has_message("kosac_getdata_kosac: sac file type, 3, not supported.\n"));
    kosac_free_kosac(s);
}

TEST(SacSamples, PutDataRefusals) {
    KOSac *s = image_with_samples(3);
    float v[1] = {1};
    EXPECT_EQ(kosac_putdata_kosac(s, 0, 0.0, 1.0, v, nullptr), -1);
    EXPECT_TRUE(has_message("kosac_putdata_kosac: Number of samples < 1\n"));
    EXPECT_EQ(s->sacimage->data, nullptr);  // the old samples were released first
    EXPECT_EQ(s->sacimage->data_nsamples, 0);
    EXPECT_EQ(kosac_putdata_kosac(s, 1, 0.0, 0.0, v, nullptr), -1);
    EXPECT_TRUE(has_message("kosac_putdata_kosac: Illegal sample rate 0.\n"));
    kosac_free_kosac(s);
}

TEST(SacSamples, PutDataRefusesAStartTimeThatIsNotANumber) {
    KOSac *s = new_image();
    float v[2] = {1, 2};
    EXPECT_EQ(kosac_putdata_kosac(s, 2, NAN, 1.0, v, nullptr), -1);
    EXPECT_TRUE(has_message("kosac_putdata_kosac: Illegal start time nan.\n"));
    int64_t year = 0;
    ASSERT_EQ(kosac_gethdr_kosac(s, "NZYEAR", &year, (char *)0), 0);
    EXPECT_EQ(year, -12345);  // not quietly 1970
    kosac_free_kosac(s);
}

TEST(SacSamples, TheImagesOwnSamplesCanBePutAgainAndGot) {
    KOSac *s = image_with_samples(40);
    SacImage *im = s->sacimage;
    // Re-timing an image with its own samples.
    ASSERT_EQ(kosac_putdata_kosac(s, (int)im->data_nsamples, 1580515200.0, 50.0, im->data, (char *)"D"), 0);
    ASSERT_EQ(im->data_nsamples, 40);
    for (int i = 0; i < 40; i++) ASSERT_EQ(im->data[i], (float)i) << i;
    double depmax = 0;
    ASSERT_EQ(kosac_gethdr_kosac(s, "DEPMAX", &depmax, (char *)0), 0);
    EXPECT_EQ(depmax, 39.0);
    // Handing the image's array as the caller's output array.
    float *out = im->data;
    int n = 0;
    double t0, rate;
    char seg[2];
    ASSERT_EQ(kosac_getdata_kosac(s, &n, &t0, &rate, &out, seg), 0);
    ASSERT_NE(out, im->data);
    EXPECT_EQ(out[39], 39.0f);
    EXPECT_EQ(im->data[39], 39.0f);
    free(out);
    kosac_free_kosac(s);
}

}  // namespace
