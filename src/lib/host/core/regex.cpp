// The one regular-expression compiler of hostkit: POSIX extended patterns,
// matched against whole strings, run on RE2 so that neither compiling nor
// matching can take more than linear time.  The translation keeps the
// syntax users write (bracket expressions with classes, intervals, stacked
// quantifiers, literal unmatched ")") and refuses what has no linear form.
// Compiled patterns are shared through a bounded cache keyed by their text.

#include "regex_pvt.h"

#include <re2/re2.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace hostkit {

namespace {

// Appends c as a literal outside a class.
void put_literal(std::string &out, unsigned char c) {
    if (isalnum(c) || c == '_' || c == ' ') {
        out += (char)c;
    } else if (c < 0x20 || c >= 0x7f) {
        static const char hex[] = "0123456789abcdef";
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    } else {
        out += '\\';
        out += (char)c;
    }
}

const char *const kClasses[] = {"alpha", "digit", "alnum", "upper", "lower", "space",
                                "blank", "punct", "print", "graph", "cntrl", "xdigit"};

// Reads one bracket expression starting at p ('['); appends its class.
// Returns the position after its ']' or null with *why.
const char *bracket(const char *p, std::string &out, std::string *why) {
    const char *c = p + 1;
    out += '[';
    if (*c == '^') {
        out += '^';
        c++;
    }
    bool first = true;
    int prev = -1;  // the last single character, a possible range start
    while (*c && (first || *c != ']')) {
        int ch;
        if (*c == '[' && (c[1] == ':' || c[1] == '.' || c[1] == '=')) {
            char kind = c[1];
            const char *e = c + 2;
            while (*e && !(e[0] == kind && e[1] == ']')) e++;
            if (!*e) break;
            std::string name(c + 2, (size_t)(e - c - 2));
            c = e + 2;
            first = false;
            if (kind == ':') {
                bool known = false;
                for (const char *k : kClasses) known = known || name == k;
                if (!known) {
                    if (why) *why = "Invalid character class name";
                    return nullptr;
                }
                out += "[:" + name + ":]";
                prev = -1;
                continue;
            }
            if (name.size() != 1) {
                if (why) *why = "Invalid collation character";
                return nullptr;
            }
            ch = (unsigned char)name[0];
        } else if (*c == '-' && !first && prev >= 0 && c[1] && c[1] != ']') {
            // A range from the previous character.
            c++;
            int hi;
            if (*c == '[' && c[1] == '.') {
                const char *e = strstr(c + 2, ".]");
                if (!e || e != c + 3) {
                    if (why) *why = "Invalid range end";
                    return nullptr;
                }
                hi = (unsigned char)c[2];
                c = e + 2;
            } else {
                hi = (unsigned char)*c++;
            }
            if (hi < prev) {
                if (why) *why = "Invalid range end";
                return nullptr;
            }
            out += '-';
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", hi);
            out += buf;
            prev = -1;
            first = false;
            continue;
        } else {
            ch = (unsigned char)*c++;
        }
        first = false;
        char buf[8];
        snprintf(buf, sizeof buf, "\\x%02x", ch);
        out += buf;
        prev = ch;
    }
    if (*c != ']') {
        if (why) *why = "Unmatched [, [^, [:, [., or [=";
        return nullptr;
    }
    out += ']';
    return c + 1;
}

// Reads "{m}", "{m,}", "{m,n}" or "{,n}" at p.  Returns the position after
// '}' or null with *why.
const char *interval(const char *p, long &lo, long &hi, std::string *why) {
    const char *c = p + 1;
    auto number = [&c](long &v) {
        if (!isdigit((unsigned char)*c)) return false;
        v = 0;
        while (isdigit((unsigned char)*c)) {
            if (v < 100000) v = v * 10 + (*c - '0');
            c++;
        }
        return true;
    };
    bool has_lo = number(lo);
    if (!has_lo) lo = 0;
    if (*c == ',') {
        c++;
        if (!number(hi)) hi = -1;
        if (!has_lo && hi < 0) {
            if (why) *why = "Invalid content of \\{\\}";
            return nullptr;
        }
    } else if (has_lo) {
        hi = lo;
    } else {
        if (why) *why = *c ? "Invalid content of \\{\\}" : "Unmatched \\{";
        return nullptr;
    }
    if (*c != '}') {
        if (why) *why = *c ? "Invalid content of \\{\\}" : "Unmatched \\{";
        return nullptr;
    }
    if (hi >= 0 && hi < lo) {
        if (why) *why = "Invalid content of \\{\\}";
        return nullptr;
    }
    return c + 1;
}

}  // namespace

bool regex_translate(const char *pattern, std::string &out, std::string *why) {
    out.clear();
    std::vector<size_t> groups;  // where each open group starts in out
    long atom = -1;              // where the last atom starts in out; -1: none
    bool quantified = false;     // the last atom already carries a quantifier
    for (const char *c = pattern; *c;) {
        size_t here = out.size();
        unsigned char ch = (unsigned char)*c;
        if (ch == '\\') {
            unsigned char e = (unsigned char)c[1];
            if (!e) {
                if (why) *why = "Trailing backslash";
                return false;
            }
            c += 2;
            if (e >= '1' && e <= '9') {
                if (why) *why = "back-references are not supported";
                return false;
            }
            if (e == '<' || e == '>' || e == 'b' || e == 'B') {
                out += (e == 'B') ? "\\B" : "\\b";
                atom = -1;  // an assertion: nothing to repeat
                quantified = false;
                continue;
            }
            if (e == '`' || e == '\'') {
                out += (e == '`') ? "\\A" : "\\z";
                atom = -1;
                quantified = false;
                continue;
            }
            if (e == 'w' || e == 'W' || e == 's' || e == 'S') {
                out += '\\';
                out += (char)e;
            } else {
                put_literal(out, e);
            }
            atom = (long)here;
            quantified = false;
        } else if (ch == '[') {
            const char *n = bracket(c, out, why);
            if (!n) return false;
            c = n;
            atom = (long)here;
            quantified = false;
        } else if (ch == '(') {
            groups.push_back(here);
            out += "(?:";
            c++;
            atom = -1;
            quantified = false;
        } else if (ch == ')') {
            c++;
            if (groups.empty()) {
                out += "\\)";
                atom = (long)here;
            } else {
                out += ')';
                atom = (long)groups.back();
                groups.pop_back();
            }
            quantified = false;
        } else if (ch == '|') {
            out += '|';
            c++;
            atom = -1;
            quantified = false;
        } else if (ch == '*' || ch == '+' || ch == '?' || ch == '{') {
            if (atom < 0) {
                if (why) *why = "Invalid preceding regular expression";
                return false;
            }
            std::string q;
            if (ch == '{') {
                long lo = 0, hi = 0;
                const char *n = interval(c, lo, hi, why);
                if (!n) return false;
                if (lo > 1000 || hi > 1000) {
                    if (why) *why = "Regular expression too big";
                    return false;
                }
                q = "{" + std::to_string(lo) + (hi == lo ? "" : ",") +
                    (hi > lo ? std::to_string(hi) : "") + "}";
                c = n;
            } else {
                q = (char)ch;
                c++;
            }
            // POSIX reads a quantifier on a quantified atom as applying to
            // the whole repetition ("a+?" is "(a+)?"); the engine would read
            // "+?" as a lazy "+", so the repetition is grouped first.
            if (quantified) {
                out.insert((size_t)atom, "(?:");
                out += ')';
            }
            out += q;
            quantified = true;
        } else if (ch == '^' || ch == '$') {
            out += (char)ch;
            c++;
            atom = -1;
            quantified = false;
        } else if (ch == '.') {
            out += '.';
            c++;
            atom = (long)here;
            quantified = false;
        } else {
            put_literal(out, ch);
            c++;
            atom = (long)here;
            quantified = false;
        }
    }
    if (!groups.empty()) {
        if (why) *why = "Unmatched ( or \\(";
        return false;
    }
    return true;
}

namespace {

// The cache of compiled patterns.  Invariant: every entry holds a pattern
// that compiled, under the options of compile(); `used` orders the entries
// by their last use.  Lookups find a key without building a string, so a
// hit takes no memory.
struct CacheEntry {
    std::shared_ptr<const RE2> re;
    uint64_t used = 0;
};

struct Cache {
    std::mutex mu;
    std::map<std::string, CacheEntry, std::less<>> entries;
    uint64_t clock = 0;

    std::shared_ptr<const RE2> find(const char *pattern) {
        std::lock_guard<std::mutex> lk(mu);
        auto it = entries.find(pattern);
        if (it == entries.end()) return nullptr;
        it->second.used = ++clock;
        return it->second.re;
    }

    // Keeps re under pattern, making room first.  Nothing is kept when
    // memory runs out: the pattern is simply compiled again next time.
    void keep(const std::string &pattern, const std::shared_ptr<const RE2> &re) {
        std::lock_guard<std::mutex> lk(mu);
        if (entries.find(pattern) != entries.end()) return;  // another thread was first
        if (entries.size() >= kRegexCacheSize) {
            auto oldest = entries.begin();
            for (auto it = entries.begin(); it != entries.end(); ++it)
                if (it->second.used < oldest->second.used) oldest = it;
            entries.erase(oldest);
        }
        try {
            entries.emplace(pattern, CacheEntry{re, ++clock});
        } catch (const std::bad_alloc &) {
        }
    }
};

Cache &cache() {
    static Cache *c = new Cache;  // never destroyed: patterns may be used during exit
    return *c;
}

}  // namespace

size_t regex_cache_count() {
    Cache &c = cache();
    std::lock_guard<std::mutex> lk(c.mu);
    return c.entries.size();
}

WholeRegex::WholeRegex() = default;
WholeRegex::~WholeRegex() = default;

int WholeRegex::compile(const char *pattern, std::string *why) {
    re_.reset();
    if (!pattern) {
        if (why) *why = "no pattern";
        return REGEX_BAD;
    }
    if (std::shared_ptr<const RE2> hit = cache().find(pattern)) {
        re_ = std::move(hit);
        return REGEX_OK;
    }
    std::string translated;
    if (!regex_translate(pattern, translated, why)) {
        if (why && *why == "Regular expression too big") return REGEX_TOO_COMPLEX;
        return REGEX_BAD;
    }
    RE2::Options opt;
    opt.set_encoding(RE2::Options::EncodingLatin1);
    opt.set_dot_nl(true);
    opt.set_never_capture(true);
    opt.set_log_errors(false);
    opt.set_max_mem(8 << 20);
    // The owner is made before the pattern is compiled, so that nothing
    // that fails after the compile can leave the compiled pattern behind.
    std::unique_ptr<RE2> made(new RE2(translated, opt));
    if (!made->ok()) {
        if (why) *why = made->error();
        return (made->error_code() == RE2::ErrorPatternTooLarge || made->error_code() == RE2::ErrorRepeatSize)
                   ? REGEX_TOO_COMPLEX
                   : REGEX_BAD;
    }
    std::shared_ptr<const RE2> re(std::move(made));
    cache().keep(pattern, re);
    re_ = std::move(re);
    return REGEX_OK;
}

bool WholeRegex::match(const char *s, size_t n) const {
    return re_ && RE2::FullMatch(re2::StringPiece(s, n), *re_);
}

}  // namespace hostkit
