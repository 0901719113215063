/*
 * kohistory.h -- value histories: bounded, time-ordered lists of (time,
 * value) samples that monitors append to as readings arrive and later
 * interpolate, measure and draw.  A history lives in memory or in a file
 * that keeps its samples across runs and that one owner at a time may hold.
 * Histories are addressed by "thst%d" handles.
 */
#ifndef VELKUTIL_KOHISTORY_H
#define VELKUTIL_KOHISTORY_H

#include "stock.h"
#include "arrays.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kohistory_point_ {
    double time;   /* epoch seconds */
    double value;
} KOHistoryPoint;

typedef struct kohistory_ {
    int maxnp;        /* most samples kept; adding beyond drops the oldest */
    char *tag;        /* owned group name, or null */
    char *filename;   /* owned backing file name, or null for memory only */
    Tbl *points;      /* KOHistoryPoint records, oldest first */
} KOHistory;

/* A new history of at most maxnp samples, in memory or (filename) in a
 * file-backed list that one history at a time may own -- across processes
 * too; a child forked without exec never holds the file (see lockfd).  An
 * empty file name is taken as none (a deliberate choice: "" names no file).
 * A registration that runs out of memory gives the file up again and
 * returns null with its message. */
KOHistory *kohistory_create(int maxnp, char *tag, char *filename, char *handle);
KOHistory *kohistory_get_history(char *handle);
int kohistory_add(char *handle, double time, double value);
int kohistory_eval(char *handle, double time, double *value);
int kohistory_maxmin(char *handle, double *tmin, double *tmax, double *vmin, double *vmax);
int kohistory_get_points(char *handle, int *npts, double **tpts, double **ypts);
int kohistory_free(char *handle);
int kohistory_free_tag(char *tag);
void kohistory_free_history(KOHistory *history);

#ifdef __cplusplus
}
#endif

#endif
