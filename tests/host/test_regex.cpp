// The regular-expression compiler behind strmatches and database
// expressions: the same answers as the system's POSIX matcher on the syntax
// users write, and bounded compile and match times for every pattern.

#include <gtest/gtest.h>

#include <regex.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "regex_pvt.h"
#include "rzvtest.h"
#include "stock.h"
#include "threadtest.h"

namespace {

// Whole-string match by the system matcher: the leftmost-longest match
// covers the string.
int posix_whole(const char *pattern, const std::string &s, bool &ok) {
    regex_t re;
    ok = regcomp(&re, pattern, REG_EXTENDED) == 0;
    if (!ok) return 0;
    regmatch_t m[1];
    int hit = regexec(&re, s.c_str(), 1, m, 0) == 0 && m[0].rm_so == 0 && (size_t)m[0].rm_eo == s.size();
    regfree(&re);
    return hit;
}

TEST(Regex, AgreesWithThePosixMatcherOnRandomPatterns) {
    const char *atoms[] = {"a", "b", ".", "x", "[ab]", "[^a]", "[[:alpha:]]", "\\.", "[a-b]", "[]a]"};
    const char *quants[] = {"*", "+", "?", "{1,2}", "{2}", "{0,}", "{,1}"};
    std::mt19937 rng(12345);
    auto pick = [&rng](int n) { return (int)(rng() % (unsigned)n); };
    std::function<std::string(int)> gen = [&](int depth) {
        std::string p;
        int n = 1 + pick(4);
        for (int i = 0; i < n; i++) {
            int r = pick(10);
            if (r < 6 || depth > 2) {
                p += atoms[pick(10)];
            } else if (r < 8) {
                p += "(" + gen(depth + 1) + ")";
            } else if (r < 9) {
                p += "(" + gen(depth + 1) + "|" + gen(depth + 1) + ")";
            } else {
                p += "|";
                p += atoms[pick(10)];
            }
            int q = pick(6);
            if (q == 0) p += quants[pick(7)];
            if (q == 1) p += std::string(quants[pick(3)]) + quants[pick(3)];  // stacked
        }
        return p;
    };
    const char alphabet[] = "abx.]";
    int compared = 0;
    for (int k = 0; k < 3000; k++) {
        std::string pattern = gen(0);
        hostkit::WholeRegex re;
        std::string why;
        int rc = re.compile(pattern.c_str(), &why);
        bool posix_ok;
        posix_whole(pattern.c_str(), "", posix_ok);
        ASSERT_EQ(rc == hostkit::REGEX_OK, posix_ok) << pattern << ": " << why;
        if (!posix_ok) continue;
        for (int t = 0; t < 12; t++) {
            std::string s;
            int len = pick(7);
            for (int i = 0; i < len; i++) s += alphabet[pick(5)];
            bool ok;
            int want = posix_whole(pattern.c_str(), s, ok);
            ASSERT_EQ((int)re.match(s.data(), s.size()), want) << "/" << pattern << "/ on '" << s << "'";
            compared++;
        }
    }
    EXPECT_GT(compared, 20000);
}

TEST(Regex, KeepsTheSyntaxUsersWrite) {
    struct {
        const char *pattern, *text;
        int want;
    } cases[] = {
        {"BH.", "BHZ", 1},          {"BH.", "XBHZ", 0},        {"BHZ|HHZ", "HHZ", 1},
        {"a+?", "", 1},             // POSIX: (a+)?, not a lazy a+
        {"a)", "a)", 1},            // a ')' that closes nothing is a literal
        {"[]x]+", "]x]", 1},        {"[\\]", "\\", 1},          {"[[.-.]a]", "-", 1},
        {"[[=e=]]", "e", 1},        {"\\<AB\\>", "AB", 1},      {"x\\{", "x{", 1},
        {"a{,2}", "aa", 1},         {"a{,2}", "aaa", 0},       {".", "\n", 1},
        {"[[:digit:]]{2,3}", "123", 1}, {"\xe9t\xe9", "\xe9t\xe9", 1},  // bytes, not UTF-8
        {"^AB$", "AB", 1},          {"a^b", "ab", 0},
    };
    for (auto &c : cases) {
        hostkit::WholeRegex re;
        std::string why;
        ASSERT_EQ(re.compile(c.pattern, &why), hostkit::REGEX_OK) << c.pattern << ": " << why;
        EXPECT_EQ((int)re.match(c.text, strlen(c.text)), c.want) << c.pattern << " on " << c.text;
    }
    // The text need not be terminated: only its n bytes are read.
    hostkit::WholeRegex re;
    ASSERT_EQ(re.compile("AB.", nullptr), hostkit::REGEX_OK);
    const char row[] = {'A', 'B', 'Z', 'Q'};
    EXPECT_TRUE(re.match(row, 3));
    EXPECT_FALSE(re.match(row, 4));

    struct {
        const char *pattern, *why;
    } bad[] = {
        {"(", "Unmatched ( or \\("},       {"a\\", "Trailing backslash"},
        {"*a", "Invalid preceding regular expression"}, {"a{", "Unmatched \\{"},
        {"a{2,1}", "Invalid content of \\{\\}"},      {"[[:foo:]]", "Invalid character class name"},
        {"[z-a]", "Invalid range end"},                {"[ab", "Unmatched [, [^, [:, [., or [="},
        {"(.)\\1", "back-references are not supported"},
    };
    for (auto &b : bad) {
        hostkit::WholeRegex r;
        std::string why;
        EXPECT_EQ(r.compile(b.pattern, &why), hostkit::REGEX_BAD) << b.pattern;
        EXPECT_EQ(why, b.why) << b.pattern;
        EXPECT_FALSE(r.match("a", 1));
    }
}

// Patterns that took the system compiler seconds to minutes and gigabytes.
const char *const kHostile[] = {
    "()+++++",        "()++++++",        "(|)+++++",        "(|)++++++++",     "((a{255}){255}){255}",
    "(a{1000}){1000}", "((((((((((a*)*)*)*)*)*)*)*)*)*)*", "(a|a?)+{50}",    "(x+x+)+y",
    "((|)*)*{20}",     "(.*)*(.*)*(.*)*(.*)*b", "([[:alpha:]]{1,1000}){1,1000}",
};

TEST(Regex, HostilePatternsAreBoundedThroughStrmatchesAndSubsets) {
    rzvtest::Watchdog dog("hostile patterns", std::chrono::seconds(60));
    std::string longa(50000, 'a');
    for (const char *p : kHostile) {
        elog_clear_register(0);
        int r = strmatches(longa.c_str(), p, nullptr);
        EXPECT_TRUE(r == 0 || r == 1 || (r == -1 && elog_count() > 0)) << p;
        Hook *h = nullptr;
        r = strmatches("AAK", p, &h);
        free_hook(&h);
        EXPECT_GE(r, -1) << p;
    }

    rzvtest::TempDir dir;
    std::string prefix = dir.file("db");
    std::vector<std::string> rows;
    for (int i = 0; i < 200; i++)
        rows.push_back(dbfixture::wfdisc_row(i % 2 ? "AAK" : "ANMO", "BHZ", 1e9 + i, 1e9 + i + 10, i + 1));
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    for (const char *p : kHostile) {
        std::string expr = std::string("sta =~ /") + p + "/";
        elog_clear_register(0);
        Dbptr sub = dbsubset(wf, expr.c_str(), 0);
        if (sub.database >= 0) dbfree(sub);
        else EXPECT_GT(elog_count(), 0) << p;
    }
    // An ordinary selection still selects.
    Dbptr sub = dbsubset(wf, "sta =~ /A.K/ && chan =~ /BH./", 0);
    long n = -1;
    dbquery(sub, dbRECORD_COUNT, &n);
    EXPECT_EQ(n, 100);
    dbfree(sub);
    dbclose(db);
}

}  // namespace
