/*
 * pmtcomp.h -- a pool of persistent worker threads for data-parallel work.
 *
 * Each worker is bound to one callback with its own slice of the work (an
 * offset and a count) and its own user data.  A pass starts every worker at
 * once and waits until all have finished; the same threads serve any number
 * of passes.  Each callback delivers its output through its user data; a pass
 * returns how many callbacks returned a value >= 0.
 */
#ifndef VELKUTIL_PMTCOMP_H
#define VELKUTIL_PMTCOMP_H

#include <pthread.h>
#include <stdint.h>

#include "stock.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int64_t (*PmtcompSub)(int64_t ioffset, int64_t number, void *user_data);

typedef struct pmtcompthread_ {
    pthread_t thread;
    pthread_mutex_t mutex;        /* guards the three flags and both conditions */
    pthread_cond_t start_cond;    /* start a pass, or stop */
    pthread_cond_t finished_cond; /* the callback has returned */
    int64_t start_ready;
    int64_t finished_ready;
    int64_t quit;
    int64_t index;                /* list position when added; not renumbered */
    int64_t ret;                  /* the callback's result in the latest pass */
    PmtcompSub comp_sub;
    int64_t ioffset;
    int64_t number;
    void *user_data;              /* the caller's; never freed by the pool */
} PmtcompThread;

typedef struct pmtcomp_ {
    pthread_mutex_t mutex;        /* serialises changes and passes */
    Tbl *threads;                 /* PmtcompThread pointers, in order of addition */
    int64_t quit;                 /* set once, when destroy begins */
} Pmtcomp;

Pmtcomp *pmtcomp_create(void);
long pmtcomp_nthreads(Pmtcomp *mtc);
int pmtcomp_addthread(Pmtcomp *mtc, PmtcompSub comp_sub, int64_t ioffset, int64_t number, void *user_data);
long pmtcomp_processthreads(Pmtcomp *mtc);
/* A null comp_sub, a negative ioffset, a number <= 0 or a null user_data keeps
 * the worker's old value. */
int pmtcomp_setthread(Pmtcomp *mtc, long index, PmtcompSub comp_sub, int64_t ioffset, int64_t number,
                      void *user_data);
int pmtcomp_deletethread(Pmtcomp *mtc, long index);
int pmtcomp_destroy(Pmtcomp *mtc);

#ifdef __cplusplus
}
#endif

#endif
