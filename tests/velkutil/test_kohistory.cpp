// Value histories: bounds, interpolation, extents, the registry, and
// file-backed histories across process restarts with their single owner.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "kohistory.h"
#include "rzvtest.h"

using rzvtest::has_message;
using rzvtest::messages;

namespace {

struct Handle {
    char h[32] = {0};
    operator char *() { return h; }
};

std::vector<std::pair<double, double>> samples(char *h) {
    int n = -1;
    double *t = nullptr, *v = nullptr;
    std::vector<std::pair<double, double>> out;
    if (kohistory_get_points(h, &n, &t, &v) < 0) return out;
    for (int i = 0; i < n; i++) out.emplace_back(t[i], v[i]);
    free(t);
    free(v);
    return out;
}

// Catches what elog_complain prints while it is alive.
struct Printed {
    FILE *fp = tmpfile();
    Printed() { elog_set_stream(fp); }
    ~Printed() {
        elog_set_stream(nullptr);
        fclose(fp);
    }
    std::string text() {
        fflush(fp);
        rewind(fp);
        std::string s;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0) s.append(buf, n);
        return s;
    }
};

// Runs `body` in a child process; its exit status.
template <class F>
int in_child(F body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// ------------------------------------------------------------ registry

// First in the file: before any history exists.
TEST(HistoryRegistry, LookupsBeforeAnyHistory) {
    EXPECT_EQ(kohistory_get_history((char *)"thst0"), nullptr);
    EXPECT_EQ(messages().back(), "kohistory_get_history: No historys defined");
    EXPECT_EQ(kohistory_free((char *)"thst0"), -1);
    EXPECT_EQ(messages().back(), "kohistory_free: No kohistorys defined");
}

TEST(HistoryRegistry, HandlesFreeAndFreeTag) {
    Handle a, b, c;
    ASSERT_NE(kohistory_create(5, (char *)"temps", nullptr, a), nullptr);
    ASSERT_NE(kohistory_create(5, (char *)"temps", nullptr, b), nullptr);
    ASSERT_NE(kohistory_create(5, nullptr, nullptr, c), nullptr);
    EXPECT_EQ(std::string(a.h).rfind("thst", 0), 0u);
    EXPECT_EQ(atoi(b.h + 4), atoi(a.h + 4) + 1);
    EXPECT_EQ(kohistory_free((char *)"thst-none"), -1);
    EXPECT_EQ(messages().back(), "kohistory_free: Cannot find thst-none");
    EXPECT_EQ(kohistory_free_tag((char *)"temps"), 0);
    EXPECT_EQ(kohistory_get_history(a), nullptr);
    EXPECT_EQ(kohistory_get_history(b), nullptr);
    EXPECT_NE(kohistory_get_history(c), nullptr);
    EXPECT_EQ(kohistory_free(c), 0);
    EXPECT_EQ(kohistory_get_history(c), nullptr);
    EXPECT_EQ(messages().back(), std::string("kohistory_get_history: Cannot find ") + c.h);
    KOHistory *own = kohistory_create(2, nullptr, nullptr, nullptr);
    ASSERT_NE(own, nullptr);
    kohistory_free_history(own);
    EXPECT_EQ(kohistory_create(0, nullptr, nullptr, a), nullptr);
    EXPECT_TRUE(has_message("kohistory_create: Illegal maxnp value 0.\n"));
}

// Freeing a registered history through its pointer also retires its tag:
// a later lookup reports the tag unknown instead of reaching freed memory.
TEST(HistoryRegistry, DirectFreeRetiresTheTag) {
    Handle a, b;
    KOHistory *h = kohistory_create(4, (char *)"direct", nullptr, a);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(kohistory_create(4, (char *)"direct", nullptr, b), nullptr);
    kohistory_free_history(h);
    EXPECT_EQ(kohistory_get_history(a), nullptr);
    EXPECT_EQ(messages().back(), std::string("kohistory_get_history: Cannot find ") + a.h);
    EXPECT_EQ(kohistory_add(a, 1, 1), -1);
    EXPECT_EQ(kohistory_free_tag((char *)"direct"), 0);  // frees only the other one
    EXPECT_EQ(kohistory_get_history(b), nullptr);
}

// ------------------------------------------------------------ bounds and values

TEST(HistoryValues, KeepsOnlyTheNewestMaxnp) {
    Handle a;
    kohistory_create(3, nullptr, nullptr, a);
    for (int t = 1; t <= 4; t++) ASSERT_EQ(kohistory_add(a, t, 10 * t), 0);
    auto s = samples(a);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].first, 2);
    EXPECT_EQ(s[2].first, 4);
    EXPECT_EQ(s[2].second, 40);
    kohistory_free(a);
}

TEST(HistoryValues, EvaluationInterpolatesAndHoldsTheEnds) {
    Handle a, one, none;
    kohistory_create(10, nullptr, nullptr, a);
    kohistory_add(a, 0, 10);
    kohistory_add(a, 10, 20);
    double v;
    ASSERT_EQ(kohistory_eval(a, 5, &v), 0);
    EXPECT_EQ(v, 15);
    kohistory_eval(a, -1, &v);
    EXPECT_EQ(v, 10);
    kohistory_eval(a, 11, &v);
    EXPECT_EQ(v, 20);
    kohistory_create(10, nullptr, nullptr, one);
    kohistory_add(one, 3, 7);
    kohistory_eval(one, -100, &v);
    EXPECT_EQ(v, 7);
    kohistory_create(10, nullptr, nullptr, none);
    EXPECT_EQ(kohistory_eval(none, 0, &v), -1);
    EXPECT_EQ(messages().back(), std::string("kohistory_eval: No points in kohistory ") + none.h + ".\n");
    EXPECT_EQ(kohistory_add((char *)"thst-x", 0, 0), -1);
    EXPECT_EQ(messages().back(), "kohistory_add: kohistory_get_history() error.\n");
    kohistory_free(a);
    kohistory_free(one);
    kohistory_free(none);
}

TEST(HistoryValues, ExtentsOverAllSamples) {
    Handle a;
    kohistory_create(10, nullptr, nullptr, a);
    double t0, t1, v0, v1;
    EXPECT_EQ(kohistory_maxmin(a, &t0, &t1, &v0, &v1), -1);
    EXPECT_EQ(messages().back(), std::string("kohistory_maxmin: No points in kohistory ") + a.h + ".\n");
    kohistory_add(a, 5, 3);
    kohistory_add(a, 6, -8);
    kohistory_add(a, 9, 4);
    ASSERT_EQ(kohistory_maxmin(a, &t0, &t1, &v0, &v1), 0);
    EXPECT_EQ(t0, 5);
    EXPECT_EQ(t1, 9);
    EXPECT_EQ(v0, -8);
    EXPECT_EQ(v1, 4);
    kohistory_free(a);
}

// ------------------------------------------------------------ files and owners

TEST(HistoryFile, SamplesSurviveAndTheBoundHolds) {
    rzvtest::TempDir dir;
    std::string f = dir.file("h1");
    Handle a, b;
    ASSERT_NE(kohistory_create(4, nullptr, (char *)f.c_str(), a), nullptr);
    for (int t = 0; t < 6; t++) kohistory_add(a, t, t * t);
    ASSERT_EQ(kohistory_free(a), 0);
    KOHistory *h = kohistory_create(4, (char *)"again", (char *)f.c_str(), b);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->filename, f.c_str());
    auto s = samples(b);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].first, 2);
    EXPECT_EQ(s[3].second, 25);
    double v;
    kohistory_eval(b, 4.5, &v);
    EXPECT_EQ(v, 20.5);
    kohistory_free(b);
}

TEST(HistoryFile, AFileWrittenWithALargerBoundIsCutOnTheNextSample) {
    rzvtest::TempDir dir;
    std::string f = dir.file("h2");
    Handle a, b;
    kohistory_create(10, nullptr, (char *)f.c_str(), a);
    for (int t = 0; t < 10; t++) kohistory_add(a, t, t);
    kohistory_free(a);
    kohistory_create(3, nullptr, (char *)f.c_str(), b);
    EXPECT_EQ(samples(b).size(), 10u);  // as the file held it
    kohistory_add(b, 10, 10);
    auto s = samples(b);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].first, 8);
    EXPECT_EQ(s[2].first, 10);
    kohistory_free(b);
}

TEST(HistoryFile, SecondOwnerInTheSameProcessIsRefused) {
    rzvtest::TempDir dir;
    std::string f = dir.file("h3");
    Handle a, b, c;
    ASSERT_NE(kohistory_create(5, nullptr, (char *)f.c_str(), a), nullptr);
    kohistory_add(a, 1, 1);
    {
        Printed out;
        EXPECT_EQ(kohistory_create(5, nullptr, (char *)f.c_str(), b), nullptr);
        EXPECT_NE(out.text().find("Can't lock '" + f + "' for exclusive use"), std::string::npos);
    }
    EXPECT_EQ(b.h[0], '\0');
    // the refused attempt (its probe opened and closed the file) must not
    // have cost the owner its lock
    {
        Printed out;
        EXPECT_EQ(kohistory_create(5, nullptr, (char *)f.c_str(), b), nullptr);
    }
    EXPECT_EQ(kohistory_add(a, 2, 2), 0);
    ASSERT_EQ(kohistory_free(a), 0);
    KOHistory *h = kohistory_create(5, nullptr, (char *)f.c_str(), c);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(samples(c).size(), 2u);
    kohistory_free(c);
}

TEST(HistoryFile, OwnerInAnotherProcessIsRespected) {
    rzvtest::TempDir dir;
    std::string f = dir.file("h4");
    Handle a;
    ASSERT_NE(kohistory_create(5, nullptr, (char *)f.c_str(), a), nullptr);
    int rc = in_child([&] {
        char h[32];
        elog_set_stream(fopen("/dev/null", "w"));
        return kohistory_create(5, nullptr, (char *)f.c_str(), h) == nullptr ? 0 : 1;
    });
    EXPECT_EQ(rc, 0) << "a child process took a file this process owns";
    kohistory_free(a);
    rc = in_child([&] {
        char h[32];
        if (!kohistory_create(5, nullptr, (char *)f.c_str(), h)) return 1;
        return kohistory_add(h, 1, 1) == 0 ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
}

TEST(HistoryFile, ProcessRestartKeepsSamplesAndReleasesTheFile) {
    rzvtest::TempDir dir;
    std::string f = dir.file("h5");
    // the first run adds samples and ends without freeing anything
    int rc = in_child([&] {
        char h[32];
        if (!kohistory_create(4, nullptr, (char *)f.c_str(), h)) return 1;
        for (int t = 1; t <= 5; t++)
            if (kohistory_add(h, t, 100 + t) < 0) return 2;
        return 0;
    });
    ASSERT_EQ(rc, 0);
    Handle b;
    ASSERT_NE(kohistory_create(4, nullptr, (char *)f.c_str(), b), nullptr);
    auto s = samples(b);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].first, 2);
    EXPECT_EQ(s[3].second, 105);
    // and this process now owns it against the next run
    rc = in_child([&] {
        char h[32];
        elog_set_stream(fopen("/dev/null", "w"));
        return kohistory_create(4, nullptr, (char *)f.c_str(), h) == nullptr ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    kohistory_free(b);
}

TEST(HistoryFile, ForeignFilesAreRefused) {
    rzvtest::TempDir dir;
    std::string f = dir.file("notes.txt");
    ASSERT_TRUE(rzvtest::write_file(f, "this is not a history file at all, just some text\n"));
    Handle a;
    EXPECT_EQ(kohistory_create(4, nullptr, (char *)f.c_str(), a), nullptr);
    EXPECT_TRUE(has_message("is not a list file"));
    EXPECT_EQ(rzvtest::read_file(f), "this is not a history file at all, just some text\n");
}

}  // namespace
