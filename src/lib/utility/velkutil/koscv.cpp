// koscv: station-channel views of a waveform database -- opening, the
// parallel cache build, subsets and station metadata, and trace tables with
// their runs of good samples and gaps.
//
// The cache build reads each row's sta, chan, time and endtime straight out
// of the table's fixed-width text in memory, at the offsets the engine
// reports for the table's layout; the database is never asked for a field
// per row.  A table's rows are cut into contiguous slices scanned by the
// compute pool's workers, each into its own KOSCVThread record, and the
// slices are merged in slice order, so every row list ends ascending and
// the cache is the same for any number of workers.
//
// Invariants of a built view: every KOSCVTable's rows and every
// KOSCVStaChan's row lists are ascending; stachans_tbl holds the cache's
// keys in strcmp order; worker records hold no rows between builds.  A
// cache is built beside the one it replaces and takes its place only when
// it is whole: a build that fails (memory running out included) leaves the
// view with its previous cache and filters.
#include "koscv.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "koregistry_pvt.h"
#include "pmtcomp.h"
#include "tr.h"

namespace {

// The registry of views and its lock; the lock also serialises opening.
KORegistry koscv_reg("koscv%d", KORegistry::INCREMENT_THEN_COUNT, "scvs");
std::mutex koscv_mutex;

// Progress messages; set by any "-v", never cleared.
std::atomic<int> verbose{0};

constexpr double kNotGiven = 2e30;     // a window bound not given
constexpr double kBoundLimit = 9e19;   // bounds at or above this are not applied
constexpr double kKeepLimit = 9e29;    // koscv_subset_cache keeps bounds at or above this
constexpr int kMaxThreads = 1024;
constexpr int64_t kMinSlice = 10000;   // rows; smaller slices do not pay for a worker
constexpr int kNameRoom = 32;          // sta and chan of a KOSCVStaChan
// Window bounds written into a key row are kept inside what a time field
// can hold; no row's times lie beyond them.
constexpr double kKeyTimeLimit = 9e13;

const char *const kScanTables[] = {"wfdisc", "arrival", "detection"};

const char kUsage[] =
    "usage: koscv_create [-tstart tstart] [-tend tend] [-stachan_accept expr1[,expr2[...]]] "
    "[-stachan_reject expr1[,expr2[...]]] [-nthreads nthreads] dbname\n";

// ------------------------------------------------------------ small helpers

void free_string(void *p) { free(p); }

void myfreetsc(void *p) {
    auto *tsc = static_cast<KOSCVThreadStaChan *>(p);
    if (!tsc) return;
    freetbl(tsc->rows, nullptr);
    free(tsc);
}

void myfreestachan(void *p) {
    auto *sc = static_cast<KOSCVStaChan *>(p);
    if (!sc) return;
    freetbl(sc->wfdiscrows, nullptr);
    freetbl(sc->arrivalrows, nullptr);
    freetbl(sc->detectionrows, nullptr);
    free_hook(&sc->dbmatches_hook);
    free(sc);
}

int mycompare(const void *a, const void *b, void *) {
    return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

// Copies a list of strings (null entries stay null); null on failure.
Tbl *copy_strings(const Tbl *from) {
    long n = maxtbl(from);
    Tbl *t = newtbl(n);
    if (!t) return nullptr;
    for (long i = 0; i < n; i++) {
        const char *s = static_cast<const char *>(gettbl(from, i));
        char *c = nullptr;
        if ((s && !(c = strdup(s))) || pushtbl(t, c) < 0) {
            free(c);
            freetbl(t, free_string);
            return nullptr;
        }
    }
    return t;
}

KOSCVTable *table_of(KOSCV *scv, const char *name) {
    return scv && scv->tables ? static_cast<KOSCVTable *>(getarr(scv->tables, name)) : nullptr;
}

long as_record(const void *p) { return (long)(intptr_t)p; }

// ------------------------------------------------------------ reading rows

// Whether a byte ends a word of a field: blanks, tabs and other control
// characters (a NUL inside a field would otherwise cut a key short).
inline bool is_blank(unsigned char c) { return c <= ' '; }

struct Word {
    const char *p = nullptr;
    int n = 0;
};

// The first word of the field at off, width w, of a row.
inline Word field_word(const char *row, int64_t off, int64_t w) {
    const char *p = row + off, *e = p + w;
    while (p < e && is_blank((unsigned char)*p)) p++;
    const char *q = p;
    while (q < e && !is_blank((unsigned char)*q)) q++;
    return {p, (int)(q - p)};
}

const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Reads a word as a decimal number (sign, digits, a point, an exponent).
// False for anything else, "nan" and "inf" included.  Plain numbers of up to
// 2^53 units of their last place take the exact fast path (an exact integer
// divided by an exact power of ten rounds once, as strtod would); others go
// through strtod.
bool parse_number(Word w, double *out) {
    const char *p = w.p, *e = w.p + w.n;
    if (p >= e) return false;
    bool neg = false;
    if (*p == '+' || *p == '-') {
        neg = *p == '-';
        p++;
    }
    // Digits, a point, digits: the mantissa wraps past 19 digits, which
    // sends the word to strtod below.
    uint64_t m = 0;
    const char *q = p;
    while (q < e && (unsigned)((unsigned char)*q - '0') <= 9) m = m * 10 + (unsigned)(*q++ - '0');
    int digits = (int)(q - p), frac = 0;
    if (q < e && *q == '.') {
        const char *f0 = ++q;
        while (q < e && (unsigned)((unsigned char)*q - '0') <= 9) m = m * 10 + (unsigned)(*q++ - '0');
        frac = (int)(q - f0);
        digits += frac;
    }
    if (digits == 0) return false;
    if (q == e && digits <= 19 && m <= (UINT64_C(1) << 53) && frac <= 22) {
        double v = (double)m / kPow10[frac];
        *out = neg ? -v : v;
        return true;
    }
    // An exponent, or more precision than the fast path holds.
    if (q < e) {
        if (*q != 'e' && *q != 'E') return false;
        const char *x = q + 1;
        if (x < e && (*x == '+' || *x == '-')) x++;
        if (x >= e) return false;
        for (; x < e; x++)
            if ((unsigned)((unsigned char)*x - '0') > 9) return false;
    }
    char buf[128];
    std::string big;
    const char *text;
    if (w.n < (int)sizeof buf) {
        memcpy(buf, w.p, (size_t)w.n);
        buf[w.n] = 0;
        text = buf;
    } else {
        big.assign(w.p, (size_t)w.n);
        text = big.c_str();
    }
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end != text + w.n || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

// The fields of one row as the scan needs them.  A time or end time that is
// blank or not a number stays kNotGiven.
struct RowFields {
    Word sta, chan;
    double time = kNotGiven;
    double endtime = kNotGiven;
};

// koscv_read_fields reads a row in place, from the table's memory at the
// offsets of its layout, in two steps so that the scan can look its pair up
// while the times are read: the names (the channel only when there is a
// station), then the times (the end time is the time for a table without
// one).
inline const char *row_of(const KOSCVTable *tb, const char *base, int64_t rec) {
    return base + rec * (tb->record_n + 1);
}

inline void koscv_read_names(const KOSCVTable *tb, const char *row, RowFields *f) {
    f->chan = Word();
    f->sta = field_word(row, tb->sta_i, tb->sta_n);
    if (f->sta.n) f->chan = field_word(row, tb->chan_i, tb->chan_n);
}

inline void koscv_read_times(const KOSCVTable *tb, const char *row, RowFields *f) {
    f->time = f->endtime = kNotGiven;
    Word t = field_word(row, tb->time_i, tb->time_n);
    if (!t.n || !parse_number(t, &f->time)) {
        f->time = kNotGiven;
        return;
    }
    if (tb->endtime_i < 0) {
        f->endtime = f->time;
        return;
    }
    Word et = field_word(row, tb->endtime_i, tb->endtime_n);
    if (!et.n || !parse_number(et, &f->endtime)) f->endtime = kNotGiven;
}

// Whether two keys of len bytes are equal (keys are short: a loop beats a
// call).
inline bool same_key(const char *a, const char *b, int len) {
    for (int i = 0; i < len; i++)
        if (a[i] != b[i]) return false;
    return true;
}

inline bool is_null_word(Word w) { return w.n == 0 || (w.n == 1 && w.p[0] == '-'); }

// ------------------------------------------------------------ matching

// An expression list entry as it is tested: trimmed, null when it is empty
// or a comment.
std::string expression_of(const char *entry) {
    if (!entry || !*entry) return std::string();
    std::string s(entry);
    char *c = &s[0];
    strtrim(c);
    s.resize(strlen(c));
    if (s.empty() || s[0] == '#') return std::string();
    return s;
}

int nscl_of(KOSCV *scv, const char *sta, const char *chan, char *nscl);

// The expressions of a filter list, each compiled once by the thread that
// builds the cache; the scanning workers then only match against them, so
// no pattern is compiled per pair (or allocates) on a worker.
class CompiledList {
public:
    CompiledList() = default;
    CompiledList(const CompiledList &) = delete;
    CompiledList &operator=(const CompiledList &) = delete;
    ~CompiledList() {
        for (Hook *&h : hooks_) free_hook(&h);
    }
    // Compiles the entries of list; -1 with a message when one does not
    // compile or memory runs out.
    int compile(const char *fn, Tbl *list) {
        for (long i = 0; i < maxtbl(list); i++) {
            std::string ex = expression_of(static_cast<const char *>(gettbl(list, i)));
            if (ex.empty()) continue;
            exprs_.push_back(ex);
            hooks_.push_back(nullptr);
            if (strmatches("", ex.c_str(), &hooks_.back()) < 0) {
                elog_log(0, "%s: bad expression '%s'.\n", fn, ex.c_str());
                return -1;
            }
        }
        return 0;
    }
    size_t size() const { return exprs_.size(); }
    const char *expr(size_t i) const { return exprs_[i].c_str(); }
    // 1 or 0 as s matches expression i; -1 on failure.  Reads only.
    int match(size_t i, const char *s) const { return strmatches(s, exprs_[i].c_str(), &hooks_[i]); }

private:
    std::vector<std::string> exprs_;
    mutable std::vector<Hook *> hooks_;
};

// The compiled filters of the builds in progress, by view: a worker finds
// its build's filters here.
struct BuildFilters {
    CompiledList accept, reject;
};
std::mutex filters_mutex;
std::vector<std::pair<const KOSCV *, const BuildFilters *>> filters_in_use;

const BuildFilters *filters_of(const KOSCV *scv) {
    std::lock_guard<std::mutex> lk(filters_mutex);
    for (auto &e : filters_in_use)
        if (e.first == scv) return e.second;
    return nullptr;
}

// Publishes a build's filters for its workers while it lasts.
class FiltersInUse {
public:
    FiltersInUse(const KOSCV *scv, const BuildFilters *f) : scv_(scv) {
        std::lock_guard<std::mutex> lk(filters_mutex);
        filters_in_use.emplace_back(scv, f);
    }
    FiltersInUse(const FiltersInUse &) = delete;
    FiltersInUse &operator=(const FiltersInUse &) = delete;
    ~FiltersInUse() {
        std::lock_guard<std::mutex> lk(filters_mutex);
        for (size_t i = 0; i < filters_in_use.size(); i++)
            if (filters_in_use[i].first == scv_) {
                filters_in_use.erase(filters_in_use.begin() + (long)i);
                break;
            }
    }

private:
    const KOSCV *scv_;
};

// koscv_match_stachan: 1 if the pair matches an expression of list, else
// 0; -1 (with a message) when it cannot tell, memory having run out.
// Expressions with a blank are tested against the key, others against the
// SEED name.  The result is kept per key in *memo (made on first use).
// With `compiled` (list's expressions, compiled), nothing is compiled here.
int koscv_match_stachan(KOSCV *scv, const char *sta, const char *chan, Tbl *list, Arr **memo,
                        const CompiledList *compiled = nullptr) {
    char key[2 * kNameRoom + 2];
    snprintf(key, sizeof key, "%s %s", sta, chan);
    if (memo && *memo) {
        void *v = getarr(*memo, key);
        if (v) return (int)((intptr_t)v - 1);
    }
    if (maxtbl(list) < 1) return 0;
    char nscl[128];
    if (nscl_of(scv, sta, chan, nscl) < 0) return -1;
    int result = 0;
    for (size_t i = 0; compiled && i < compiled->size() && !result; i++) {
        const char *target = strchr(compiled->expr(i), ' ') ? key : nscl;
        int m = compiled->match(i, target);
        if (m < 0) {
            elog_log(0, "koscv_match_stachan: strmatches(%s) error.\n", compiled->expr(i));
            return -1;
        }
        if (m == 1) result = 1;
    }
    for (long i = 0; !compiled && i < maxtbl(list) && !result; i++) {
        std::string ex = expression_of(static_cast<const char *>(gettbl(list, i)));
        if (ex.empty()) continue;
        const char *target = strchr(ex.c_str(), ' ') ? key : nscl;
        int m = strmatches(target, ex.c_str(), nullptr);
        if (m < 0) {
            elog_log(0, "koscv_match_stachan: strmatches(%s) error.\n", ex.c_str());
            return -1;
        }
        if (m == 1) result = 1;
    }
    if (memo) {
        if (!*memo && !(*memo = newarr(nullptr)))
            elog_complain(0, "koscv_match_stachan: newarr(stachan_arr) error.\n");
        if (*memo) setarr(*memo, key, (void *)(intptr_t)(result + 1));
    }
    return result;
}

// ------------------------------------------------------------ the slice scan

// What a slice remembers of a pair: its key, whether the filters keep it
// (0 not yet asked, 1 keep, 2 drop), the pair that followed it last time,
// and its kept rows' count and span.  Two cache lines: the key, then the
// rest.
struct alignas(64) SlicePair {
    int32_t len;
    int32_t state;
    char key[2 * kNameRoom];
    int32_t next;  // -1: none yet
    int64_t count;
    double tstart, tend;
};

// The pairs of one slice, numbered in order of appearance.  A small table
// of (hash, number) entries finds a key's number; the pair records are
// dense.  Tables are mostly written in time order, so the pairs come back
// in the same cycle: each pair remembers its successor, and the scan
// fetches that record ahead and tries it before searching.
class SlicePairs {
public:
    SlicePairs() : table_(1024, 0), mask_(1023) { pairs_.reserve(256); }

    static uint64_t hash_of(const char *key, int len) {
        uint64_t h = 1469598103934665603ULL;
        for (int i = 0; i < len; i++) h = (h ^ (unsigned char)key[i]) * 1099511628211ULL;
        return h ^ (h >> 29);
    }

    void prefetch_slot(uint64_t h) const { __builtin_prefetch(&table_[h & mask_]); }
    void prefetch_pair(int32_t id) const {
        if (id < 0) return;
        const char *p = reinterpret_cast<const char *>(&pairs_[(size_t)id]);
        __builtin_prefetch(p);
        __builtin_prefetch(p + 64);
    }

    SlicePair &at(int32_t id) { return pairs_[(size_t)id]; }
    size_t size() const { return pairs_.size(); }
    const std::vector<SlicePair> &pairs() const { return pairs_; }

    // The number of the pair of key, added if new.
    int32_t find_or_add(const char *key, int len, uint64_t h) {
        uint64_t tag = h >> 32;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            uint64_t e = table_[i];
            if (e == 0) {
                if ((pairs_.size() + 1) * 2 > table_.size()) {
                    grow();
                    return find_or_add(key, len, h);
                }
                SlicePair p{};
                p.len = len;
                memcpy(p.key, key, (size_t)len);
                p.next = -1;
                pairs_.push_back(p);
                int32_t id = (int32_t)pairs_.size() - 1;
                table_[i] = (tag << 32) | (uint64_t)(id + 1);
                return id;
            }
            if ((e >> 32) == tag) {
                int32_t id = (int32_t)(e & 0xffffffffu) - 1;
                const SlicePair &p = pairs_[(size_t)id];
                if (p.len == len && same_key(p.key, key, len)) return id;
            }
        }
    }

private:
    void grow() {
        std::vector<uint64_t> t(table_.size() * 2, 0);
        mask_ = t.size() - 1;
        for (size_t id = 0; id < pairs_.size(); id++) {
            const SlicePair &p = pairs_[id];
            uint64_t h = hash_of(p.key, p.len);
            size_t i = h & mask_;
            while (t[i]) i = (i + 1) & mask_;
            t[i] = ((h >> 32) << 32) | (uint64_t)(id + 1);
        }
        table_.swap(t);
    }

    std::vector<uint64_t> table_;  // (hash >> 32) << 32 | number + 1; 0: free
    size_t mask_;
    std::vector<SlicePair> pairs_;
};

// Hands a slice's kept rows out to its record: the rows in order, and one
// partial result per pair with its rows in order (each list made with room
// for all of its rows at once).
int64_t deliver_slice(KOSCVThread *th, const SlicePairs &pairs, const std::vector<int64_t> &recs,
                      const std::vector<int32_t> &ids) {
    freetbl(th->rows, nullptr);
    if (!(th->rows = newtbl((long)recs.size() + 1))) {
        elog_log(1, "koscv_comp_create_cache: newtbl(rows) error.\n");
        return -1;
    }
    for (int64_t r : recs) pushtbl(th->rows, (void *)(intptr_t)r);
    std::vector<Tbl *> lists(pairs.size(), nullptr);
    for (size_t id = 0; id < pairs.size(); id++) {
        const SlicePair &s = pairs.pairs()[id];
        if (s.count == 0) continue;
        auto *tsc = static_cast<KOSCVThreadStaChan *>(calloc(1, sizeof(KOSCVThreadStaChan)));
        if (!tsc) {
            elog_log(1, "koscv_comp_create_cache: malloc(KOSCVThreadStaChan) error.\n");
            return -1;
        }
        if (!(tsc->rows = newtbl((long)s.count))) {
            free(tsc);
            elog_log(1, "koscv_comp_create_cache: newtbl(tsc) error.\n");
            return -1;
        }
        tsc->tstart = s.tstart;
        tsc->tend = s.tend;
        char key[2 * kNameRoom + 1];
        memcpy(key, s.key, (size_t)s.len);
        key[s.len] = 0;
        if (setarr(th->stachans_arr, key, tsc) == ARR_FAILED) {
            myfreetsc(tsc);
            elog_log(1, "koscv_comp_create_cache: setarr(%s) error.\n", key);
            return -1;
        }
        lists[id] = tsc->rows;
    }
    for (size_t i = 0; i < recs.size(); i++) pushtbl(lists[(size_t)ids[i]], (void *)(intptr_t)recs[i]);
    return 0;
}

int64_t scan_slice(int64_t offset, int64_t n, KOSCVThread *th);

// koscv_comp_create_cache: the pool callback.  Scans rows offset ..
// offset + n - 1 of the worker's table into its KOSCVThread record.  0; 1 for
// a row with a station but no channel (its number in bad_record); -1 when
// memory runs out or a filter cannot be matched.  Nothing is thrown: the
// callback runs on the pool's threads.
int64_t koscv_comp_create_cache(int64_t offset, int64_t n, void *user_data) {
    auto *th = static_cast<KOSCVThread *>(user_data);
    try {
        return scan_slice(offset, n, th);
    } catch (...) {
        elog_log(1, "koscv_comp_create_cache: out of memory.\n");
        return -1;
    }
}

int64_t scan_slice(int64_t offset, int64_t n, KOSCVThread *th) {
    KOSCV *scv = th->scv;
    th->bad_record = -1;
    KOSCVTable *tb = table_of(scv, th->table);
    if (!tb || !tb->table_addr) {
        elog_log(0, "koscv_comp_create_cache: no rows of table %s.\n", th->table);
        return -1;
    }
    const char *base = tb->table_addr;
    Arr *accept_memo = nullptr, *reject_memo = nullptr;
    struct Memos {
        Arr **a, **b;
        ~Memos() {
            freearr(*a, nullptr);
            freearr(*b, nullptr);
        }
    } memos{&accept_memo, &reject_memo};
    int64_t last = offset + n - 1;
    if (verbose.load(std::memory_order_relaxed))
        elog_notify(0, "Starting %s thread %d from %ld to %ld\n", th->table, th->thread, (long)offset, (long)last);

    const bool have_window_start = scv->tstart_cache < kBoundLimit;
    const bool have_window_end = scv->tend_cache < kBoundLimit;
    const double wstart = scv->tstart_cache, wend = scv->tend_cache;
    Tbl *accept = maxtbl(scv->stachan_accept_cache) > 0 ? scv->stachan_accept_cache : nullptr;
    Tbl *reject = maxtbl(scv->stachan_reject_cache) > 0 ? scv->stachan_reject_cache : nullptr;
    const BuildFilters *compiled = filters_of(scv);

    SlicePairs pairs;
    std::vector<int64_t> recs;  // kept rows, in order
    std::vector<int32_t> ids;   // and the number of each one's pair
    char key[2 * kNameRoom];
    int32_t lastid = -1;  // the pair of the latest row looked up
    RowFields f;
    const int64_t stride = tb->record_n + 1, ahead = 8;
    for (int64_t rec = offset; rec <= last; rec++) {
        const char *row = row_of(tb, base, rec);
        if (rec + ahead <= last) {
            // The fields read lie in the row's first two cache lines or so;
            // fetched past the caches that keep the pairs.
            const char *next = row + ahead * stride;
            __builtin_prefetch(next, 0, 0);
            __builtin_prefetch(next + 64, 0, 0);
        }
        koscv_read_names(tb, row, &f);
        if (is_null_word(f.sta)) continue;
        if (is_null_word(f.chan)) {
            th->bad_record = rec;
            return 1;
        }
        // Names are narrower than kNameRoom (the layout was checked).
        int len = f.sta.n + 1 + f.chan.n;
        memcpy(key, f.sta.p, (size_t)f.sta.n);
        key[f.sta.n] = ' ';
        memcpy(key + f.sta.n + 1, f.chan.p, (size_t)f.chan.n);
        // The same pair as the latest row, or the one that followed it last
        // time, or a search.
        int32_t id = -1;
        uint64_t h = 0;
        if (lastid >= 0) {
            const SlicePair &lp = pairs.at(lastid);
            if (lp.len == len && same_key(lp.key, key, len)) {
                id = lastid;
            } else if (lp.next >= 0) {
                const SlicePair &np = pairs.at(lp.next);
                if (np.len == len && same_key(np.key, key, len)) id = lp.next;
            }
        }
        if (id < 0) {
            h = SlicePairs::hash_of(key, len);
            pairs.prefetch_slot(h);
        }
        koscv_read_times(tb, row, &f);
        if (f.time >= kKeepLimit || f.endtime >= kKeepLimit) continue;  // unreadable times
        if (f.time > f.endtime) continue;
        if (have_window_start && wstart > f.endtime) continue;
        if (have_window_end && f.time > wend) continue;

        if (id < 0) {
            id = pairs.find_or_add(key, len, h);
            if (lastid >= 0) pairs.at(lastid).next = id;
        }
        lastid = id;
        SlicePair *sp = &pairs.at(id);
        pairs.prefetch_pair(sp->next);
        if (sp->state == 0) {
            char sta[kNameRoom], chan[kNameRoom];
            memcpy(sta, f.sta.p, (size_t)f.sta.n);
            sta[f.sta.n] = 0;
            memcpy(chan, f.chan.p, (size_t)f.chan.n);
            chan[f.chan.n] = 0;
            bool keep = true;
            int m = reject ? koscv_match_stachan(scv, sta, chan, reject, &reject_memo,
                                                 compiled ? &compiled->reject : nullptr)
                           : 0;
            if (m < 0) return -1;
            if (m) keep = false;
            if (keep && accept) {
                m = koscv_match_stachan(scv, sta, chan, accept, &accept_memo, compiled ? &compiled->accept : nullptr);
                if (m < 0) return -1;
                if (!m) keep = false;
            }
            sp->state = keep ? 1 : 2;
        }
        if (sp->state != 1) continue;
        if (sp->count++ == 0) {
            sp->tstart = f.time;
            sp->tend = f.endtime;
        }
        if (f.time < sp->tstart) sp->tstart = f.time;
        if (f.endtime > sp->tend) sp->tend = f.endtime;
        recs.push_back(rec);
        ids.push_back(id);
    }
    if (deliver_slice(th, pairs, recs, ids) < 0) return -1;
    if (verbose.load(std::memory_order_relaxed))
        elog_notify(0, "Done %s thread %d from %ld to %ld\n", th->table, th->thread, (long)offset, (long)last);
    return 0;
}

// ------------------------------------------------------------ building a table

// Readies worker record i for a scan of table.
int prepare_thread(KOSCV *scv, KOSCVThread *th, int i, const char *table, Dbptr db) {
    th->scv = scv;
    th->db = db;
    th->thread = i;
    th->bad_record = -1;
    snprintf(th->table, sizeof th->table, "%s", table);
    freetbl(th->rows, nullptr);
    if (!(th->rows = newtbl(0))) {
        elog_log(0, "koscv_create_cache_process_threads: newtbl(scvt->rows,%s) error.\n", table);
        return -1;
    }
    freearr(th->stachans_arr, myfreetsc);
    if (!(th->stachans_arr = newarr(nullptr))) {
        elog_log(0, "koscv_create_cache_process_threads: newarr(scvt->stachans_arr) error.\n");
        return -1;
    }
    return 0;
}

// Empties a worker record once it is merged, or when a build is given up
// (the next build makes its lists again).
void release_thread_rows(KOSCVThread *th) {
    freetbl(th->rows, nullptr);
    th->rows = nullptr;
    freearr(th->stachans_arr, myfreetsc);
    th->stachans_arr = nullptr;
}

// Appends the entries of from to *to; an empty *to takes from's storage.
int append_rows(Tbl **to, Tbl **from) {
    if (maxtbl(*to) == 0) {
        Tbl *t = *to;
        *to = *from;
        *from = t;
        return 0;
    }
    for (long i = 0; i < maxtbl(*from); i++)
        if (pushtbl(*to, gettbl(*from, i)) < 0) return -1;
    return 0;
}

// Merges one worker record into the view's table rows and the cache.
int merge_thread(KOSCV *scv, KOSCVTable *tb, KOSCVThread *th, const char *table) {
    if (append_rows(&tb->rows, &th->rows) < 0) {
        elog_log(1, "koscv_create_cache_process_threads: pushtbl(rows) error.\n");
        return -1;
    }
    Tbl *keys = keysarr(th->stachans_arr);
    if (!keys) {
        elog_log(1, "koscv_create_cache_process_threads: keysarr(stachans_arr) error.\n");
        return -1;
    }
    int rc = 0;
    for (long i = 0; i < maxtbl(keys) && rc == 0; i++) {
        const char *key = static_cast<const char *>(gettbl(keys, i));
        auto *tsc = static_cast<KOSCVThreadStaChan *>(getarr(th->stachans_arr, key));
        auto *sc = static_cast<KOSCVStaChan *>(getarr(scv->stachans_arr, key));
        if (!sc) {
            sc = static_cast<KOSCVStaChan *>(calloc(1, sizeof(KOSCVStaChan)));
            if (!sc) {
                elog_log(1, "koscv_create_cache_process_threads: malloc(KOSCVStaChan) error.\n");
                rc = -1;
                break;
            }
            sc->tstart = tsc->tstart;
            sc->tend = tsc->tend;
            const char *what = nullptr;
            if (!(sc->wfdiscrows = newtbl(0))) what = "wfdiscrows";
            else if (!(sc->arrivalrows = newtbl(0))) what = "arrivalrows";
            else if (!(sc->detectionrows = newtbl(0))) what = "detectionrows";
            if (what) {
                elog_log(0, "koscv_create_cache_process_threads: newtbl(%s) error.\n", what);
                myfreestachan(sc);
                rc = -1;
                break;
            }
            if (setarr(scv->stachans_arr, key, sc) == ARR_FAILED) {
                myfreestachan(sc);
                elog_log(1, "koscv_create_cache_process_threads: setarr(%s) error.\n", key);
                rc = -1;
                break;
            }
        }
        if (tsc->tstart < sc->tstart) sc->tstart = tsc->tstart;
        if (tsc->tend > sc->tend) sc->tend = tsc->tend;
        Tbl **to = !strcmp(table, "wfdisc") ? &sc->wfdiscrows
                   : !strcmp(table, "arrival") ? &sc->arrivalrows
                                               : &sc->detectionrows;
        if (append_rows(to, &tsc->rows) < 0) {
            elog_log(1, "koscv_create_cache_process_threads: pushtbl(%s rows) error.\n", table);
            rc = -1;
        }
    }
    freetbl(keys, nullptr);
    if (rc == 0) release_thread_rows(th);
    return rc;
}

// Registers why a scan stopped at a row with a station and no channel.
void report_bad_row(const char *table, const KOSCVThread *th) {
    elog_log(0, "koscv_comp_create_cache: %s row %ld has a station but no channel.\n", table, (long)th->bad_record);
}

// koscv_create_cache_process_threads: scans and merges one table.
int koscv_create_cache_process_threads(KOSCV *scv, const char *table) {
    static const char *fn = "koscv_create_cache_process_threads";
    KOSCVTable *tb = table_of(scv, table);
    Dbptr db = dblookup(scv->db, nullptr, table, nullptr, nullptr);
    long n = 0;
    if (!tb || db.table < 0 || dbquery(db, dbRECORD_COUNT, &n) < 0) {
        elog_log(0, "%s: Cannot lookup %s table.\n", fn, table);
        return -1;
    }
    if (n < 1) return 0;
    char *addr = nullptr;
    if (dbquery(db, dbTABLE_ADDRESS, &addr) < 0 || !addr) {
        elog_log(0, "%s: no rows in memory for table %s.\n", fn, table);
        return -1;
    }
    long nrec = maxtbl(scv->threads);
    if (nrec < 1) {
        elog_log(0, "%s: the view has no worker records.\n", fn);
        return -1;
    }
    const bool talk = verbose.load(std::memory_order_relaxed) != 0;

    if (nrec == 1) {
        auto *th = static_cast<KOSCVThread *>(gettbl(scv->threads, 0));
        if (prepare_thread(scv, th, 0, table, db) < 0) return -1;
        tb->table_addr = addr;
        if (talk)
            elog_debug(0, "%s: Processing %ld %s records starting at 0x%16.16lX ...\n", fn, n, table,
                       (unsigned long)(uintptr_t)addr);
        int64_t ret = koscv_comp_create_cache(0, n, th);
        if (ret < 0) {
            elog_log(0, "%s: koscv_comp_create_cache() error.\n", fn);
            return -1;
        }
        if (ret > 0) {
            // The same failure as with several workers, so that the result
            // never depends on how many scanned.
            report_bad_row(table, th);
            elog_log(0, "%s: koscv_comp_create_cache(0) database error.\n", fn);
            return -1;
        }
        if (talk) elog_debug(0, "%s: done.\n", fn);
        return merge_thread(scv, tb, th, table);
    }

    Pmtcomp *pool = pmtcomp_create();
    if (!pool) {
        elog_log(0, "%s: pmtcomp_create() error.\n", fn);
        return -1;
    }
    auto fail = [&]() {
        pmtcomp_destroy(pool);
        return -1;
    };
    int64_t slice = n / nrec + 1;
    if (slice < kMinSlice) slice = kMinSlice;
    int64_t offset = 0;
    for (long i = 0; i < nrec; i++) {
        int64_t count = slice;
        if (count > n - offset) count = n - offset;
        if (count < 1) break;
        auto *th = static_cast<KOSCVThread *>(gettbl(scv->threads, i));
        if (prepare_thread(scv, th, (int)i, table, db) < 0) return fail();
        if (pmtcomp_addthread(pool, koscv_comp_create_cache, offset, count, th) < 0) {
            elog_log(0, "%s: pmtcomp_addthread() error.\n", fn);
            return fail();
        }
        offset += count;
    }
    if (talk) elog_debug(0, "%s: Processing %ld %s records...\n", fn, n, table);
    tb->table_addr = addr;
    pmtcomp_processthreads(pool);
    if (talk) elog_debug(0, "%s: done.\n", fn);
    long used = pmtcomp_nthreads(pool);
    for (long i = 0; i < used; i++) {
        auto *pt = static_cast<PmtcompThread *>(gettbl(pool->threads, i));
        auto *th = static_cast<KOSCVThread *>(pt->user_data);
        if (pt->ret < 0) {
            elog_log(0, "%s: koscv_comp_create_cache(%ld) error.\n", fn, i);
            return fail();
        }
        if (pt->ret > 0) {
            report_bad_row(table, th);
            elog_log(0, "%s: koscv_comp_create_cache(%ld) database error.\n", fn, i);
            return fail();
        }
    }
    if (talk) elog_debug(0, "%s: Merging %s records...\n", fn, table);
    for (long i = 0; i < used; i++) {
        auto *th = static_cast<KOSCVThread *>(gettbl(scv->threads, i));
        if (merge_thread(scv, tb, th, table) < 0) return fail();
    }
    if (talk) elog_debug(0, "%s: done.\n", fn);
    pmtcomp_destroy(pool);
    return 0;
}

// ------------------------------------------------------------ opening

Tbl *key_list(const char *a, const char *b, const char *c) { return strtbl(a, b, c, (char *)0); }

// koscv_set_offsets: the table's pointer, record size and the offsets and
// widths of sta, chan, time and endtime in its rows.
int koscv_set_offsets(KOSCV *scv, const char *table, KOSCVTable *tb) {
    tb->db = dblookup(scv->db, nullptr, table, "dbALL", "dbALL");
    if (tb->db.table < 0) {
        elog_log(0, "koscv_create: Cannot lookup %s table for database %s.\n", table, scv->dbname);
        return -1;
    }
    long rs = 0;
    if (dbquery(tb->db, dbRECORD_SIZE, &rs) < 0 || rs < 1) {
        elog_log(0, "koscv_set_offsets: Cannot get the record size of table %s.\n", table);
        return -1;
    }
    tb->record_n = rs;
    struct Want {
        const char *field;
        int64_t *i, *n;
    } want[] = {{"sta", &tb->sta_i, &tb->sta_n},
                {"chan", &tb->chan_i, &tb->chan_n},
                {"time", &tb->time_i, &tb->time_n},
                {"endtime", &tb->endtime_i, &tb->endtime_n}};
    for (const Want &w : want) {
        bool optional = !strcmp(w.field, "endtime");
        int mark = elog_mark();
        Dbptr f = dblookup(scv->db, nullptr, table, w.field, nullptr);
        if (f.field < 0) {
            if (optional) {
                // A table without end times (arrival, detection).
                elog_flush(0, mark);
                *w.i = -1;
                *w.n = 0;
                return 0;
            }
            elog_log(0, "koscv_set_offsets: Cannot lookup %s field in table %s.\n", w.field, table);
            return -1;
        }
        long off = 0, size = 0;
        if (dbquery(f, dbFIELD_INDEX, &off) < 0 || dbquery(f, dbFIELD_SIZE, &size) < 0 || off < 0 || size < 1 ||
            off + size > rs) {
            elog_log(0, "koscv_set_offsets: Cannot get the position of the %s field in table %s.\n", w.field, table);
            return -1;
        }
        // Station and channel names are kept in records of fixed room.
        if ((w.i == &tb->sta_i || w.i == &tb->chan_i) && size >= kNameRoom) {
            elog_log(0, "koscv_set_offsets: %s field of table %s is %ld characters wide, more than %d.\n", w.field,
                     table, size, kNameRoom - 1);
            return -1;
        }
        *w.i = off;
        *w.n = size;
    }
    return 0;
}

// Allocates a table record and stores it under name.
KOSCVTable *new_table(KOSCV *scv, const char *name) {
    auto *tb = static_cast<KOSCVTable *>(calloc(1, sizeof(KOSCVTable)));
    if (!tb) {
        elog_log(1, "koscv_create: malloc(KOSCVTable) error.\n");
        return nullptr;
    }
    tb->endtime_i = -1;
    if (setarr(scv->tables, name, tb) == ARR_FAILED) {
        free(tb);
        elog_log(1, "koscv_create: malloc(KOSCVTable) error.\n");
        return nullptr;
    }
    return tb;
}

void free_table(void *p) {
    auto *tb = static_cast<KOSCVTable *>(p);
    if (!tb) return;
    freetbl(tb->matchlist1, nullptr);
    freetbl(tb->matchlist2, nullptr);
    freetbl(tb->rows, nullptr);
    free_hook(&tb->dbmatches_hook);
    free(tb);
}

// Frees a view and everything it owns; closes its database.
void destroy_view(KOSCV *scv) {
    if (!scv) return;
    free(scv->dbname);
    for (long i = 0; i < maxtbl(scv->threads); i++) {
        auto *th = static_cast<KOSCVThread *>(gettbl(scv->threads, i));
        freetbl(th->rows, nullptr);
        freearr(th->stachans_arr, myfreetsc);
    }
    freetbl(scv->threads, nullptr);
    freearr(scv->tables, free_table);
    freetbl(scv->stachan_accept_cache, free_string);
    freetbl(scv->stachan_reject_cache, free_string);
    freearr(scv->stachans_arr, myfreestachan);
    freetbl(scv->stachans_tbl, nullptr);
    if (scv->db.database >= 0 && dbclose(scv->db) < 0) elog_complain(0, "koscv_destroy: dbclose() error.\n");
    free(scv);
}

// Sets up a new view on an open database; null on failure (the database is
// then closed).
KOSCV *open_view(const char *dbname, Dbptr db, int nthreads) {
    auto *scv = static_cast<KOSCV *>(calloc(1, sizeof(KOSCV)));
    if (!scv) {
        elog_log(1, "koscv_create: malloc(KOSCV) error");
        dbclose(db);
        return nullptr;
    }
    scv->db = db;
    scv->tstart_cache = scv->tend_cache = kNotGiven;
    if (!(scv->dbname = strdup(dbname))) {
        elog_log(1, "koscv_create: malloc(KOSCV) error");
        destroy_view(scv);
        return nullptr;
    }
    if (!(scv->tables = newarr(nullptr))) {
        elog_log(0, "koscv_create: newarr(tables) error.\n");
        destroy_view(scv);
        return nullptr;
    }
    for (const char *name : kScanTables) {
        KOSCVTable *tb = new_table(scv, name);
        if (!tb) {
            destroy_view(scv);
            return nullptr;
        }
        if (koscv_set_offsets(scv, name, tb) < 0) {
            elog_log(0, "koscv_create: koscv_set_offsets (%s) error.\n", name);
            destroy_view(scv);
            return nullptr;
        }
        tb->matchlist1 = key_list("sta", "chan", "time::endtime");
        tb->matchlist2 = !strcmp(name, "wfdisc") ? key_list("sta", "chan", "time::endtime")
                                                 : key_list("sta", "chan", "time");
        tb->rows = newtbl(0);
        if (!tb->matchlist1 || !tb->matchlist2 || !tb->rows) {
            elog_log(1, "koscv_create: newtbl(%s) error.\n", name);
            destroy_view(scv);
            return nullptr;
        }
    }
    KOSCVTable *cal = new_table(scv, "calibration");
    if (!cal) {
        destroy_view(scv);
        return nullptr;
    }
    cal->db = dblookup(db, nullptr, "calibration", "dbALL", "dbALL");
    if (cal->db.table < 0) {
        elog_log(0, "koscv_create: Cannot lookup %s table for database %s.\n", "calibration", dbname);
        destroy_view(scv);
        return nullptr;
    }
    cal->matchlist1 = key_list("sta", "chan", "time::endtime");
    cal->matchlist2 = key_list("sta", "chan", "time::endtime");
    if (!cal->matchlist1 || !cal->matchlist2) {
        elog_log(1, "koscv_create: newtbl(calibration) error.\n");
        destroy_view(scv);
        return nullptr;
    }
    scv->threads = inittbl(nullptr, nthreads, 1, nullptr, sizeof(KOSCVThread));
    if (!scv->threads) {
        elog_log(0, "koscv_create: inittbl(threads) error.\n");
        destroy_view(scv);
        return nullptr;
    }
    KOSCVThread rec;
    memset(&rec, 0, sizeof rec);
    rec.scv = scv;
    rec.bad_record = -1;
    for (int i = 0; i < nthreads; i++) {
        rec.thread = i;
        if (settbl(scv->threads, -1, &rec) < 0) {
            elog_log(0, "koscv_create: inittbl(threads) error.\n");
            destroy_view(scv);
            return nullptr;
        }
    }
    return scv;
}

// Reads a -nthreads value: a whole number from 1 to kMaxThreads.
bool parse_nthreads(const char *s, int *out) {
    if (!s || !*s) return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    while (end && (*end == ' ' || *end == '\t')) end++;
    if (errno || !end || *end || v < 1 || v > kMaxThreads) return false;
    *out = (int)v;
    return true;
}

// Splits an expression option's value into owned words: ':' becomes a
// blank, commas separate.  Null on failure.
Tbl *expression_list(const char *value) {
    std::string v(value);
    for (char &c : v) if (c == ':') c = ' ';
    Tbl *words = split(&v[0], ",");
    if (!words) return nullptr;
    Tbl *out = copy_strings(words);
    freetbl(words, nullptr);
    return out;
}

// Fails with a message unless every expression of list compiles.
int check_expressions(const char *fn, Tbl *list) {
    for (long i = 0; i < maxtbl(list); i++) {
        std::string ex = expression_of(static_cast<const char *>(gettbl(list, i)));
        if (ex.empty()) continue;
        if (strmatches("", ex.c_str(), nullptr) < 0) {
            elog_log(0, "%s: bad expression '%s'.\n", fn, ex.c_str());
            return -1;
        }
    }
    return 0;
}

KOSCV *find_view(const char *fn, char *handle) {
    KOSCV *scv = koscv_get(handle);
    if (!scv) elog_log(0, "%s: koscv_get(%s) error.\n", fn, handle ? handle : "(null)");
    return scv;
}

// free_index: drops the index that matching keeps for a key list of a table.
void free_index(Dbptr db, Tbl *pattern) {
    db.field = dbALL;
    db.record = dbALL;
    if (dbresolve(db) != dbTABLE_PTR) return;
    char *name = dbindex_name(db, pattern);
    if (!name) return;
    Arr *arr = dbindex_arr(db);
    void *index = arr ? delarr(arr, name) : nullptr;
    if (index) dbfree_index(index);
    free(name);
}

int refresh_table(const char *fn, char *handle, const char *table) {
    KOSCV *scv = find_view(fn, handle);
    if (!scv) return -1;
    KOSCVTable *tb = table_of(scv, table);
    if (!tb) return 0;
    free_hook(&tb->dbmatches_hook);
    int mark = elog_mark();
    free_index(tb->db, tb->matchlist2);
    elog_flush(0, mark);
    return 0;
}

// Keeps a window bound inside what a time field of a key row can hold.
double key_time(double t) {
    if (t > kKeyTimeLimit) return kKeyTimeLimit;
    if (t < -kKeyTimeLimit) return -kKeyTimeLimit;
    return t;
}

// ------------------------------------------------------------ traces

// Throws std::bad_alloc when a message after mark says that memory ran out
// (flag 1, the system's ENOMEM text): an engine call whose failure stands
// for an expected answer (a row without a file) must not be taken for it
// then.  The entry's guard reports it.
void throw_if_ran_out(int mark) {
    const char *enomem = strerror(ENOMEM);
    for (int i = mark < 0 ? 0 : mark; i < elog_count(); i++) {
        const char *sys = elog_message_syserr(i);
        if (elog_message_flag(i) == 1 && sys && !strcmp(sys, enomem)) throw std::bad_alloc();
    }
}

float gap_marker() {
    float v;
    trfill_gap(&v, 1);
    return v;
}

int clamp_int(int64_t v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

int add_segment(Tbl *segments, int64_t samp0, int64_t nsamp, int type) {
    KOSCVTraceSegment s{clamp_int(samp0), clamp_int(nsamp), type};
    return settbl(segments, -1, &s) < 0 ? -1 : 0;
}

// koscv_find_good_seg: the run of good samples that begins at or after
// start: its first and last index, or both -10 when none is left.
void koscv_find_good_seg(const float *data, int64_t nsamp, int64_t start, float bad_value, int64_t *is,
                         int64_t *ie) {
    *is = *ie = -10;
    int64_t i = start;
    while (i < nsamp && data[i] == bad_value) i++;
    if (i >= nsamp) return;
    *is = i;
    while (i + 1 < nsamp && data[i + 1] != bad_value) i++;
    *ie = i;
}

// Whether any of n samples equals v (a number, not a NaN).
bool has_value(const float *data, int64_t n, float v) {
    int64_t i = 0;
#if defined(__SSE2__)
    const __m128 vv = _mm_set1_ps(v);
    for (; i + 16 <= n; i += 16) {
        __m128 a = _mm_cmpeq_ps(_mm_loadu_ps(data + i), vv);
        __m128 b = _mm_cmpeq_ps(_mm_loadu_ps(data + i + 4), vv);
        __m128 c = _mm_cmpeq_ps(_mm_loadu_ps(data + i + 8), vv);
        __m128 d = _mm_cmpeq_ps(_mm_loadu_ps(data + i + 12), vv);
        if (_mm_movemask_ps(_mm_or_ps(_mm_or_ps(a, b), _mm_or_ps(c, d)))) return true;
    }
#endif
    for (; i < n; i++)
        if (data[i] == v) return true;
    return false;
}

// Appends the gap and good runs of count samples.
int add_runs(Tbl *segments, const float *data, int64_t count, float bad) {
    // Most traces have no gap: a quick pass finds them, and the run search
    // below handles the rest.
    if (!has_value(data, count, bad)) return count > 0 ? add_segment(segments, 0, count, KOSCV_SEG_GOOD) : 0;
    int64_t start = 0, is, ie;
    do {
        koscv_find_good_seg(data, count, start, bad, &is, &ie);
        if (is < 0) break;
        if (start < is && add_segment(segments, start, is - start, KOSCV_SEG_GAP) < 0) return -1;
        if (add_segment(segments, is, ie - is + 1, KOSCV_SEG_GOOD) < 0) return -1;
        start = ie + 1;
    } while (ie < count - 1);
    if (start == 0) return add_segment(segments, 0, count, KOSCV_SEG_GAP);
    if (start < count) return add_segment(segments, start, count - start, KOSCV_SEG_GAP);
    return 0;
}

// A segment type is one character; the caller's room holds two.
void copy_segtype(char *dst, const char *seg) {
    if (!dst) return;
    dst[0] = seg[0];
    dst[1] = 0;
}

void myfreetracetbl(void *p) { koscv_trace_free(static_cast<KOSCVTrace *>(p)); }

// A cache build in progress: the view's cache (table rows, records, sorted
// keys) is set aside when the build starts.  keep() frees it once the new
// one is whole; otherwise the new one is freed and the old one put back, and
// the worker records are emptied.
class CacheBuild {
public:
    explicit CacheBuild(KOSCV *scv) : scv_(scv) {
        for (size_t i = 0; i < 3; i++) {
            KOSCVTable *tb = table_of(scv, kScanTables[i]);
            rows_[i] = tb ? tb->rows : nullptr;
            if (tb) tb->rows = nullptr;
        }
        arr_ = scv->stachans_arr;
        keys_ = scv->stachans_tbl;
        scv->stachans_arr = nullptr;
        scv->stachans_tbl = nullptr;
    }
    CacheBuild(const CacheBuild &) = delete;
    CacheBuild &operator=(const CacheBuild &) = delete;
    void keep() { kept_ = true; }
    ~CacheBuild() {
        if (!kept_) {
            for (long i = 0; i < maxtbl(scv_->threads); i++)
                release_thread_rows(static_cast<KOSCVThread *>(gettbl(scv_->threads, i)));
        }
        // the cache that is not kept goes: the new one, or the old one
        for (size_t i = 0; i < 3; i++) {
            KOSCVTable *tb = table_of(scv_, kScanTables[i]);
            if (!tb) continue;
            if (kept_) {
                freetbl(rows_[i], nullptr);
            } else {
                freetbl(tb->rows, nullptr);
                tb->rows = rows_[i];
            }
        }
        if (kept_) {
            freearr(arr_, myfreestachan);
            freetbl(keys_, nullptr);
        } else {
            freearr(scv_->stachans_arr, myfreestachan);
            freetbl(scv_->stachans_tbl, nullptr);
            scv_->stachans_arr = arr_;
            scv_->stachans_tbl = keys_;
        }
    }

private:
    KOSCV *scv_;
    Tbl *rows_[3];
    Arr *arr_;
    Tbl *keys_;
    bool kept_ = false;
};

// Copies a string into a record field of n bytes.
void set_name(char *dst, size_t n, const char *src, size_t len) {
    if (len >= n) len = n - 1;
    memcpy(dst, src, len);
    dst[len] = 0;
}

// Whether a message after mark says that memory ran out.
bool memory_failure_since(int mark) {
    const char *enomem = strerror(ENOMEM);
    for (int i = mark; i < elog_count(); i++)
        if (elog_message_flag(i) && !strcmp(elog_message_syserr(i), enomem)) return true;
    return false;
}

// The SEED name of a pair into nscl (128 bytes); needs no memory of its
// own.  0, or -1 when the lookups failed for want of memory (their
// messages stay registered; nscl is then empty).
int nscl_of(KOSCV *scv, const char *sta, const char *chan, char *nscl) {
    if (!nscl) return 0;
    nscl[0] = 0;
    if (!scv || !sta || !chan) return 0;
    char snet[64] = "", ssta[64] = "", schan[64] = "", sloc[64] = "";
    // The lookups' own messages about unknown codes are dropped: a pair
    // without SEED codes keeps its own.
    int mark = elog_mark();
    dbseed_net(scv->db, sta, snet, ssta);
    if (memory_failure_since(mark)) return -1;
    elog_flush(0, mark);
    dbseed_loc(scv->db, sta, chan, schan, sloc);
    if (memory_failure_since(mark)) return -1;
    elog_flush(0, mark);
    bool loc = sloc[0] && strcmp(sloc, "-");
    char name[4 * 64 + 4];
    int len = snprintf(name, sizeof name, "%s_%s_%s%s%s", snet, ssta, schan, loc ? "_" : "", loc ? sloc : "");
    set_name(nscl, 128, name, len < 0 ? 0 : (size_t)len);
    return 0;
}

}  // namespace

extern "C" {

// ------------------------------------------------------------ views

KOSCV *koscv_get(char *handle) {
    std::lock_guard<std::mutex> lk(koscv_mutex);
    if (!koscv_reg.array()) {
        elog_log(0, "koscv_get: No scvs");
        return nullptr;
    }
    auto *scv = static_cast<KOSCV *>(koscv_reg.find(handle));
    if (!scv) elog_log(0, "koscv_get: Cannot find %s", handle ? handle : "(null)");
    return scv;
}

static int koscv_create_unguarded(int argc, char **argv, char *handle) {
    if (argc <= 0 || !argv) {
        elog_log(0, "%s", kUsage);
        return -1;
    }
    for (int i = 0; i < argc; i++)
        if (!argv[i]) {
            elog_log(0, "%s", kUsage);
            return -1;
        }
    if (!handle) {
        elog_log(0, "koscv_create: handle cannot be NULL\n");
        return -1;
    }
    double tstart = kNotGiven, tend = kNotGiven;
    int nthreads = 1;
    Tbl *accept = nullptr, *reject = nullptr;
    auto fail = [&]() {
        freetbl(accept, free_string);
        freetbl(reject, free_string);
        return -1;
    };
    int i = 0;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *opt = argv[i];
        if (!strcmp(opt, "-v")) {
            verbose.store(1);
            continue;
        }
        bool known = !strcmp(opt, "-tstart") || !strcmp(opt, "-tend") || !strcmp(opt, "-stachan_accept") ||
                     !strcmp(opt, "-stachan_reject") || !strcmp(opt, "-nthreads");
        if (!known) {
            elog_log(0, "koscv_create: Unrecognized option %s\n", opt);
            return fail();
        }
        if (i + 1 >= argc) {
            elog_log(0, "koscv_create: Need %s argument.\n", opt);
            return fail();
        }
        const char *val = argv[++i];
        if (!strcmp(opt, "-tstart") || !strcmp(opt, "-tend")) {
            double t;
            if (zstr2epoch_r(val, &t) < 0 || !std::isfinite(t)) {
                elog_log(0, "koscv_create: Unable to parse %s argument '%s'.\n", opt, val);
                return fail();
            }
            (opt[2] == 's' ? tstart : tend) = t;
        } else if (!strcmp(opt, "-nthreads")) {
            if (!parse_nthreads(val, &nthreads)) {
                elog_log(0, "koscv_create: -nthreads argument '%s' is not a whole number from 1 to %d.\n", val,
                         kMaxThreads);
                return fail();
            }
        } else {
            Tbl *&list = !strcmp(opt, "-stachan_accept") ? accept : reject;
            freetbl(list, free_string);
            if (!(list = expression_list(val))) {
                elog_log(1, "koscv_create: split(%s) error.\n", opt);
                return fail();
            }
        }
    }
    if (i >= argc) {
        elog_log(0, "koscv_create: Need dbname argument.\n");
        return fail();
    }
    if (argc - i > 1) {
        elog_log(0, "koscv_create: Unrecognized arguments.\n");
        return fail();
    }
    const char *dbname = argv[i];

    char tag[64];
    {
        std::lock_guard<std::mutex> lk(koscv_mutex);
        Dbptr db;
        if (dbopen(dbname, "r+", &db) < 0) {
            elog_log(1, "koscv_create: dbopen(%s) error.\n", dbname);
            return fail();
        }
        if (koscv_reg.ensure("koscv_create") < 0) {
            dbclose(db);
            return fail();
        }
        KOSCV *scv = open_view(dbname, db, nthreads);
        if (!scv) return fail();
        if (koscv_reg.add("koscv_create", scv, tag) < 0) {
            destroy_view(scv);
            return fail();
        }
        strcpy(handle, tag);
    }
    // An empty list given here removes nothing that was there: a new view
    // has no filters yet.
    int rc = koscv_subset_cache(handle, accept, reject, tstart, tend);
    freetbl(accept, free_string);
    freetbl(reject, free_string);
    if (rc < 0) {
        elog_log(0, "koscv_create: koscv_subset_cache(%s) error.\n", tag);
        return -1;
    }
    return 0;
}

static int koscv_subset_cache_unguarded(char *handle, Tbl *stachan_accept, Tbl *stachan_reject, double tstart,
                                        double tend) {
    KOSCV *scv = find_view("koscv_subset_cache", handle);
    if (!scv) return -1;
    if (check_expressions("koscv_subset_cache", stachan_accept) < 0 ||
        check_expressions("koscv_subset_cache", stachan_reject) < 0)
        return -1;
    // Copies are made before the old lists go, so a caller may pass the
    // view's own lists back.  The old filters are kept until the cache is
    // rebuilt with the new ones: a failed rebuild leaves the view as it was.
    struct Slot {
        Tbl *given;
        Tbl **kept;
        const char *what;
        Tbl *copy;
        bool set;
    } slots[] = {{stachan_accept, &scv->stachan_accept_cache, "stachan_accept_cache", nullptr, false},
                 {stachan_reject, &scv->stachan_reject_cache, "stachan_reject_cache", nullptr, false}};
    for (Slot &s : slots) {
        if (!s.given) continue;
        if (maxtbl(s.given) > 0 && !(s.copy = copy_strings(s.given))) {
            elog_log(0, "koscv_subset_cache: newtbl(%s) error.\n", s.what);
            for (Slot &o : slots) freetbl(o.copy, free_string);
            return -1;
        }
        s.set = true;
    }
    double old_tstart = scv->tstart_cache, old_tend = scv->tend_cache;
    for (Slot &s : slots)
        if (s.set) std::swap(*s.kept, s.copy);  // s.copy: the old list now
    if (tstart < kKeepLimit) scv->tstart_cache = tstart;
    if (tend < kKeepLimit) scv->tend_cache = tend;
    if (koscv_create_cache(handle) < 0) {
        for (Slot &s : slots)
            if (s.set) std::swap(*s.kept, s.copy);
        for (Slot &s : slots) freetbl(s.copy, free_string);
        scv->tstart_cache = old_tstart;
        scv->tend_cache = old_tend;
        elog_log(0, "koscv_subset_cache: koscv_create_cache(%s) error.\n", handle);
        return -1;
    }
    for (Slot &s : slots) freetbl(s.copy, free_string);
    return 0;
}

static int koscv_create_cache_unguarded(char *handle) {
    KOSCV *scv = find_view("koscv_create_cache", handle);
    if (!scv) return -1;
    BuildFilters filters;
    if (filters.accept.compile("koscv_create_cache", scv->stachan_accept_cache) < 0 ||
        filters.reject.compile("koscv_create_cache", scv->stachan_reject_cache) < 0)
        return -1;
    FiltersInUse published(scv, &filters);
    CacheBuild build(scv);
    for (const char *name : kScanTables) {
        KOSCVTable *tb = table_of(scv, name);
        if (!tb) continue;
        if (!(tb->rows = newtbl(0))) {
            elog_log(0, "koscv_create_cache: newtbl(scvtb[%s]->rows) error.\n", name);
            return -1;
        }
    }
    if (!(scv->stachans_arr = newarr(nullptr))) {
        elog_log(0, "koscv_create_cache: newarr(stachans_arr) error.\n");
        return -1;
    }
    for (const char *name : kScanTables) {
        if (koscv_create_cache_process_threads(scv, name) < 0) {
            elog_log(0, "koscv_create_cache: koscv_create_cache_process_threads (%s) error.\n", name);
            return -1;
        }
    }
    Tbl *keys = keysarr(scv->stachans_arr);
    if (!keys) {
        elog_log(0, "koscv_create_cache: keysarr(stachans_arr) error.\n");
        return -1;
    }
    sorttbl(keys, mycompare, nullptr);
    for (long i = 0; i < maxtbl(keys); i++) {
        const char *key = static_cast<const char *>(gettbl(keys, i));
        auto *sc = static_cast<KOSCVStaChan *>(getarr(scv->stachans_arr, key));
        const char *blank = strchr(key, ' ');
        size_t sl = blank ? (size_t)(blank - key) : strlen(key);
        set_name(sc->stachan, sizeof sc->stachan, key, strlen(key));
        set_name(sc->sta, sizeof sc->sta, key, sl);
        set_name(sc->chan, sizeof sc->chan, blank ? blank + 1 : "", blank ? strlen(blank + 1) : 0);
    }
    scv->stachans_tbl = keys;
    build.keep();
    return 0;
}

void koscv_get_nscl(KOSCV *scv, char *sta, char *chan, char *nscl) { nscl_of(scv, sta, chan, nscl); }

int koscv_destroy(char *handle) {
    KOSCV *scv;
    {
        std::lock_guard<std::mutex> lk(koscv_mutex);
        scv = static_cast<KOSCV *>(koscv_reg.remove(handle));
    }
    if (!scv) {
        elog_log(0, "koscv_destroy: Cannot find KOSCV for handle %s.\n", handle ? handle : "(null)");
        return -1;
    }
    destroy_view(scv);
    return 0;
}

// ------------------------------------------------------------ subsets

void koscv_free_stachan(KOSCVStaChan *sc) { myfreestachan(sc); }

static int koscv_subset_unguarded(char *handle, char *stachan, double tstart, double tend, int getwf, int getarrivel,
                 int getdetection, KOSCVStaChan **sc) {
    if (!stachan) {
        elog_log(0, "koscv_subset: stachan cannot be set to NULL\n");
        return -1;
    }
    if (!sc) {
        elog_log(0, "koscv_subset: sc cannot be set to NULL\n");
        return -1;
    }
    if (std::isnan(tstart) || std::isnan(tend)) {
        elog_log(0, "koscv_subset: window bound is not a number.\n");
        return -1;
    }
    KOSCV *scv = find_view("koscv_subset", handle);
    if (!scv) return -1;
    if (!*sc && !(*sc = static_cast<KOSCVStaChan *>(calloc(1, sizeof(KOSCVStaChan))))) {
        elog_log(1, "koscv_subset: malloc (KOSCVStaChan) error.\n");
        return -1;
    }
    KOSCVStaChan *out = *sc;
    freetbl(out->wfdiscrows, nullptr);
    freetbl(out->arrivalrows, nullptr);
    freetbl(out->detectionrows, nullptr);
    out->wfdiscrows = out->arrivalrows = out->detectionrows = nullptr;
    // The record's station lookups may be for another station now.
    free_hook(&out->dbmatches_hook);

    const KOSCVStaChan *cached =
        scv->stachans_arr ? static_cast<const KOSCVStaChan *>(getarr(scv->stachans_arr, stachan)) : nullptr;
    if (!cached) {
        memset(out, 0, sizeof *out);
        const char *blank = strchr(stachan, ' ');
        size_t sl = blank ? (size_t)(blank - stachan) : strlen(stachan);
        set_name(out->stachan, sizeof out->stachan, stachan, strlen(stachan));
        set_name(out->sta, sizeof out->sta, stachan, sl);
        if (blank) set_name(out->chan, sizeof out->chan, blank + 1, strlen(blank + 1));
        out->wfdiscrows = newtbl(0);
        out->arrivalrows = newtbl(0);
        out->detectionrows = newtbl(0);
        if (!out->wfdiscrows || !out->arrivalrows || !out->detectionrows) {
            elog_log(1, "koscv_subset: newtbl() error.\n");
            return -1;
        }
        return 0;
    }
    memcpy(out, cached, sizeof *out);
    out->dbmatches_hook = nullptr;
    out->wfdiscrows = out->arrivalrows = out->detectionrows = nullptr;

    KOSCVTable *wf = table_of(scv, "wfdisc");
    if (!wf) {
        elog_log(0, "koscv_subset: no wfdisc table.\n");
        return -1;
    }
    Dbptr scratch = dblookup(wf->db, nullptr, nullptr, nullptr, "dbSCRATCH");
    if (dbputv(scratch, nullptr, "sta", out->sta, "chan", out->chan, "time", key_time(tstart), "endtime",
               key_time(tend), (char *)0) < 0) {
        elog_log(0, "koscv_subset: dbputv() error.\n");
        return -1;
    }
    struct Want {
        int flag;
        const char *table;
        Tbl **list;
    } want[] = {{getwf, "wfdisc", &out->wfdiscrows},
                {getarrivel, "arrival", &out->arrivalrows},
                {getdetection, "detection", &out->detectionrows}};
    for (const Want &w : want) {
        if (!w.flag) continue;
        KOSCVTable *tb = table_of(scv, w.table);
        if (!tb || dbmatches(scratch, tb->db, &tb->matchlist1, &tb->matchlist2, &tb->dbmatches_hook, w.list) < 0) {
            elog_log(0, "koscv_subset: dbmatches() error.\n");
            return -1;
        }
    }
    return 0;
}

static int koscv_get_latlonelev_unguarded(KOSCV *scv, KOSCVStaChan *sc, double time, double *lat, double *lon,
                                          double *elev) {
    if (!scv || !sc || !lat || !lon || !elev) {
        elog_log(0, "koscv_get_latlonelev: null argument.\n");
        return -1;
    }
    *lat = -999.0;
    *lon = -999.0;
    Dbptr site = dblookup(scv->db, nullptr, "site", nullptr, nullptr);
    if (site.table < 0) {
        elog_log(0, "koscv_get_latlonelev: Cannot lookup site table.\n");
        return -1;
    }
    long day = yearday(time);
    Dbptr scratch = dblookup(site, nullptr, nullptr, nullptr, "dbSCRATCH");
    if (dbputv(scratch, nullptr, "sta", sc->sta, "ondate", day, "offdate", day, (char *)0) < 0) {
        elog_log(0, "koscv_get_latlonelev: dbputv() error.\n");
        return -1;
    }
    Tbl *list = nullptr;
    site.record = dbALL;
    if (dbmatches(scratch, site, nullptr, nullptr, &sc->dbmatches_hook, &list) < 0) {
        freetbl(list, nullptr);
        elog_log(0, "koscv_get_latlonelev: dbmatches() error.\n");
        return -1;
    }
    int rc = 0;
    if (maxtbl(list) > 0) {
        Dbptr row = site;
        row.record = as_record(gettbl(list, 0));
        double la, lo, el;
        if (dbgetv(row, nullptr, "lat", &la, "lon", &lo, "elev", &el, (char *)0) < 0) {
            elog_log(0, "koscv_get_latlonelev: dbgetv() error.\n");
            rc = -1;
        } else {
            *lat = la;
            *lon = lo;
            *elev = el;
        }
    }
    freetbl(list, nullptr);
    return rc;
}

static int koscv_get_sampratecalib_unguarded(KOSCV *scv, KOSCVStaChan *sc, Dbptr dbwfdisc, int calib_from_db,
                                             double *samprate, double *calib, double *calper, char *segtype) {
    if (!scv || !sc) {
        elog_log(0, "koscv_get_sampratecalib: null argument.\n");
        return -1;
    }
    double sr, ca, cp, t0, t1;
    char seg[32];
    if (dbgetv(dbwfdisc, nullptr, "samprate", &sr, "calib", &ca, "calper", &cp, "segtype", seg, "time", &t0,
               "endtime", &t1, (char *)0) < 0) {
        elog_log(0, "koscv_get_sampratecalib: dbgetv() error.\n");
        return -1;
    }
    if (samprate) *samprate = sr;
    if (calib) *calib = ca;
    if (calper) *calper = cp;
    copy_segtype(segtype, seg);
    if (!calib_from_db || ca != 0.0) return 0;
    KOSCVTable *wf = table_of(scv, "wfdisc"), *cal = table_of(scv, "calibration");
    if (!wf || !cal) {
        elog_log(0, "koscv_get_sampratecalib: dbmatches() error.\n");
        return -1;
    }
    Dbptr scratch = dblookup(wf->db, nullptr, nullptr, nullptr, "dbSCRATCH");
    Tbl *list = nullptr;
    if (dbputv(scratch, nullptr, "sta", sc->sta, "chan", sc->chan, "time", t0, "endtime", t1, (char *)0) < 0 ||
        dbmatches(scratch, cal->db, &cal->matchlist1, &cal->matchlist2, &cal->dbmatches_hook, &list) < 0) {
        freetbl(list, nullptr);
        elog_log(0, "koscv_get_sampratecalib: dbmatches() error.\n");
        return -1;
    }
    int rc = 0;
    if (maxtbl(list) > 0) {
        Dbptr row = cal->db;
        row.record = as_record(gettbl(list, 0));
        if (dbgetv(row, nullptr, "calib", &ca, "calper", &cp, "segtype", seg, (char *)0) < 0) {
            elog_log(0, "koscv_get_sampratecalib: dbgetv() error.\n");
            rc = -1;
        } else {
            if (calib) *calib = ca;
            if (calper) *calper = cp;
            copy_segtype(segtype, seg);
        }
    }
    freetbl(list, nullptr);
    return rc;
}

int koscv_subset_refresh_wfdisc(char *handle) {
    return refresh_table("koscv_subset_refresh_wfdisc", handle, "wfdisc");
}

int koscv_subset_refresh_arrival(char *handle) {
    return refresh_table("koscv_subset_refresh_arrival", handle, "arrival");
}

int koscv_subset_refresh_detection(char *handle) {
    return refresh_table("koscv_subset_refresh_detection", handle, "detection");
}

int koscv_subset_refresh(char *handle) {
    KOSCV *scv = find_view("koscv_subset_refresh", handle);
    if (!scv) return -1;
    for (const char *name : kScanTables) {
        KOSCVTable *tb = table_of(scv, name);
        if (!tb) continue;
        free_hook(&tb->dbmatches_hook);
        int mark = elog_mark();
        free_index(tb->db, tb->matchlist2);
        elog_flush(0, mark);
    }
    return 0;
}

// ------------------------------------------------------------ traces

void koscv_trace_free(KOSCVTrace *trace) {
    if (!trace) return;
    free(trace->data);
    freetbl(trace->segments, nullptr);
    free(trace);
}

void koscv_trace_free_table(Tbl *trace_tbl) {
    if (!trace_tbl) return;
    freetbl(trace_tbl, myfreetracetbl);
}

static int koscv_trace_get_table_unguarded(KOSCV *scv, KOSCVStaChan *sc, double tstart, double tend, int read_flags,
                          int calib_from_db, Tbl **trace_tbl) {
    static const char *fn = "koscv_trace_get_table";
    if (!scv || !sc || !trace_tbl) {
        elog_log(0, "%s: null argument.\n", fn);
        return -1;
    }
    if (std::isnan(tstart) || std::isnan(tend)) {
        elog_log(0, "%s: window bound is not a number.\n", fn);
        return -1;
    }
    const float bad = gap_marker();
    KOSCVTable *wf = table_of(scv, "wfdisc"), *cal = table_of(scv, "calibration");
    if (!wf || !cal) {
        elog_log(0, "%s: the view has no wfdisc or calibration table.\n", fn);
        return -1;
    }
    Dbptr scratch = dblookup(wf->db, nullptr, nullptr, nullptr, "dbSCRATCH");
    if (*trace_tbl) {
        koscv_trace_free_table(*trace_tbl);
        *trace_tbl = nullptr;
    }
    if (!(*trace_tbl = newtbl(0))) {
        elog_log(0, "%s: newtbl() error.\n", fn);
        return -1;
    }
    Tbl *table = *trace_tbl;
    for (long k = 0; k < maxtbl(sc->wfdiscrows); k++) {
        Dbptr row = wf->db;
        row.field = dbALL;
        row.record = as_record(gettbl(sc->wfdiscrows, k));
        double time, endtime;
        if (dbgetv(row, nullptr, "time", &time, "endtime", &endtime, (char *)0) < 0) {
            elog_log(0, "%s: dbgetv() error.\n", fn);
            return -1;
        }
        if (tstart != 0.0 && tstart > endtime) continue;
        if (tend != 0.0 && time > tend) continue;
        auto *tr = static_cast<KOSCVTrace *>(calloc(1, sizeof(KOSCVTrace)));
        if (!tr) {
            elog_log(1, "%s: malloc(trace) error.\n", fn);
            return -1;
        }
        if (pushtbl(table, tr) < 0) {
            free(tr);
            elog_log(1, "%s: malloc(trace) error.\n", fn);
            return -1;
        }
        tr->db = row;
        tr->tstart = (tstart != 0.0 && time < tstart) ? tstart : time;
        tr->tend = (tend != 0.0 && endtime > tend) ? tend : endtime;
        double rate;
        long nsamp;
        char seg[32];
        if (dbgetv(row, nullptr, "calib", &tr->calib, "calper", &tr->calper, "samprate", &rate, "nsamp", &nsamp,
                   "segtype", seg, (char *)0) < 0) {
            elog_log(0, "%s: dbgetv() error.\n", fn);
            return -1;
        }
        tr->nsamp = nsamp;
        tr->dt = 1.0 / rate;
        snprintf(tr->data_type, sizeof tr->data_type, "%s", seg);
        if (calib_from_db && tr->calib == 0.0) {
            Tbl *list = nullptr;
            if (dbputv(scratch, nullptr, "sta", sc->sta, "chan", sc->chan, "time", key_time(tr->tstart), "endtime",
                       key_time(tr->tend), (char *)0) < 0 ||
                dbmatches(scratch, cal->db, &cal->matchlist1, &cal->matchlist2, &cal->dbmatches_hook, &list) < 0) {
                freetbl(list, nullptr);
                elog_log(0, "%s: dbmatches() error.\n", fn);
                return -1;
            }
            if (maxtbl(list) > 0) {
                Dbptr crow = cal->db;
                crow.record = as_record(gettbl(list, 0));
                if (dbgetv(crow, nullptr, "calib", &tr->calib, "calper", &tr->calper, "segtype", seg, (char *)0) < 0) {
                    freetbl(list, nullptr);
                    elog_log(0, "%s: dbgetv() error.\n", fn);
                    return -1;
                }
                snprintf(tr->data_type, sizeof tr->data_type, "%s", seg);
            }
            freetbl(list, nullptr);
        }
        tr->segments = inittbl(nullptr, 4, 1, nullptr, sizeof(KOSCVTraceSegment));
        if (!tr->segments) {
            elog_log(0, "%s: inittbl(trace->segments) error.\n", fn);
            return -1;
        }
        if (add_segment(tr->segments, 0, tr->nsamp, KOSCV_SEG_ROW) < 0) {
            elog_log(1, "%s: settbl(trace->segments) error.\n", fn);
            return -1;
        }
        if (read_flags == 0) continue;
        char path[FILENAME_MAX];
        int mark = elog_mark();
        int ext = dbextfile(row, "wfdisc", path);
        if (ext < 0) throw_if_ran_out(mark);
        elog_flush(0, mark);
        if (ext < 1) {
            if (add_segment(tr->segments, 0, tr->nsamp, KOSCV_SEG_NOFILE) < 0) {
                elog_log(1, "%s: settbl(trace->segments) error.\n", fn);
                return -1;
            }
            continue;
        }
        if (read_flags == 1) continue;
        float *data = nullptr;
        long size = 0, count = 0;
        double t0 = 0, t1 = 0;
        double upto = tr->tend + (std::isfinite(tr->dt) ? 0.1 * tr->dt : 0.0);
        int ret = trgetwf(row, &data, &size, tr->tstart, upto, &t0, &t1, &count);
        if (ret < 0) {
            free(data);
            trgetwf_error(ret, row);
            elog_log(0, "%s: trgetwf() returns %d.", fn, ret);
            return -1;
        }
        if (count <= 0) {
            // No sample lies in the window (it falls between two samples).
            free(data);
            tr->nsamp = 0;
            continue;
        }
        if (count > INT_MAX / (long)sizeof(float)) {
            free(data);
            elog_log(0, "%s: %ld samples are too many for one trace.\n", fn, count);
            return -1;
        }
        tr->tstart = t0;
        tr->tend = t1;
        tr->nsamp = count;
        tr->data = data;
        tr->data_size = (int)(count * (long)sizeof(float));
        if (add_runs(tr->segments, data, count, bad) < 0) {
            elog_log(1, "%s: settbl(trace->segments) error.\n", fn);
            return -1;
        }
    }
    return 0;
}

int koscv_trace_process_gaps(Tbl *trace_tbl, char *how) {
    if (!how || !strcmp(how, "none")) return 0;
    const float bad = gap_marker();
    if (strcmp(how, "zero")) return 0;
    for (long k = 0; k < maxtbl(trace_tbl); k++) {
        auto *tr = static_cast<KOSCVTrace *>(gettbl(trace_tbl, k));
        if (!tr) continue;
        if (tr->data)
            for (int64_t i = 0; i < tr->nsamp; i++)
                if (tr->data[i] == bad) tr->data[i] = 0.0f;
        Tbl *segs = inittbl(nullptr, 1, 1, nullptr, sizeof(KOSCVTraceSegment));
        if (!segs || add_segment(segs, 0, tr->nsamp, KOSCV_SEG_GOOD) < 0) {
            freetbl(segs, nullptr);
            elog_log(0, "koscv_trace_process_gaps: inittbl(trace->segments) error.\n");
            return -1;
        }
        freetbl(tr->segments, nullptr);
        tr->segments = segs;
    }
    return 0;
}

// The engine's calls and the standard containers may throw when memory runs
// out: each operation turns that into its failure result with a message, so
// that no exception crosses the C interface.
static int out_of_memory(const char *fname) {
    elog_log(1, "%s: out of memory.\n", fname);
    return -1;
}

int koscv_create(int argc, char **argv, char *handle) {
    try {
        return koscv_create_unguarded(argc, argv, handle);
    } catch (...) {
        return out_of_memory("koscv_create");
    }
}

int koscv_subset_cache(char *handle, Tbl *stachan_accept, Tbl *stachan_reject, double tstart, double tend) {
    try {
        return koscv_subset_cache_unguarded(handle, stachan_accept, stachan_reject, tstart, tend);
    } catch (...) {
        return out_of_memory("koscv_subset_cache");
    }
}

int koscv_create_cache(char *handle) {
    try {
        return koscv_create_cache_unguarded(handle);
    } catch (...) {
        return out_of_memory("koscv_create_cache");
    }
}

int koscv_subset(char *handle, char *stachan, double tstart, double tend, int getwf, int getarrivel,
                 int getdetection, KOSCVStaChan **sc) {
    try {
        return koscv_subset_unguarded(handle, stachan, tstart, tend, getwf, getarrivel, getdetection, sc);
    } catch (...) {
        return out_of_memory("koscv_subset");
    }
}

int koscv_get_latlonelev(KOSCV *scv, KOSCVStaChan *sc, double time, double *lat, double *lon, double *elev) {
    try {
        return koscv_get_latlonelev_unguarded(scv, sc, time, lat, lon, elev);
    } catch (...) {
        return out_of_memory("koscv_get_latlonelev");
    }
}

int koscv_trace_get_table(KOSCV *scv, KOSCVStaChan *sc, double tstart, double tend, int read_flags,
                          int calib_from_db, Tbl **trace_tbl) {
    try {
        return koscv_trace_get_table_unguarded(scv, sc, tstart, tend, read_flags, calib_from_db, trace_tbl);
    } catch (...) {
        return out_of_memory("koscv_trace_get_table");
    }
}

int koscv_get_sampratecalib(KOSCV *scv, KOSCVStaChan *sc, Dbptr dbwfdisc, int calib_from_db, double *samprate,
                            double *calib, double *calper, char *segtype) {
    try {
        return koscv_get_sampratecalib_unguarded(scv, sc, dbwfdisc, calib_from_db, samprate, calib, calper, segtype);
    } catch (...) {
        return out_of_memory("koscv_get_sampratecalib");
    }
}

}  // extern "C"
