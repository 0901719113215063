/*
 * kovector.h -- first-generation plot vectors, kept for the programs (and
 * the database expression plots) that use them.  The same kinds as kovector2
 * (point vectors and time-sampled vectors) and the same numerical rules, but
 * every point is a record of its own that owns its y values and its label.
 * No record cache.  Handles are "vect%d" tags numbered independently of
 * kovector2's, so a tag means something only to the family that issued it.
 *
 * Unless stated here, each operation behaves as its kovector2 twin (same
 * name with the 2), with "kovector" in place of "kovector2" in every
 * message.  Callers use the family from one thread at a time.
 */
#ifndef VELKUTIL_KOVECTOR_H
#define VELKUTIL_KOVECTOR_H

#include "stock.h"
#include "arrays.h"
#include "db.h"
#include "pf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One point: x, its own zeroed array of ny y values (allocated for every
 * slot of the capacity, used or not) and an owned label or null. */
typedef struct point_ {
    double x;
    double *y;
    char *label;
} KOVectorPoint;

typedef struct kovector_ {
    char ident[8];          /* "kovec", NUL-padded, while the record is live */
    int ny;                 /* y values per point (1 for time-sampled) */
    int nx;                 /* points or samples in use */
    int size;               /* capacity in points or samples */
    char *tag;              /* owned copy of the caller's group name, or null */
    struct point_ *point;   /* point vectors: size point records; else null */
    double time;            /* time-sampled: time of sample 0 */
    double dt;              /* time-sampled: sample interval */
    double *data;           /* time-sampled: size samples; else null */
    int heap_size;          /* bytes charged (labels are never charged) */
} KOVector;

/* Lookup: the registered vector or null ("kovector_get_vector: No vectors
 * defined", "...: Cannot find %s", "...: Wrong ident for %s"). */
KOVector *kovector_get_vector(char *handle);

/* Creation.  Capacity: nx x 1.2 (truncated) when nx is positive, else 100;
 * for time-sampled vectors nsamp x 1.2, else 1000.  handle (may be null) is
 * written only on success.  Messages "kovector_create: newarr() error.\n",
 * "kovector_create: malloc() error.\n" (flag 1), and the same for
 * kovector_create_tsamp. */
KOVector *kovector_create(int nx, int ny, char *tag, char *handle);
KOVector *kovector_create_tsamp(int nsamp, double time, double samprate, double *data, char *tag, char *handle);

/* Copies: x, y values and labels point by point; a source with neither
 * array gives null without a message.  yindex < 0: a full copy. */
KOVector *kovector_copy(char *in_handle, char *tag, char *handle);
KOVector *kovector_copy_1y(char *in_handle, int yindex, char *tag, char *handle);

/* Doubles size while nx >= size: new point slots get zeroed y arrays, new
 * samples are zero.  0 / -1 ("kovector_resize: realloc() error.\n"). */
int kovector_resize(char *handle);

/* Release: every slot's y array and label, the arrays, the tag, the record
 * and the registry entry.  kovector_free ignores unknown handles silently;
 * kovector_free_tag frees every vector whose tag equals tag.  Both 0. */
void kovector_free_vector(KOVector *vector);
int kovector_free(char *handle);
int kovector_free_tag(char *tag);

/* Memory: registered vectors with this tag (or the one handle, or all) and
 * their heap_size sum.  0 / -1. */
int kovector_get_heap_size(char *tag, char *handle, long *nobjects, long *heap_total);

/* Editing.  kovector_append inserts before index (negative or beyond nx:
 * at the end); the inserted point gets a copy of label only when it is
 * non-empty.  kovector_put / kovector_puty replace a point (a non-null
 * label replaces the old one; "" removes it); kovector_puty on a
 * time-sampled vector sets one sample and ignores label.
 * kovector_get_point writes label only when the point has one. */
int kovector_append(char *handle, int index, double x, double *y, char *label);
int kovector_put(char *handle, int index, double x, double *y, char *label);
int kovector_puty(char *handle, int index, double *y, char *label);
int kovector_get_point(char *handle, int index, double *x, double *y, char *label);

/* All points in new arrays the caller frees: *npts (0 until success), *xpts
 * (nx values), *labels (if labels is given: nx copies or nulls).  *ny is the
 * column choice: negative for all columns (then *ny becomes the vector's ny
 * and vypts, a double ***, receives ny column arrays), else one column below
 * ny (vypts, a double **, receives one array).  Messages
 * "kovector_get_points: index out of range.\n" and
 * "kovector_get_points: malloc() error.\n" (both flag 1). */
int kovector_get_points(char *handle, int *npts, int *ny, double **xpts, void *vypts, char ***labels);

/* Evaluation, extents, nearest point, statistics: the rules of the twins.
 * kovector_maxmin on a time-sampled vector takes every sample into the y
 * extent, the 3.4e38 marker included.  kovector_stats registers its lookup
 * and kind failures as "kovector_append: kovector_get_vector(%s) error.\n"
 * and "kovector_append: Can only do stats on point vectors.\n". */
int kovector_eval(char *handle, double x, double *y);
int kovector_maxmin(char *handle, int iy, double *xmin, double *xmax, double *ymin, double *ymax);
long kovector_nearest(char *handle, int iy, double x, double y);
KOVector *kovector_stats(Tbl *kovector_handles, char *type, char *tag, char *handle);

/* Loading: the formats of kovector2_read, kovector2_create_from_pf,
 * kovector2_create_response_fap and kovector2_read_from_trblob.
 * kovector_create_from_pf makes a vector of exactly the data rows;
 * kovector_create_response_fap counts only the rows the file gives (at most
 * the declared count), with room for the count x 1.2. */
KOVector *kovector_read(char *fname, char *tag, int line_off, int xpos, int ny, int *ypos, int lpos, char *handle);
KOVector *kovector_create_from_pf(Pf *pf, char *name, char *tag, char *handle, int *err);
KOVector *kovector_create_response_fap(char *filename, char *tag, char *handle, int *err);
int kovector_read_from_trblob(char *trblob, char *tag, Dbptr *dbtr);

/* Transforms (in place): kovector_transform_ygain on a time-sampled vector
 * multiplies every sample, the 3.4e38 marker included. */
int kovector_transform_edp(char *handle, double lonr, double latr);
int kovector_transform_invertx(char *handle);
int kovector_transform_spec(char *handle, int ndif, int iy);
int kovector_transform_ygain(char *handle, double ygain, int iy);

#ifdef __cplusplus
}
#endif

#endif
