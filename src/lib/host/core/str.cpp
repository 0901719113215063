// Strings: trimming, substitution, splitting, whole-string regular
// expressions (compiled patterns cached in a hook), and number reading.

#include "stock.h"
#include "regex_pvt.h"
#include "guard_pvt.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    size_t olen = strlen(old), rlen = strlen(rep);
    if (out == s && rlen > olen) {
        // In place with a longer replacement: the rest of the text moves
        // right at each occurrence (no scratch memory, so this cannot fail).
        for (char *p = strstr(s, old); p; p = strstr(p + rlen, old)) {
            memmove(p + rlen, p + olen, strlen(p + olen) + 1);
            memcpy(p, rep, rlen);
        }
        return out;
    }
    // Writing never overtakes reading: out is another buffer, or s itself
    // with a replacement no longer than what it replaces.
    char *w = out;
    for (const char *p = s; *p;) {
        if (strncmp(p, old, olen) == 0) {
            memmove(w, rep, rlen);
            w += rlen;
            p += olen;
        } else {
            *w++ = *p++;
        }
    }
    *w = '\0';
    return out;
}

Tbl *split(char *s, const char *sep) {
    Tbl *t = newtbl(0);
    if (!t) {
        elog_log(1, "split: out of memory.\n");
        return nullptr;
    }
    if (!s) return t;
    if (!sep) sep = " \t\n";
    char *save = nullptr;
    for (char *w = strtok_r(s, sep, &save); w; w = strtok_r(nullptr, sep, &save)) {
        if (pushtbl(t, w) < 0) {
            freetbl(t, nullptr);
            return nullptr;  // pushtbl has said why
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

namespace {
int strmatches_hooked(const char *s, const char *regex, Hook **hook) {
    CachedRegex *c = *hook ? static_cast<CachedRegex *>((*hook)->p) : nullptr;
    if (!c || (*hook)->free_proc != free_cached || c->pattern != regex) {
        // The new pattern is made whole before the hook is replaced: memory
        // running out leaves the caller's hook as it was; a pattern that
        // does not compile empties it.
        std::unique_ptr<CachedRegex> n(new CachedRegex);
        n->pattern = regex;
        if (compile_whole(regex, n->re) < 0) {
            free_hook(hook);
            return -1;
        }
        Hook *h = new_hook(free_cached);
        if (!h) {
            elog_log(1, "strmatches: out of memory\n");
            return -1;
        }
        h->p = n.release();
        free_hook(hook);
        *hook = h;
        c = static_cast<CachedRegex *>(h->p);
    }
    return match_whole(c->re, s);
}
}  // namespace

extern "C" {

int strmatches(const char *s, const char *regex, Hook **hook) {
    if (!s || !regex) {
        elog_log(0, "strmatches: null argument.\n");
        return -1;
    }
    return host_guarded("strmatches", -1, [&] {
        if (hook) return strmatches_hooked(s, regex, hook);
        hostkit::WholeRegex re;
        if (compile_whole(regex, re) < 0) return -1;
        return match_whole(re, s) ? 1 : 0;
    });
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
    size_t len = (size_t)(p - start);
    const char *dexp = nullptr;  // a Fortran exponent letter
    for (const char *c = start; c < p; c++)
        if (*c == 'd' || *c == 'D') dexp = c;
    double v;
    if (!dexp) {
        // strtod reads exactly the same number from here.
        v = strtod(start, nullptr);
    } else {
        // The exponent letter is read as 'e' from a copy; short numbers
        // (all real ones) are copied on the stack.
        char small[128];
        char *copy = len < sizeof small ? small : static_cast<char *>(malloc(len + 1));
        if (!copy) {
            elog_log(1, "fix_strtod: out of memory\n");
            return 0.0;  // *end is s: nothing was read
        }
        memcpy(copy, start, len);
        copy[len] = '\0';
        copy[dexp - start] = 'e';
        v = strtod(copy, nullptr);
        if (copy != small) free(copy);
    }
    if (end) *end = const_cast<char *>(p);
    return v;
}

}  // extern "C"
