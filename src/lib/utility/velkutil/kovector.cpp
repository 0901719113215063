/*
 * kovector -- the first-generation plot vectors: point vectors whose every
 * point is a record owning its y values and label, and time-sampled
 * vectors; with a handle registry, editing, evaluation, statistics,
 * transforms and the loaders of the shared vector formats.
 *
 * Invariants: a point vector has `size` point records, each with its own
 * zeroed array of `ny` doubles, and `data` null; a time-sampled vector has
 * `size` samples and `point` null; nx <= size.  A failed growth leaves the
 * vector as it was.
 */
#include "kovector.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kobase.h"
#include "koreader_pvt.h"
#include "koregistry_pvt.h"
#include "kovector2.h"
#include "tr.h"

namespace {

const char kIdent[8] = {'k', 'o', 'v', 'e', 'c', 0, 0, 0};
const double kMissing = 1e30;
const double kPi = 3.141592653589793;
const double kInfinite = 1e30;

KORegistry kovector_reg("vect%d", KORegistry::COUNT_THEN_INCREMENT, "vectors", "kovec", 8);

float kovector_gap = 0.0f;

bool is_live(const KOVector *v) { return v && memcmp(v->ident, kIdent, sizeof kIdent) == 0; }

KOVector *lookup(const char *fname, char *handle) {
    KOVector *v = kovector_get_vector(handle);
    if (!v) elog_log(0, "%s: kovector_get_vector() error.\n", fname);
    return v;
}

// heap_size is an int: charges saturate instead of overflowing.
void charge(KOVector *v, long bytes) {
    long h = (long)v->heap_size + bytes;
    v->heap_size = h > INT_MAX ? INT_MAX : (int)h;
}

void free_points(KOVector *v, long from, long to) {
    for (long i = from; i < to; i++) {
        free(v->point[i].y);
        free(v->point[i].label);
        v->point[i].y = nullptr;
        v->point[i].label = nullptr;
    }
}

void release(KOVector *v) {
    if (v->point) free_points(v, 0, v->size);
    free(v->point);
    free(v->data);
    free(v->tag);
    memset(v->ident, 0, sizeof v->ident);
    free(v);
}

// A new unregistered record with capacity `size`; null with
// "<fname>: malloc() error.\n" (flag 1).
KOVector *new_vector(long size, int ny, bool tsamp, const char *tag, const char *fname) {
    if (size < 0) size = 0;
    if (ny < 0) ny = 0;
    long per = tsamp ? (long)sizeof(double) : (long)sizeof(KOVectorPoint) + ny * (long)sizeof(double);
    if (size > INT_MAX || size * per > INT_MAX - 4096L) {
        elog_log(0, "%s: vector of %ld points of %d values is too large.\n", fname, size, ny);
        return nullptr;
    }
    auto *v = static_cast<KOVector *>(calloc(1, sizeof(KOVector)));
    if (!v) {
        elog_log(1, "%s: malloc() error.\n", fname);
        return nullptr;
    }
    memcpy(v->ident, kIdent, sizeof kIdent);
    v->heap_size = (int)sizeof(KOVector);
    v->size = (int)size;
    v->ny = tsamp ? 1 : ny;
    bool ok = true;
    if (tag) {
        v->tag = strdup(tag);
        ok = v->tag != nullptr;
        if (ok) charge(v, (long)strlen(tag) + 1);
    }
    if (ok && tsamp) {
        v->data = static_cast<double *>(calloc((size_t)(size ? size : 1), sizeof(double)));
        ok = v->data != nullptr;
        if (ok) charge(v, size * (long)sizeof(double));
    } else if (ok) {
        v->point = static_cast<KOVectorPoint *>(calloc((size_t)(size ? size : 1), sizeof(KOVectorPoint)));
        ok = v->point != nullptr;
        for (long i = 0; ok && i < size; i++) {
            v->point[i].y = static_cast<double *>(calloc((size_t)(ny ? ny : 1), sizeof(double)));
            ok = v->point[i].y != nullptr;
        }
        if (ok) charge(v, size * per);
    }
    if (!ok) {
        elog_log(1, "%s: malloc() error.\n", fname);
        release(v);
        return nullptr;
    }
    return v;
}

// Registers v (if handle is given); on failure v is released.
KOVector *finish(KOVector *v, char *handle, const char *fname) {
    if (handle) {
        char tmp[64];
        if (kovector_reg.add(fname, v, tmp) < 0) {
            release(v);
            return nullptr;
        }
        strcpy(handle, tmp);
    }
    return v;
}

// Doubles the capacity while nx >= size; a failure changes nothing.
int grow(KOVector *v) {
    long ns = v->size > 0 ? v->size : 1;
    while (v->nx >= ns) ns *= 2;
    if (ns == v->size) return 0;
    long add = ns - v->size;
    if (ns > INT_MAX) {
        elog_log(0, "kovector_resize: vector of %ld points is too large.\n", ns);
        return -1;
    }
    if (v->data) {
        auto *d = static_cast<double *>(realloc(v->data, (size_t)ns * sizeof(double)));
        if (!d) {
            elog_log(1, "kovector_resize: realloc() error.\n");
            return -1;
        }
        memset(d + v->size, 0, (size_t)add * sizeof(double));
        v->data = d;
        charge(v, add * (long)sizeof(double));
    } else {
        // The new slots' y arrays are made first, so that a failure leaves
        // nothing half grown.
        std::vector<double *> ys;
        try {
            ys.reserve((size_t)add);
        } catch (...) {
            elog_log(1, "kovector_resize: realloc() error.\n");
            return -1;
        }
        for (long i = 0; i < add; i++) {
            auto *y = static_cast<double *>(calloc((size_t)(v->ny ? v->ny : 1), sizeof(double)));
            if (!y) {
                for (double *p : ys) free(p);
                elog_log(1, "kovector_resize: realloc() error.\n");
                return -1;
            }
            ys.push_back(y);
        }
        auto *p = static_cast<KOVectorPoint *>(realloc(v->point, (size_t)ns * sizeof(KOVectorPoint)));
        if (!p) {
            for (double *y : ys) free(y);
            elog_log(1, "kovector_resize: realloc() error.\n");
            return -1;
        }
        for (long i = 0; i < add; i++) p[v->size + i] = KOVectorPoint{0.0, ys[(size_t)i], nullptr};
        v->point = p;
        charge(v, add * ((long)sizeof(KOVectorPoint) + v->ny * (long)sizeof(double)));
    }
    v->size = (int)ns;
    return 0;
}

double gap_value() {
    if (kovector_gap == 0.0f) trfill_gap(&kovector_gap, 1);
    return (double)kovector_gap;
}

double ts_end(const KOVector *v) { return v->time + (v->nx - 1) * v->dt; }

double eval_tsamp(const KOVector *v, double x) {
    double gap = gap_value();
    const double *s = v->data;
    if (!(x >= v->time && x <= ts_end(v))) return gap;
    double r = (x - v->time) / v->dt;
    long i = (long)(r >= 0 ? r + 0.5 : r - 0.5);
    if (i < 0 || i >= v->nx || s[i] > kMissing) return gap;
    double ti = v->time + i * v->dt;
    if (x == ti) return s[i];
    long j = x < ti ? i - 1 : i + 1;
    if (j < 0 || j >= v->nx) return s[i];
    if (s[j] > kMissing) return gap;
    if (j < i) return s[j] + (x - (ti - v->dt)) * (s[i] - s[j]) / v->dt;
    return s[i] + (x - ti) * (s[j] - s[i]) / v->dt;
}

void interpolate(const KOVector *v, long a, long b, double x, double *y) {
    const KOVectorPoint &pa = v->point[a], &pb = v->point[b];
    for (int k = 0; k < v->ny; k++) y[k] = pa.y[k] + (x - pa.x) * (pb.y[k] - pa.y[k]) / (pb.x - pa.x);
}

void copy_y(const KOVector *v, long i, double *y) { memcpy(y, v->point[i].y, (size_t)v->ny * sizeof(double)); }

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

KOVector *copy_vector(KOVector *src, int yindex, char *tag, char *handle, const char *fname) {
    if (src->data) {
        KOVector *n = kovector_create_tsamp(src->nx, src->time, 1.0 / src->dt, src->data, tag, nullptr);
        if (!n) {
            elog_log(0, "%s: kovector_create_tsamp() error.\n", fname);
            return nullptr;
        }
        n->dt = src->dt;
        return finish(n, handle, fname);
    }
    if (!src->point) return nullptr;
    int ny = yindex < 0 ? src->ny : 1;
    KOVector *n = kovector_create(src->nx, ny, tag, nullptr);
    if (!n) {
        elog_log(0, "%s: kovector_create() error.\n", fname);
        return nullptr;
    }
    n->nx = src->nx;
    for (long i = 0; i < src->nx; i++) {
        const KOVectorPoint &s = src->point[i];
        KOVectorPoint &d = n->point[i];
        d.x = s.x;
        if (yindex < 0)
            memcpy(d.y, s.y, (size_t)ny * sizeof(double));
        else
            d.y[0] = s.y[yindex];
        if (s.label && !(d.label = strdup(s.label))) {
            elog_log(1, "%s: strdup() error.\n", fname);
            release(n);
            return nullptr;
        }
    }
    return finish(n, handle, fname);
}

KOVector *transform_vector(const char *fname, char *handle) {
    KOVector *v = lookup(fname, handle);
    if (!v) return nullptr;
    if (v->data) {
        elog_log(0, "%s: Cannot transform time sample data.\n", fname);
        return nullptr;
    }
    return v;
}

enum StatType { ST_MAX, ST_MIN, ST_AMAX, ST_AMIN, ST_MEDIAN };

bool same_abscissae(const KOVector *a, const KOVector *b) {
    if (!b->point || a->nx != b->nx || a->ny != b->ny) return false;
    for (long i = 0; i < a->nx; i++)
        if (a->point[i].x != b->point[i].x) return false;
    return true;
}

// Points of a text file into a registered vector, growing it by handle.
class TextToVector : public koreader::TextSink {
public:
    TextToVector(KOVector *v, char *handle) : v_(v), handle_(handle) {}
    int point(double x, const double *y, const char *label) override {
        if (v_->nx == INT_MAX) {
            errno = EOVERFLOW;
            elog_log(1, "kovector_read: kovector_resize() error.\n");
            return -1;
        }
        v_->nx++;
        int rc = kovector_resize(handle_);
        v_->nx--;
        if (rc < 0) {
            elog_log(1, "kovector_read: kovector_resize() error.\n");
            return -1;
        }
        KOVectorPoint &p = v_->point[v_->nx];
        p.x = x;
        memcpy(p.y, y, (size_t)v_->ny * sizeof(double));
        free(p.label);
        p.label = nullptr;
        if (label && !(p.label = strdup(label))) {
            elog_log(1, "kovector_read: malloc() error.\n");
            return -1;
        }
        v_->nx++;
        return 0;
    }

private:
    KOVector *v_;
    char *handle_;
};

class BlobToVector : public koreader::BlobSink {
public:
    explicit BlobToVector(char *tag) : tag_(tag) {}
    int make(long n, double time, double samprate, double *samples, char *handle) override {
        if (n > INT_MAX || !kovector_create_tsamp((int)n, time, samprate, samples, tag_, handle)) {
            elog_log(0, "kovector_read_from_trblob: kovector_create_tsamp() error.\n");
            return -1;
        }
        return 0;
    }
    void drop(char *handle) override { kovector_free(handle); }

private:
    char *tag_;
};

}  // namespace

extern "C" {

KOVector *kovector_get_vector(char *handle) {
    return static_cast<KOVector *>(kovector_reg.get("kovector_get_vector", handle));
}

KOVector *kovector_create(int nx, int ny, char *tag, char *handle) {
    if (kovector_reg.ensure("kovector_create") < 0) return nullptr;
    if (ny < 0) {
        elog_log(0, "kovector_create: Illegal ny value %d.\n", ny);
        return nullptr;
    }
    long size = nx > 0 ? (long)(nx * 1.2) : 100;
    KOVector *v = new_vector(size, ny, false, tag, "kovector_create");
    return v ? finish(v, handle, "kovector_create") : nullptr;
}

KOVector *kovector_create_tsamp(int nsamp, double time, double samprate, double *data, char *tag, char *handle) {
    if (kovector_reg.ensure("kovector_create_tsamp") < 0) return nullptr;
    if (!(samprate > 0.0) || !std::isfinite(samprate) || !std::isfinite(1.0 / samprate)) {
        elog_log(0, "kovector_create_tsamp: Illegal sample rate %g.\n", samprate);
        return nullptr;
    }
    if (nsamp > 0 && !data) {
        elog_log(0, "kovector_create_tsamp: No data for %d samples.\n", nsamp);
        return nullptr;
    }
    long size = nsamp > 0 ? (long)(nsamp * 1.2) : 1000;
    KOVector *v = new_vector(size, 1, true, tag, "kovector_create_tsamp");
    if (!v) return nullptr;
    if (nsamp > 0) {
        v->nx = nsamp;
        memcpy(v->data, data, (size_t)nsamp * sizeof(double));
    }
    v->time = time;
    v->dt = 1.0 / samprate;
    return finish(v, handle, "kovector_create_tsamp");
}

KOVector *kovector_copy(char *in_handle, char *tag, char *handle) {
    KOVector *src = lookup("kovector_copy", in_handle);
    return src ? copy_vector(src, -1, tag, handle, "kovector_copy") : nullptr;
}

KOVector *kovector_copy_1y(char *in_handle, int yindex, char *tag, char *handle) {
    KOVector *src = lookup("kovector_copy_1y", in_handle);
    if (!src) return nullptr;
    if (yindex < 0 || src->data) return copy_vector(src, -1, tag, handle, "kovector_copy_1y");
    if (yindex >= src->ny) {
        elog_log(0, "kovector_copy_1y: Illegal yindex value.\n");
        return nullptr;
    }
    return copy_vector(src, yindex, tag, handle, "kovector_copy_1y");
}

int kovector_resize(char *handle) {
    KOVector *v = lookup("kovector_resize", handle);
    return v ? grow(v) : -1;
}

void kovector_free_vector(KOVector *vector) {
    if (!is_live(vector)) return;
    kovector_reg.remove_object(vector);
    release(vector);
}

int kovector_free(char *handle) {
    kovector_free_vector(static_cast<KOVector *>(kovector_reg.find(handle)));
    return 0;
}

int kovector_free_tag(char *tag) {
    return kovector_reg.free_by_label(
        tag, [](const void *p) -> const char * { return static_cast<const KOVector *>(p)->tag; },
        [](void *p) { release(static_cast<KOVector *>(p)); });
}

int kovector_get_heap_size(char *tag, char *handle, long *nobjects, long *heap_total) {
    long nobj = 0, total = 0;
    if (nobjects) *nobjects = 0;
    if (heap_total) *heap_total = 0;
    if (!tag && handle) {
        KOVector *v = kovector_get_vector(handle);
        if (!v) {
            elog_log(0, "kovector_get_heap_size: kovector_get_vector() error.\n");
            return -1;
        }
        nobj = 1;
        total = v->heap_size;
    } else if (kovector_reg.array()) {
        Tbl *vals = valsarr(kovector_reg.array());
        if (!vals && cntarr(kovector_reg.array()) > 0) {
            // Counting nothing would be a wrong answer, not an empty one.
            elog_log(1, "kovector_get_heap_size: valsarr() error.\n");
            return -1;
        }
        for (long i = 0; i < maxtbl(vals); i++) {
            auto *v = static_cast<KOVector *>(gettbl(vals, i));
            if (!v || (tag && (!v->tag || strcmp(v->tag, tag) != 0))) continue;
            nobj++;
            total += v->heap_size;
        }
        freetbl(vals, nullptr);
    }
    if (nobjects) *nobjects = nobj;
    if (heap_total) *heap_total = total;
    return 0;
}

/* ------------------------------------------------------------ editing */

int kovector_append(char *handle, int index, double x, double *y, char *label) {
    KOVector *v = lookup("kovector_append", handle);
    if (!v) return -1;
    if (!v->point) {
        elog_log(0, "kovector_append: Cannot append to time sample vector\n");
        return -1;
    }
    if (!y && v->ny > 0) {
        elog_log(0, "kovector_append: No y values given.\n");
        return -1;
    }
    int old = v->nx;
    if (index < 0 || index > old) index = old;
    char *dup = nullptr;
    if (label && *label && !(dup = strdup(label))) {
        elog_log(1, "kovector_append: strdup() error.\n");
        return -1;
    }
    if (old == INT_MAX) {
        free(dup);
        elog_log(0, "kovector_append: kovector_resize() error.\n");
        return -1;
    }
    // Room for a point at index nx: the capacity doubles when it is full.
    if (grow(v) < 0) {
        free(dup);
        elog_log(0, "kovector_append: kovector_resize() error.\n");
        return -1;
    }
    v->nx = old + 1;
    // The slot past the old points gives its storage to the new point.
    KOVectorPoint freed = v->point[old];
    if (index < old) memmove(&v->point[index + 1], &v->point[index], (size_t)(old - index) * sizeof(KOVectorPoint));
    free(freed.label);
    freed.label = dup;
    freed.x = x;
    for (int k = 0; k < v->ny; k++) freed.y[k] = y[k];
    v->point[index] = freed;
    return 0;
}

static int check_index(KOVector *v, char *handle, int index, const char *fname) {
    if (v->nx < 1) {
        elog_log(0, "%s: No points in vector %s.\n", fname, handle);
        return -1;
    }
    if (index < 0 || index >= v->nx) {
        elog_log(0, "%s: Illegal ix value\n", fname);
        return -1;
    }
    return 0;
}

// Replaces a point's label: null leaves it, "" removes it.
static int put_label(KOVectorPoint &p, const char *label, const char *fname) {
    if (!label) return 0;
    char *dup = nullptr;
    if (*label && !(dup = strdup(label))) {
        elog_log(1, "%s: strdup() error.\n", fname);
        return -1;
    }
    free(p.label);
    p.label = dup;
    return 0;
}

int kovector_put(char *handle, int index, double x, double *y, char *label) {
    KOVector *v = lookup("kovector_put", handle);
    if (!v || check_index(v, handle, index, "kovector_put") < 0) return -1;
    if (!v->point) {
        elog_log(0, "kovector_put: Cannot put X(time) value for constant sampled data.\n");
        return -1;
    }
    if (!y && v->ny > 0) {
        elog_log(0, "kovector_put: No y values given.\n");
        return -1;
    }
    KOVectorPoint &p = v->point[index];
    if (put_label(p, label, "kovector_put") < 0) return -1;
    p.x = x;
    for (int k = 0; k < v->ny; k++) p.y[k] = y[k];
    return 0;
}

int kovector_puty(char *handle, int index, double *y, char *label) {
    KOVector *v = lookup("kovector_puty", handle);
    if (!v || check_index(v, handle, index, "kovector_puty") < 0) return -1;
    if (!y && (v->ny > 0 || v->data)) {
        elog_log(0, "kovector_puty: No y values given.\n");
        return -1;
    }
    if (v->data) {
        v->data[index] = y[0];
        return 0;
    }
    KOVectorPoint &p = v->point[index];
    if (put_label(p, label, "kovector_puty") < 0) return -1;
    for (int k = 0; k < v->ny; k++) p.y[k] = y[k];
    return 0;
}

int kovector_get_point(char *handle, int index, double *x, double *y, char *label) {
    KOVector *v = lookup("kovector_get_point", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector_get_point: No points in vector %s.\n", handle);
        return -1;
    }
    if (index < 0 || index >= v->nx) {
        elog_log(0, "kovector_get_point: Illegal index value\n");
        return -1;
    }
    if (v->data) {
        if (x) *x = v->time + index * v->dt;
        if (y) y[0] = v->data[index];
        return 0;
    }
    const KOVectorPoint &p = v->point[index];
    if (x) *x = p.x;
    if (y) copy_y(v, index, y);
    if (label && p.label) strcpy(label, p.label);
    return 0;
}

int kovector_get_points(char *handle, int *npts, int *ny, double **xpts, void *vypts, char ***labels) {
    KOVector *v = lookup("kovector_get_points", handle);
    if (!v) return -1;
    if (!npts || !ny || !xpts || !vypts) {
        elog_log(0, "kovector_get_points: Null output argument.\n");
        return -1;
    }
    *npts = 0;
    int col = *ny;
    int vny = v->data ? 1 : v->ny;
    if (col >= vny) {
        elog_log(1, "kovector_get_points: index out of range.\n");
        return -1;
    }
    long n = v->nx;
    auto fail = [&](char **lbl, double **cols, int ncols) {
        elog_log(1, "kovector_get_points: malloc() error.\n");
        free(*xpts);
        *xpts = nullptr;
        if (lbl) {
            for (long i = 0; i < n; i++) free(lbl[i]);
            free(lbl);
        }
        if (cols) {
            for (int k = 0; k < ncols; k++) free(cols[k]);
            free(cols);
        }
        return -1;
    };
    *xpts = static_cast<double *>(malloc((size_t)(n ? n : 1) * sizeof(double)));
    if (!*xpts) return fail(nullptr, nullptr, 0);
    char **lbl = nullptr;
    if (labels) {
        lbl = static_cast<char **>(calloc((size_t)(n ? n : 1), sizeof(char *)));
        if (!lbl) return fail(nullptr, nullptr, 0);
        for (long i = 0; v->point && i < n; i++)
            if (v->point[i].label && !(lbl[i] = strdup(v->point[i].label))) return fail(lbl, nullptr, 0);
    }
    int ncols = col < 0 ? vny : 1;
    auto **cols = static_cast<double **>(calloc((size_t)ncols, sizeof(double *)));
    if (!cols) return fail(lbl, nullptr, 0);
    for (int k = 0; k < ncols; k++)
        if (!(cols[k] = static_cast<double *>(malloc((size_t)(n ? n : 1) * sizeof(double)))))
            return fail(lbl, cols, ncols);
    for (long i = 0; i < n; i++) {
        if (v->data) {
            (*xpts)[i] = v->time + i * v->dt;
            cols[0][i] = v->data[i];
        } else {
            (*xpts)[i] = v->point[i].x;
            for (int k = 0; k < ncols; k++) cols[k][i] = v->point[i].y[col < 0 ? k : col];
        }
    }
    if (col < 0) {
        *ny = vny;
        *static_cast<double ***>(vypts) = cols;
    } else {
        *static_cast<double **>(vypts) = cols[0];
        free(cols);
    }
    if (labels) *labels = lbl;
    *npts = (int)n;
    return 0;
}

/* ------------------------------------------------------------ evaluation and statistics */

int kovector_eval(char *handle, double x, double *y) {
    KOVector *v = lookup("kovector_eval", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector_eval: No points in vector %s.\n", handle);
        return -1;
    }
    if (!y) return 0;
    if (v->data) {
        y[0] = v->nx == 1 ? v->data[0] : eval_tsamp(v, x);
        return 0;
    }
    long n = v->nx;
    if (n == 1) {
        copy_y(v, 0, y);
    } else if (v->point[n - 1].x >= v->point[0].x) {
        long i = 0;
        while (i < n && !(v->point[i].x >= x)) i++;
        if (i == 0)
            copy_y(v, 0, y);
        else if (i == n)
            copy_y(v, n - 1, y);
        else
            interpolate(v, i - 1, i, x, y);
    } else {
        long i = n - 1;
        while (i >= 0 && !(v->point[i].x >= x)) i--;
        if (i == n - 1)
            copy_y(v, n - 1, y);
        else if (i < 0)
            copy_y(v, 0, y);
        else
            interpolate(v, i + 1, i, x, y);
    }
    return 0;
}

int kovector_maxmin(char *handle, int iy, double *xmin, double *xmax, double *ymin, double *ymax) {
    KOVector *v = lookup("kovector_maxmin", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector_maxmin: No points in vector %s.\n", handle);
        return -1;
    }
    if ((iy < 0 ? 0 : iy) >= v->ny) {
        elog_log(0, "kovector_maxmin: iy too large.\n");
        return -1;
    }
    Extent xe, ye;
    if (v->data) {
        xe.add(v->time);
        xe.add(ts_end(v));
        for (long i = 0; i < v->nx; i++) ye.add(v->data[i]);
    } else {
        for (long i = 0; i < v->nx; i++) {
            const KOVectorPoint &p = v->point[i];
            xe.add(p.x);
            if (iy < 0)
                for (int k = 0; k < v->ny; k++) ye.add(p.y[k]);
            else
                ye.add(p.y[iy]);
        }
    }
    if (xmin) *xmin = xe.lo;
    if (xmax) *xmax = xe.hi;
    if (ymin) *ymin = ye.lo;
    if (ymax) *ymax = ye.hi;
    return 0;
}

long kovector_nearest(char *handle, int iy, double x, double y) {
    KOVector *v = lookup("kovector_nearest", handle);
    if (!v) return -2;
    if (v->nx < 1) return -1;
    if (iy < 0 || iy >= v->ny) {
        elog_log(0, "kovector_nearest: iy too large.\n");
        return -3;
    }
    if (v->data) {
        if (std::isnan(x)) return -1;
        if (x <= v->time) return 0;
        if (x >= ts_end(v)) return v->nx - 1;
        long i = (long)((x - v->time) / v->dt);
        return i < v->nx ? i : v->nx - 1;
    }
    // No point nearer than 9e99 (every distance infinite or not a number):
    // nothing to pick, as for an empty vector.
    double best = 9e99;
    long ibest = -1;
    for (long i = 0; i < v->nx; i++) {
        double dx = v->point[i].x - x, dy = v->point[i].y[iy] - y;
        double d = std::sqrt(dx * dx + dy * dy);
        if (d < best) {
            best = d;
            ibest = i;
        }
    }
    return ibest;
}

KOVector *kovector_stats(Tbl *kovector_handles, char *type, char *tag, char *handle) {
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
        elog_log(0, "kovector_stats: Unrecognized type '%s'\n", type ? type : "(null)");
        return nullptr;
    }
    long nh = maxtbl(kovector_handles);
    if (nh < 1) return nullptr;
    std::vector<KOVector *> in, part;
    try {
        in.reserve((size_t)nh);
        part.reserve((size_t)nh);
    } catch (...) {
        elog_log(1, "kovector_stats: malloc(values) error.\n");
        return nullptr;
    }
    for (long i = 0; i < nh; i++) {
        char *h = static_cast<char *>(gettbl(kovector_handles, i));
        KOVector *v = kovector_get_vector(h);
        if (!v) {
            elog_log(0, "kovector_append: kovector_get_vector(%s) error.\n", h ? h : "(null)");
            return nullptr;
        }
        in.push_back(v);
    }
    if (!in[0]->point) {
        elog_log(0, "kovector_append: Can only do stats on point vectors.\n");
        return nullptr;
    }
    KOVector *out = kovector_copy(static_cast<char *>(gettbl(kovector_handles, 0)), tag, handle);
    if (!out) {
        elog_log(0, "kovector_stats: kovector_copy() error.\n");
        return nullptr;
    }
    long n = out->nx;
    int ny = out->ny;
    if (st == ST_AMAX || st == ST_AMIN)
        for (long i = 0; i < n; i++)
            for (int k = 0; k < ny; k++) out->point[i].y[k] = std::fabs(out->point[i].y[k]);
    for (size_t i = 1; i < in.size(); i++)
        if (same_abscissae(out, in[i])) part.push_back(in[i]);
    if (part.empty()) return out;
    double *values = nullptr;
    if (st == ST_MEDIAN && !(values = static_cast<double *>(malloc((part.size() + 1) * sizeof(double))))) {
        elog_log(1, "kovector_stats: malloc(values) error.\n");
        kovector_free_vector(out);
        return nullptr;
    }
    for (long i = 0; i < n; i++) {
        for (int k = 0; k < ny; k++) {
            double cur = out->point[i].y[k];
            if (st == ST_MEDIAN) {
                size_t m = 0;
                values[m++] = cur;
                for (const KOVector *p : part) values[m++] = p->point[i].y[k];
                std::sort(values, values + m,
                          [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
                cur = m % 2 ? values[m / 2] : 0.5 * (values[m / 2 - 1] + values[m / 2]);
            } else {
                for (const KOVector *p : part) {
                    double val = p->point[i].y[k];
                    if (st == ST_MAX && val > cur) cur = val;
                    if (st == ST_MIN && val < cur) cur = val;
                    if (st == ST_AMAX && std::fabs(val) > cur) cur = std::fabs(val);
                    if (st == ST_AMIN && std::fabs(val) < cur) cur = std::fabs(val);
                }
            }
            out->point[i].y[k] = cur;
        }
    }
    free(values);
    return out;
}

/* ------------------------------------------------------------ loading */

KOVector *kovector_read(char *fname, char *tag, int line_off, int xpos, int ny, int *ypos, int lpos, char *handle) {
    if (kovector_reg.ensure("kovector_read") < 0) return nullptr;
    if (!handle) {
        elog_log(0, "kovector_read: A handle buffer is required.\n");
        return nullptr;
    }
    if (ny < 0 || (ny > 0 && !ypos)) {
        elog_log(0, "kovector_read: Illegal ny value %d or no y positions.\n", ny);
        return nullptr;
    }
    FILE *fp = fname ? fopen(fname, "r") : nullptr;
    if (!fp) {
        if (!fname) errno = EINVAL;
        elog_log(1, "kovector_read: fopen(%s) error.\n", fname ? fname : "(null)");
        return nullptr;
    }
    int ncol = ny > 0 ? ny : 1;
    char h[64];
    KOVector *v = kovector_create(0, ncol, tag, h);
    if (!v) {
        elog_log(0, "kovector_read: kovector_create() error.\n");
        fclose(fp);
        return nullptr;
    }
    auto *y = static_cast<double *>(calloc((size_t)ncol, sizeof(double)));
    if (!y) {
        elog_log(1, "kovector_read: malloc() error.\n");
        fclose(fp);
        kovector_free_vector(v);
        return nullptr;
    }
    koreader::TextColumns cols{line_off, xpos, ny, ypos, lpos};
    TextToVector sink(v, h);
    int rc = koreader::read_text(fp, fname, cols, y, "kovector_read", sink);
    free(y);
    fclose(fp);
    if (rc < 0) {
        kovector_free_vector(v);
        return nullptr;
    }
    strcpy(handle, h);
    return v;
}

KOVector *kovector_create_from_pf(Pf *pf, char *name, char *tag, char *handle, int *err) {
    int dummy;
    if (!err) err = &dummy;
    *err = -1;
    if (kovector_reg.ensure("kovector_create_from_pf") < 0) return nullptr;
    Tbl *rows = nullptr;
    if (parse_param(pf, name, 6, 1, &rows) < 0 || !rows) {
        elog_log(0, "kovector_create_from_pf: parse_param(%s) error.\n", name ? name : "(null)");
        return nullptr;
    }
    long nx = 0;
    int ny = 0;
    if (koreader::pf_table_scan(rows, "kovector_create_from_pf", &nx, &ny) < 0) {
        freetbl(rows, nullptr);
        return nullptr;
    }
    if (ny == 0) ny = 1;  // a table without data rows: an empty one-column vector
    auto *v = static_cast<KOVector *>(calloc(1, sizeof(KOVector)));
    if (!v) {
        elog_log(1, "kovector_create_from_pf: malloc(vector) error.\n");
        freetbl(rows, nullptr);
        return nullptr;
    }
    memcpy(v->ident, kIdent, sizeof kIdent);
    v->ny = ny;
    v->heap_size = (int)sizeof(KOVector);
    // heap_size (an int) must be able to hold what the points take.
    bool ok = nx <= INT_MAX / (long)(sizeof(KOVectorPoint) + 11 * sizeof(double));
    if (!ok) {
        errno = ENOMEM;
        elog_log(1, "kovector_create_from_pf: malloc(vector->point) error.\n");
    }
    if (ok && tag && !(v->tag = strdup(tag))) {
        elog_log(1, "kovector_create_from_pf: malloc(vector) error.\n");
        ok = false;
    } else if (ok && tag) {
        charge(v, (long)strlen(tag) + 1);
    }
    if (ok && !(v->point = static_cast<KOVectorPoint *>(calloc((size_t)(nx ? nx : 1), sizeof(KOVectorPoint))))) {
        elog_log(1, "kovector_create_from_pf: malloc(vector->point) error.\n");
        ok = false;
    }
    if (ok) {
        v->size = (int)nx;
        charge(v, nx * ((long)sizeof(KOVectorPoint) + ny * (long)sizeof(double)));
    }
    double vals[koreader::PF_MAXVALS];
    for (long r = 0, i = 0; ok && r < maxtbl(rows) && i < nx; r++) {
        if (koreader::pf_table_row(rows, r, vals) == 0) continue;
        KOVectorPoint &p = v->point[i++];
        if (!(p.y = static_cast<double *>(malloc((size_t)ny * sizeof(double))))) {
            elog_log(1, "kovector_create_from_pf: malloc(vector->point.y) error.\n");
            ok = false;
            break;
        }
        p.x = vals[0];
        memcpy(p.y, vals + 1, (size_t)ny * sizeof(double));
        v->nx = (int)i;
    }
    freetbl(rows, nullptr);
    if (!ok) {
        release(v);
        return nullptr;
    }
    if (!(v = finish(v, handle, "kovector_create_from_pf"))) return nullptr;
    *err = 0;
    return v;
}

KOVector *kovector_create_response_fap(char *filename, char *tag, char *handle, int *err) {
    int dummy;
    if (!err) err = &dummy;
    *err = -1;
    if (kovector_reg.ensure("kovector_create_response_fap") < 0) return nullptr;
    koreader::FapReader fap;
    int rc = fap.open(filename, "kovector_create_response_fap");
    if (rc != 0) {
        *err = rc;
        return nullptr;
    }
    KOVector *v = new_vector((long)(fap.count() * 1.2), fap.ny(), false, tag, "kovector_create_response_fap");
    if (!v) return nullptr;
    double vals[7];
    while (v->nx < fap.count() && v->nx < v->size && fap.next(vals)) {
        KOVectorPoint &p = v->point[v->nx++];
        p.x = vals[0];
        memcpy(p.y, vals + 1, (size_t)fap.ny() * sizeof(double));
    }
    if (!(v = finish(v, handle, "kovector_create_response_fap"))) return nullptr;
    *err = 0;
    return v;
}

int kovector_read_from_trblob(char *trblob, char *tag, Dbptr *dbtr) {
    if (kovector_reg.ensure("kovector_read_from_trblob") < 0) return -1;
    BlobToVector sink(tag);
    // Memory running out in the engine's row calls is the failure of the
    // record being read; the records before it stay.
    try {
        return koreader::read_blobs(trblob, dbtr, "kovector_read_from_trblob", sink);
    } catch (...) {
        elog_log(1, "kovector_read_from_trblob: out of memory for blob file %s\n", trblob ? trblob : "(null)");
        return -1;
    }
}

/* ------------------------------------------------------------ transforms */

int kovector_transform_edp(char *handle, double lonr, double latr) {
    KOVector *v = transform_vector("kovector_transform_edp", handle);
    if (!v) return -1;
    if (v->ny < 1 && v->nx > 0) {
        elog_log(0, "kovector_transform_edp: No latitudes in vector %s.\n", handle);
        return -1;
    }
    for (long i = 0; i < v->nx; i++) {
        KOVectorPoint &p = v->point[i];
        double xd, yd;
        latlon2xydel(latr, lonr, p.y[0], p.x, &xd, &yd);
        p.x = xd;
        p.y[0] = yd;
    }
    return 0;
}

int kovector_transform_invertx(char *handle) {
    KOVector *v = transform_vector("kovector_transform_invertx", handle);
    if (!v) return -1;
    for (long i = 0; i < v->nx; i++) {
        double &x = v->point[i].x;
        if (x == 0.0)
            x = kInfinite;
        else if (x == kInfinite)
            x = 0.0;
        else
            x = 1.0 / x;
    }
    return 0;
}

int kovector_transform_spec(char *handle, int ndif, int iy) {
    if (ndif == 0) return 0;
    KOVector *v = transform_vector("kovector_transform_spec", handle);
    if (!v) return -1;
    if (iy >= v->ny) {
        elog_log(0, "kovector_transform_spec: iy too large.\n");
        return -1;
    }
    for (long i = 0; i < v->nx; i++) {
        KOVectorPoint &p = v->point[i];
        double w = 2.0 * kPi * p.x, f = 1.0;
        if (ndif < 0 && w == 0.0) {
            f = kInfinite;
        } else {
            long count = ndif > 0 ? ndif : -(long)ndif;
            for (long j = 0; j < count; j++) {
                f = ndif > 0 ? f * w : f / w;
                // Once at 0, infinity or NaN only the sign can change.
                if (f == 0.0 || !std::isfinite(f)) {
                    if (!std::isnan(f) && w < 0 && (count - j - 1) % 2) f = -f;
                    break;
                }
            }
        }
        if (iy < 0)
            for (int k = 0; k < v->ny; k++) p.y[k] *= f;
        else
            p.y[iy] *= f;
    }
    return 0;
}

int kovector_transform_ygain(char *handle, double ygain, int iy) {
    if (ygain == 1.0) return 0;
    KOVector *v = lookup("kovector_transform_ygain", handle);
    if (!v) return -1;
    if (v->nx < 1) {
        elog_log(0, "kovector_transform_ygain: No points in vector %s.\n", handle);
        return -1;
    }
    if (iy >= v->ny) {
        elog_log(0, "kovector_transform_ygain: iy too large.\n");
        return -1;
    }
    for (long i = 0; i < v->nx; i++) {
        if (v->data) {
            v->data[i] *= ygain;
        } else if (iy < 0) {
            for (int k = 0; k < v->ny; k++) v->point[i].y[k] *= ygain;
        } else {
            v->point[i].y[iy] *= ygain;
        }
    }
    return 0;
}

}  // extern "C"
