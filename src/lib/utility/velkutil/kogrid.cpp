// Sample grids: the grid record and its handle tags, filling grids with data
// (with optional peak-hold decimation in time), keeping the axes ascending,
// evaluating fields at arbitrary points, extents, the big-endian packet form
// with its framed descriptor I/O, and reading slowness grids at
// distance-azimuth points.
//
// Not locked: callers use grids from one thread at a time (the slowness
// table alone guards its one-time build).

#include "kogrid.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include <pthread.h>
#include <unistd.h>

#include "arrays.h"
#include "koregistry_pvt.h"
#include "tr.h"
#include "tt.h"

namespace {

KORegistry kogrid_reg("grid%d", KORegistry::COUNT_THEN_INCREMENT, "grids");

const char *grid_label(const void *obj) { return static_cast<const KOGrid *>(obj)->tag; }
void release_grid(void *obj) { kogrid_free_kogrid(static_cast<KOGrid *>(obj)); }

// An owned copy of s (null stays null); false when the copy cannot be made.
bool copy_string(const char *fname, const char *what, const char *s, char **dst) {
    *dst = nullptr;
    if (!s) return true;
    size_t n = strlen(s) + 1;
    *dst = static_cast<char *>(malloc(n));
    if (!*dst) {
        elog_log(1, "%s: malloc(%s,%ld) error.\n", fname, what, (long)n);
        return false;
    }
    memcpy(*dst, s, n);
    return true;
}

// Values per field, and values for nsamps fields, checked against the
// 32-bit counts and size that the record and the packets carry (a mesh
// without nodes holds no values, but its sample count must still fit).
bool field_size(const KOGrid *g, long nsamps, long *size) {
    long nxy = (long)g->nxgrid * (long)g->nygrid;
    if (nsamps < 0 || nsamps > INT_MAX) return false;
    if (nxy == 0 || nsamps == 0) {
        *size = 0;
        return true;
    }
    if (nsamps > INT_MAX / nxy) return false;
    *size = nxy * nsamps;
    return true;
}

// Samples actually present in data (never more than nsamps).
long samples_held(const KOGrid *g) {
    long nxy = (long)g->nxgrid * (long)g->nygrid;
    if (g->nsamps <= 0) return 0;
    if (nxy == 0) return g->nsamps;
    if (!g->data) return 0;
    long held = g->data_size / nxy;
    return held < g->nsamps ? held : g->nsamps;
}

void release_data(KOGrid *g) {
    free(g->data);
    g->data = nullptr;
    g->data_size = 0;
    g->nsamps = 0;
}

// The direction of an axis: 1 ascending, -1 descending, 0 constant (or fewer
// than two nodes); false when it changes direction or holds NaN.
bool axis_direction(const float *c, int n, int *dir) {
    *dir = 0;
    if (!c || n < 2) return true;
    for (int k = 0; k + 1 < n; k++) {
        float d = c[k + 1] - c[k];
        if (std::isnan(d)) return false;
        if (d == 0.0f) continue;
        int s = d < 0.0f ? -1 : 1;
        if (*dir && s != *dir) return false;
        *dir = s;
    }
    return true;
}

// Evaluation searches by bisection when the axis is ascending; the answers
// are those of kogrid_find_interval's walk.
bool axis_ascending(const float *c, int n) {
    for (int k = 0; k + 1 < n; k++)
        if (!(c[k] <= c[k + 1])) return false;
    return true;
}

// Locates coord on an ascending axis.  scale maps coord - c[0] to a guess of
// the interval (exact on evenly spaced axes); a wrong guess falls back to
// bisection, so the answer is always the walk's.
inline int find_sorted(float coord, int n, const float *c, double scale, int *i0, int *i1, float *min, float *d) {
    if (n < 1 || std::isnan(coord) || coord < c[0]) {
        *i0 = *i1 = 0;
        *min = n < 1 ? 0.0f : c[0];
        *d = 0.0f;
        return -1;
    }
    if (n >= 2 && coord <= c[n - 1]) {
        // smallest k in [0, n-2] with coord <= c[k+1]
        int k = -1;
        if (scale > 0.0) {
            double g = ((double)coord - c[0]) * scale;
            int guess = g < (double)(n - 2) ? (int)g : n - 2;
            if (coord <= c[guess + 1] && (guess == 0 || coord > c[guess]))
                k = guess;
            else if (guess + 2 < n && coord <= c[guess + 2] && coord > c[guess + 1])
                k = guess + 1;
            else if (guess > 0 && coord <= c[guess] && (guess == 1 || coord > c[guess - 1]))
                k = guess - 1;
        }
        if (k < 0) {
            int lo = 0, hi = n - 2;
            while (lo < hi) {
                int mid = (lo + hi) >> 1;
                if (coord <= c[mid + 1])
                    hi = mid;
                else
                    lo = mid + 1;
            }
            k = lo;
        }
        *i0 = k;
        *i1 = k + 1;
        *min = c[k];
        *d = c[k + 1] - c[k];
        return 0;
    }
    if (coord > c[n - 1]) {
        *i0 = *i1 = n - 1;
        *min = c[n - 1];
        *d = 0.0f;
        return 1;
    }
    *i0 = *i1 = 0;
    *min = c[0];
    *d = 0.0f;
    return 0;
}

}  // namespace

extern "C" {

// ------------------------------------------------------------------ model

KOGrid *kogrid_create(const char *grid_type, long nxgrid, const float *xgrid_coords, const char *xgrid_type,
                      const char *xgrid_units, long nygrid, const float *ygrid_coords, const char *ygrid_type,
                      const char *ygrid_units, const char *data_type, const char *data_units, const char *tag,
                      char *handle) {
    static const char *fname = "kogrid_create";
    if (kogrid_reg.ensure(fname) < 0) return nullptr;
    if (nxgrid < 0 || nxgrid > INT_MAX) {
        elog_log(0, "kogrid_create: Illegal nxgrid=%ld value.\n", nxgrid);
        return nullptr;
    }
    if (nygrid < 0 || nygrid > INT_MAX) {
        elog_log(0, "kogrid_create: Illegal nygrid=%ld value.\n", nygrid);
        return nullptr;
    }
    KOGrid *g = static_cast<KOGrid *>(calloc(1, sizeof(KOGrid)));
    if (!g) {
        elog_log(1, "kogrid_create: malloc(KOGrid,%ld) error.\n", (long)sizeof(KOGrid));
        return nullptr;
    }
    g->nxgrid = (int)nxgrid;
    g->nygrid = (int)nygrid;
    if (!copy_string(fname, "grid_type", grid_type, &g->grid_type) ||
        !copy_string(fname, "xgrid_type", xgrid_type, &g->xgrid_type) ||
        !copy_string(fname, "xgrid_units", xgrid_units, &g->xgrid_units) ||
        !copy_string(fname, "ygrid_type", ygrid_type, &g->ygrid_type) ||
        !copy_string(fname, "ygrid_units", ygrid_units, &g->ygrid_units) ||
        !copy_string(fname, "data_type", data_type, &g->data_type) ||
        !copy_string(fname, "data_units", data_units, &g->data_units) ||
        !copy_string(fname, "tag", tag, &g->tag)) {
        kogrid_free_kogrid(g);
        return nullptr;
    }
    if (xgrid_coords && nxgrid > 0) {
        long n = nxgrid * (long)sizeof(float);
        g->xgrid_coords = static_cast<float *>(malloc(n));
        if (!g->xgrid_coords) {
            elog_log(1, "kogrid_create: malloc(xgrid_coords,%ld) error.\n", n);
            kogrid_free_kogrid(g);
            return nullptr;
        }
        memcpy(g->xgrid_coords, xgrid_coords, n);
    }
    if (ygrid_coords && nygrid > 0) {
        long n = nygrid * (long)sizeof(float);
        g->ygrid_coords = static_cast<float *>(malloc(n));
        if (!g->ygrid_coords) {
            elog_log(1, "kogrid_create: malloc(ygrid_coords,%ld) error.\n", n);
            kogrid_free_kogrid(g);
            return nullptr;
        }
        memcpy(g->ygrid_coords, ygrid_coords, n);
    }
    trfill_gap(&g->gap_value, 1);
    if (handle && kogrid_reg.add(fname, g, handle) < 0) {
        kogrid_free_kogrid(g);
        return nullptr;
    }
    return g;
}

int kogrid_register_grid(KOGrid *grid, char *handle) {
    if (!grid) {
        elog_log(0, "kogrid_register_grid: Null grid.\n");
        return -1;
    }
    return kogrid_reg.add("kogrid_register_grid", grid, handle);
}

KOGrid *kogrid_get_grid(const char *handle) {
    return static_cast<KOGrid *>(kogrid_reg.get("kogrid_get_grid", handle));
}

KOGrid *kogrid_copy(const char *in_handle, const char *tag, char *handle) {
    KOGrid *src = kogrid_get_grid(in_handle);
    if (!src) {
        elog_log(0, "kogrid_copy: kogrid_get_grid() error.\n");
        return nullptr;
    }
    KOGrid *copy = kogrid_create(src->grid_type, src->nxgrid, src->xgrid_coords, src->xgrid_type, src->xgrid_units,
                                 src->nygrid, src->ygrid_coords, src->ygrid_type, src->ygrid_units, src->data_type,
                                 src->data_units, tag, nullptr);
    if (!copy) {
        elog_log(0, "kogrid_copy: kogrid_create() error.\n");
        return nullptr;
    }
    memcpy(copy->params, src->params, sizeof copy->params);
    copy->time = src->time;
    copy->dt = src->dt;
    copy->nsamps = src->nsamps;
    copy->data_size = src->data_size;
    if (src->data && src->data_size > 0) {
        long n = (long)src->data_size * (long)sizeof(float);
        copy->data = static_cast<float *>(malloc(n));
        if (!copy->data) {
            elog_log(1, "kogrid_copy: malloc(copy->data,%ld) error.\n", n);
            kogrid_free_kogrid(copy);
            return nullptr;
        }
        memcpy(copy->data, src->data, n);
    } else {
        copy->data_size = 0;
    }
    // Registered once whole: a failed copy never shows under a tag.
    if (handle && kogrid_reg.add("kogrid_copy", copy, handle) < 0) {
        kogrid_free_kogrid(copy);
        return nullptr;
    }
    return copy;
}

void kogrid_free_kogrid(KOGrid *grid) {
    if (!grid) return;
    free(grid->tag);
    free(grid->grid_type);
    free(grid->xgrid_coords);
    free(grid->xgrid_type);
    free(grid->xgrid_units);
    free(grid->ygrid_coords);
    free(grid->ygrid_type);
    free(grid->ygrid_units);
    free(grid->data);
    free(grid->data_type);
    free(grid->data_units);
    free(grid);
}

int kogrid_free(const char *handle) { return kogrid_reg.free_silent("kogrid_get_grid", handle, release_grid); }

int kogrid_free_tag(const char *tag) { return kogrid_reg.free_by_label(tag, grid_label, release_grid); }

// ------------------------------------------------------------------- puts

int kogrid_put_kogrid(KOGrid *grid, double time, long nsamps, double dt, const float *data) {
    if (!grid) {
        elog_log(0, "kogrid_put_kogrid: Null grid.\n");
        return -1;
    }
    // A non-positive interval makes a single-sample grid whatever nsamps says.
    if (dt <= 0.0) {
        nsamps = 1;
        dt = 0.0;
    }
    long size;
    if (!field_size(grid, nsamps, &size)) {
        if (nsamps < 0)
            elog_log(0, "kogrid_put_kogrid: Illegal nsamps=%ld value.\n", nsamps);
        else
            elog_log(0, "kogrid_put_kogrid: %ld samples of %d x %d nodes are too many for one grid.\n", nsamps,
                     grid->nxgrid, grid->nygrid);
        return -1;
    }
    if (size > 0 && !data) {
        elog_log(0, "kogrid_put_kogrid: No data given.\n");
        return -1;
    }
    release_data(grid);
    if (size > 0) {
        long n = size * (long)sizeof(float);
        grid->data = static_cast<float *>(malloc(n));
        if (!grid->data) {
            elog_log(1, "kogrid_put_kogrid: malloc(grid->data,%ld) error.\n", n);
            return -1;
        }
        memcpy(grid->data, data, n);
    }
    grid->nsamps = (int)nsamps;
    grid->time = time;
    grid->dt = dt;
    grid->data_size = (int)size;
    if (kogrid_order(grid) < 0) {
        elog_log(0, "kogrid_put_kogrid: kogrid_order() error.\n");
        return -1;
    }
    return 0;
}

int kogrid_put(const char *handle, double time, long nsamps, double dt, const float *data) {
    KOGrid *g = kogrid_get_grid(handle);
    if (!g) {
        elog_log(0, "kogrid_put: kogrid_get_grid() error.\n");
        return -1;
    }
    return kogrid_put_kogrid(g, time, nsamps, dt, data);
}

int kogrid_putanddecimate_kogrid(KOGrid *grid, double time, long nsamps, double dt, const float *data,
                                 long decimation) {
    if (decimation <= 0 || dt <= 0.0) return kogrid_put_kogrid(grid, time, nsamps, dt, data);
    if (!grid) {
        elog_log(0, "kogrid_putanddecimate_kogrid: Null grid.\n");
        return -1;
    }
    if (nsamps < 0) {
        elog_log(0, "kogrid_putanddecimate_kogrid: Illegal nsamps=%ld value.\n", nsamps);
        return -1;
    }
    long nout = nsamps / decimation + (nsamps % decimation != 0);
    long nxy = (long)grid->nxgrid * (long)grid->nygrid;
    long size;
    if (!field_size(grid, nout, &size) || (nxy > 0 && nsamps > LONG_MAX / nxy)) {
        elog_log(0, "kogrid_putanddecimate_kogrid: %ld samples of %d x %d nodes are too many for one grid.\n",
                 nsamps, grid->nxgrid, grid->nygrid);
        return -1;
    }
    if (size > 0 && !data) {
        elog_log(0, "kogrid_putanddecimate_kogrid: No data given.\n");
        return -1;
    }
    release_data(grid);
    grid->time = time;
    grid->dt = dt * (double)decimation;
    if (size > 0) {
        long n = size * (long)sizeof(float);
        float *out = static_cast<float *>(malloc(n));
        if (!out) {
            elog_log(1, "kogrid_putanddecimate_kogrid: malloc(grid->data,%ld) error.\n", n);
            return -1;
        }
        for (long k = 0; k < size; k++) out[k] = 0.0f;
        for (long i = 0; i < nsamps; i++) {
            const float *in = data + i * nxy;
            float *o = out + (i / decimation) * nxy;
            for (long k = 0; k < nxy; k++)
                if (in[k] > o[k]) o[k] = in[k];
        }
        grid->data = out;
    }
    grid->nsamps = (int)nout;
    grid->data_size = (int)size;
    if (kogrid_order(grid) < 0) {
        elog_log(0, "kogrid_putanddecimate_kogrid: kogrid_order() error.\n");
        return -1;
    }
    return 0;
}

int kogrid_putanddecimate(const char *handle, double time, long nsamps, double dt, const float *data,
                          long decimation) {
    KOGrid *g = kogrid_get_grid(handle);
    if (!g) {
        elog_log(0, "kogrid_putanddecimate: kogrid_get_grid() error.\n");
        return -1;
    }
    return kogrid_putanddecimate_kogrid(g, time, nsamps, dt, data, decimation);
}

// --------------------------------------------------------------- ordering

int kogrid_order(KOGrid *grid) {
    if (!grid) {
        elog_log(0, "kogrid_order: Null grid.\n");
        return -1;
    }
    const long nx = grid->nxgrid, ny = grid->nygrid;
    // Fields of no nodes hold nothing to move, however many samples they count.
    const long held = nx * ny > 0 ? samples_held(grid) : 0;
    int dir;

    if (!axis_direction(grid->xgrid_coords, grid->nxgrid, &dir)) {
        elog_log(0, "kogrid_order: X grid coordinates must be monotonically increasing or decreasing.\n");
        return -1;
    }
    if (dir < 0) {
        float *c = grid->xgrid_coords;
        for (long k = 0; k < nx / 2; k++) std::swap(c[k], c[nx - 1 - k]);
        if (grid->data)
            for (long row = 0; row < held * ny; row++) {
                float *r = grid->data + row * nx;
                for (long k = 0; k < nx / 2; k++) std::swap(r[k], r[nx - 1 - k]);
            }
    }

    if (!axis_direction(grid->ygrid_coords, grid->nygrid, &dir)) {
        elog_log(0, "kogrid_order: Y grid coordinates must be monotonically increasing or decreasing.\n");
        return -1;
    }
    if (dir < 0) {
        float *c = grid->ygrid_coords;
        for (long k = 0; k < ny / 2; k++) std::swap(c[k], c[ny - 1 - k]);
        if (grid->data)
            for (long s = 0; s < held; s++) {
                float *field = grid->data + s * nx * ny;
                for (long k = 0; k < ny / 2; k++) {
                    float *a = field + k * nx, *b = field + (ny - 1 - k) * nx;
                    for (long i = 0; i < nx; i++) std::swap(a[i], b[i]);
                }
            }
    }
    return 0;
}

// ------------------------------------------------------------- evaluation

int kogrid_find_interval(float coord, int ncoords, const float *coords, int *i0, int *i1, float *min, float *d) {
    // A NaN coordinate lies nowhere on the axis; so does any point of an
    // axis without nodes.
    if (ncoords < 1 || !coords || std::isnan(coord)) {
        *i0 = *i1 = 0;
        *min = ncoords < 1 || !coords ? 0.0f : coords[0];
        *d = 0.0f;
        return -1;
    }
    for (int k = 0; k + 1 < ncoords; k++) {
        if (coords[k] > coord) break;
        if (coord <= coords[k + 1]) {
            *i0 = k;
            *i1 = k + 1;
            *min = coords[k];
            *d = coords[k + 1] - coords[k];
            return 0;
        }
    }
    if (coord < coords[0]) {
        *i0 = *i1 = 0;
        *min = coords[0];
        *d = 0.0f;
        return -1;
    }
    if (coord > coords[ncoords - 1]) {
        *i0 = *i1 = ncoords - 1;
        *min = coords[ncoords - 1];
        *d = 0.0f;
        return 1;
    }
    *i0 = *i1 = 0;
    *min = coords[0];
    *d = 0.0f;
    return 0;
}

}  // extern "C"

namespace {

// One axis of an evaluation: bisection on ascending axes, the plain walk on
// anything else (an unordered grid straight from a packet, say).
struct Axis {
    int n;
    const float *c;
    bool sorted;
    double scale = 0.0;  // intervals per unit of coordinate, for the first guess
    Axis(int n_, const float *c_) : n(n_), c(c_), sorted(axis_ascending(c_, n_)) {
        if (sorted && n >= 2) {
            double span = (double)c[n - 1] - c[0];
            if (span > 0.0 && std::isfinite(span)) scale = (n - 1) / span;
        }
    }
    int locate(float v, int *i0, int *i1, float *min, float *d) const {
        return sorted ? find_sorted(v, n, c, scale, i0, i1, min, d) : kogrid_find_interval(v, n, c, i0, i1, min, d);
    }
};

// Checks shared by evaluation and extents: the sample exists, the axes have
// coordinates and the field is all there.
bool field_ready(const char *fname, const KOGrid *g, long isamp) {
    if (isamp < 0 || isamp >= g->nsamps) {
        elog_log(0, "%s: Illegal isamp=%ld value.\n", fname, isamp);
        return false;
    }
    if ((g->nxgrid > 0 && !g->xgrid_coords) || (g->nygrid > 0 && !g->ygrid_coords)) {
        elog_log(0, "%s: Grid has nodes without coordinates.\n", fname);
        return false;
    }
    if (isamp >= samples_held(g)) {
        elog_log(0, "%s: Grid holds no data for isamp=%ld.\n", fname, isamp);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

int kogrid_eval_kogrid(KOGrid *grid, long isamp, long nxys, const float *x, const float *y,
                       const char *interp_mode, const char *extrap_mode, float **out, long *out_size) {
    static const char *fname = "kogrid_eval_kogrid";
    if (!grid || !out || !out_size) {
        elog_log(0, "kogrid_eval_kogrid: Null %s.\n", !grid ? "grid" : "output buffer");
        return -1;
    }
    if (isamp < 0 || isamp >= grid->nsamps) {
        elog_log(0, "kogrid_eval_kogrid: Illegal isamp=%ld value.\n", isamp);
        return -1;
    }
    if (!extrap_mode || strcmp(extrap_mode, "none") != 0) {
        elog_log(0, "kogrid_eval_kogrid: Illegal extrap_mode=%s value.\n", extrap_mode ? extrap_mode : "(null)");
        return -1;
    }
    if (nxys < 0 || (nxys > 0 && (!x || !y))) {
        elog_log(0, "kogrid_eval_kogrid: Illegal nxys=%ld value or null points.\n", nxys);
        return -1;
    }
    if (!field_ready(fname, grid, isamp)) return -1;
    if (!*out) {
        long n = (nxys > 0 ? nxys : 1) * (long)sizeof(float);
        *out = static_cast<float *>(malloc(n));
        if (!*out) {
            elog_log(1, "kogrid_eval_kogrid: malloc(out,%ld) error.\n", n);
            return -1;
        }
        *out_size = nxys;
    } else if (*out_size < nxys) {
        // never realloc to 0 bytes: that frees the caller's buffer
        long n = (nxys > 0 ? nxys : 1) * (long)sizeof(float);
        float *p = static_cast<float *>(realloc(*out, n));
        if (!p) {
            elog_log(1, "kogrid_eval_kogrid: realloc(out,%ld) error.\n", n);
            return -1;
        }
        *out = p;
        *out_size = nxys;
    }
    float *o = *out;
    for (long k = 0; k < *out_size; k++) o[k] = 0.0f;

    bool bilinear;
    if (interp_mode && strcmp(interp_mode, "bilinear") == 0)
        bilinear = true;
    else if (interp_mode && strcmp(interp_mode, "block") == 0)
        bilinear = false;
    else {
        elog_log(0, "kogrid_eval_kogrid: Illegal interp_mode=%s value.\n", interp_mode ? interp_mode : "(null)");
        return -1;
    }

    const long nx = grid->nxgrid;
    const float *field = grid->data ? grid->data + isamp * nx * grid->nygrid : nullptr;
    const float gap = grid->gap_value;
    const Axis ax(grid->nxgrid, grid->xgrid_coords), ay(grid->nygrid, grid->ygrid_coords);

    for (long p = 0; p < nxys; p++) {
        const float xp = x[p], yp = y[p];
        int ix0, ix1, iy0, iy1;
        float x0, dx, y0, dy;
        if (bilinear) {
            if (xp == gap || yp == gap || ax.locate(xp, &ix0, &ix1, &x0, &dx) != 0 ||
                ay.locate(yp, &iy0, &iy1, &y0, &dy) != 0) {
                o[p] = gap;
                continue;
            }
            const float z00 = field[iy0 * nx + ix0], z10 = field[iy0 * nx + ix1];
            const float z01 = field[iy1 * nx + ix0], z11 = field[iy1 * nx + ix1];
            if (z00 == gap || z10 == gap || z01 == gap || z11 == gap) {
                o[p] = gap;
                continue;
            }
            float a, b;
            if (dx != 0.0f) {
                a = (z10 - z00) * (xp - x0) / dx + z00;
                b = (z11 - z01) * (xp - x0) / dx + z01;
            } else {
                a = (z00 + z10) * 0.5f;
                b = (z01 + z11) * 0.5f;
            }
            o[p] = dy != 0.0f ? (b - a) * (yp - y0) / dy + a : (a + b) * 0.5f;
        } else {
            if (ax.locate(xp, &ix0, &ix1, &x0, &dx) != 0 || ay.locate(yp, &iy0, &iy1, &y0, &dy) != 0) {
                o[p] = gap;
                continue;
            }
            const int ix = (dx == 0.0f || (xp - x0) / dx <= 0.5f) ? ix0 : ix1;
            const int iy = (dy == 0.0f || (yp - y0) / dy <= 0.5f) ? iy0 : iy1;
            o[p] = field[iy * nx + ix];
        }
    }
    return 0;
}

int kogrid_eval(const char *handle, long isamp, long nxys, const float *x, const float *y, const char *interp_mode,
                const char *extrap_mode, float **out, long *out_size) {
    KOGrid *g = kogrid_get_grid(handle);
    if (!g) {
        elog_log(0, "kogrid_eval: kogrid_get_grid() error.\n");
        return -1;
    }
    return kogrid_eval_kogrid(g, isamp, nxys, x, y, interp_mode, extrap_mode, out, out_size);
}

int kogrid_maxmin_kogrid(KOGrid *grid, long isamp, float *xmin, float *xmax, float *ymin, float *ymax, float *zmin,
                         float *zmax) {
    static const char *fname = "kogrid_maxmin_kogrid";
    if (!grid) {
        elog_log(0, "kogrid_maxmin_kogrid: Null grid.\n");
        return -1;
    }
    if (!field_ready(fname, grid, isamp)) return -1;
    if (grid->nxgrid < 1 || grid->nygrid < 1) {
        elog_log(0, "kogrid_maxmin_kogrid: Grid of %d x %d nodes has no extent.\n", grid->nxgrid, grid->nygrid);
        return -1;
    }
    const long nxy = (long)grid->nxgrid * grid->nygrid;
    const float *field = grid->data + isamp * nxy;
    const float gap = grid->gap_value;
    float lo = gap, hi = gap;
    for (long k = 0; k < nxy; k++) {
        const float v = field[k];
        if (v == gap) continue;
        if (lo == gap || v < lo) lo = v;
        if (hi == gap || v > hi) hi = v;
    }
    if (xmin) *xmin = grid->xgrid_coords[0];
    if (xmax) *xmax = grid->xgrid_coords[grid->nxgrid - 1];
    if (ymin) *ymin = grid->ygrid_coords[0];
    if (ymax) *ymax = grid->ygrid_coords[grid->nygrid - 1];
    if (zmin) *zmin = lo;
    if (zmax) *zmax = hi;
    return 0;
}

int kogrid_maxmin(const char *handle, long isamp, float *xmin, float *xmax, float *ymin, float *ymax, float *zmin,
                  float *zmax) {
    KOGrid *g = kogrid_get_grid(handle);
    if (!g) {
        elog_log(0, "kogrid_maxmin: kogrid_get_grid() error.\n");
        return -1;
    }
    return kogrid_maxmin_kogrid(g, isamp, xmin, xmax, ymin, ymax, zmin, zmax);
}

}  // extern "C"

// ---------------------------------------------------------------- packets

namespace {

const long PACKET_HEADER = 188;  // three counts, time, dt, twenty parameters

// The eight strings of a packet, in packet order.
char *KOGrid::*const packet_strings[8] = {&KOGrid::tag,         &KOGrid::grid_type,  &KOGrid::xgrid_type,
                                          &KOGrid::xgrid_units, &KOGrid::ygrid_type, &KOGrid::ygrid_units,
                                          &KOGrid::data_type,   &KOGrid::data_units};

inline unsigned char *ucur(char *p) { return reinterpret_cast<unsigned char *>(p); }

// write() until n bytes are out, through interrupted and partial writes;
// the bytes written.
long write_all(int fd, const char *p, long n) {
    long done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, (size_t)(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += w;
    }
    return done;
}

// read() until n bytes are in or the input ends; the bytes read, or -1 when
// the first read fails.  *failed (when given) tells whether a read error
// rather than the end of input stopped it short.
long read_full(int fd, char *p, long n, bool *failed = nullptr) {
    long done = 0;
    if (failed) *failed = false;
    while (done < n) {
        ssize_t r = read(fd, p + done, (size_t)(n - done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            if (failed) *failed = true;
            return done ? done : -1;
        }
        if (r == 0) break;
        done += r;
    }
    return done;
}

// Writing to a pipe or socket whose reader has gone must fail the call, not
// end the process: SIGPIPE is held back for the duration and a SIGPIPE that
// the writes raised is taken off the thread again.
class PipeSignalGuard {
public:
    PipeSignalGuard() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &set_, &old_) == 0;
    }
    ~PipeSignalGuard() {
        if (!blocked_) return;
        if (!was_pending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                struct timespec zero = {0, 0};
                sigtimedwait(&set_, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalGuard(const PipeSignalGuard &) = delete;
    PipeSignalGuard &operator=(const PipeSignalGuard &) = delete;

private:
    sigset_t set_, old_;
    bool was_pending_ = false;
    bool blocked_ = false;
};

}  // namespace

extern "C" {

int kogrid_stuff_kogrid(KOGrid *grid, char **packet, int *nbytes, int *packetsz) {
    if (!grid || !packet || !nbytes || !packetsz) {
        elog_log(0, "kogrid_stuff_kogrid: Null %s.\n", !grid ? "grid" : "packet buffer");
        return -1;
    }
    const int nx = grid->nxgrid, ny = grid->nygrid, ns = grid->nsamps;
    if (nx < 0 || ny < 0 || ns < 0) {
        elog_log(0, "kogrid_stuff_kogrid: Illegal counts nxgrid=%d nygrid=%d nsamps=%d.\n", nx, ny, ns);
        return -1;
    }
    if ((nx > 0 && !grid->xgrid_coords) || (ny > 0 && !grid->ygrid_coords)) {
        elog_log(0, "kogrid_stuff_kogrid: Grid has nodes without coordinates.\n");
        return -1;
    }
    long ndata;
    if (!field_size(grid, ns, &ndata) || (ndata > 0 && (!grid->data || grid->data_size < ndata))) {
        elog_log(0, "kogrid_stuff_kogrid: Grid holds %d values, not the %d x %d x %d its counts announce.\n",
                 grid->data ? grid->data_size : 0, nx, ny, ns);
        return -1;
    }
    long len = PACKET_HEADER + 4L * ((long)nx + ny + ndata);
    for (auto field : packet_strings) len += (grid->*field ? (long)strlen(grid->*field) : 0) + 1;
    if (len > INT_MAX) {
        elog_log(0, "kogrid_stuff_kogrid: Packet of %ld bytes is too long.\n", len);
        return -1;
    }
    if (!*packet) {
        *packet = static_cast<char *>(malloc(len));
        if (!*packet) {
            elog_log(1, "kogrid_stuff_kogrid: malloc(packet,%ld) error.\n", len);
            return -1;
        }
        *packetsz = (int)len;
    } else if (*packetsz < len) {
        char *p = static_cast<char *>(realloc(*packet, len));
        if (!p) {
            elog_log(1, "kogrid_stuff_kogrid: realloc(packet,%ld) error.\n", len);
            return -1;
        }
        *packet = p;
        *packetsz = (int)len;
    }
    *nbytes = (int)len;
    // Every byte before the strings is written below; clearing the rest
    // gives the same packet as clearing it all, at a fraction of the cost.
    const long fixed = PACKET_HEADER + 4L * ((long)nx + ny + ndata);
    memset(*packet + fixed, 0, len - fixed);

    unsigned char *cur = ucur(*packet);
    const int counts[3] = {nx, ny, ns};
    hi2mi(counts, &cur, 3);
    hd2md(&grid->time, &cur, 1);
    hd2md(&grid->dt, &cur, 1);
    hd2md(grid->params, &cur, KOGRID_NPARAMS);
    if (nx > 0) hf2mf(grid->xgrid_coords, &cur, nx);
    if (ny > 0) hf2mf(grid->ygrid_coords, &cur, ny);
    if (ndata > 0) hf2mf(grid->data, &cur, ndata);
    for (auto field : packet_strings) {
        const char *s = grid->*field;
        size_t n = s ? strlen(s) : 0;
        if (n) memcpy(cur, s, n);
        cur += n + 1;  // the NUL is already there
    }
    return 0;
}

int kogrid_stuff(const char *handle, char **packet, int *nbytes, int *packetsz) {
    KOGrid *g = kogrid_get_grid(handle);
    if (!g) {
        elog_log(0, "kogrid_stuff: kogrid_get_grid() error.\n");
        return -1;
    }
    return kogrid_stuff_kogrid(g, packet, nbytes, packetsz);
}

int kogrid_unstuff(const char *packet, int nbytes, KOGrid **grid) {
    if (!grid) {
        elog_log(0, "kogrid_unstuff: Null grid pointer.\n");
        return -1;
    }
    if (!packet || nbytes < PACKET_HEADER) {
        elog_log(0, "kogrid_unstuff: Packet of %d bytes is shorter than its %ld-byte header.\n", packet ? nbytes : 0,
                 PACKET_HEADER);
        return -1;
    }
    // Everything is checked against the packet's length before the grid is
    // touched, so a bad packet leaves the grid as it was.
    unsigned char *cur = ucur(const_cast<char *>(packet));
    int counts[3];
    mi2hi(&cur, counts, 3);
    const int nx = counts[0], ny = counts[1], ns = counts[2];
    if (nx < 0 || ny < 0 || ns < 0) {
        elog_log(0, "kogrid_unstuff: Illegal counts nxgrid=%d nygrid=%d nsamps=%d in packet.\n", nx, ny, ns);
        return -1;
    }
    const long room = (nbytes - PACKET_HEADER) / 4;  // floats the packet could hold
    const long nxy = (long)nx * ny;
    if (nx > room || ny > room - nx || (nxy > 0 && ns > (room - nx - ny) / nxy)) {
        elog_log(0,
                 "kogrid_unstuff: Packet of %d bytes is shorter than its counts announce "
                 "(nxgrid=%d nygrid=%d nsamps=%d).\n",
                 nbytes, nx, ny, ns);
        return -1;
    }
    const long ndata = nxy * ns;
    const char *strings = packet + PACKET_HEADER + 4 * ((long)nx + ny + ndata);
    const char *end = packet + nbytes;
    const char *str[8];
    {
        const char *s = strings;
        for (int k = 0; k < 8; k++) {
            const char *nul = s < end ? static_cast<const char *>(memchr(s, 0, end - s)) : nullptr;
            if (!nul) {
                elog_log(0, "kogrid_unstuff: Packet of %d bytes ends inside its strings.\n", nbytes);
                return -1;
            }
            str[k] = s;
            s = nul + 1;
        }
    }

    KOGrid *g = *grid;
    KOGrid *made = nullptr;
    if (!g) {
        g = made = static_cast<KOGrid *>(calloc(1, sizeof(KOGrid)));
        if (!g) {
            elog_log(1, "kogrid_unstuff: malloc(KOGrid,%ld) error.\n", (long)sizeof(KOGrid));
            return -1;
        }
        // A new grid marks gaps as created grids do, so that real zeros in
        // the data are not taken for gaps.
        trfill_gap(&g->gap_value, 1);
    }

    // New arrays and strings first; the grid changes only when all are made.
    float *xc = g->xgrid_coords, *yc = g->ygrid_coords, *data = g->data;
    char *newstr[8] = {};
    bool ok = true;
    if (g->nxgrid != nx || (nx > 0 && !xc)) {
        xc = nullptr;
        if (nx > 0 && !(xc = static_cast<float *>(malloc(4L * nx)))) {
            elog_log(1, "kogrid_unstuff: malloc(xgrid_coords,%ld) error.\n", 4L * nx);
            ok = false;
        }
    }
    if (ok && (g->nygrid != ny || (ny > 0 && !yc))) {
        yc = nullptr;
        if (ny > 0 && !(yc = static_cast<float *>(malloc(4L * ny)))) {
            elog_log(1, "kogrid_unstuff: malloc(ygrid_coords,%ld) error.\n", 4L * ny);
            ok = false;
        }
    }
    if (ok && (g->data_size < ndata || (ndata > 0 && !data))) {
        if (!(data = static_cast<float *>(malloc(4L * ndata)))) {
            elog_log(1, "kogrid_unstuff: malloc(data,%ld) error.\n", 4L * ndata);
            ok = false;
        }
    }
    for (int k = 0; ok && k < 8; k++)
        if (*str[k] && !copy_string("kogrid_unstuff", "string", str[k], &newstr[k])) ok = false;
    if (!ok) {
        if (xc != g->xgrid_coords) free(xc);
        if (yc != g->ygrid_coords) free(yc);
        if (data != g->data) free(data);
        for (char *s : newstr) free(s);
        kogrid_free_kogrid(made);
        return -1;
    }

    md2hd(&cur, &g->time, 1);
    md2hd(&cur, &g->dt, 1);
    md2hd(&cur, g->params, KOGRID_NPARAMS);
    if (xc != g->xgrid_coords) free(g->xgrid_coords);
    if (yc != g->ygrid_coords) free(g->ygrid_coords);
    if (data != g->data) free(g->data);
    g->xgrid_coords = xc;
    g->ygrid_coords = yc;
    g->data = data;
    g->nxgrid = nx;
    g->nygrid = ny;
    g->nsamps = ns;
    if (nx > 0) mf2hf(&cur, xc, nx);
    if (ny > 0) mf2hf(&cur, yc, ny);
    if (ndata > 0) mf2hf(&cur, data, ndata);
    g->data_size = (int)ndata;
    for (int k = 0; k < 8; k++) {
        free(g->*packet_strings[k]);
        g->*packet_strings[k] = newstr[k];
    }
    *grid = g;
    return 0;
}

int kogrid_write_fd_kogrid(KOGrid *grid, int fd) {
    char *packet = nullptr;
    int nbytes = 0, packetsz = 0;
    if (kogrid_stuff_kogrid(grid, &packet, &nbytes, &packetsz) < 0) {
        elog_log(0, "kogrid_write_fd_kogrid: kogrid_stuff_kogrid() error.\n");
        free(packet);
        return -1;
    }
    if (nbytes < 1) {
        elog_log(0, "kogrid_write_fd_kogrid: nbytes < 1.\n");
        free(packet);
        return -1;
    }
    int result = 0;
    {
        PipeSignalGuard guard;
        if (write_all(fd, reinterpret_cast<const char *>(&nbytes), 4) != 4) {
            elog_log(0, "kogrid_write_fd_kogrid: write(nbytes,4) error.\n");
            result = -1;
        } else if (write_all(fd, packet, nbytes) != nbytes) {
            elog_log(0, "kogrid_write_fd_kogrid: write(packet,%d) error.\n", nbytes);
            result = -1;
        }
    }
    free(packet);
    return result;
}

int kogrid_read_fd(int fd, KOGrid **grid) {
    if (!grid) {
        elog_log(0, "kogrid_read_fd: Null grid pointer.\n");
        return -1;
    }
    int nbytes = 0;
    long got = read_full(fd, reinterpret_cast<char *>(&nbytes), 4);
    if (got == 0) return 0;
    if (got != 4) {
        elog_log(got < 0 ? 1 : 0, "kogrid_read_fd: read(nbytes,4) error.\n");
        return -1;
    }
    if (nbytes < 1) {
        elog_log(0, "kogrid_read_fd: nbytes < 1.\n");
        return -1;
    }
    // The buffer grows with what actually arrives, so a corrupt length does
    // not allocate gigabytes for a stream that ends a few bytes later.
    long cap = nbytes < (1L << 20) ? nbytes : (1L << 20);
    char *packet = static_cast<char *>(calloc(1, cap));
    if (!packet) {
        elog_log(1, "kogrid_read_fd: malloc(packet,%ld) error.\n", cap);
        return -1;
    }
    long have = 0;
    bool failed = false;
    for (;;) {
        long r = read_full(fd, packet + have, cap - have, &failed);
        if (r > 0) have += r;
        if (have < cap || have == nbytes) break;
        long ncap = cap * 2 < nbytes ? cap * 2 : nbytes;
        char *p = static_cast<char *>(realloc(packet, ncap));
        if (!p) {
            elog_log(1, "kogrid_read_fd: malloc(packet,%ld) error.\n", ncap);
            free(packet);
            return -1;
        }
        memset(p + cap, 0, ncap - cap);
        packet = p;
        cap = ncap;
    }
    if (have != nbytes) {
        elog_log(failed ? 1 : 0, "kogrid_read_fd: read(packet,%d) error.\n", nbytes);
        free(packet);
        return -1;
    }
    if (kogrid_unstuff(packet, nbytes, grid) < 0) {
        elog_log(0, "kogrid_read_fd: kogrid_unstuff() error.\n");
        free(packet);
        return -1;
    }
    free(packet);
    return nbytes;
}

}  // extern "C"

// ------------------------------------------------------ distance to slowness

namespace {

// Slowness of the earliest arrival for distances 0.001, 0.002, ... 180.000
// degrees, built once for the process by the first request; -1 where the
// calculator has no arrival.  Lookups after the build take no lock.
const long STBL_N = 180000;
const double STBL_STEP = 0.001;
double *stbl = nullptr;
std::atomic<bool> stbl_ready{false};
std::mutex stbl_mutex;

// Fills the whole table; a failure of the calculator leaves no table, so a
// later request builds it again instead of reading a truncated one.
int stbl_build(const char *method, const char *model, const char *phase_code, double sdepth, double relev) {
    const long n = STBL_N * (long)sizeof(double);
    double *t = static_cast<double *>(malloc(n));
    if (!t) {
        elog_log(1, "kogrid_d2slow: malloc(stbl,%ld) error.\n", n);
        return -1;
    }
    const char *phases = phase_code && *phase_code ? phase_code : "P";
    TTGeometry geo;
    memset(&geo, 0, sizeof geo);
    geo.source.z = sdepth;
    geo.receiver.z = -relev;
    Hook *hook = nullptr;
    double d = 0.0;
    for (long k = 0; k < STBL_N; k++) {
        d += STBL_STEP;
        geo.receiver.lon = d;
        Tbl *times = nullptr;
        if (ttcalc(method, model, phases, TT_ALL, &geo, &times, &hook) < 0) {
            elog_log(0, "kogrid_d2slow: ttcalc() error at %.3f degrees.\n", d);
            free_hook(&hook);
            free(t);
            return -1;
        }
        const TTTime *best = nullptr;
        for (long i = 0; i < maxtbl(times); i++) {
            const TTTime *r = static_cast<const TTTime *>(gettbl(times, i));
            if (!best || r->value < best->value) best = r;
        }
        // The receiver lies due east, so -deriv[0] is the ray parameter; only
        // where the accumulated distance passes the antipode does the azimuth
        // wrap to the west and flip its sign, which must not read as "no
        // arrival".
        t[k] = best ? std::fabs(best->deriv[0]) : -1.0;
        freetbl(times, nullptr);
    }
    free_hook(&hook);
    stbl = t;
    return 0;
}

}  // namespace

extern "C" {

int kogrid_d2slow(const char *method, const char *model, const char *phase_code, double sdepth, double relev,
                  double distance, double *slowness) {
    if (!slowness) {
        elog_log(0, "kogrid_d2slow: Null slowness pointer.\n");
        return -1;
    }
    *slowness = -1.0;
    if (!stbl_ready.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(stbl_mutex);
        if (!stbl_ready.load(std::memory_order_relaxed)) {
            if (stbl_build(method, model, phase_code, sdepth, relev) < 0) return -1;
            stbl_ready.store(true, std::memory_order_release);
        }
    }
    // Truncated towards zero, so everything just above 0 takes the first
    // entry; NaN fails both comparisons.
    const double index = (distance - STBL_STEP) / STBL_STEP;
    if (index > -1.0 && index < (double)STBL_N) *slowness = stbl[(long)index];
    return 0;
}

int kogrid_coords_d2slow(long nds, float *xcoords, float *ycoords, const char *method, const char *model,
                         const char *phase_code, float sdepth, float gap_value) {
    if (nds < 0 || (nds > 0 && (!xcoords || !ycoords))) {
        elog_log(0, "kogrid_coords_d2slow: Illegal nds=%ld value or null coordinates.\n", nds);
        return -1;
    }
    for (long i = 0; i < nds; i++) {
        double s;
        if (kogrid_d2slow(method, model, phase_code, sdepth, 0.0, xcoords[i], &s) < 0) {
            elog_log(0, "kogrid_coords_d2slow: kogrid_d2slow(%f) error.\n", (double)xcoords[i]);
            return -1;
        }
        if (s < 0.0) {
            xcoords[i] = ycoords[i] = gap_value;
        } else {
            const double a = ycoords[i] * M_PI / 180.0;
            xcoords[i] = (float)(s * sin(a));
            ycoords[i] = (float)(s * cos(a));
        }
    }
    return 0;
}

int kogrid_eval_d2slow_kogrid(KOGrid *grid, long isamp, long nds, const float *distances, const float *azimuths,
                              const char *method, const char *model, const char *phase_code, double sdepth,
                              const char *interp_mode, const char *extrap_mode, float **out, long *out_size) {
    if (!grid) {
        elog_log(0, "kogrid_eval_d2slow_kogrid: Null grid.\n");
        return -1;
    }
    if (nds < 0 || (nds > 0 && (!distances || !azimuths))) {
        elog_log(0, "kogrid_eval_d2slow_kogrid: Illegal nds=%ld value or null points.\n", nds);
        return -1;
    }
    const long n = (nds > 0 ? nds : 1) * (long)sizeof(float);
    float *x = static_cast<float *>(malloc(n));
    if (!x) {
        elog_log(1, "kogrid_eval_d2slow_kogrid: malloc(x,%ld) error.\n", n);
        return -1;
    }
    float *y = static_cast<float *>(malloc(n));
    if (!y) {
        elog_log(1, "kogrid_eval_d2slow_kogrid: malloc(y,%ld) error.\n", n);
        free(x);
        return -1;
    }
    for (long i = 0; i < nds; i++) {
        double s;
        if (kogrid_d2slow(method, model, phase_code, sdepth, 0.0, distances[i], &s) < 0) {
            elog_log(0, "kogrid_eval_d2slow_kogrid: kogrid_d2slow(%f) error.\n", (double)distances[i]);
            free(x);
            free(y);
            return -1;
        }
        if (s < 0.0) {
            x[i] = y[i] = grid->gap_value;
        } else {
            const double a = azimuths[i] * M_PI / 180.0;
            x[i] = (float)(s * sin(a));
            y[i] = (float)(s * cos(a));
        }
    }
    int r = kogrid_eval_kogrid(grid, isamp, nds, x, y, interp_mode, extrap_mode, out, out_size);
    free(x);
    free(y);
    return r;
}

int kogrid_eval_d2slow(const char *handle, long isamp, long nds, const float *distances, const float *azimuths,
                       const char *method, const char *model, const char *phase_code, double sdepth,
                       const char *interp_mode, const char *extrap_mode, float **out, long *out_size) {
    KOGrid *g = kogrid_get_grid(handle);
    if (!g) {
        elog_log(0, "kogrid_eval_d2slow: kogrid_get_grid() error.\n");
        return -1;
    }
    return kogrid_eval_d2slow_kogrid(g, isamp, nds, distances, azimuths, method, model, phase_code, sdepth,
                                     interp_mode, extrap_mode, out, out_size);
}

}  // extern "C"
