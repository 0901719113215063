/*
 * pmtfifo.h -- a blocking first-in first-out queue of untyped pointers for
 * passing work between producer and consumer threads.
 *
 * Bounded (producers wait for room) or unbounded; consumers never wait
 * (mode 0), wait for data without limit (mode 1, and any other mode but 2,
 * which is stored as given) or wait at most a time-out (mode 2).  A
 * consumer's wait can be broken from another thread, producers waiting for
 * room are cancelled by a flush, and a FIFO created with `check` set is
 * entered in a process-wide registry so that producers holding a stale
 * handle are told that it no longer exists.  The pointers carried are never
 * looked at; a null pointer is carried like any other.
 *
 * A checked FIFO's record is never given to a later FIFO: a stale handle is
 * refused for the life of the process, whatever was created since.  Each
 * destroyed checked FIFO therefore keeps its record (a few hundred bytes);
 * programs that make and destroy FIFOs without end should leave `check`
 * unset.  A checked creation whose registration runs out of memory returns
 * null with "pmtfifo_create: setarr() error.\n".
 */
#ifndef VELKUTIL_PMTFIFO_H
#define VELKUTIL_PMTFIFO_H

#include <pthread.h>

#include "stock.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct pmtfifoelement_ {
    void *ptr;                      /* the caller's pointer */
    struct pmtfifoelement_ *next;   /* towards the tail */
    struct pmtfifoelement_ *prev;   /* towards the head */
} PmtfifoElement;

typedef struct pmtfifo_ {
    pthread_mutex_t mutex;            /* guards every field below */
    pthread_cond_t queue_condition;   /* producers wait here for room */
    pthread_cond_t block_condition;   /* consumers wait here for data */
    int maxqueue;                     /* > 0: bound on the queue; <= 0: unbounded */
    int queue;                        /* number of queued elements */
    int flush;                        /* set by a flush, taken by one waiting producer */
    int block;                        /* 0: pop never waits; 1: waits; 2: waits timeout s */
    int check;                        /* entered in the live-FIFO registry */
    int release_block;                /* request to send one waiting consumer home */
    double timeout;                   /* seconds, for mode 2 */
    PmtfifoElement *head;
    PmtfifoElement *tail;
} Pmtfifo;

/* Results of pmtfifo_pop. */
#define PMTFIFO_RELEASED 0   /* a waiting pop was released; nothing taken */
#define PMTFIFO_OK 1         /* an element was taken */
#define PMTFIFO_TIMEOUT 2    /* mode 2: the time-out passed with no element */
#define PMTFIFO_NODATA 3     /* null FIFO, or mode 0 and empty */

/* pmtfifo_pop also returns -1 (with a message) for a checked FIFO that no
 * longer exists.  Destroying a FIFO while a thread waits in it or works on it
 * is the caller's error: stop the producers, release the consumers
 * (pmtfifo_release_blocks) and let them leave first. */
Pmtfifo *pmtfifo_create(int maxqueue, int block, int check);
int pmtfifo_set_timeout(Pmtfifo *mtf, double timeout);
int pmtfifo_push(Pmtfifo *mtf, void *ptr);
int pmtfifo_unpop(Pmtfifo *mtf, void *ptr);
int pmtfifo_pop(Pmtfifo *mtf, void **ptr);
int pmtfifo_data_available(Pmtfifo *mtf);
int pmtfifo_release_block(Pmtfifo *mtf);
int pmtfifo_release_blocks(Pmtfifo *mtf);
/* free_value, when not null, is called on each queued pointer, head to tail. */
int pmtfifo_flush(Pmtfifo *mtf, void (*free_value)(void *));
int pmtfifo_destroy(Pmtfifo *mtf, void (*free_value)(void *));

#ifdef __cplusplus
}
#endif

#endif
