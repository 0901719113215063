/*
 * pmtmanagedfifo.h -- a named broadcast queue between threads.
 *
 * Every item that a producer pushes is delivered to every consumer registered
 * at that moment; each consumer reads from its own blocking FIFO and receives
 * its own copy, made by the producer's copy procedure, and the shared item is
 * released when the last consumer has taken it.  FIFOs are found by name in a
 * process-wide registry.  Producers may register by name; when the last
 * registered producer announces its end, every consumer gets an end marker.
 */
#ifndef VELKUTIL_PMTMANAGEDFIFO_H
#define VELKUTIL_PMTMANAGEDFIFO_H

#include <pthread.h>
#include <stdint.h>

#include "arrays.h"
#include "pmtfifo.h"
#include "stock.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct pmtmanagedfifo_ {
    char name[64];           /* at most 63 characters */
    Tbl *consumers_tbl;      /* the consumers' Pmtfifo, in registration (delivery) order */
    Arr *consumers_arr;      /* consumer name -> Pmtfifo */
    Arr *producers_arr;      /* producer name -> copy of the name (active) or null (ended) */
    pthread_mutex_t mutex;   /* guards the containers, sequence and the items' refcounts */
    uint64_t sequence;       /* number of the next pushed item */
} Pmtmanagedfifo;

typedef struct pmtmanagedfifo_data_ {
    Hook *data;                      /* the item, owned by this record */
    uint64_t sequence;               /* the item's number */
    uint64_t refcount;               /* consumer queues that still hold this record */
    Hook *(*copyproc)(Hook *);       /* makes each consumer's own copy */
} PmtmanagedfifoData;

/* Result of pmtmanagedfifo_pop when the end marker was taken. */
#define PMTMANAGEDFIFO_EOF 4

/* A consumer queue returned by set_consumer may be tuned (pmtfifo_set_timeout,
 * pmtfifo_release_block(s)) but not flushed or destroyed: its items are shared
 * records that only pmtmanagedfifo_pop and pmtmanagedfifo_destroy release.
 * push with copydata 0 hands the item to the FIFO once the call gets past its
 * argument checks (a missing copyproc or a failed record allocation leaves it
 * the caller's). */
/* The FIFO registered under name, or null.  The first call sets the
 * registry up; if that runs out of memory it registers
 * "pmtmanagedfifo_get: newarr() error.\n" (flag 1) and returns null, and the
 * next call tries again (the process is not ended).  A creation, consumer
 * or producer whose registration runs out of memory registers nothing and
 * fails with a "setarr() error" message of its own. */
Pmtmanagedfifo *pmtmanagedfifo_get(char *name);
Pmtmanagedfifo *pmtmanagedfifo_create(char *name);
Pmtfifo *pmtmanagedfifo_set_consumer(Pmtmanagedfifo *mtf, char *consumer_name, int maxqueue, int block);
Pmtfifo *pmtmanagedfifo_get_consumer(Pmtmanagedfifo *mtf, char *consumer_name);
int pmtmanagedfifo_set_producer(Pmtmanagedfifo *mtf, char *producer_name);
int pmtmanagedfifo_push(Pmtmanagedfifo *mtf, Hook *data, Hook *(*copyproc)(Hook *), int copydata);
int pmtmanagedfifo_push_eof(Pmtmanagedfifo *mtf, char *producer_name);
int pmtmanagedfifo_pop(Pmtmanagedfifo *mtf, char *consumer_name, Hook **data, unsigned long *sequence);
void pmtmanagedfifo_free_data(void *datav);
int pmtmanagedfifo_destroy(Pmtmanagedfifo *mtf);
int pmtmanagedfifo_display(char *pre, Pmtmanagedfifo *mtf);

#ifdef __cplusplus
}
#endif

#endif
