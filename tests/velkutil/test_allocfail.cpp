// Allocation failures in every family's create, load and copy operations:
// each allocation of an operation is made to fail in turn, and every failure
// must come back as the operation's failure result with a message, give
// back everything it took and leave nothing registered.  (The sanitized
// build adds LeakSanitizer's check at exit.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <cstddef>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "allocfail.h"
#include "allocfail_interpose.h"
#include "kobase.h"
#include "kogrid.h"
#include "kohistory.h"
#include "komoment.h"
#include "kosac.h"
#include "kosac_pvt.h"
#include "kovector2.h"
#include "pf.h"
#include "pmtcomp.h"
#include "pmtfifo.h"
#include "pmtmanagedfifo.h"
#include "rzvtest.h"

using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;
using rzvtest::allocfail_fired;

namespace {

// The first message of the register, kept without allocating (the hook may
// still be armed when it is taken).
struct Seen {
    int count = 0;
    char first[160] = "";
    void take() {
        count = elog_count();
        first[0] = '\0';
        if (count > 0) snprintf(first, sizeof first, "%s", elog_message(0));
    }
};

// Lets the error register grow once, so that its own storage does not count
// as an allocation left behind by the operation under test.
void warm_register() {
    for (int i = 0; i < 64; i++) elog_log(0, "warm-up message %d.\n", i);
    elog_clear_register(0);
}

// One operation swept over its allocations.
struct Case {
    const char *family;
    // Runs the operation with the hook armed; true on success.  handle
    // receives the tag of a registered object (if the operation makes one).
    std::function<bool(char *handle)> run;
    // Undoes a successful run (also armed: its frees balance the run's
    // allocations).
    std::function<void(char *handle)> undo;
    // Quiet lookup of a tag (null: nothing is registered by tag).
    std::function<const void *(const char *tag)> lookup;
    // Tag pattern, to look for objects left under tags spent by failed runs.
    const char *prefix = nullptr;
    // False for the operations whose failures stay silent by their contract.
    bool must_report = true;
};

struct Figures {
    long points = 0, fired = 0, clean = 0;
};

// Highest tag number seen of a family, to probe the tags after it.
long tag_number(const char *prefix, const char *tag) {
    size_t n = strlen(prefix);
    return strncmp(tag, prefix, n) == 0 ? atol(tag + n) : -1;
}

bool nothing_under_tags(const Case &c, long from) {
    if (!c.lookup || !c.prefix) return true;
    bool none = true;
    for (long k = from; k < from + 4; k++) {
        char tag[64];
        snprintf(tag, sizeof tag, "%s%ld", c.prefix, k);
        if (c.lookup(tag)) none = false;
    }
    elog_clear_register(0);
    return none;
}

Figures sweep(const Case &c) {
    warm_register();
    char handle[64];
    bool ok = false, found = false;
    Seen seen;
    long live = 0;
    long last_tag = 0;
    auto op = [&] {
        elog_clear_register(0);
        handle[0] = '\0';
        ok = c.run(handle);
        found = !ok || !c.lookup || c.lookup(handle) != nullptr;
        seen.take();
        if (ok) c.undo(handle);
        elog_clear_register(0);
        live = rzvtest::allocfail_live();
    };
    // Two plain runs: the first sets up what a family keeps for good (its
    // registry, tables), the second is the one counted.
    op();
    Figures f;
    long clean = 0;
    auto check = [&](long n, bool fired) {
        if (ok && c.prefix) last_tag = std::max(last_tag, tag_number(c.prefix, handle));
        if (!fired) return;
        bool good;
        if (ok) {
            // The failure was absorbed: the result must be whole.
            good = found;
            EXPECT_TRUE(found) << c.family << ": allocation " << n << " failed, the call succeeded, but "
                               << handle << " cannot be found";
        } else {
            bool reported = !c.must_report || seen.count > 0;
            bool balanced = live <= 0;
            bool unregistered = handle[0] == '\0' && nothing_under_tags(c, last_tag + 1);
            EXPECT_TRUE(reported) << c.family << ": allocation " << n << " failed without a message";
            EXPECT_TRUE(balanced) << c.family << ": allocation " << n << " failed and " << live
                                  << " blocks stayed taken (" << seen.first << ")";
            EXPECT_TRUE(unregistered) << c.family << ": allocation " << n << " failed but left a registered object";
            good = reported && balanced && unregistered;
        }
        if (good) clean++;
    };
    rzvtest::AllocSweep s = rzvtest::allocfail_sweep(op, check);
    f.points = s.points;
    f.fired = s.fired;
    f.clean = clean;
    printf("allocation failures, %-34s %4ld points, %4ld failed, %4ld clean\n", c.family, f.points, f.fired,
           f.clean);
    return f;
}

void expect_all_clean(const Figures &f) {
    EXPECT_GT(f.points, 0);
    EXPECT_EQ(f.fired, f.points);
    EXPECT_EQ(f.clean, f.fired);
}

const float kX[3] = {0.0f, 1.0f, 2.0f};
const float kY[2] = {0.0f, 5.0f};

KOGrid *small_grid(char *handle) {
    return kogrid_create("test", 3, kX, "x", "km", 2, kY, "y", "km", "amp", "nm", "sweep", handle);
}

}  // namespace

// ------------------------------------------------------------ SAC header table
// First in the program: the table is built by the first SAC call.

TEST(AllocFailSac, FailedTableBuildIsRetriedAndLeavesNoNameUndefined) {
    char header[KOSAC_HEADER_SIZE];
    int failures = 0;
    for (long n = 1; n < 100000; n++) {
        elog_clear_register(0);
        allocfail_arm(n);
        int rc = kosac_fill_null_header(header);
        allocfail_disarm();
        if (rc == 0) break;
        failures++;
        EXPECT_TRUE(allocfail_fired());
        EXPECT_GT(elog_count(), 0);
    }
    EXPECT_GT(failures, 1);  // the array and at least one entry
    elog_clear_register(0);
    for (const sac_header_define &d : SacHeaderDefines)
        EXPECT_NE(kosac_find_header_define(d.name), nullptr) << d.name << " " << rzvtest::all_messages();
    KOSac *sac = kosac_create(nullptr, nullptr);
    ASSERT_NE(sac, nullptr);
    EXPECT_EQ(kosac_puthdr_kosac(sac, "DELTA", 0.01, (char *)0), 0) << rzvtest::all_messages();
    kosac_free_kosac(sac);
}

// ------------------------------------------------------------ the hook itself

TEST(AllocFailHook, FailsExactlyTheNthAllocationOfEachKind) {
    allocfail_arm(2);
    void *a = malloc(10);
    void *b = calloc(2, 8);
    void *c = realloc(nullptr, 4);
    allocfail_disarm();
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_TRUE(allocfail_fired());
    EXPECT_EQ(rzvtest::allocfail_count(), 3);
    EXPECT_EQ(rzvtest::allocfail_live(), 2);
    free(a);
    free(c);

    allocfail_arm(1);
    EXPECT_THROW((void)new std::string(100, 'x'), std::bad_alloc);
    allocfail_disarm();
    allocfail_arm(1);
    EXPECT_EQ(strdup("text"), nullptr);
    allocfail_disarm();
    allocfail_arm(1);
    int *p = new (std::nothrow) int[4];
    allocfail_disarm();
    EXPECT_EQ(p, nullptr);

    // Off: nothing fails and nothing is counted.
    char *s = strdup("text");
    ASSERT_NE(s, nullptr);
    free(s);
}

TEST(AllocFailHook, SweepVisitsEveryAllocation) {
    int runs = 0;
    std::string failed;
    auto f = rzvtest::allocfail_sweep(
        [&] {
            runs++;
            void *a = malloc(1), *b = malloc(1), *c = malloc(1);
            failed += a ? '.' : 'a';
            failed += b ? '.' : 'b';
            failed += c ? '.' : 'c';
            free(a), free(b), free(c);
        },
        [](long, bool fired) { EXPECT_TRUE(fired); });
    EXPECT_EQ(f.points, 3);
    EXPECT_EQ(f.fired, 3);
    EXPECT_EQ(runs, 4);
    EXPECT_EQ(failed.substr(3), "a...b...c");
}

// ------------------------------------------------------------ object names

TEST(AllocFailNames, SetNameIsAllOrNothing) {
    static int objects[1000];
    // The first name sets the two arrays up for good.
    static int first;
    ASSERT_EQ(KO_SetName((char *)"sweep-first", (char *)"Thing", &first), 0);
    int next = 0;
    char name[64];
    bool ok = false;
    auto f = rzvtest::allocfail_sweep(
        [&] {
            snprintf(name, sizeof name, "sweep-name-%d", next);
            ok = KO_SetName(name, (char *)"Thing", &objects[next]) == 0;
            next++;
        },
        [&](long n, bool fired) {
            void *obj = &objects[next - 1];
            char cls[64] = "";
            void *by_name = KO_GetObject(name, cls);
            const char *by_obj = KO_GetName(obj, nullptr);
            if (ok) {
                EXPECT_EQ(by_name, obj) << n;
                EXPECT_STREQ(by_obj, name) << n;
            } else {
                EXPECT_TRUE(fired);
                EXPECT_EQ(by_name, nullptr) << "allocation " << n << ": name entered alone";
                EXPECT_STREQ(by_obj, "") << "allocation " << n << ": object entered alone";
            }
            elog_clear_register(0);
        });
    printf("allocation failures, %-34s %4ld points, %4ld failed\n", "KO_SetName", f.points, f.fired);
    EXPECT_GT(f.points, 2);
    EXPECT_EQ(f.fired, f.points);
}

// ------------------------------------------------------------ list splitting

TEST(AllocFailSplit, FailedSplitLeavesTheEmptyResult) {
    int argc = 0;
    char **argv = nullptr;
    int rc = 0;
    bool emptied = false;
    Seen seen;
    auto f = rzvtest::allocfail_sweep(
        [&] {
            elog_clear_register(0);
            argc = 7;  // what a caller may hold from before
            argv = reinterpret_cast<char **>(&argc);
            rc = splitlistc((char *)"one,two three", &argc, &argv, (char *)", ");
            emptied = argc == 0 && argv == nullptr;
            seen.take();
            if (rc == 0 || emptied) freeargs(argc, argv);
            elog_clear_register(0);
        },
        [&](long n, bool fired) {
            if (rc == 0) return;
            EXPECT_TRUE(fired);
            EXPECT_TRUE(emptied) << n;
            EXPECT_GT(seen.count, 0) << n;
        });
    printf("allocation failures, %-34s %4ld points, %4ld failed\n", "splitlistc", f.points, f.fired);
    EXPECT_EQ(f.points, 7);  // the working copy, three growths of the vector, three words
    EXPECT_EQ(f.fired, f.points);
}

// A consumer queue that cannot be made: the queue's own message, then the
// consumer's, and the name stays free.
TEST(AllocFailFifos, ConsumerQueueFailureIsReportedAfterTheQueues) {
    Pmtmanagedfifo *m = pmtmanagedfifo_create((char *)"qfail");
    ASSERT_NE(m, nullptr);
    elog_clear_register(0);
    allocfail_arm(1);
    Pmtfifo *q = pmtmanagedfifo_set_consumer(m, (char *)"c", 0, 1);
    allocfail_disarm();
    EXPECT_EQ(q, nullptr);
    std::vector<std::string> msgs = rzvtest::messages();
    ASSERT_GE(msgs.size(), 2u);
    EXPECT_EQ(msgs[msgs.size() - 2], "pmtfifo_create: malloc() error.\n");
    EXPECT_EQ(msgs.back(), "pmtmanagedfifo_set_consumer: pmtfifo_create() error for consumer name 'c' fifo 'qfail'.\n");
    EXPECT_EQ(pmtmanagedfifo_get_consumer(m, (char *)"c"), nullptr);
    EXPECT_NE(pmtmanagedfifo_set_consumer(m, (char *)"c", 0, 0), nullptr);
    pmtmanagedfifo_destroy(m);
}

// ------------------------------------------------------------ parameter structures

TEST(AllocFailParams, Pf2strucFailsWithAMessageAndLeavesOnlyWhatTheCallerFrees) {
    Pf *pf = nullptr;
    ASSERT_EQ(pfread_string("name station one\nlist [\n a\n b\n]\nmap {\n k v\n}\ncount 3\n", &pf), 0);
    struct S {
        char *name;
        Tbl *list;
        Arr *map;
        int count;
    } s;
    Pf2strucDef defs[] = {{(char *)"name", 4, 1, (int)offsetof(S, name)},
                          {(char *)"list", 6, 1, (int)offsetof(S, list)},
                          {(char *)"map", 9, 1, (int)offsetof(S, map)},
                          {(char *)"count", 1, 1, (int)offsetof(S, count)}};
    int rc = 0;
    Seen seen;
    long live = 0;
    auto f = rzvtest::allocfail_sweep(
        [&] {
            elog_clear_register(0);
            memset(&s, 0, sizeof s);
            rc = pf2struc(pf, 4, defs, &s);
            seen.take();
            // The caller frees what was stored, as after any failure.
            free(s.name);
            freetbl(s.list, nullptr);
            freearr(s.map, nullptr);
            elog_clear_register(0);
            live = rzvtest::allocfail_live();
        },
        [&](long n, bool fired) {
            if (rc == 0) {
                EXPECT_EQ(s.count, 3);
                return;
            }
            EXPECT_TRUE(fired);
            EXPECT_GT(seen.count, 0) << n;
            EXPECT_LE(live, 0) << n << ": " << seen.first;
        });
    printf("allocation failures, %-34s %4ld points, %4ld failed\n", "pf2struc/parse_param", f.points, f.fired);
    EXPECT_GT(f.points, 3);
    pffree(pf);
}

// ------------------------------------------------------------ families with handles

TEST(AllocFailFamilies, Vectors) {
    Case create{"kovector2_create",
                [](char *h) { return kovector2_create(4, 2, (char *)"sweep", h) != nullptr; },
                [](char *h) { kovector2_free(h); },
                [](const char *t) -> const void * { return kovector2_get_vector((char *)t); }, "vect"};
    expect_all_clean(sweep(create));

    double data[5] = {1, 2, 3, 4, 5};
    Case tsamp{"kovector2_create_tsamp",
               [&](char *h) { return kovector2_create_tsamp(5, 10.0, 20.0, data, (char *)"sweep", h) != nullptr; },
               create.undo, create.lookup, "vect"};
    expect_all_clean(sweep(tsamp));

    char src[64];
    ASSERT_NE(kovector2_create_tsamp(5, 10.0, 20.0, data, (char *)"source", src), nullptr);
    Case copy{"kovector2_copy", [&](char *h) { return kovector2_copy(src, (char *)"sweep", h) != nullptr; },
              create.undo, create.lookup, "vect"};
    expect_all_clean(sweep(copy));

    // Labelled points: every label is copied.
    char pts[64];
    ASSERT_NE(kovector2_create(2, 2, (char *)"source", pts), nullptr);
    for (int i = 0; i < 3; i++) {
        double y[2] = {1.0 * i, 2.0 * i};
        char label[16];
        snprintf(label, sizeof label, "point %d", i);
        ASSERT_EQ(kovector2_append(pts, -1, i, y, label), 0);
    }
    Case labelled{"kovector2_copy (labels)",
                  [&](char *h) { return kovector2_copy(pts, (char *)"sweep", h) != nullptr; }, create.undo,
                  create.lookup, "vect"};
    expect_all_clean(sweep(labelled));
    Case one_y{"kovector2_copy_1y",
               [&](char *h) { return kovector2_copy_1y(pts, 1, (char *)"sweep", h) != nullptr; }, create.undo,
               create.lookup, "vect"};
    expect_all_clean(sweep(one_y));
    Tbl *inputs = newtbl(0);
    pushtbl(inputs, pts);
    pushtbl(inputs, pts);
    Case stats{"kovector2_stats (median)",
               [&](char *h) { return kovector2_stats(inputs, (char *)"median", (char *)"sweep", h) != nullptr; },
               create.undo, create.lookup, "vect"};
    expect_all_clean(sweep(stats));
    freetbl(inputs, nullptr);
    kovector2_free(pts);

    // With the cache of released records, creations reuse them.
    ASSERT_EQ(kovector2_set_cache(1L << 20), 0);
    create.family = "kovector2_create (cache)";
    expect_all_clean(sweep(create));
    copy.family = "kovector2_copy (cache)";
    expect_all_clean(sweep(copy));
    ASSERT_EQ(kovector2_set_cache(0), 0);
    kovector2_free(src);
}

TEST(AllocFailFamilies, Histories) {
    Case mem{"kohistory_create",
             [](char *h) { return kohistory_create(8, (char *)"sweep", nullptr, h) != nullptr; },
             [](char *h) { kohistory_free(h); },
             [](const char *t) -> const void * { return kohistory_get_history((char *)t); }, "thst"};
    expect_all_clean(sweep(mem));

    rzvtest::TempDir dir;
    std::string file = dir.file("sweep.hist");
    char h[64];
    ASSERT_NE(kohistory_create(8, nullptr, (char *)file.c_str(), h), nullptr);
    ASSERT_EQ(kohistory_add(h, 1.0, 2.0), 0);
    ASSERT_EQ(kohistory_free(h), 0);
    Case load{"kohistory_create (file)",
              [&](char *h2) { return kohistory_create(8, (char *)"sweep", (char *)file.c_str(), h2) != nullptr; },
              mem.undo, mem.lookup, "thst"};
    expect_all_clean(sweep(load));
}

TEST(AllocFailFamilies, Grids) {
    auto lookup = [](const char *t) -> const void * { return kogrid_get_grid(t); };
    auto undo = [](char *h) { kogrid_free(h); };
    Case create{"kogrid_create", [](char *h) { return small_grid(h) != nullptr; }, undo, lookup, "grid"};
    expect_all_clean(sweep(create));

    Case reg{"kogrid_register_grid",
             [](char *h) {
                 KOGrid *g = small_grid(nullptr);
                 if (!g) return false;
                 if (kogrid_register_grid(g, h) < 0) {
                     kogrid_free_kogrid(g);
                     return false;
                 }
                 return true;
             },
             undo, lookup, "grid"};
    expect_all_clean(sweep(reg));

    char src[64];
    KOGrid *g = small_grid(src);
    ASSERT_NE(g, nullptr);
    float field[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(kogrid_put(src, 0.0, 1, 1.0, field), 0);
    Case copy{"kogrid_copy", [&](char *h) { return kogrid_copy(src, "sweep", h) != nullptr; }, undo, lookup,
              "grid"};
    expect_all_clean(sweep(copy));

    // Packets: unstuff makes an unregistered grid.
    char *packet = nullptr;
    int nbytes = 0, size = 0;
    ASSERT_EQ(kogrid_stuff(src, &packet, &nbytes, &size), 0);
    Case unstuff{"kogrid_unstuff",
                 [&](char *) {
                     KOGrid *out = nullptr;
                     int rc = kogrid_unstuff(packet, nbytes, &out);
                     if (rc < 0) {
                         EXPECT_EQ(out, nullptr);
                         return false;
                     }
                     kogrid_free_kogrid(out);
                     return true;
                 },
                 [](char *) {}, nullptr};
    expect_all_clean(sweep(unstuff));
    free(packet);

    // Descriptor reads make an unregistered grid too.
    rzvtest::TempDir dir;
    std::string file = dir.file("grid.bin");
    int wfd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(wfd, 0);
    ASSERT_EQ(kogrid_write_fd_kogrid(g, wfd), 0) << rzvtest::all_messages();
    close(wfd);
    Case read_fd{"kogrid_read_fd",
                 [&](char *) {
                     int fd = open(file.c_str(), O_RDONLY);
                     KOGrid *out = nullptr;
                     int rc = kogrid_read_fd(fd, &out);
                     close(fd);
                     if (rc < 0) {
                         EXPECT_EQ(out, nullptr);
                         return false;
                     }
                     kogrid_free_kogrid(out);
                     return true;
                 },
                 [](char *) {}, nullptr};
    expect_all_clean(sweep(read_fd));
    kogrid_free(src);
}

TEST(AllocFailFamilies, Moments) {
    auto lookup = [](const char *t) -> const void * { return komoment_get_moment((char *)t); };
    auto undo = [](char *h) { komoment_free(h); };
    Case create{"komoment_create",
                [](char *h) { return komoment_create(1, -2, 1, 0.5, 0.2, -0.3, (char *)"sweep", h) != nullptr; },
                undo, lookup, "moment"};
    expect_all_clean(sweep(create));

    Case reg{"komoment_register_moment",
             [](char *h) {
                 KOMoment *m = komoment_create(1, -2, 1, 0.5, 0.2, -0.3, nullptr, nullptr);
                 if (!m) return false;
                 if (komoment_register_moment(m, h) < 0) {
                     komoment_free_komoment(m);
                     return false;
                 }
                 return true;
             },
             undo, lookup, "moment"};
    expect_all_clean(sweep(reg));
}

// The projections build vectors through the standard containers: memory
// running out anywhere in them is a failure result, never an exception
// through the C interface.  What a failed call made stays under the
// caller's buffers, as after any failure of these calls.
TEST(AllocFailFamilies, BeachBallNeverThrows) {
    char mh[64];
    ASSERT_NE(komoment_create(0.3, -1.2, 0.9, 0.4, -0.2, 0.6, nullptr, mh), nullptr);
    char b[6][64];
    int rc = 0;
    Seen seen;
    auto release = [&] {
        for (auto &buf : b) {
            if (buf[0]) kovector2_free(buf);
            buf[0] = '\0';
        }
        elog_clear_register(0);
    };
    for (auto &buf : b) buf[0] = '\0';
    long failed = 0;
    auto f = rzvtest::allocfail_sweep(
        [&] {
            elog_clear_register(0);
            rc = komoment_compute_bb(mh, b[0], b[1], b[2], b[3], b[4], b[5]);
            seen.take();
        },
        [&](long n, bool fired) {
            EXPECT_TRUE(fired);
            if (rc < 0) {
                failed++;
                EXPECT_GT(seen.count, 0) << n;
            }
            release();
        });
    release();
    printf("allocation failures, %-34s %4ld points, %4ld failed, %4ld reported\n", "komoment_compute_bb",
           f.points, f.fired, failed);
    EXPECT_GT(f.points, 20);
    EXPECT_GT(failed, 0);
    komoment_free(mh);
}

TEST(AllocFailFamilies, SacImages) {
    auto lookup = [](const char *t) -> const void * { return kosac_get_kosac((char *)t); };
    auto undo = [](char *h) { kosac_free(h); };
    Case create{"kosac_create", [](char *h) { return kosac_create((char *)"sweep", h) != nullptr; }, undo, lookup,
                "sac"};
    expect_all_clean(sweep(create));

    rzvtest::TempDir dir;
    std::string file = dir.file("trace.sac");
    KOSac *sac = kosac_create(nullptr, nullptr);
    ASSERT_NE(sac, nullptr);
    float samples[16];
    for (int i = 0; i < 16; i++) samples[i] = (float)i;
    ASSERT_EQ(kosac_putdata_kosac(sac, 16, 100.0, 20.0, samples, (char *)"d"), 0) << rzvtest::all_messages();
    ASSERT_EQ(kosac_write_to_file_kosac(sac, (char *)file.c_str()), 0) << rzvtest::all_messages();
    kosac_free_kosac(sac);
    Case load{"kosac_read_from_file_kosac",
              [&](char *h) { return kosac_read_from_file_kosac((char *)file.c_str(), (char *)"sweep", h) != nullptr; },
              undo, lookup, "sac"};
    expect_all_clean(sweep(load));
}

TEST(AllocFailFamilies, Fifos) {
    Case checked{"pmtfifo_create (checked)",
                 [](char *h) {
                     Pmtfifo *f = pmtfifo_create(4, 1, 1);
                     if (!f) return false;
                     // Made means registered: a FIFO left out of the registry
                     // would refuse its own owner as stale.
                     EXPECT_EQ(pmtfifo_set_timeout(f, 1.0), 0) << rzvtest::all_messages();
                     snprintf(h, 64, "%p", (void *)f);
                     return true;
                 },
                 [](char *h) {
                     void *p = nullptr;
                     sscanf(h, "%p", &p);
                     pmtfifo_destroy(static_cast<Pmtfifo *>(p), nullptr);
                 },
                 nullptr};
    expect_all_clean(sweep(checked));

    Case managed{"pmtmanagedfifo_create+consumer",
                 [](char *h) {
                     Pmtmanagedfifo *m = pmtmanagedfifo_create((char *)"sweep");
                     if (!m) return false;
                     EXPECT_EQ(pmtmanagedfifo_get((char *)"sweep"), m);
                     Pmtfifo *q = pmtmanagedfifo_set_consumer(m, (char *)"reader", 0, 1);
                     if (q) {
                         EXPECT_EQ(pmtmanagedfifo_get_consumer(m, (char *)"reader"), q);
                     }
                     bool ok = q && pmtmanagedfifo_set_producer(m, (char *)"writer") == 0;
                     if (!ok) {
                         pmtmanagedfifo_destroy(m);
                         EXPECT_EQ(pmtmanagedfifo_get((char *)"sweep"), nullptr);
                         return false;
                     }
                     snprintf(h, 64, "%p", (void *)m);
                     return true;
                 },
                 [](char *) { pmtmanagedfifo_destroy(pmtmanagedfifo_get((char *)"sweep")); }, nullptr};
    expect_all_clean(sweep(managed));
    EXPECT_EQ(pmtmanagedfifo_get((char *)"sweep"), nullptr);
}

TEST(AllocFailFamilies, ComputePools) {
    auto sub = [](int64_t, int64_t, void *) -> int64_t { return 0; };
    static int user;
    PmtcompSub subp = sub;
    Case pool{"pmtcomp_create+addthread",
              [&](char *h) {
                  Pmtcomp *p = pmtcomp_create();
                  if (!p) return false;
                  if (pmtcomp_addthread(p, subp, 0, 10, &user) < 0 || pmtcomp_addthread(p, subp, 10, 10, &user) < 0) {
                      EXPECT_LE(pmtcomp_nthreads(p), 1);
                      pmtcomp_destroy(p);
                      return false;
                  }
                  snprintf(h, 64, "%p", (void *)p);
                  return true;
              },
              [](char *h) {
                  void *p = nullptr;
                  sscanf(h, "%p", &p);
                  pmtcomp_destroy(static_cast<Pmtcomp *>(p));
              },
              nullptr};
    expect_all_clean(sweep(pool));
}
