// Strings: trimming, substitution, splitting, whole-string regular
// expressions (compiled patterns cached in a hook), and number reading.

#include "stock.h"
#include "regex_pvt.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <new>
#include <string>
#include <vector>

extern "C" {

char *strtrim(char *s) {
    if (!s) return s;
    char *b = s;
    while (*b && isspace((unsigned char)*b)) b++;
    char *e = b + strlen(b);
    while (e > b && isspace((unsigned char)e[-1])) e--;
    size_t n = (size_t)(e - b);
    memmove(s, b, n);
    s[n] = '\0';
    return s;
}

char *strsub(char *s, const char *old, const char *rep, char *out) {
    if (!s || !out) return out;
    if (!old || !*old) {
        if (out != s) strcpy(out, s);
        return out;
    }
    if (!rep) rep = "";
    std::string r;
    size_t olen = strlen(old);
    for (const char *p = s; *p;) {
        if (strncmp(p, old, olen) == 0) {
            r += rep;
            p += olen;
        } else {
            r += *p++;
        }
    }
    memcpy(out, r.c_str(), r.size() + 1);
    return out;
}

Tbl *split(char *s, const char *sep) {
    Tbl *t = newtbl(0);
    if (!t || !s) return t;
    if (!sep) sep = " \t\n";
    char *save = nullptr;
    for (char *w = strtok_r(s, sep, &save); w; w = strtok_r(nullptr, sep, &save)) {
        if (pushtbl(t, w) < 0) {
            freetbl(t, nullptr);
            return nullptr;
        }
    }
    return t;
}

}  // extern "C"

namespace {
struct CachedRegex {
    std::string pattern;
    regex_t re;
};
void free_cached(void *p) {
    CachedRegex *c = static_cast<CachedRegex *>(p);
    regfree(&c->re);
    delete c;
}
// The end of a bracket expression starting at c ('['), at its ']'.
const char *bracket_end(const char *c) {
    const char *e = c + 1;
    if (*e == '^') e++;
    if (*e == ']') e++;
    while (*e && *e != ']') {
        if (*e == '[' && (e[1] == ':' || e[1] == '.' || e[1] == '=')) {
            const char *k = strstr(e + 2, e[1] == ':' ? ":]" : e[1] == '.' ? ".]" : "=]");
            e = k ? k + 2 : e + strlen(e);
        } else {
            e++;
        }
    }
    return *e ? e : e - 1;
}

// A rough size of the automaton regcomp builds: counted repetition copies
// its operand, so "((a{255}){255}){255}" takes seconds and gigabytes to
// compile.  Selections never need more than a few hundred states.
long regex_cost(const char *re) {
    const long cap = 1L << 40;
    std::vector<long> seq{0};  // size of the sequence at each group level
    long last = 0;             // size of the last atom or group
    bool quantified = false;   // the last atom already carries a quantifier
    for (const char *c = re; *c; c++) {
        if (*c == '\\' && c[1]) {
            c++;
            last = 1;
            seq.back() += 1;
            quantified = false;
        } else if (*c == '[') {
            c = bracket_end(c);
            last = 1;
            seq.back() += 1;
            quantified = false;
        } else if (*c == '(') {
            seq.push_back(0);
            last = 0;
            quantified = false;
        } else if (*c == ')' && seq.size() > 1) {
            last = seq.back() + 1;
            seq.pop_back();
            seq.back() += last;
            quantified = false;
        } else if (*c == '*' || *c == '+' || *c == '?' || *c == '{') {
            long times = 2;
            if (*c == '{') {
                const char *k = strchr(c, '}');
                if (!k) break;  // regcomp reports it
                long m = 0, hi = 0;
                for (const char *d = c + 1; d < k; d++) {
                    if (isdigit((unsigned char)*d)) {
                        m = m * 10 + (*d - '0');
                        if (m > 100000) m = 100000;
                    } else {
                        hi = hi > m ? hi : m;
                        m = 0;
                    }
                }
                times = (hi > m ? hi : m) + 1;
                c = k;
            }
            // A quantifier on a quantified atom makes regcomp copy the
            // whole repetition again: stacked ones grow much faster.
            if (quantified) times *= 4;
            quantified = true;
            long grown = last * times;
            if (grown > cap) grown = cap;
            seq.back() += grown - last;
            last = grown;
        } else {
            last = 1;
            seq.back() += 1;
            quantified = false;
        }
        if (seq.back() > cap) return cap;
    }
    long total = 0;
    for (long v : seq) total += v;
    return total;
}

constexpr long kMaxRegexCost = 20000;

// The pattern wrapped in "^(...)$", its back-references moved past the new
// group.  False when a \9 would have to become \10.
bool anchored(const char *re, std::string &out) {
    out = "^(";
    int depth = 0;  // groups open in the pattern itself
    for (const char *c = re; *c; c++) {
        if (*c == '(') {
            depth++;
            out += *c;
        } else if (*c == ')') {
            // A ")" that closes nothing is a literal as written; inside the
            // wrapper it would close the anchoring group instead.
            if (depth == 0) {
                out += "\\)";
            } else {
                depth--;
                out += *c;
            }
        } else if (*c == '[') {
            const char *e = bracket_end(c);
            out.append(c, (size_t)(e - c + 1));
            c = e;
        } else if (*c == '\\' && c[1] >= '1' && c[1] <= '9') {
            if (c[1] == '9') return false;
            out += '\\';
            out += (char)(c[1] + 1);
            c++;
        } else if (*c == '\\' && c[1]) {
            out.append(c, 2);
            c++;
        } else {
            out += *c;
        }
    }
    out += ")$";
    return true;
}

int compile_whole(const char *regex, regex_t *re) {
    std::string why;
    int rc = hostkit::regcomp_whole(re, regex, &why);
    if (rc == hostkit::REGEX_TOO_COMPLEX)
        elog_log(0, "strmatches: regular expression '%s' is too complex\n", regex);
    else if (rc != hostkit::REGEX_OK)
        elog_log(0, "strmatches: bad regular expression '%s': %s\n", regex, why.c_str());
    return rc == hostkit::REGEX_OK ? 0 : -1;
}

bool match_whole(const regex_t *re, const char *s) { return regexec(re, s, 0, nullptr, 0) == 0; }
}  // namespace

int hostkit::regcomp_whole(regex_t *re, const char *pattern, std::string *why) {
    if (regex_cost(pattern) > kMaxRegexCost) return REGEX_TOO_COMPLEX;
    int rc = regcomp(re, pattern, REG_EXTENDED | REG_NOSUB);
    std::string whole;
    if (rc == 0) {
        regfree(re);
        if (!anchored(pattern, whole)) {
            if (why) *why = "too many back-references";
            return REGEX_BAD;
        }
        rc = regcomp(re, whole.c_str(), REG_EXTENDED | REG_NOSUB);
    }
    if (rc != 0) {
        char buf[256];
        regerror(rc, re, buf, sizeof buf);
        if (why) *why = buf;
        return REGEX_BAD;
    }
    return REGEX_OK;
}

extern "C" {

int strmatches(const char *s, const char *regex, Hook **hook) {
    if (!s || !regex) {
        elog_log(0, "strmatches: null argument.\n");
        return -1;
    }
    if (!hook) {
        regex_t re;
        if (compile_whole(regex, &re) < 0) return -1;
        int m = match_whole(&re, s);
        regfree(&re);
        return m;
    }
    CachedRegex *c = *hook ? static_cast<CachedRegex *>((*hook)->p) : nullptr;
    if (!c || c->pattern != regex || (*hook)->free_proc != free_cached) {
        free_hook(hook);
        CachedRegex *n = new (std::nothrow) CachedRegex;
        if (!n) {
            elog_log(1, "strmatches: out of memory.\n");
            return -1;
        }
        if (compile_whole(regex, &n->re) < 0) {
            delete n;
            return -1;
        }
        n->pattern = regex;
        *hook = new_hook(free_cached);
        if (!*hook) {
            free_cached(n);
            elog_log(1, "strmatches: out of memory.\n");
            return -1;
        }
        (*hook)->p = n;
        c = n;
    }
    return match_whole(&c->re, s);
}

double fix_strtod(const char *s, char **end) {
    if (end) *end = const_cast<char *>(s);
    if (!s) return 0.0;
    // Scan a decimal number by hand so that a Fortran exponent ("1.5d3")
    // is read as one; anything else (inf, nan, hex) goes to strtod.
    const char *p = s;
    while (isspace((unsigned char)*p)) p++;
    const char *start = p;
    if (*p == '+' || *p == '-') p++;
    const char *digits = p;
    while (isdigit((unsigned char)*p)) p++;
    bool any = p > digits;
    if (*p == '.') {
        p++;
        const char *f = p;
        while (isdigit((unsigned char)*p)) p++;
        any = any || p > f;
    }
    if (!any || (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))) return strtod(s, end);
    if (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D') {
        const char *q = p + 1;
        if (*q == '+' || *q == '-') q++;
        if (isdigit((unsigned char)*q)) {
            while (isdigit((unsigned char)*q)) q++;
            p = q;
        }
    }
    std::string num(start, (size_t)(p - start));
    for (char &c : num)
        if (c == 'd' || c == 'D') c = 'e';
    double v = strtod(num.c_str(), nullptr);
    if (end) *end = const_cast<char *>(p);
    return v;
}

}  // extern "C"
