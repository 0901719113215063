// Tbl: ordered lists of pointers or of fixed-size records, in memory or in a
// memory-mapped file, and Hook, the holder of an object and its release
// procedure.
//
// File-backed list layout (all numbers in host order, the file is meant for
// the machine that wrote it):
//   bytes 0..7    magic "HKFTBL1\0"
//   bytes 8..39   the list's name, NUL-padded (at most 31 characters)
//   bytes 40..47  record size (int64)
//   bytes 48..55  record count (int64)
//   bytes 56..63  room: records the file has space for (int64)
//   bytes 64..    the records, contiguous
// The count is written after every change, so a list reopened after the
// process ended holds what was last stored.

#include "stock.h"
#include "lockfd_pvt.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kHeader = 64;
constexpr char kMagic[8] = {'H', 'K', 'F', 'T', 'B', 'L', '1', '\0'};

long entry_size(const Tbl *t) { return t->kind == TBL_POINTERS ? (long)sizeof(void *) : t->size; }

char *slot(const Tbl *t, long i) { return t->data + (size_t)i * (size_t)entry_size(t); }

int64_t *file_count(Tbl *t) { return reinterpret_cast<int64_t *>(t->map + 48); }

// Maps `room` records of the file-backed list, growing the file as needed.
int file_map(Tbl *t, long room) {
    if (room <= 0 || (size_t)room > (SIZE_MAX / 2 - kHeader) / (size_t)t->size) {
        elog_log(0, "filetbl: %s: room for %ld records of %ld bytes is too large.\n", t->filename, room, t->size);
        return -1;
    }
    size_t want = kHeader + (size_t)room * (size_t)t->size;
    struct stat st;
    if (fstat(t->fd, &st) < 0) {
        elog_log(1, "filetbl: fstat(%s) error.\n", t->filename);
        return -1;
    }
    if ((size_t)st.st_size < want && ftruncate(t->fd, (off_t)want) < 0) {
        elog_log(1, "filetbl: ftruncate(%s,%zu) error.\n", t->filename, want);
        return -1;
    }
    void *m = hk_lockfd_mmap(want, PROT_READ | PROT_WRITE, t->fd);
    if (m == MAP_FAILED) {
        elog_log(1, "filetbl: mmap(%s,%zu) error.\n", t->filename, want);
        return -1;
    }
    if (t->map) munmap(t->map, t->mapsize);
    t->map = static_cast<char *>(m);
    t->mapsize = want;
    t->data = t->map + kHeader;
    t->room = room;
    int64_t r = room;
    memcpy(t->map + 56, &r, sizeof r);
    return 0;
}

// Makes room for at least `need` entries.
int grow(Tbl *t, long need) {
    if (need <= t->room) return 0;
    long room = t->room < 8 ? 8 : t->room;
    while (room < need) {
        if (room > (1L << 40)) {
            elog_log(0, "tbl: list too large (%ld entries)\n", need);
            return -1;
        }
        room *= 2;
    }
    if (t->kind == TBL_FILE) return file_map(t, room);
    if ((size_t)room > SIZE_MAX / 2 / (size_t)entry_size(t)) {
        elog_log(0, "tbl: list too large (%ld entries)\n", need);
        return -1;
    }
    size_t bytes = (size_t)room * (size_t)entry_size(t);
    char *d = static_cast<char *>(realloc(t->data, bytes));
    if (!d) {
        elog_log(1, "tbl: realloc(%zu) error.\n", bytes);
        return -1;
    }
    t->data = d;
    t->room = room;
    return 0;
}

void sync_count(Tbl *t) {
    if (t->kind == TBL_FILE) *file_count(t) = t->n;
}

void store(Tbl *t, long i, const void *p) {
    if (t->kind == TBL_POINTERS)
        memcpy(slot(t, i), &p, sizeof p);
    else if (p)
        memmove(slot(t, i), p, (size_t)t->size);  // p may be this very record
    else
        memset(slot(t, i), 0, (size_t)t->size);
}

Tbl *make(long n, long size, int kind) {
    Tbl *t = static_cast<Tbl *>(calloc(1, sizeof(Tbl)));
    if (!t) return nullptr;
    t->size = size;
    t->kind = kind;
    t->fd = -1;
    if (n < 0) n = 0;
    if (n > 0 && kind != TBL_FILE) {
        if ((size_t)n > SIZE_MAX / 2 / (size_t)entry_size(t)) {
            free(t);
            return nullptr;
        }
        t->data = static_cast<char *>(malloc((size_t)n * (size_t)entry_size(t)));
        if (!t->data) {
            free(t);
            return nullptr;
        }
        t->room = n;
    }
    return t;
}

}  // namespace

extern "C" {

Tbl *newtbl(long n) { return make(n, 0, TBL_POINTERS); }

Tbl *inittbl(void *, long n, int, void *, long size) {
    if (size < 0) return nullptr;
    return make(n, size, size > 0 ? TBL_RECORDS : TBL_POINTERS);
}

int filetbl(const char *filename, const char *name, long nmax, int, long size, Tbl **tbl) {
    if (tbl) *tbl = nullptr;
    if (!filename || !*filename || !name || !tbl || size <= 0) {
        elog_log(0, "filetbl: bad arguments.\n");
        return -1;
    }
    if (strlen(name) > 31) {
        elog_log(0, "filetbl: name '%s' is longer than 31 characters.\n", name);
        return -1;
    }
    int fd = open(filename, O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0) {
        elog_log(1, "filetbl: open(%s) error.\n", filename);
        return -1;
    }
    // Entered before any lock is taken: a child forked from now on holds
    // neither this list's lock nor one a family takes on the descriptor.
    if (hk_lockfd_keep("filetbl", fd) < 0) {
        hk_lockfd_drop(fd);
        close(fd);
        return -1;
    }
    // One list per file at a time: two lists on one file (in two processes,
    // or twice in one) would each keep their own count and overwrite each
    // other's records.  The lock belongs to this descriptor and sits on one
    // byte far past any record, so it leaves the file's own ranges to the
    // families that lock them.
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = (off_t)1 << 62;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &fl) < 0 && (errno == EAGAIN || errno == EACCES)) {
        elog_log(0, "filetbl: '%s' is already open as a list (in this or another process).\n", filename);
        hk_lockfd_drop(fd);
        close(fd);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) < 0) {
        elog_log(1, "filetbl: fstat(%s) error.\n", filename);
        hk_lockfd_drop(fd);
        close(fd);
        return -1;
    }
    Tbl *t = make(0, size, TBL_FILE);
    char *fname = strdup(filename);
    if (!t || !fname) {
        elog_log(1, "filetbl: malloc() error.\n");
        free(t);
        free(fname);
        hk_lockfd_drop(fd);
        close(fd);
        return -1;
    }
    t->fd = fd;
    t->filename = fname;
    long room = nmax > 0 ? nmax : 1;
    int64_t count = 0;
    if (st.st_size > 0) {
        char head[kHeader];
        if (st.st_size < (off_t)kHeader || pread(fd, head, kHeader, 0) != (ssize_t)kHeader ||
            memcmp(head, kMagic, sizeof kMagic) != 0) {
            elog_log(0, "filetbl: '%s' is not a list file.\n", filename);
            freetbl(t, nullptr);
            return -1;
        }
        char fname_in[33] = {0};
        memcpy(fname_in, head + 8, 32);
        int64_t fsize, froom;
        memcpy(&fsize, head + 40, 8);
        memcpy(&count, head + 48, 8);
        memcpy(&froom, head + 56, 8);
        if (strcmp(fname_in, name) != 0 || fsize != size) {
            elog_log(0, "filetbl: '%s' holds list '%s' of %ld-byte records, not '%s' of %ld-byte records.\n",
                     filename, fname_in, (long)fsize, name, size);
            freetbl(t, nullptr);
            return -1;
        }
        int64_t fits = (st.st_size - (off_t)kHeader) / size;
        if (count < 0 || froom < 0 || count > froom || froom > fits) {
            elog_log(0, "filetbl: '%s' is damaged (count %ld, room %ld, file holds %ld records).\n", filename,
                     (long)count, (long)froom, (long)fits);
            freetbl(t, nullptr);
            return -1;
        }
        if (froom > room) room = (long)froom;
    }
    if (file_map(t, room) < 0) {
        freetbl(t, nullptr);
        return -1;
    }
    memcpy(t->map, kMagic, sizeof kMagic);
    memset(t->map + 8, 0, 32);
    memcpy(t->map + 8, name, strlen(name));
    int64_t s64 = size;
    memcpy(t->map + 40, &s64, 8);
    t->n = (long)count;
    sync_count(t);
    *tbl = t;
    return 0;
}

int filetbl_fd(const Tbl *t) { return t && t->kind == TBL_FILE ? t->fd : -1; }
size_t filetbl_mapsize(const Tbl *t) { return t && t->kind == TBL_FILE ? t->mapsize : 0; }

long maxtbl(const Tbl *t) { return t ? t->n : 0; }

long pushtbl(Tbl *t, const void *p) {
    if (!t) return -1;
    // A record copied from the list itself (pushtbl(t, gettbl(t, i))) would
    // be read from freed or unmapped storage once the list grows: take it
    // out first.
    char *own = nullptr;
    if (t->kind != TBL_POINTERS && p && t->data && t->n + 1 > t->room) {
        const char *c = static_cast<const char *>(p);
        if (c >= t->data && c < t->data + (size_t)t->room * (size_t)t->size) {
            own = static_cast<char *>(malloc((size_t)t->size));
            if (!own) {
                elog_log(1, "tbl: malloc(%ld) error.\n", t->size);
                return -1;
            }
            memcpy(own, p, (size_t)t->size);
            p = own;
        }
    }
    if (grow(t, t->n + 1) < 0) {
        free(own);
        return -1;
    }
    store(t, t->n, p);
    free(own);
    t->n++;
    sync_count(t);
    return t->n;
}

void *gettbl(const Tbl *t, long i) {
    if (!t || i < 0 || i >= t->n) return nullptr;
    if (t->kind == TBL_POINTERS) {
        void *p;
        memcpy(&p, slot(t, i), sizeof p);
        return p;
    }
    return slot(t, i);
}

long settbl(Tbl *t, long i, const void *p) {
    if (!t) return -1;
    if (i == -1) i = t->n;
    if (i < 0 || i > t->n) return -1;
    if (i == t->n) return pushtbl(t, p) < 0 ? -1 : i;
    store(t, i, p);
    return i;
}

void *shifttbl(Tbl *t) {
    if (!t || t->n == 0) return nullptr;
    void *first = t->kind == TBL_POINTERS ? gettbl(t, 0) : nullptr;
    deltbl(t, 0, 0);
    return first;
}

void *poptbl(Tbl *t) {
    if (!t || t->n == 0) return nullptr;
    void *last = t->kind == TBL_POINTERS ? gettbl(t, t->n - 1) : nullptr;
    t->n--;
    sync_count(t);
    return last;
}

long deltbl(Tbl *t, long i, long j) {
    if (!t || i < 0 || j < i || j >= t->n) return -1;
    long es = entry_size(t);
    memmove(slot(t, i), slot(t, j + 1), (size_t)(t->n - j - 1) * (size_t)es);
    t->n -= j - i + 1;
    sync_count(t);
    return t->n;
}

}  // extern "C"

namespace {
struct SortCtx {
    int (*cmp)(const void *, const void *, void *);
    void *priv;
};
int sort_tramp(const void *a, const void *b, void *ctx) {
    const SortCtx *c = static_cast<const SortCtx *>(ctx);
    return c->cmp(a, b, c->priv);
}

// A stable sort in place, for when the merge sort's scratch memory cannot be
// had: insertion sort of short runs, then merges by rotation (no memory,
// O(n log^2 n) comparisons).
struct InPlace {
    char *base;
    size_t es;
    SortCtx *ctx;

    char *at(size_t i) const { return base + i * es; }
    bool less(size_t i, size_t j) const { return sort_tramp(at(i), at(j), ctx) < 0; }
    void swap(size_t i, size_t j) const {
        char *a = at(i), *b = at(j);
        for (size_t k = 0; k < es; k++) {
            char t = a[k];
            a[k] = b[k];
            b[k] = t;
        }
    }
    void reverse(size_t lo, size_t hi) const {  // [lo, hi)
        while (lo + 1 < hi) swap(lo++, --hi);
    }
    void rotate(size_t lo, size_t mid, size_t hi) const {
        reverse(lo, mid);
        reverse(mid, hi);
        reverse(lo, hi);
    }
    void insertion(size_t lo, size_t hi) const {
        for (size_t i = lo + 1; i < hi; i++)
            for (size_t j = i; j > lo && less(j, j - 1); j--) swap(j, j - 1);
    }
    // Merges the sorted runs [a, m) and [m, b), equal entries of the first
    // run staying first.
    void merge(size_t a, size_t m, size_t b) const {
        if (a >= m || m >= b) return;
        if (m - a == 1) {
            size_t i = m, j = b;  // the first place whose entry is not less than a's
            while (i < j) {
                size_t h = i + (j - i) / 2;
                if (less(h, a))
                    i = h + 1;
                else
                    j = h;
            }
            for (size_t k = a; k + 1 < i; k++) swap(k, k + 1);
            return;
        }
        if (b - m == 1) {
            size_t i = a, j = m;  // the first place whose entry is greater than m's
            while (i < j) {
                size_t h = i + (j - i) / 2;
                if (!less(m, h))
                    i = h + 1;
                else
                    j = h;
            }
            for (size_t k = m; k > i; k--) swap(k, k - 1);
            return;
        }
        size_t mid = a + (b - a) / 2, n = mid + m, start, r;
        if (m > mid) {
            start = n - b;
            r = mid;
        } else {
            start = a;
            r = m;
        }
        size_t p = n - 1;
        while (start < r) {
            size_t c = start + (r - start) / 2;
            if (!less(p - c, c))
                start = c + 1;
            else
                r = c;
        }
        size_t end = n - start;
        if (start < m && m < end) rotate(start, m, end);
        if (a < start && start < mid) merge(a, start, mid);
        if (mid < end && end < b) merge(mid, end, b);
    }
    void sort(size_t n) const {
        const size_t run = 16;
        for (size_t lo = 0; lo < n; lo += run) insertion(lo, lo + run < n ? lo + run : n);
        for (size_t width = run; width < n; width *= 2)
            for (size_t lo = 0; lo + width < n; lo += 2 * width)
                merge(lo, lo + width, lo + 2 * width < n ? lo + 2 * width : n);
    }
};
}  // namespace

extern "C" {

void sorttbl(Tbl *t, int (*cmp)(const void *, const void *, void *), void *priv) {
    if (!t || !cmp || t->n < 2) return;
    SortCtx ctx{cmp, priv};
    // qsort_r is not stable; lists are sorted stably so that equal entries
    // keep their order (callers sort on part of a key and rely on it).
    size_t es = (size_t)entry_size(t);
    size_t n = (size_t)t->n;
    char *tmp = static_cast<char *>(malloc(n * es));
    if (!tmp) {
        InPlace{t->data, es, &ctx}.sort(n);
        sync_count(t);
        return;
    }
    // bottom-up merge sort
    char *src = t->data, *dst = tmp;
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = lo + width < n ? lo + width : n;
            size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
            size_t a = lo, b = mid, k = lo;
            while (a < mid && b < hi) {
                if (sort_tramp(src + b * es, src + a * es, &ctx) < 0)
                    memcpy(dst + (k++) * es, src + (b++) * es, es);
                else
                    memcpy(dst + (k++) * es, src + (a++) * es, es);
            }
            if (a < mid) memcpy(dst + k * es, src + a * es, (mid - a) * es), k += mid - a;
            if (b < hi) memcpy(dst + k * es, src + b * es, (hi - b) * es);
        }
        char *sw = src;
        src = dst;
        dst = sw;
    }
    if (src != t->data) memcpy(t->data, src, n * es);
    free(tmp);
    sync_count(t);
}

long searchtbl(const void *key, const Tbl *t, int (*cmp)(const void *, const void *, void *), void *priv) {
    if (!t || !cmp) return -1;
    long lo = 0, hi = t->n - 1;
    while (lo <= hi) {
        long mid = lo + (hi - lo) / 2;
        int c = cmp(key, slot(t, mid), priv);
        if (c == 0) return mid;
        if (c < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return -1;
}

void freetbl(Tbl *t, void (*free_fn)(void *)) {
    if (!t) return;
    if (free_fn) {
        for (long i = 0; i < t->n; i++) free_fn(gettbl(t, i));
    }
    if (t->kind == TBL_FILE) {
        if (t->map) {
            msync(t->map, t->mapsize, MS_SYNC);
            munmap(t->map, t->mapsize);
        }
        if (t->fd >= 0) {
            hk_lockfd_drop(t->fd);
            close(t->fd);
        }
        free(t->filename);
    } else {
        free(t->data);
    }
    free(t);
}

Tbl *strtbl(const char *s, ...) {
    Tbl *t = newtbl(4);
    if (!t) return nullptr;
    va_list ap;
    va_start(ap, s);
    for (const char *p = s; p; p = va_arg(ap, const char *)) {
        if (pushtbl(t, p) < 0) {
            va_end(ap);
            freetbl(t, nullptr);
            return nullptr;
        }
    }
    va_end(ap);
    return t;
}

Tbl *duptbl(const Tbl *t) {
    if (!t) return nullptr;
    Tbl *c = make(t->n, t->kind == TBL_FILE ? t->size : t->size, t->kind == TBL_POINTERS ? TBL_POINTERS : TBL_RECORDS);
    if (!c) return nullptr;
    if (t->n) memcpy(c->data, t->data, (size_t)t->n * (size_t)entry_size(t));
    c->n = t->n;
    return c;
}

Hook *new_hook(void (*free_proc)(void *)) {
    Hook *h = static_cast<Hook *>(calloc(1, sizeof(Hook)));
    if (h) h->free_proc = free_proc;
    return h;
}

void free_hook(Hook **hook) {
    if (!hook || !*hook) return;
    Hook *h = *hook;
    if (h->free_proc && h->p) h->free_proc(h->p);
    free(h);
    *hook = nullptr;
}

}  // extern "C"
