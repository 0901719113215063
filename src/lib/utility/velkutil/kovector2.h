/*
 * kovector2.h -- plot vectors: point series (x, ny y values and an optional
 * label per point) and time-sampled series (start time, interval, samples),
 * addressed by "vect%d" handles.  Released records go to a byte-budgeted
 * cache that later creations reuse by best fit.
 *
 * Point vectors keep their values in rows of y_size + 1 doubles (x, then the
 * y values); time-sampled vectors keep one double per sample.  Callers use
 * the family from one thread at a time.
 */
#ifndef VELKUTIL_KOVECTOR2_H
#define VELKUTIL_KOVECTOR2_H

#include "stock.h"
#include "arrays.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kovector2_ {
    char ident[8];      /* "kovec2", NUL-padded, while the record is live or cached */
    int ny;             /* y values per point in use (1 for time-sampled) */
    int nx;             /* points (or samples) in use */
    char tag[64];       /* caller's group name, "" if none */
    double time;        /* time-sampled: time of sample 0 */
    double dt;          /* time-sampled: sample interval */
    int is_timeseries;  /* 0 point vector, 1 time-sampled */
    int x_size;         /* row (sample) capacity of dblbuf, >= nx */
    int y_size;         /* y capacity of a row (stride is y_size + 1) */
    int dblbuf_size;    /* bytes in dblbuf */
    double *dblbuf;     /* the values */
    int lblbuf_size;    /* bytes in lblbuf, 0 while there is none */
    char **lblbuf;      /* label slots (null or owned strings), or null */
    int heap_size;      /* bytes charged to the vector */
} KOVector2;

/* Store: lookup, creation, copies, growth, release and the cache. */
KOVector2 *kovector2_get_vector(char *handle);
KOVector2 *kovector2_create(int nx, int ny, char *tag, char *handle);
KOVector2 *kovector2_create_tsamp(int nsamp, double time, double samprate, double *data, char *tag,
                                  char *handle);
KOVector2 *kovector2_copy(char *in_handle, char *tag, char *handle);
KOVector2 *kovector2_copy_1y(char *in_handle, int yindex, char *tag, char *handle);
int kovector2_resize(char *handle);
int kovector2_resize_y(char *handle, int ny);
void kovector2_free_vector(KOVector2 *vector);
int kovector2_free(char *handle);
int kovector2_free_tag(char *tag);
int kovector2_set_cache(long max_size);
int kovector2_get_heap_size(char *tag, char *handle, long *nobjects, long *heap_total, long *cache_objects,
                            long *cache_total, long *nmallocs, long *nreallocs, long *nstrdups, long *nfrees);
KOVector2 *kovector2_find_space(int nx, int ny, int is_timeseries);
int kovector2_make_lblbuf(KOVector2 *vector);
/* Guards of the store beyond the plain contract, kept on purpose:
 *   - kovector2_create_tsamp refuses a sample rate that is not positive and
 *     finite, or whose interval is not finite (1e-320 Hz), with
 *     "kovector2_create_tsamp: Illegal sample rate %g.\n": no vector with a
 *     meaningless interval is made.
 *   - a size whose bytes would overflow is refused, not wrapped:
 *     "kovector2_find_space: vector of %ld rows of %ld values is too
 *     large.\n" and "kovector2_resize: vector of %ld rows is too large.\n".
 *   - kovector2_copy reports a label it could not copy with
 *     "kovector2_copy: strdup() error.\n" (flag 1) and makes no copy.
 *   - a creation or copy whose registration fails (out of memory) registers
 *     nothing, empties the handle buffer and returns null. */

/* Access and editing. */
int kovector2_get_point(char *handle, int index, double *x, double *y, char *label);
int kovector2_get_points(char *handle, int iy, int *nx, int *ny, double **xpts, int *xpts_size, double **ypts,
                         int *ypts_size, char ***labels);
int kovector2_get_tsamp(char *handle, int *nsamp, double *tstart, double *dt, double **data, int *data_size);
int kovector2_append(char *handle, int index, double x, double *y, char *label);
int kovector2_put(char *handle, int index, double x, double *y, char *label);
int kovector2_puty(char *handle, int index, double *y, char *label);
int kovector2_fill(char *handle, int nx, int ny, double *xpts, void *vypts, char **labels);
int kovector2_dump(char *handle);

/* Evaluation and statistics. */
int kovector2_eval(char *handle, double x, double *y);
long kovector2_nearest(char *handle, int iy, double x, double y);
int kovector2_maxmin(char *handle, int iy, double *xmin, double *xmax, double *ymin, double *ymax);
int kovector2_maxmin2(char *handle, int iy, double xstart, double xend, double *xmin, double *xmax, double *ymin,
                      double *ymax);
KOVector2 *kovector2_stats(Tbl *kovector2_handles, char *type, char *tag, char *handle);
int kovector2_stats_sort(const void *arg1, const void *arg2);

/* Transforms (in place; values only). */
int kovector2_transform_edp(char *handle, double lonr, double latr);
int kovector2_transform_invertx(char *handle);
int kovector2_transform_spec(char *handle, int ndif, int iy);
int kovector2_transform_ygain(char *handle, double ygain, int iy);
void latlon2xydel(double xlat1, double xlon1, double xlat2, double xlon2, double *xdel, double *ydel);

/* Test support: after `skip` more successful allocations, the next n
 * allocations made by the family fail (n <= 0 turns it off).  Inert unless
 * called. */
void kovector2_test_fail_allocations(int skip, int n);

#ifdef __cplusplus
}
#endif

#endif
