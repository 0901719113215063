// Grid packets: the byte layout, packing into a reused buffer, unpacking into
// new and existing grids, bad packets, and framed streams on pipes and
// socket pairs.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "kogrid.h"
#include "rzvtest.h"

using rzvtest::has_message;
using rzvtest::messages;

namespace {

KOGrid *make_grid(int nx, int ny, int ns, const char *tag = nullptr, const char *units = nullptr) {
    std::vector<float> x(nx), y(ny), v((size_t)nx * ny * ns);
    for (int i = 0; i < nx; i++) x[i] = 0.5f * i - 3.0f;
    for (int j = 0; j < ny; j++) y[j] = 100.0f + 2.0f * j;
    for (size_t k = 0; k < v.size(); k++) v[k] = (float)k * 0.25f - 7.0f;
    KOGrid *g = kogrid_create(nullptr, nx, x.data(), nullptr, nullptr, ny, y.data(), nullptr, nullptr, nullptr, units,
                              tag, nullptr);
    if (g && ns > 0) kogrid_put_kogrid(g, 1.5e9, ns, ns > 1 ? 0.05 : 0.0, v.data());
    return g;
}

uint32_t be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
uint64_t be64(const unsigned char *p) { return (uint64_t)be32(p) << 32 | be32(p + 4); }

template <class T, class U>
T bits_as(U u) {
    T t;
    memcpy(&t, &u, sizeof t);
    return t;
}

std::vector<char> pack(KOGrid *g) {
    char *p = nullptr;
    int n = 0, cap = 0;
    EXPECT_EQ(kogrid_stuff_kogrid(g, &p, &n, &cap), 0);
    std::vector<char> v(p, p + n);
    free(p);
    return v;
}

void expect_same_grid(const KOGrid *a, const KOGrid *b) {
    ASSERT_EQ(a->nxgrid, b->nxgrid);
    ASSERT_EQ(a->nygrid, b->nygrid);
    ASSERT_EQ(a->nsamps, b->nsamps);
    EXPECT_EQ(a->time, b->time);
    EXPECT_EQ(a->dt, b->dt);
    for (int k = 0; k < KOGRID_NPARAMS; k++) EXPECT_EQ(a->params[k], b->params[k]);
    EXPECT_EQ(0, memcmp(a->xgrid_coords, b->xgrid_coords, 4L * a->nxgrid));
    EXPECT_EQ(0, memcmp(a->ygrid_coords, b->ygrid_coords, 4L * a->nygrid));
    ASSERT_EQ(b->data_size, a->nxgrid * a->nygrid * a->nsamps);
    EXPECT_EQ(0, memcmp(a->data, b->data, 4L * b->data_size));
    char *KOGrid::*strs[] = {&KOGrid::tag,         &KOGrid::grid_type,  &KOGrid::xgrid_type,
                             &KOGrid::xgrid_units, &KOGrid::ygrid_type, &KOGrid::ygrid_units,
                             &KOGrid::data_type,   &KOGrid::data_units};
    for (auto s : strs) {
        const char *x = a->*s, *y = b->*s;
        if (!x || !*x)
            EXPECT_EQ(y, nullptr);
        else
            EXPECT_STREQ(x, y);
    }
}

// ---------------------------------------------------------------- layout

TEST(KOGridPacket, SizeAndByteLayout) {
    KOGrid *g = make_grid(2, 3, 1);
    g->params[0] = 1.0;
    g->params[19] = -2.5;
    auto p = pack(g);
    ASSERT_EQ(p.size(), 240u);  // 188 + 4 (2 + 3 + 6) + 8 NULs
    const unsigned char *u = reinterpret_cast<const unsigned char *>(p.data());
    EXPECT_EQ(be32(u), 2u);
    EXPECT_EQ(be32(u + 4), 3u);
    EXPECT_EQ(be32(u + 8), 1u);
    EXPECT_EQ(bits_as<double>(be64(u + 12)), 1.5e9);
    EXPECT_EQ(bits_as<double>(be64(u + 20)), 0.0);
    EXPECT_EQ(bits_as<double>(be64(u + 28)), 1.0);
    EXPECT_EQ(bits_as<double>(be64(u + 28 + 19 * 8)), -2.5);
    EXPECT_EQ(bits_as<float>(be32(u + 188)), -3.0f);
    EXPECT_EQ(bits_as<float>(be32(u + 192)), -2.5f);
    EXPECT_EQ(bits_as<float>(be32(u + 196)), 100.0f);
    EXPECT_EQ(bits_as<float>(be32(u + 208)), -7.0f);        // first datum
    EXPECT_EQ(bits_as<float>(be32(u + 228)), 5 * 0.25f - 7);  // last datum
    for (int k = 232; k < 240; k++) EXPECT_EQ(p[k], 0);
    kogrid_free_kogrid(g);
}

TEST(KOGridPacket, StringsFollowTheDataInOrderEachWithItsNul) {
    KOGrid *g = make_grid(1, 1, 1, "tg", "nm");
    free(g->xgrid_type);
    g->xgrid_type = strdup("sx");
    auto p = pack(g);
    // tag, grid_type, xgrid_type, xgrid_units, ygrid_type, ygrid_units, data_type, data_units
    const std::string tail(p.begin() + 188 + 12, p.end());
    EXPECT_EQ(tail, std::string("tg\0\0sx\0\0\0\0\0nm\0", 14));
    kogrid_free_kogrid(g);
}

TEST(KOGridPacket, BufferIsReusedAndGrowsToExactlyTheLength) {
    KOGrid *small = make_grid(2, 3, 1), *big = make_grid(20, 30, 2);
    char *p = static_cast<char *>(malloc(1000));
    int n = 0, cap = 1000;
    ASSERT_EQ(kogrid_stuff_kogrid(small, &p, &n, &cap), 0);
    EXPECT_EQ(n, 240);
    EXPECT_EQ(cap, 1000);
    ASSERT_EQ(kogrid_stuff_kogrid(big, &p, &n, &cap), 0);
    EXPECT_EQ(n, 188 + 4 * (20 + 30 + 1200) + 8);
    EXPECT_EQ(cap, n);
    free(p);
    kogrid_free_kogrid(small);
    kogrid_free_kogrid(big);
}

TEST(KOGridPacket, ByHandleAndInconsistentGridsAreRefused) {
    char *p = nullptr;
    int n = 0, cap = 0;
    EXPECT_EQ(kogrid_stuff("grid999999", &p, &n, &cap), -1);
    EXPECT_EQ(messages().back(), "kogrid_stuff: kogrid_get_grid() error.\n");
    KOGrid *g = make_grid(2, 2, 2);
    g->data_size = 3;  // fewer values than the counts announce
    EXPECT_EQ(kogrid_stuff_kogrid(g, &p, &n, &cap), -1);
    EXPECT_EQ(p, nullptr);
    kogrid_free_kogrid(g);
}

// ------------------------------------------------------------- unpacking

TEST(KOGridUnpack, RoundTripIntoANewGrid) {
    KOGrid *g = make_grid(4, 3, 5, "beam", "counts");
    g->params[3] = 42.0;
    auto p = pack(g);
    KOGrid *h = nullptr;
    ASSERT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), 0);
    ASSERT_NE(h, nullptr);
    expect_same_grid(g, h);
    EXPECT_EQ(h->gap_value, g->gap_value);
    kogrid_free_kogrid(g);
    kogrid_free_kogrid(h);
}

TEST(KOGridUnpack, ExistingGridKeepsItsArraysAndDropsEmptyStrings) {
    KOGrid *g = make_grid(3, 2, 1, "a", "m");
    KOGrid *h = make_grid(3, 2, 1, "b", "s");
    h->xgrid_coords[0] = 99;
    free(g->data_units);
    g->data_units = strdup("");
    float *xc = h->xgrid_coords, *yc = h->ygrid_coords;
    auto p = pack(g);
    ASSERT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), 0);
    EXPECT_EQ(h->xgrid_coords, xc);
    EXPECT_EQ(h->ygrid_coords, yc);
    EXPECT_EQ(h->xgrid_coords[0], -3.0f);
    EXPECT_STREQ(h->tag, "a");
    EXPECT_EQ(h->data_units, nullptr);
    kogrid_free_kogrid(g);
    kogrid_free_kogrid(h);
}

TEST(KOGridUnpack, MoreSamplesGrowTheDataArray) {
    KOGrid *two = make_grid(3, 2, 2), *h = make_grid(3, 2, 1);
    auto p = pack(two);
    ASSERT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), 0);
    EXPECT_EQ(h->nsamps, 2);
    EXPECT_EQ(h->data_size, 12);
    expect_same_grid(two, h);
    kogrid_free_kogrid(two);
    kogrid_free_kogrid(h);
}

TEST(KOGridUnpack, EveryTruncationFailsAndMakesNothing) {
    KOGrid *g = make_grid(3, 2, 2, "t", "u");
    auto p = pack(g);
    for (size_t n = 0; n < p.size(); n++) {
        // a heap copy of exactly n bytes, so that reading beyond is caught
        char *copy = static_cast<char *>(malloc(n ? n : 1));
        memcpy(copy, p.data(), n);
        KOGrid *h = nullptr;
        elog_clear_register(0);
        EXPECT_EQ(kogrid_unstuff(copy, (int)n, &h), -1) << n;
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(elog_count(), 1);
        free(copy);
    }
    kogrid_free_kogrid(g);
}

TEST(KOGridUnpack, BadCountsLeaveAnExistingGridAlone) {
    KOGrid *g = make_grid(2, 2, 1, "keep");
    auto p = pack(g);
    unsigned char *u = reinterpret_cast<unsigned char *>(p.data());
    KOGrid *h = g;

    u[4] = 0xff;  // nygrid negative
    EXPECT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), -1);
    EXPECT_TRUE(has_message("kogrid_unstuff: Illegal counts nxgrid=2 nygrid="));

    // counts whose product overflows 32 and 64 bits
    for (int k = 0; k < 12; k++) u[k] = k % 4 == 0 ? 0x7f : 0xff;
    EXPECT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), -1);
    EXPECT_TRUE(has_message("is shorter than its counts announce"));
    u[0] = u[1] = u[2] = 0;
    u[3] = 2;
    u[4] = u[5] = 0;
    u[6] = 0x80;
    u[7] = 0;  // nygrid 32768, nsamps INT_MAX
    EXPECT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), -1);

    EXPECT_EQ(h, g);
    EXPECT_EQ(g->nygrid, 2);
    EXPECT_STREQ(g->tag, "keep");
    EXPECT_EQ(g->data_size, 4);
    kogrid_free_kogrid(g);
}

TEST(KOGridUnpack, MissingFinalNulIsRefused) {
    KOGrid *g = make_grid(1, 1, 1, nullptr, "nm");
    auto p = pack(g);
    p.back() = 'x';
    KOGrid *h = nullptr;
    EXPECT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), -1);
    EXPECT_TRUE(has_message("kogrid_unstuff: Packet of 210 bytes ends inside its strings.\n"));
    EXPECT_EQ(h, nullptr);
    kogrid_free_kogrid(g);
}

TEST(KOGridUnpack, UnpackedGridIsNeitherOrderedNorRegistered) {
    KOGrid *g = make_grid(3, 1, 1);
    g->xgrid_coords[0] = 5;  // now 5, -2.5, -2: not ordered
    auto p = pack(g);
    KOGrid *h = nullptr;
    ASSERT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), 0);
    EXPECT_EQ(h->xgrid_coords[0], 5.0f);
    char handle[32];
    ASSERT_EQ(kogrid_register_grid(h, handle), 0);
    EXPECT_EQ(kogrid_get_grid(handle), h);
    kogrid_free(handle);
    kogrid_free_kogrid(g);
}

TEST(KOGridUnpack, EmptyMeshWithManySamplesOrdersAtOnce) {
    // No nodes along X but INT_MAX samples: a tiny packet.  The grid that
    // receives it keeps its old data array; ordering must not walk the
    // samples of a mesh that has no nodes.
    KOGrid *g = make_grid(0, 2, 0);
    g->ygrid_coords[0] = 5;  // descending Y: 5, 102
    std::swap(g->ygrid_coords[0], g->ygrid_coords[1]);
    g->nsamps = INT_MAX;
    auto p = pack(g);
    ASSERT_EQ(p.size(), 188u + 8 + 8);
    KOGrid *h = make_grid(2, 2, 1);
    ASSERT_EQ(kogrid_unstuff(p.data(), (int)p.size(), &h), 0);
    EXPECT_EQ(h->nsamps, INT_MAX);
    EXPECT_EQ(h->data_size, 0);
    EXPECT_EQ(kogrid_order(h), 0);
    EXPECT_EQ(h->ygrid_coords[0], 5.0f);
    float *out = nullptr;
    long size = 0;
    float x = 0, y = 50;
    ASSERT_EQ(kogrid_eval_kogrid(h, INT_MAX - 1, 1, &x, &y, "bilinear", "none", &out, &size), 0);
    EXPECT_EQ(out[0], h->gap_value);
    free(out);
    kogrid_free_kogrid(g);
    kogrid_free_kogrid(h);
}

// ---------------------------------------------------------------- frames

struct Pipe {
    int fd[2] = {-1, -1};
    explicit Pipe(bool socket = false) {
        int r = socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fd) : pipe(fd);
        EXPECT_EQ(r, 0);
    }
    void close_write() {
        if (fd[1] >= 0) close(fd[1]);
        fd[1] = -1;
    }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
};

TEST(KOGridFrames, FrameIsTheLengthInHostOrderThenThePacket) {
    KOGrid *g = make_grid(2, 3, 1);
    Pipe p;
    ASSERT_EQ(kogrid_write_fd_kogrid(g, p.fd[1]), 0);
    p.close_write();
    char buf[400];
    ASSERT_EQ(read(p.fd[0], buf, sizeof buf), 244);
    int32_t len;
    memcpy(&len, buf, 4);
    EXPECT_EQ(len, 240);
    EXPECT_EQ(std::vector<char>(buf + 4, buf + 244), pack(g));
    kogrid_free_kogrid(g);
}

TEST(KOGridFrames, EmptyInputReturnsZeroAndLeavesTheGrid) {
    Pipe p;
    p.close_write();
    KOGrid *h = reinterpret_cast<KOGrid *>(0x1);
    EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), 0);
    EXPECT_EQ(h, reinterpret_cast<KOGrid *>(0x1));
    EXPECT_EQ(elog_count(), 0);
}

// Large grids do not fit a pipe's buffer: a writer thread feeds the stream
// while the reader refills one grid frame after frame.
void stream_round_trip(bool socket) {
    std::vector<KOGrid *> sent = {make_grid(200, 150, 3, "a"), make_grid(2, 3, 1), make_grid(200, 150, 1, "c", "u")};
    Pipe p(socket);
    std::thread writer([&] {
        for (KOGrid *g : sent) EXPECT_EQ(kogrid_write_fd_kogrid(g, p.fd[1]), 0);
        p.close_write();
    });
    KOGrid *h = nullptr;
    for (KOGrid *g : sent) {
        int n = kogrid_read_fd(p.fd[0], &h);
        ASSERT_EQ(n, (int)pack(g).size());
        expect_same_grid(g, h);
    }
    EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), 0);
    writer.join();
    kogrid_free_kogrid(h);
    for (KOGrid *g : sent) kogrid_free_kogrid(g);
}

TEST(KOGridFrames, StreamThroughAPipe) { stream_round_trip(false); }
TEST(KOGridFrames, StreamThroughASocketPair) { stream_round_trip(true); }

TEST(KOGridFrames, TruncatedFramesFail) {
    {
        Pipe p;
        ASSERT_EQ(write(p.fd[1], "\x10\x00", 2), 2);
        p.close_write();
        KOGrid *h = nullptr;
        EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), -1);
        EXPECT_EQ(messages().back(), "kogrid_read_fd: read(nbytes,4) error.\n");
    }
    {
        Pipe p;
        int32_t len = 0;
        ASSERT_EQ(write(p.fd[1], &len, 4), 4);
        p.close_write();
        KOGrid *h = nullptr;
        EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), -1);
        EXPECT_EQ(messages().back(), "kogrid_read_fd: nbytes < 1.\n");
    }
    {
        // a length of nearly 2 GB followed by a few bytes: fails without
        // trying to hold the whole announced packet
        Pipe p;
        int32_t len = INT_MAX - 1;
        ASSERT_EQ(write(p.fd[1], &len, 4), 4);
        ASSERT_EQ(write(p.fd[1], "abcdefgh", 8), 8);
        p.close_write();
        KOGrid *h = nullptr;
        EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), -1);
        EXPECT_EQ(messages().back(), "kogrid_read_fd: read(packet,2147483646) error.\n");
        EXPECT_EQ(elog_message_flag(elog_count() - 1), 0);  // the input ended; no system error
        EXPECT_EQ(h, nullptr);
    }
}

TEST(KOGridFrames, AFailingReadInsideAPacketCarriesTheSystemErrorFlag) {
    // The length arrives, the packet never does: the reader's receive
    // time-out makes read() fail with a system error, not end the input.
    Pipe p(true);
    struct timeval tv = {0, 50000};
    ASSERT_EQ(setsockopt(p.fd[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    int32_t len = 100;
    ASSERT_EQ(write(p.fd[1], &len, 4), 4);
    KOGrid *h = nullptr;
    elog_clear_register(0);
    EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), -1);
    ASSERT_EQ(messages(), std::vector<std::string>{"kogrid_read_fd: read(packet,100) error.\n"});
    EXPECT_EQ(elog_message_flag(0), 1);
    EXPECT_EQ(h, nullptr);
    // and before the length: the header read fails the same way
    EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), -1);
    EXPECT_EQ(messages().back(), "kogrid_read_fd: read(nbytes,4) error.\n");
    EXPECT_EQ(elog_message_flag(elog_count() - 1), 1);
}

TEST(KOGridFrames, ABadPacketFailsAndTheNextFrameStillReads) {
    KOGrid *g = make_grid(2, 2, 1);
    Pipe p;
    int32_t len = 10;
    ASSERT_EQ(write(p.fd[1], &len, 4), 4);
    ASSERT_EQ(write(p.fd[1], "0123456789", 10), 10);
    ASSERT_EQ(kogrid_write_fd_kogrid(g, p.fd[1]), 0);
    p.close_write();
    KOGrid *h = nullptr;
    EXPECT_EQ(kogrid_read_fd(p.fd[0], &h), -1);
    EXPECT_EQ(messages().back(), "kogrid_read_fd: kogrid_unstuff() error.\n");
    EXPECT_EQ(h, nullptr);
    EXPECT_GT(kogrid_read_fd(p.fd[0], &h), 0);
    expect_same_grid(g, h);
    kogrid_free_kogrid(g);
    kogrid_free_kogrid(h);
}

TEST(KOGridFrames, WritingToAClosedReaderFailsWithoutSignal) {
    KOGrid *g = make_grid(2, 2, 1);
    Pipe p;
    close(p.fd[0]);
    p.fd[0] = -1;
    EXPECT_EQ(kogrid_write_fd_kogrid(g, p.fd[1]), -1);
    EXPECT_EQ(messages().back(), "kogrid_write_fd_kogrid: write(nbytes,4) error.\n");
    EXPECT_EQ(kogrid_write_fd_kogrid(g, -1), -1);
    kogrid_free_kogrid(g);
}

}  // namespace
