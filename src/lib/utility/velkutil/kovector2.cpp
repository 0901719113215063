/*
 * kovector2 -- plot vectors for displays and analysis tools: point series
 * with labels and time-sampled series, with a handle registry, a best-fit
 * cache of released records, editing, evaluation, statistics and transforms.
 *
 * Every allocation goes through the kv_* wrappers below: they keep the
 * family's allocation counters and let tests make allocations fail on demand.
 * Growth never leaves a capacity field describing memory the vector does not
 * hold: a failed reallocation leaves the old buffer and its sizes in place.
 */
#include "kovector2.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "koregistry_pvt.h"
#include "tr.h"
#include "tt.h"

namespace {

const char kIdent[8] = {'k', 'o', 'v', 'e', 'c', '2', 0, 0};

KORegistry kovector2_reg("vect%d", KORegistry::COUNT_THEN_INCREMENT, "vectors", "kovec2", 8);

Tbl *kovector2_cache = nullptr;
long kovector2_cache_max_size = 0;
long kovector2_cache_size = 0;
long kovector2_nmallocs = 0;
long kovector2_nreallocs = 0;
long kovector2_nfrees = 0;
long kovector2_nstrdups = 0;

// Test support: allocations to let through, then allocations to fail.
int pass_allocations = 0;
int fail_allocations = 0;

// The tag each registered record is filed under, so that releasing a record
// finds its registry entry without walking every key.  Never destroyed: a
// caller may release vectors from its own exit handlers.
std::unordered_map<const KOVector2 *, std::string> &registered_tags() {
    static auto *m = new std::unordered_map<const KOVector2 *, std::string>;
    return *m;
}

// A set of record addresses with open addressing: membership tests and
// updates without an allocation per record, so that the cache's own
// bookkeeping costs less than the allocations it saves.
class RecordSet {
public:
    bool count(const void *p) const {
        if (slots_.empty()) return false;
        for (size_t i = home(p);; i = (i + 1) & mask()) {
            if (slots_[i] == p) return true;
            if (slots_[i] == kEmpty) return false;
        }
    }
    void insert(const void *p) {  // may throw std::bad_alloc
        if (count(p)) return;
        if ((used_ + tombs_ + 1) * 2 > slots_.size()) rehash(used_ * 4 + 16 > slots_.size() * 2 ? slots_.size() * 2 : slots_.size());
        size_t i = home(p);
        while (slots_[i] != kEmpty && slots_[i] != kTomb) i = (i + 1) & mask();
        if (slots_[i] == kTomb) tombs_--;
        slots_[i] = p;
        used_++;
    }
    void erase(const void *p) {
        if (slots_.empty()) return;
        for (size_t i = home(p);; i = (i + 1) & mask()) {
            if (slots_[i] == p) {
                slots_[i] = kTomb;
                used_--;
                tombs_++;
                return;
            }
            if (slots_[i] == kEmpty) return;
        }
    }

private:
    static constexpr const void *kEmpty = nullptr;
    static const void *const kTomb;
    size_t mask() const { return slots_.size() - 1; }
    size_t home(const void *p) const {
        return (size_t)(((uintptr_t)p >> 4) * 0x9E3779B97F4A7C15ULL >> 7) & mask();
    }
    void rehash(size_t n) {
        if (n < 16) n = 16;
        std::vector<const void *> old(n, kEmpty);
        old.swap(slots_);
        used_ = tombs_ = 0;
        for (const void *p : old)
            if (p != kEmpty && p != kTomb) {
                size_t i = home(p);
                while (slots_[i] != kEmpty) i = (i + 1) & mask();
                slots_[i] = p;
                used_++;
            }
    }
    std::vector<const void *> slots_;
    size_t used_ = 0, tombs_ = 0;
};
const void *const RecordSet::kTomb = &RecordSet::kTomb;

// Records now in the cache list (the list keeps the order; this answers
// "already cached?" without a scan).
RecordSet &cached_records() {
    static auto *s = new RecordSet;
    return *s;
}

// The last handle found, so that a loop working on one vector skips the
// registry search.  Cleared whenever that record leaves the registry.
struct LastHit {
    char handle[64];
    KOVector2 *v;
} last_hit = {{0}, nullptr};

bool must_fail() {
    if (fail_allocations <= 0) return false;
    if (pass_allocations > 0) {
        pass_allocations--;
        return false;
    }
    fail_allocations--;
    errno = ENOMEM;
    return true;
}

void *kv_malloc(size_t n) {
    if (must_fail()) return nullptr;
    void *p = malloc(n ? n : 1);
    if (p) kovector2_nmallocs++;
    return p;
}

void *kv_calloc(size_t n) {
    if (must_fail()) return nullptr;
    void *p = calloc(1, n ? n : 1);
    if (p) kovector2_nmallocs++;
    return p;
}

void *kv_realloc(void *old, size_t n) {
    if (must_fail()) return nullptr;
    void *p = realloc(old, n ? n : 1);
    if (p) kovector2_nreallocs++;
    return p;
}

char *kv_strdup(const char *s) {
    if (must_fail()) return nullptr;
    char *p = strdup(s);
    if (p) kovector2_nstrdups++;
    return p;
}

void kv_free(void *p) {
    if (!p) return;
    free(p);
    kovector2_nfrees++;
}

bool is_live(const KOVector2 *v) { return v && strncmp(v->ident, kIdent, sizeof v->ident) == 0; }

long stride_of(const KOVector2 *v) { return v->is_timeseries ? 1 : (long)v->y_size + 1; }

// Element (i, 0) is x, (i, k + 1) is y value k.
double *row(const KOVector2 *v, long i) { return v->dblbuf + i * stride_of(v); }

long nslots(const KOVector2 *v) { return v->lblbuf ? v->lblbuf_size / (long)sizeof(char *) : 0; }

const char *label_at(const KOVector2 *v, long i) { return i < nslots(v) ? v->lblbuf[i] : nullptr; }

void set_tag(KOVector2 *v, const char *tag) {
    char t[sizeof v->tag] = {0};
    if (tag) memcpy(t, tag, strnlen(tag, sizeof v->tag - 1));
    memcpy(v->tag, t, sizeof t);
}

// heap_size is an int; a change that would overflow it is refused as too
// large, like a buffer of 2^31 bytes or more.
bool heap_fits(const KOVector2 *v, long growth) { return (long)v->heap_size + growth <= INT_MAX; }

KOVector2 *lookup(const char *fname, char *handle) {
    KOVector2 *v = kovector2_get_vector(handle);
    if (!v) elog_log(0, "%s: kovector2_get_vector() error.\n", fname);
    return v;
}

// Files v under a new tag in handle; -1 (handle emptied, v left alone) if
// memory ran out on the way.
int register_vector(const char *fname, KOVector2 *v, char *handle) {
    if (kovector2_reg.add(fname, v, handle) < 0) return -1;
    try {
        registered_tags()[v] = handle;
    } catch (...) {
        kovector2_reg.remove(handle);
        handle[0] = '\0';
        elog_log(1, "%s: malloc() error.\n", fname);
        return -1;
    }
    return 0;
}

void unregister_vector(const KOVector2 *v) {
    auto &tags = registered_tags();
    auto it = tags.find(v);
    if (it == tags.end()) return;
    kovector2_reg.remove(it->second.c_str());
    tags.erase(it);
    if (last_hit.v == v) last_hit.v = nullptr;
}

// Makes the label slot array hold at least `slots` slots.
int grow_labels(KOVector2 *v, long slots) {
    long want = slots * (long)sizeof(char *);
    if (v->lblbuf && v->lblbuf_size >= want) return 0;
    long have = v->lblbuf ? v->lblbuf_size : 0;
    if (want > INT_MAX || !heap_fits(v, want - have)) {
        elog_log(0, "kovector2_make_lblbuf: label array of %ld slots is too large.\n", slots);
        return -1;
    }
    char **p;
    if (!v->lblbuf) {
        p = static_cast<char **>(kv_malloc((size_t)want));
        if (!p) {
            elog_log(1, "kovector2_make_lblbuf: malloc() error.\n");
            return -1;
        }
    } else {
        p = static_cast<char **>(kv_realloc(v->lblbuf, (size_t)want));
        if (!p) {
            elog_log(1, "kovector2_make_lblbuf: realloc() error.\n");
            return -1;
        }
    }
    for (long i = have / (long)sizeof(char *); i < slots; i++) p[i] = nullptr;
    v->heap_size += (int)(want - have);
    v->lblbuf_size = (int)want;
    v->lblbuf = p;
    return 0;
}

void release_labels(KOVector2 *v) {
    if (!v->lblbuf) return;
    long n = nslots(v);
    for (long i = 0; i < n; i++) kv_free(v->lblbuf[i]);
    kv_free(v->lblbuf);
    v->heap_size -= v->lblbuf_size;
    v->lblbuf = nullptr;
    v->lblbuf_size = 0;
}

// Doubles the capacity until it exceeds nx.  The label slots grow first, so
// that a failure leaves x_size, dblbuf and the slot array all as they were.
int grow_rows(KOVector2 *v) {
    long xs = v->x_size > 0 ? v->x_size : 1;
    while (xs <= v->nx) xs *= 2;
    if (xs == v->x_size) return 0;
    long bytes = xs * stride_of(v) * (long)sizeof(double);
    if (bytes > INT_MAX || !heap_fits(v, bytes - v->dblbuf_size + (v->lblbuf ? xs * (long)sizeof(char *) : 0))) {
        elog_log(0, "kovector2_resize: vector of %ld rows is too large.\n", xs);
        return -1;
    }
    if (v->lblbuf && grow_labels(v, xs) < 0) {
        elog_log(0, "kovector2_resize: kovector2_make_lblbuf() error.\n");
        return -1;
    }
    double *p = static_cast<double *>(kv_realloc(v->dblbuf, (size_t)bytes));
    if (!p) {
        elog_log(1, "kovector2_resize: realloc() error.\n");
        return -1;
    }
    memset(reinterpret_cast<char *>(p) + v->dblbuf_size, 0, (size_t)(bytes - v->dblbuf_size));
    v->heap_size += (int)(bytes - v->dblbuf_size);
    v->dblbuf = p;
    v->dblbuf_size = (int)bytes;
    v->x_size = (int)xs;
    return 0;
}

// Sets ny, widening the rows when needed.  A time-sampled vector keeps one
// value per sample: only its y_size can rise.
int set_ny(KOVector2 *v, int ny) {
    if (ny < 0) {
        elog_log(0, "kovector2_resize_y: Illegal ny value %d.\n", ny);
        return -1;
    }
    if (v->is_timeseries) {
        if (ny > v->y_size) v->y_size = ny;
        return 0;
    }
    if (ny > v->y_size) {
        long bytes = (long)v->x_size * (ny + 1L) * (long)sizeof(double);
        if (bytes > INT_MAX || !heap_fits(v, bytes - v->dblbuf_size)) {
            elog_log(0, "kovector2_resize_y: vector of %d rows of %d values is too large.\n", v->x_size, ny);
            return -1;
        }
        double *nb = static_cast<double *>(kv_calloc((size_t)bytes));
        if (!nb) {
            elog_log(1, "kovector2_resize_y: malloc() error.\n");
            return -1;
        }
        long os = (long)v->y_size + 1, ns = ny + 1L;
        for (long i = 0; i < v->nx; i++)
            for (long k = 0; k <= v->ny; k++) nb[i * ns + k] = v->dblbuf[i * os + k];
        kv_free(v->dblbuf);
        v->heap_size += (int)(bytes - v->dblbuf_size);
        v->dblbuf = nb;
        v->dblbuf_size = (int)bytes;
        v->y_size = ny;
    }
    v->ny = ny;
    return 0;
}

void release_to_heap(KOVector2 *v) {
    kv_free(v->dblbuf);
    memset(v->ident, 0, sizeof v->ident);
    kv_free(v);
}

void release_vector(void *p) { kovector2_free_vector(static_cast<KOVector2 *>(p)); }

const char *vector_label(const void *p) { return static_cast<const KOVector2 *>(p)->tag; }

// Copies src: every y column (yindex < 0) or only column yindex.  Messages
// name fname.  On failure nothing stays registered and handle is emptied.
KOVector2 *copy_vector(KOVector2 *src, int yindex, char *tag, char *handle, const char *fname) {
    KOVector2 *n;
    if (src->is_timeseries) {
        n = kovector2_create_tsamp(src->nx, src->time, 1.0 / src->dt, src->dblbuf, tag, handle);
        if (!n) {
            elog_log(0, "%s: kovector2_create_tsamp() error.\n", fname);
            return nullptr;
        }
        n->dt = src->dt;  // exact, whatever 1 / (1 / dt) rounds to
        return n;
    }
    int ny = yindex < 0 ? src->ny : 1;
    n = kovector2_create(src->nx, ny, tag, handle);
    if (!n) {
        elog_log(0, "%s: kovector2_create() error.\n", fname);
        return nullptr;
    }
    n->nx = src->nx;
    for (long i = 0; i < src->nx; i++) {
        const double *s = row(src, i);
        double *d = row(n, i);
        d[0] = s[0];
        if (yindex < 0)
            for (int k = 0; k < src->ny; k++) d[k + 1] = s[k + 1];
        else
            d[1] = s[yindex + 1];
    }
    if (src->lblbuf) {
        if (grow_labels(n, n->x_size) < 0) {
            elog_log(0, "%s: kovector2_make_lblbuf() error.\n", fname);
            kovector2_free_vector(n);
            if (handle) handle[0] = '\0';
            return nullptr;
        }
        for (long i = 0; i < src->nx; i++) {
            const char *l = label_at(src, i);
            if (!l) continue;
            char *d = kv_strdup(l);
            if (!d) {
                elog_log(1, "%s: strdup() error.\n", fname);
                kovector2_free_vector(n);
                if (handle) handle[0] = '\0';
                return nullptr;
            }
            n->lblbuf[i] = d;
            // Charged while the copy holds it; the charge saturates rather
            // than overflow the int.
            size_t len = strlen(l);
            n->heap_size = len > (size_t)(INT_MAX - n->heap_size) ? INT_MAX : n->heap_size + (int)len;
        }
    }
    return n;
}

// A creating call that fails before it creates anything still leaves its
// output handle empty, unless that buffer is also the handle it reads.
void clear_handle(char *handle, const char *input) {
    if (handle && handle != input) handle[0] = '\0';
}

// Sizes a caller-held output array to at least `need` elements.
int size_output(double **arr, int *size, long need, const char *fname) {
    if (!*arr) {
        double *p = static_cast<double *>(kv_malloc((size_t)need * sizeof(double)));
        if (!p) {
            elog_log(1, "%s: malloc() error.\n", fname);
            return -1;
        }
        *arr = p;
        *size = (int)need;
    } else if (*size < need) {
        double *p = static_cast<double *>(kv_realloc(*arr, (size_t)need * sizeof(double)));
        if (!p) {
            elog_log(1, "%s: realloc() error.\n", fname);
            return -1;
        }
        *arr = p;
        *size = (int)need;
    }
    return 0;
}

void free_label_list(char **labels, long n) {
    if (!labels) return;
    for (long i = 0; i < n; i++) kv_free(labels[i]);
    kv_free(labels);
}

// A new label for point edits: ensures the slot array and duplicates a
// non-empty label into *dup (null for ""), before anything is changed.
int prepare_label(KOVector2 *v, const char *label, char **dup, const char *fname) {
    *dup = nullptr;
    if (grow_labels(v, v->x_size) < 0) {
        elog_log(0, "%s: kovector2_make_lblbuf() error.\n", fname);
        return -1;
    }
    if (*label) {
        *dup = kv_strdup(label);
        if (!*dup) {
            elog_log(1, "%s: strdup() error.\n", fname);
            return -1;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

void kovector2_test_fail_allocations(int skip, int n) {
    pass_allocations = skip > 0 ? skip : 0;
    fail_allocations = n > 0 ? n : 0;
}

KOVector2 *kovector2_get_vector(char *handle) {
    if (handle && last_hit.v && strcmp(handle, last_hit.handle) == 0 && is_live(last_hit.v)) return last_hit.v;
    auto *v = static_cast<KOVector2 *>(kovector2_reg.get("kovector2_get_vector", handle));
    if (v && strlen(handle) < sizeof last_hit.handle) {
        strcpy(last_hit.handle, handle);
        last_hit.v = v;
    }
    return v;
}

KOVector2 *kovector2_find_space(int nx, int ny, int is_timeseries) {
    is_timeseries = is_timeseries ? 1 : 0;
    if (is_timeseries) ny = 1;
    if (ny < 0) {
        elog_log(0, "kovector2_find_space: Illegal ny value %d.\n", ny);
        return nullptr;
    }
    if (nx < 0) nx = 0;
    if (kovector2_cache) {
        long best = -1, best_excess = 0;
        for (long i = 0; i < maxtbl(kovector2_cache); i++) {
            auto *c = static_cast<KOVector2 *>(gettbl(kovector2_cache, i));
            if (!c || c->is_timeseries != is_timeseries) continue;
            if (!is_timeseries && c->y_size != ny) continue;
            if (c->x_size < nx) continue;
            long excess = (long)c->x_size - nx;
            if (excess >= 100000000L) continue;
            if (best < 0 || excess < best_excess) {
                best = i;
                best_excess = excess;
            }
        }
        if (best >= 0) {
            auto *c = static_cast<KOVector2 *>(gettbl(kovector2_cache, best));
            deltbl(kovector2_cache, best, best);
            cached_records().erase(c);
            c->nx = 0;
            c->ny = ny;
            memset(c->tag, 0, sizeof c->tag);
            memset(c->dblbuf, 0, (size_t)c->dblbuf_size);
            kovector2_cache_size -= c->heap_size;
            return c;
        }
    }
    long xs = (long)(nx * 1.2);
    if (xs < 100) xs = 100;
    long stride = is_timeseries ? 1 : ny + 1L;
    long bytes = xs * stride * (long)sizeof(double);
    if (bytes > INT_MAX - (long)sizeof(KOVector2)) {
        elog_log(0, "kovector2_find_space: vector of %ld rows of %ld values is too large.\n", xs, stride);
        return nullptr;
    }
    auto *v = static_cast<KOVector2 *>(kv_calloc(sizeof(KOVector2)));
    if (!v) {
        elog_log(1, "kovector2_find_space: malloc() error.\n");
        return nullptr;
    }
    memcpy(v->ident, kIdent, sizeof kIdent);
    v->is_timeseries = is_timeseries;
    v->nx = 0;
    v->ny = ny;
    v->heap_size = (int)sizeof(KOVector2);
    v->x_size = (int)xs;
    v->y_size = ny;
    v->dblbuf_size = (int)bytes;
    v->dblbuf = static_cast<double *>(kv_calloc((size_t)bytes));
    if (!v->dblbuf) {
        elog_log(1, "kovector2_find_space: malloc() error.\n");
        kv_free(v);
        return nullptr;
    }
    v->heap_size += v->dblbuf_size;
    return v;
}

KOVector2 *kovector2_create(int nx, int ny, char *tag, char *handle) {
    if (handle) handle[0] = '\0';
    if (kovector2_reg.ensure("kovector2_create") < 0) return nullptr;
    KOVector2 *v = kovector2_find_space(nx, ny, 0);
    if (!v) {
        elog_log(0, "kovector2_create: kovector2_find_space() error.\n");
        return nullptr;
    }
    set_tag(v, tag);
    if (handle && register_vector("kovector2_create", v, handle) < 0) {
        kovector2_free_vector(v);
        return nullptr;
    }
    return v;
}

KOVector2 *kovector2_create_tsamp(int nsamp, double time, double samprate, double *data, char *tag, char *handle) {
    if (handle) handle[0] = '\0';
    if (kovector2_reg.ensure("kovector2_create_tsamp") < 0) return nullptr;
    if (!(samprate > 0.0) || !std::isfinite(samprate) || !std::isfinite(1.0 / samprate)) {
        elog_log(0, "kovector2_create_tsamp: Illegal sample rate %g.\n", samprate);
        return nullptr;
    }
    if (nsamp > 0 && !data) {
        elog_log(0, "kovector2_create_tsamp: No data for %d samples.\n", nsamp);
        return nullptr;
    }
    if (nsamp < 0) nsamp = 0;
    KOVector2 *v = kovector2_find_space(nsamp, 1, 1);
    if (!v) {
        elog_log(0, "kovector2_create_tsamp: kovector2_find_space() error.\n");
        return nullptr;
    }
    set_tag(v, tag);
    v->nx = nsamp;
    if (nsamp > 0) memcpy(v->dblbuf, data, (size_t)nsamp * sizeof(double));
    v->time = time;
    v->dt = 1.0 / samprate;
    if (handle && register_vector("kovector2_create_tsamp", v, handle) < 0) {
        kovector2_free_vector(v);
        return nullptr;
    }
    return v;
}

KOVector2 *kovector2_copy(char *in_handle, char *tag, char *handle) {
    KOVector2 *src = lookup("kovector2_copy", in_handle);
    if (!src) {
        clear_handle(handle, in_handle);
        return nullptr;
    }
    return copy_vector(src, -1, tag, handle, "kovector2_copy");
}

KOVector2 *kovector2_copy_1y(char *in_handle, int yindex, char *tag, char *handle) {
    KOVector2 *src = lookup("kovector2_copy_1y", in_handle);
    if (!src) {
        clear_handle(handle, in_handle);
        return nullptr;
    }
    if (yindex < 0 || src->is_timeseries) return copy_vector(src, -1, tag, handle, "kovector2_copy_1y");
    if (yindex >= src->ny) {
        elog_log(0, "kovector2_copy_1y: Illegal yindex value.\n");
        clear_handle(handle, in_handle);
        return nullptr;
    }
    return copy_vector(src, yindex, tag, handle, "kovector2_copy_1y");
}

int kovector2_resize(char *handle) {
    KOVector2 *v = lookup("kovector2_resize", handle);
    if (!v) return -1;
    return grow_rows(v);
}

int kovector2_resize_y(char *handle, int ny) {
    KOVector2 *v = lookup("kovector2_resize_y", handle);
    if (!v) return -1;
    return set_ny(v, ny);
}

int kovector2_make_lblbuf(KOVector2 *vector) {
    if (!is_live(vector)) return -1;
    return grow_labels(vector, vector->x_size);
}

void kovector2_free_vector(KOVector2 *vector) {
    if (!is_live(vector)) return;
    release_labels(vector);
    // The label texts that copies charged are gone with the labels: a
    // released record holds its record and its values, nothing else.  Left
    // in, the charges would pile up each time the cache recycles the record
    // for another copy, until heap_size overflowed.
    vector->heap_size = (int)sizeof(KOVector2) + vector->dblbuf_size;
    bool kept = false;
    if (kovector2_cache) {
        if (cached_records().count(vector)) {
            kept = true;
        } else if (kovector2_cache_size + vector->heap_size <= kovector2_cache_max_size) {
            // Out of memory for the bookkeeping: the record goes to the heap.
            try {
                cached_records().insert(vector);
                kept = true;
            } catch (...) {
            }
            if (kept && settbl(kovector2_cache, -1, vector) < 0) {
                cached_records().erase(vector);
                kept = false;
            }
            if (kept) kovector2_cache_size += vector->heap_size;
        }
    }
    unregister_vector(vector);
    if (!kept) release_to_heap(vector);
}

int kovector2_free(char *handle) {
    int mark = elog_mark();
    KOVector2 *v = kovector2_get_vector(handle);
    elog_flush(0, mark);
    kovector2_free_vector(v);
    return 0;
}

int kovector2_free_tag(char *tag) { return kovector2_reg.free_by_label(tag, vector_label, release_vector); }

int kovector2_set_cache(long max_size) {
    if (!kovector2_cache) {
        kovector2_cache = newtbl(0);
        if (!kovector2_cache) {
            elog_log(0, "kovector2_set_cache: newtbl() error.\n");
            return -1;
        }
    }
    kovector2_cache_max_size = max_size;
    return 0;
}

int kovector2_get_heap_size(char *tag, char *handle, long *nobjects, long *heap_total, long *cache_objects,
                            long *cache_total, long *nmallocs, long *nreallocs, long *nstrdups, long *nfrees) {
    long nobj = 0, total = 0;
    auto report = [&]() {
        if (nobjects) *nobjects = nobj;
        if (heap_total) *heap_total = total;
    };
    report();
    if (nmallocs) *nmallocs = kovector2_nmallocs;
    if (nreallocs) *nreallocs = kovector2_nreallocs;
    if (nstrdups) *nstrdups = kovector2_nstrdups;
    if (nfrees) *nfrees = kovector2_nfrees;
    if (cache_total) *cache_total = kovector2_cache_size;
    if (cache_objects) *cache_objects = maxtbl(kovector2_cache);
    if (!tag && handle) {
        KOVector2 *v = kovector2_get_vector(handle);
        if (!v) {
            elog_log(0, "kovector2_get_heap_size: kovector2_get_vector() error.\n");
            return -1;
        }
        nobj = 1;
        total = v->heap_size;
        report();
        return 0;
    }
    Tbl *vals = kovector2_reg.array() ? valsarr(kovector2_reg.array()) : nullptr;
    if (!vals && kovector2_reg.array() && cntarr(kovector2_reg.array()) > 0) {
        // Counting nothing would be a wrong answer, not an empty one.
        elog_log(1, "kovector2_get_heap_size: valsarr() error.\n");
        return -1;
    }
    for (long i = 0; i < maxtbl(vals); i++) {
        auto *v = static_cast<KOVector2 *>(gettbl(vals, i));
        if (!v || (tag && strcmp(v->tag, tag) != 0)) continue;
        nobj++;
        total += v->heap_size;
    }
    freetbl(vals, nullptr);
    report();
    return 0;
}

/* ------------------------------------------------------------ access and editing */

int kovector2_get_point(char *handle, int index, double *x, double *y, char *label) {
    KOVector2 *v = lookup("kovector2_get_point", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector2_get_point: No points in vector %s.\n", handle);
        return -1;
    }
    if (index < 0 || index >= v->nx) {
        elog_log(0, "kovector2_get_point: Illegal index value\n");
        return -1;
    }
    if (v->is_timeseries) {
        if (x) *x = v->time + index * v->dt;
        if (y) y[0] = v->dblbuf[index];
        return 0;
    }
    const double *r = row(v, index);
    if (x) *x = r[0];
    if (y)
        for (int k = 0; k < v->ny; k++) y[k] = r[k + 1];
    if (label) {
        label[0] = '\0';
        const char *l = label_at(v, index);
        if (l) strcpy(label, l);
    }
    return 0;
}

int kovector2_get_points(char *handle, int iy, int *nx, int *ny, double **xpts, int *xpts_size, double **ypts,
                         int *ypts_size, char ***labels) {
    KOVector2 *v = lookup("kovector2_get_points", handle);
    if (!v) return -1;
    if (!nx || !ny || !xpts || !xpts_size || !ypts || !ypts_size) {
        elog_log(0, "kovector2_get_points: Null output argument.\n");
        return -1;
    }
    if (iy > v->ny - 1 || (v->is_timeseries && iy > 0)) {
        elog_log(1, "kovector2_get_points: index out of range.\n");
        return -1;
    }
    long n = v->nx;
    if (size_output(xpts, xpts_size, n, "kovector2_get_points") < 0) return -1;
    *nx = 0;
    memset(*xpts, 0, (size_t)n * sizeof(double));
    char **lbl = nullptr;
    if (labels) {
        *labels = nullptr;
        // Whenever the vector has slots; a time-sampled vector's entries
        // stay null.
        if (v->lblbuf) {
            lbl = static_cast<char **>(kv_calloc((size_t)n * sizeof(char *)));
            if (!lbl) {
                elog_log(1, "kovector2_get_points: malloc() error.\n");
                return -1;
            }
        }
    }
    bool all = iy < 0 && !v->is_timeseries;
    long ncol = all ? v->ny : 1;
    if (size_output(ypts, ypts_size, n * ncol, "kovector2_get_points") < 0) {
        free_label_list(lbl, 0);
        return -1;
    }
    double *xo = *xpts, *yo = *ypts;
    if (v->is_timeseries) {
        for (long i = 0; i < n; i++) {
            xo[i] = v->time + i * v->dt;
            yo[i] = v->dblbuf[i];
        }
    } else {
        int col = all ? 0 : iy;
        for (long i = 0; i < n; i++) {
            const double *r = row(v, i);
            xo[i] = r[0];
            if (all)
                for (long k = 0; k < ncol; k++) yo[i + k * n] = r[k + 1];
            else
                yo[i] = r[col + 1];
            const char *l = lbl ? label_at(v, i) : nullptr;
            if (l && !(lbl[i] = kv_strdup(l))) {
                elog_log(1, "kovector2_get_points: malloc() error.\n");
                free_label_list(lbl, n);
                return -1;
            }
        }
    }
    if (labels) *labels = lbl;
    *nx = (int)n;
    *ny = (int)ncol;
    return 0;
}

int kovector2_get_tsamp(char *handle, int *nsamp, double *tstart, double *dt, double **data, int *data_size) {
    KOVector2 *v = lookup("kovector2_get_tsamp", handle);
    if (!v) return -1;
    if (!v->is_timeseries) {
        elog_log(1, "kovector2_get_tsamp: vector not a tsamp.\n");
        return -1;
    }
    if (!data || !data_size) {
        elog_log(0, "kovector2_get_tsamp: Null output argument.\n");
        return -1;
    }
    if (size_output(data, data_size, v->nx, "kovector2_get_tsamp") < 0) return -1;
    if (v->nx > 0) memcpy(*data, v->dblbuf, (size_t)v->nx * sizeof(double));
    if (nsamp) *nsamp = v->nx;
    if (tstart) *tstart = v->time;
    if (dt) *dt = v->dt;
    return 0;
}

int kovector2_append(char *handle, int index, double x, double *y, char *label) {
    KOVector2 *v = lookup("kovector2_append", handle);
    if (!v) return -1;
    if (v->is_timeseries) {
        elog_log(0, "kovector2_append: Cannot append to time sample vector\n");
        return -1;
    }
    if (!y && v->ny > 0) {
        elog_log(0, "kovector2_append: No y values given.\n");
        return -1;
    }
    int old = v->nx;
    if (index < 0 || index > old) index = old;
    if (old == INT_MAX) {
        elog_log(0, "kovector2_append: kovector2_resize() error.\n");
        return -1;
    }
    // Room and the label are secured before anything moves, so a failure
    // leaves the points exactly as they were.
    v->nx = old + 1;
    if (grow_rows(v) < 0) {
        v->nx = old;
        elog_log(0, "kovector2_append: kovector2_resize() error.\n");
        return -1;
    }
    char *dup = nullptr;
    bool want_label = label && (*label || v->lblbuf);
    if (want_label && prepare_label(v, label, &dup, "kovector2_append") < 0) {
        v->nx = old;
        return -1;
    }
    long s = stride_of(v);
    if (index < old)
        memmove(row(v, index + 1), row(v, index), (size_t)(old - index) * (size_t)s * sizeof(double));
    double *r = row(v, index);
    memset(r, 0, (size_t)s * sizeof(double));
    r[0] = x;
    for (int k = 0; k < v->ny; k++) r[k + 1] = y[k];
    if (v->lblbuf) {
        if (index < old) memmove(&v->lblbuf[index + 1], &v->lblbuf[index], (size_t)(old - index) * sizeof(char *));
        v->lblbuf[index] = dup;
    }
    return 0;
}

int kovector2_put(char *handle, int index, double x, double *y, char *label) {
    KOVector2 *v = lookup("kovector2_put", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector2_put: No points in vector %s.\n", handle);
        return -1;
    }
    if (index < 0 || index >= v->nx) {
        elog_log(0, "kovector2_put: Illegal ix value\n");
        return -1;
    }
    if (v->is_timeseries) {
        elog_log(0, "kovector2_put: Cannot put X(time) value for constant sampled data.\n");
        return -1;
    }
    if (!y && v->ny > 0) {
        elog_log(0, "kovector2_put: No y values given.\n");
        return -1;
    }
    char *dup = nullptr;
    if (label && prepare_label(v, label, &dup, "kovector2_put") < 0) return -1;
    double *r = row(v, index);
    r[0] = x;
    for (int k = 0; k < v->ny; k++) r[k + 1] = y[k];
    if (label) {
        kv_free(v->lblbuf[index]);
        v->lblbuf[index] = dup;
    }
    return 0;
}

int kovector2_puty(char *handle, int index, double *y, char *label) {
    KOVector2 *v = lookup("kovector2_puty", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector2_puty: No points in vector %s.\n", handle);
        return -1;
    }
    if (index < 0 || index >= v->nx) {
        elog_log(0, "kovector2_puty: Illegal ix value\n");
        return -1;
    }
    if (!y && (v->ny > 0 || v->is_timeseries)) {
        elog_log(0, "kovector2_puty: No y values given.\n");
        return -1;
    }
    char *dup = nullptr;
    if (label && prepare_label(v, label, &dup, "kovector2_puty") < 0) return -1;
    if (v->is_timeseries) {
        v->dblbuf[index] = y[0];
    } else {
        double *r = row(v, index);
        for (int k = 0; k < v->ny; k++) r[k + 1] = y[k];
    }
    if (label) {
        kv_free(v->lblbuf[index]);
        v->lblbuf[index] = dup;
    }
    return 0;
}

int kovector2_fill(char *handle, int nx, int ny, double *xpts, void *vypts, char **labels) {
    KOVector2 *v = lookup("kovector2_fill", handle);
    if (!v) return -1;
    if (v->is_timeseries) {
        elog_log(0, "kovector2_fill: Cannot fill time series vector.\n");
        return -1;
    }
    if (nx < 0 || ny < 0) {
        elog_log(0, "kovector2_fill: Illegal nx %d or ny %d value.\n", nx, ny);
        return -1;
    }
    bool missing = nx > 0 && (!xpts || (ny > 0 && !vypts));
    if (!missing && nx > 0 && ny > 1)
        for (int k = 0; k < ny; k++) missing = missing || !static_cast<double **>(vypts)[k];
    if (missing) {
        elog_log(0, "kovector2_fill: No values given for %d points.\n", nx);
        return -1;
    }
    // Everything that can fail comes first (label copies, room, label slots,
    // row width); the old points are only replaced once it all succeeded.
    std::vector<char *> dups;
    bool need_slots = false;
    if (labels) {
        try {
            dups.assign((size_t)nx, nullptr);
        } catch (...) {
            elog_log(1, "kovector2_fill: malloc() error.\n");
            return -1;
        }
        for (int i = 0; i < nx; i++) {
            if (!labels[i] || !*labels[i]) continue;
            need_slots = true;
            if (!(dups[(size_t)i] = kv_strdup(labels[i]))) {
                elog_log(1, "kovector2_fill: strdup() error.\n");
                for (char *d : dups) kv_free(d);
                return -1;
            }
        }
    }
    auto fail = [&](const char *what) {
        elog_log(0, "kovector2_fill: %s error.\n", what);
        for (char *d : dups) kv_free(d);
        return -1;
    };
    int old = v->nx;
    v->nx = nx;
    int rc = grow_rows(v);
    v->nx = old;
    if (rc < 0) return fail("kovector2_resize()");
    if (need_slots && grow_labels(v, v->x_size) < 0) return fail("kovector2_make_lblbuf()");
    if (set_ny(v, ny) < 0) return fail("kovector2_resize_y()");

    memset(v->dblbuf, 0, (size_t)v->dblbuf_size);
    if (need_slots) {
        for (long i = 0; i < nslots(v); i++) {
            kv_free(v->lblbuf[i]);
            v->lblbuf[i] = nullptr;
        }
    } else {
        release_labels(v);
    }
    v->nx = nx;
    long s = stride_of(v);
    double *r = v->dblbuf;
    if (ny == 1) {
        const double *ys = static_cast<double *>(vypts);
        for (long i = 0; i < nx; i++, r += s) r[0] = xpts[i], r[1] = ys[i];
    } else {
        double **cols = static_cast<double **>(vypts);
        for (long i = 0; i < nx; i++, r += s) {
            r[0] = xpts[i];
            for (int k = 0; k < ny; k++) r[k + 1] = cols[k][i];
        }
    }
    if (need_slots)
        for (long i = 0; i < nx; i++) v->lblbuf[i] = dups[(size_t)i];
    return 0;
}

int kovector2_dump(char *handle) {
    KOVector2 *v = lookup("kovector2_dump", handle);
    if (!v) return -1;
    if (v->is_timeseries) return 0;
    for (long i = 0; i < v->nx; i++) {
        const double *r = row(v, i);
        printf("%ld: %.3f", i, r[0]);
        for (int k = 0; k < v->ny; k++) printf(" %.3f", r[k + 1]);
        printf("\n");
    }
    return 0;
}

}  // extern "C"

/* ------------------------------------------------------------ evaluation and statistics */

namespace {

// The trace library's gap value, learned on first need.
float kovector2_gap = 0.0f;

double gap_value() {
    if (kovector2_gap == 0.0f) trfill_gap(&kovector2_gap, 1);
    return (double)kovector2_gap;
}

const double kNoValue = 3.4e38;
const double kMissing = 1e30;

double ts_end(const KOVector2 *v) { return v->time + (v->nx - 1) * v->dt; }

double eval_tsamp(const KOVector2 *v, double x) {
    double gap = gap_value();
    const double *s = v->dblbuf;
    // NaN and out-of-span abscissae are gaps; checked before the index is
    // formed so that the conversion stays in range.
    if (!(x >= v->time && x <= ts_end(v))) return gap;
    double r = (x - v->time) / v->dt;
    long i = (long)(r >= 0 ? r + 0.5 : r - 0.5);
    if (i < 0 || i >= v->nx || s[i] > kMissing) return gap;
    double ti = v->time + i * v->dt;
    if (x == ti) return s[i];
    long j = x < ti ? i - 1 : i + 1;
    if (j < 0 || j >= v->nx) return s[i];
    if (s[j] > kMissing) return gap;
    double t0, y0, t1, y1;
    if (j < i) {
        t0 = ti - v->dt, y0 = s[j], t1 = ti, y1 = s[i];
    } else {
        t0 = ti, y0 = s[i], t1 = ti + v->dt, y1 = s[j];
    }
    return y0 + (x - t0) * (y1 - y0) / (t1 - t0);
}

void copy_y(const KOVector2 *v, long i, double *y) {
    const double *r = row(v, i);
    for (int k = 0; k < v->ny; k++) y[k] = r[k + 1];
}

void interpolate(const KOVector2 *v, long a, long b, double x, double *y) {
    const double *ra = row(v, a), *rb = row(v, b);
    for (int k = 0; k < v->ny; k++) y[k] = ra[k + 1] + (x - ra[0]) * (rb[k + 1] - ra[k + 1]) / (rb[0] - ra[0]);
}

void eval_points(const KOVector2 *v, double x, double *y) {
    long n = v->nx;
    if (row(v, n - 1)[0] >= row(v, 0)[0]) {
        long i = 0;
        while (i < n && !(row(v, i)[0] >= x)) i++;
        if (i == 0)
            copy_y(v, 0, y);
        else if (i == n)
            copy_y(v, n - 1, y);
        else
            interpolate(v, i - 1, i, x, y);
    } else {
        long i = n - 1;
        while (i >= 0 && !(row(v, i)[0] >= x)) i--;
        if (i == n - 1)
            copy_y(v, n - 1, y);
        else if (i < 0)
            copy_y(v, 0, y);
        else
            interpolate(v, i + 1, i, x, y);
    }
}

struct Extent {
    bool set = false;
    double lo = 0, hi = 0;
    void add(double v) {
        if (!set) {
            lo = hi = v;
            set = true;
        } else {
            if (v < lo) lo = v;
            if (v > hi) hi = v;
        }
    }
};

void put_extent(const Extent &xe, const Extent &ye, double *xmin, double *xmax, double *ymin, double *ymax) {
    if (xmin) *xmin = xe.lo;
    if (xmax) *xmax = xe.hi;
    if (ymin) *ymin = ye.lo;
    if (ymax) *ymax = ye.hi;
}

// The checks both extent operations share (and word alike).
KOVector2 *extent_vector(char *handle, int iy) {
    KOVector2 *v = lookup("kovector2_maxmin", handle);
    if (!v) return nullptr;
    if (v->nx < 1) {
        elog_log(0, "kovector2_maxmin: No points in vector %s.\n", handle);
        return nullptr;
    }
    int col = iy < 0 ? 0 : iy;
    if (col >= v->ny) {
        elog_log(0, "kovector2_maxmin: iy too large.\n");
        return nullptr;
    }
    return v;
}

enum StatType { ST_MAX, ST_MIN, ST_AMAX, ST_AMIN, ST_MEDIAN };

bool same_abscissae(const KOVector2 *a, const KOVector2 *b) {
    if (b->is_timeseries || a->nx != b->nx || a->ny != b->ny) return false;
    for (long i = 0; i < a->nx; i++)
        if (row(a, i)[0] != row(b, i)[0]) return false;
    return true;
}

}  // namespace

extern "C" {

int kovector2_eval(char *handle, double x, double *y) {
    KOVector2 *v = lookup("kovector2_eval", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector2_eval: No points in vector %s.\n", handle);
        return -1;
    }
    if (!y) return 0;
    if (v->is_timeseries) {
        y[0] = v->nx == 1 ? v->dblbuf[0] : eval_tsamp(v, x);
        return 0;
    }
    if (v->nx == 1)
        copy_y(v, 0, y);
    else
        eval_points(v, x, y);
    return 0;
}

long kovector2_nearest(char *handle, int iy, double x, double y) {
    KOVector2 *v = lookup("kovector2_nearest", handle);
    if (!v) return -2;
    if (v->nx < 1) return -1;
    if (iy < 0 || iy >= v->ny) {
        elog_log(0, "kovector2_nearest: iy too large.\n");
        return -3;
    }
    if (v->is_timeseries) {
        if (std::isnan(x)) return -1;
        if (x <= v->time) return 0;
        if (x >= ts_end(v)) return v->nx - 1;
        long i = (long)((x - v->time) / v->dt);
        return i < v->nx ? i : v->nx - 1;
    }
    // No point nearer than 9e99 (every distance infinite or not a number):
    // there is nothing to pick, which is what -1 tells a display.
    double best = 9e99;
    long ibest = -1;
    for (long i = 0; i < v->nx; i++) {
        const double *r = row(v, i);
        double dx = r[0] - x, dy = r[iy + 1] - y;
        double d = std::sqrt(dx * dx + dy * dy);
        if (d < best) {
            best = d;
            ibest = i;
        }
    }
    return ibest;
}

int kovector2_maxmin(char *handle, int iy, double *xmin, double *xmax, double *ymin, double *ymax) {
    KOVector2 *v = extent_vector(handle, iy);
    if (!v) return -1;
    Extent xe, ye;
    if (v->is_timeseries) {
        xe.add(v->time);
        xe.add(ts_end(v));
        for (long i = 0; i < v->nx; i++)
            if (v->dblbuf[i] != kNoValue) ye.add(v->dblbuf[i]);
    } else {
        for (long i = 0; i < v->nx; i++) {
            const double *r = row(v, i);
            xe.add(r[0]);
            if (iy < 0)
                for (int k = 0; k < v->ny; k++) ye.add(r[k + 1]);
            else
                ye.add(r[iy + 1]);
        }
    }
    put_extent(xe, ye, xmin, xmax, ymin, ymax);
    return 0;
}

int kovector2_maxmin2(char *handle, int iy, double xstart, double xend, double *xmin, double *xmax, double *ymin,
                      double *ymax) {
    KOVector2 *v = extent_vector(handle, iy);
    if (!v) return -1;
    Extent xe, ye;
    if (v->is_timeseries) {
        double t = v->time - v->dt;
        for (long i = 0; i < v->nx; i++) {
            t += v->dt;
            double s = v->dblbuf[i];
            // Written as "inside" so that a NaN time or bound contributes nothing.
            if (!(t >= xstart && t <= xend) || s == kNoValue) continue;
            xe.add(t);
            ye.add(s);
        }
    } else {
        for (long i = 0; i < v->nx; i++) {
            const double *r = row(v, i);
            if (!(r[0] >= xstart && r[0] <= xend)) continue;
            xe.add(r[0]);
            if (iy < 0)
                for (int k = 0; k < v->ny; k++) ye.add(r[k + 1]);
            else
                ye.add(r[iy + 1]);
        }
    }
    // A window without points leaves x and y at 0; a window whose points
    // were all skipped for y (no columns) leaves y at 0.
    put_extent(xe, ye, xmin, xmax, ymin, ymax);
    return 0;
}

int kovector2_stats_sort(const void *arg1, const void *arg2) {
    double a = *static_cast<const double *>(arg1), b = *static_cast<const double *>(arg2);
    if (a > b) return 1;
    if (a < b) return -1;
    return 0;
}

static KOVector2 *stats_into(Tbl *kovector2_handles, char *type, char *tag, char *handle) {
    StatType st;
    if (type && strcmp(type, "max") == 0)
        st = ST_MAX;
    else if (type && strcmp(type, "min") == 0)
        st = ST_MIN;
    else if (type && strcmp(type, "amax") == 0)
        st = ST_AMAX;
    else if (type && strcmp(type, "amin") == 0)
        st = ST_AMIN;
    else if (type && strcmp(type, "median") == 0)
        st = ST_MEDIAN;
    else {
        elog_log(0, "kovector2_stats: Unrecognized type '%s'\n", type ? type : "(null)");
        return nullptr;
    }
    long nh = maxtbl(kovector2_handles);
    if (nh < 1) return nullptr;
    std::vector<KOVector2 *> in;
    std::vector<const KOVector2 *> part;
    try {
        in.reserve((size_t)nh);
        part.reserve((size_t)nh);
    } catch (...) {
        elog_log(1, "kovector2_stats: malloc(values) error.\n");
        return nullptr;
    }
    for (long i = 0; i < nh; i++) {
        char *h = static_cast<char *>(gettbl(kovector2_handles, i));
        KOVector2 *v = kovector2_get_vector(h);
        if (!v) {
            elog_log(0, "kovector2_stats: kovector2_get_vector(%s) error.\n", h ? h : "(null)");
            return nullptr;
        }
        in.push_back(v);
    }
    if (in[0]->is_timeseries) {
        elog_log(0, "kovector2_stats: Can only do stats on point vectors.\n");
        return nullptr;
    }
    KOVector2 *out = kovector2_copy(static_cast<char *>(gettbl(kovector2_handles, 0)), tag, handle);
    if (!out) {
        elog_log(0, "kovector2_stats: kovector2_copy() error.\n");
        return nullptr;
    }
    long n = out->nx;
    int ny = out->ny;
    if (st == ST_AMAX || st == ST_AMIN)
        for (long i = 0; i < n; i++)
            for (int k = 0; k < ny; k++) row(out, i)[k + 1] = std::fabs(row(out, i)[k + 1]);
    for (size_t i = 1; i < in.size(); i++)
        if (same_abscissae(out, in[i])) part.push_back(in[i]);
    if (part.empty()) return out;
    double *values = nullptr;
    if (st == ST_MEDIAN) {
        values = static_cast<double *>(kv_malloc((part.size() + 1) * sizeof(double)));
        if (!values) {
            elog_log(1, "kovector2_stats: malloc(values) error.\n");
            kovector2_free_vector(out);
            if (handle) handle[0] = '\0';
            return nullptr;
        }
    }
    for (long i = 0; i < n; i++) {
        double *r = row(out, i);
        for (int k = 0; k < ny; k++) {
            double cur = r[k + 1];
            if (st == ST_MEDIAN) {
                size_t m = 0;
                values[m++] = cur;
                for (const KOVector2 *p : part) values[m++] = row(p, i)[k + 1];
                // Ascending; NaNs go last so that the ordering stays a strict
                // weak one whatever the data hold.
                std::sort(values, values + m, [](double a, double b) {
                    return a < b || (!std::isnan(a) && std::isnan(b));
                });
                cur = m % 2 ? values[m / 2] : 0.5 * (values[m / 2 - 1] + values[m / 2]);
            } else {
                for (const KOVector2 *p : part) {
                    double val = row(p, i)[k + 1];
                    switch (st) {
                    case ST_MAX:
                        if (val > cur) cur = val;
                        break;
                    case ST_MIN:
                        if (val < cur) cur = val;
                        break;
                    case ST_AMAX:
                        if (std::fabs(val) > cur) cur = std::fabs(val);
                        break;
                    default:
                        if (std::fabs(val) < cur) cur = std::fabs(val);
                        break;
                    }
                }
            }
            r[k + 1] = cur;
        }
    }
    kv_free(values);
    return out;
}

KOVector2 *kovector2_stats(Tbl *kovector2_handles, char *type, char *tag, char *handle) {
    KOVector2 *out = stats_into(kovector2_handles, type, tag, handle);
    if (!out && handle) {
        bool input = false;
        for (long i = 0; i < maxtbl(kovector2_handles) && !input; i++)
            input = gettbl(kovector2_handles, i) == handle;
        if (!input) handle[0] = '\0';
    }
    return out;
}

}  // extern "C"

/* ------------------------------------------------------------ transforms */

namespace {

const double kPi = 3.141592653589793;
const double kInfinite = 1e30;

KOVector2 *transform_vector(const char *fname, char *handle) {
    KOVector2 *v = lookup(fname, handle);
    if (!v) return nullptr;
    if (v->is_timeseries) {
        elog_log(0, "%s: Cannot transform time sample data.\n", fname);
        return nullptr;
    }
    return v;
}

}  // namespace

extern "C" {

void latlon2xydel(double xlat1, double xlon1, double xlat2, double xlon2, double *xdel, double *ydel) {
    if (xlat1 == xlat2 && xlon1 == xlon2) {
        *xdel = 0.0;
        *ydel = 0.0;
        return;
    }
    const double d2r = kPi / 180.0;
    double delta, azimuth;
    dist(xlat1 * d2r, xlon1 * d2r, xlat2 * d2r, xlon2 * d2r, &delta, &azimuth);
    delta *= 180.0 / kPi;
    *xdel = delta * std::sin(azimuth);
    *ydel = delta * std::cos(azimuth);
}

int kovector2_transform_edp(char *handle, double lonr, double latr) {
    KOVector2 *v = transform_vector("kovector2_transform_edp", handle);
    if (!v) return -1;
    if (v->ny < 1 && v->nx > 0) {
        elog_log(0, "kovector2_transform_edp: No latitudes in vector %s.\n", handle);
        return -1;
    }
    for (long i = 0; i < v->nx; i++) {
        double *r = row(v, i);
        double xd, yd;
        latlon2xydel(latr, lonr, r[1], r[0], &xd, &yd);
        r[0] = xd;
        r[1] = yd;
    }
    return 0;
}

int kovector2_transform_invertx(char *handle) {
    KOVector2 *v = transform_vector("kovector2_transform_invertx", handle);
    if (!v) return -1;
    for (long i = 0; i < v->nx; i++) {
        double &x = row(v, i)[0];
        if (x == 0.0)
            x = kInfinite;
        else if (x == kInfinite)
            x = 0.0;
        else
            x = 1.0 / x;
    }
    return 0;
}

int kovector2_transform_spec(char *handle, int ndif, int iy) {
    if (ndif == 0) return 0;
    KOVector2 *v = transform_vector("kovector2_transform_spec", handle);
    if (!v) return -1;
    if (iy >= v->ny) {
        elog_log(0, "kovector2_transform_spec: iy too large.\n");
        return -1;
    }
    for (long i = 0; i < v->nx; i++) {
        double *r = row(v, i);
        double w = 2.0 * kPi * r[0];
        double f = 1.0;
        if (ndif < 0 && w == 0.0) {
            f = kInfinite;
        } else {
            long count = ndif > 0 ? ndif : -(long)ndif;
            for (long j = 0; j < count; j++) {
                f = ndif > 0 ? f * w : f / w;
                // Once it has run to 0, infinity or NaN the rest changes
                // only the sign: settle it without looping on.
                if (f == 0.0 || !std::isfinite(f)) {
                    if (!std::isnan(f) && w < 0 && (count - j - 1) % 2) f = -f;
                    break;
                }
            }
        }
        if (iy < 0)
            for (int k = 0; k < v->ny; k++) r[k + 1] *= f;
        else
            r[iy + 1] *= f;
    }
    return 0;
}

int kovector2_transform_ygain(char *handle, double ygain, int iy) {
    if (ygain == 1.0) return 0;
    KOVector2 *v = lookup("kovector2_transform_ygain", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector2_transform_ygain: No points in vector %s.\n", handle);
        return -1;
    }
    if (iy >= v->ny) {
        elog_log(0, "kovector2_transform_ygain: iy too large.\n");
        return -1;
    }
    if (v->is_timeseries) {
        for (long i = 0; i < v->nx; i++)
            if (v->dblbuf[i] != kNoValue) v->dblbuf[i] *= ygain;
        return 0;
    }
    for (long i = 0; i < v->nx; i++) {
        double *r = row(v, i);
        if (iy < 0)
            for (int k = 0; k < v->ny; k++) r[k + 1] *= ygain;
        else
            r[iy + 1] *= ygain;
    }
    return 0;
}

}  // extern "C"

/* ------------------------------------------------------------ for the loaders */

#include "kovector2_pvt.h"

namespace kovector2_pvt {

int ensure_registry(const char *fname) { return kovector2_reg.ensure(fname); }
int register_vector(const char *fname, KOVector2 *v, char *handle) { return ::register_vector(fname, v, handle); }
double *row(const KOVector2 *v, long i) { return ::row(v, i); }
void *xmalloc(size_t n) { return kv_malloc(n); }
void *xrealloc(void *p, size_t n) { return kv_realloc(p, n); }
char *xstrdup(const char *s) { return kv_strdup(s); }
void xfree(void *p) { kv_free(p); }

}  // namespace kovector2_pvt
