// Strings: trimming, substitution, splitting, whole-string regular
// expressions (compiled patterns cached in a hook), and number reading.

#include "stock.h"
#include "regex_pvt.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
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
    hostkit::WholeRegex re;
};
void free_cached(void *p) { delete static_cast<CachedRegex *>(p); }

int compile_whole(const char *regex, hostkit::WholeRegex &re) {
    std::string why;
    int rc = re.compile(regex, &why);
    if (rc == hostkit::REGEX_TOO_COMPLEX)
        elog_log(0, "strmatches: regular expression '%s' is too complex\n", regex);
    else if (rc != hostkit::REGEX_OK)
        elog_log(0, "strmatches: bad regular expression '%s': %s\n", regex, why.c_str());
    return rc == hostkit::REGEX_OK ? 0 : -1;
}

bool match_whole(const hostkit::WholeRegex &re, const char *s) { return re.match(s, strlen(s)); }
}  // namespace

extern "C" {

int strmatches(const char *s, const char *regex, Hook **hook) {
    if (!s || !regex) {
        elog_log(0, "strmatches: null argument.\n");
        return -1;
    }
    if (!hook) {
        hostkit::WholeRegex re;
        if (compile_whole(regex, re) < 0) return -1;
        return match_whole(re, s);
    }
    CachedRegex *c = *hook ? static_cast<CachedRegex *>((*hook)->p) : nullptr;
    if (!c || c->pattern != regex || (*hook)->free_proc != free_cached) {
        free_hook(hook);
        CachedRegex *n = new (std::nothrow) CachedRegex;
        if (!n) {
            elog_log(1, "strmatches: out of memory.\n");
            return -1;
        }
        if (compile_whole(regex, n->re) < 0) {
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
    return match_whole(c->re, s);
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
