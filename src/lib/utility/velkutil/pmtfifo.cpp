// pmtfifo: the blocking FIFO that passes pointers between threads.
//
// One lock and two conditions per FIFO (room for producers, data for
// consumers); every wake-up is a single signal.  A waiter that leaves without
// using what it was woken for hands the signal on to the next waiter, so a
// flush, a release or a mode change never strands the other waiters while the
// FIFO has room, data, or no longer blocks.  The live-FIFO registry has its own
// lock, which is never held together with a FIFO's lock.
#include "pmtfifo.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "arrays.h"

namespace {

// The public record plus the waiter counts that the hand-on rules need.
struct FifoImpl {
    Pmtfifo pub;              // first: a Pmtfifo * is a FifoImpl *
    int consumers_waiting;    // consumers inside a wait on block_condition
    int producers_waiting;    // producers inside a wait on queue_condition
    FifoImpl *next_spare;     // chain of the spare checked records
};

inline FifoImpl *impl(Pmtfifo *f) { return reinterpret_cast<FifoImpl *>(f); }

// The live-FIFO registry.  The lock is ready at load, so the first creations
// may run at the same time.
pthread_mutex_t pmtfifo_mutex = PTHREAD_MUTEX_INITIALIZER;
Arr *pmtfifo_arr = nullptr;
int pmtfifo_first = 1;
// Records of destroyed checked FIFOs are kept (their `check` still set) and
// reused by later checked FIFOs instead of going back to malloc, so that a
// producer holding a stale handle reads live memory, finds no registry entry
// and is told that the FIFO no longer exists.  Guarded by pmtfifo_mutex.
FifoImpl *pmtfifo_spare = nullptr;

void fifo_key(const Pmtfifo *mtf, char *key, size_t n) { snprintf(key, n, "0x%lx", (unsigned long)mtf); }

// Registry check: true when mtf is a checked FIFO that is no longer
// registered (msg, if given, is then registered).  Never touches the FIFO's
// own lock.
bool gone(Pmtfifo *mtf, const char *msg) {
    if (!mtf->check) return false;
    char key[32];
    fifo_key(mtf, key, sizeof key);
    pthread_mutex_lock(&pmtfifo_mutex);
    void *v = pmtfifo_arr ? getarr(pmtfifo_arr, key) : nullptr;
    pthread_mutex_unlock(&pmtfifo_mutex);
    if (v != mtf) {
        if (msg) elog_log(0, "%s", msg);
        return true;
    }
    return false;
}

// Absolute deadline `timeout` seconds from now on the host clock.  Time-outs
// beyond about thirty years (and NaN) wait that long, which is for ever in
// practice and keeps the arithmetic finite.
struct timespec deadline_after(double timeout) {
    const double longest = 1e9;
    if (!(timeout <= longest)) timeout = longest;
    double t = std_now() + timeout;
    struct timespec ts;
    ts.tv_sec = (time_t)t;
    long ns = (long)((t - (double)ts.tv_sec) * 1e9 + 0.5);
    if (ns >= 1000000000L) {  // rounding reached the next second
        ts.tv_sec += 1;
        ns -= 1000000000L;
    }
    if (ns < 0) ns = 0;
    ts.tv_nsec = ns;
    return ts;
}

// Producers: while there is room, a waiting producer must have a signal.
inline void hand_on_room(Pmtfifo *mtf) {
    if (mtf->maxqueue > 0 && mtf->queue < mtf->maxqueue && impl(mtf)->producers_waiting > 0)
        pthread_cond_signal(&mtf->queue_condition);
}

// Consumers: while data is queued, the FIFO no longer blocks, or a release
// request is pending, a waiting consumer must have a signal.
inline void hand_on_data(Pmtfifo *mtf) {
    if (impl(mtf)->consumers_waiting > 0 && (mtf->head || !mtf->block || mtf->release_block))
        pthread_cond_signal(&mtf->block_condition);
}

int push_or_unpop(Pmtfifo *mtf, void *ptr, bool at_head) {
    if (!mtf) return 0;
    if (gone(mtf, "pmtfifo_push: mtfifo no longer exists.\n")) return -1;

    // Allocated before locking: the lock is held for as short as possible.
    PmtfifoElement *el = static_cast<PmtfifoElement *>(malloc(sizeof(PmtfifoElement)));
    if (!el) {
        elog_log(1, "pmtfifo_push: malloc() error.\n");
        return -1;
    }
    el->ptr = ptr;

    pthread_mutex_lock(&mtf->mutex);
    if (mtf->maxqueue > 0) {
        while (mtf->queue >= mtf->maxqueue) {
            impl(mtf)->producers_waiting++;
            pthread_cond_wait(&mtf->queue_condition, &mtf->mutex);
            impl(mtf)->producers_waiting--;
            if (mtf->flush) {
                // Cancelled: the pointer stays the caller's.
                mtf->flush = 0;
                hand_on_room(mtf);
                pthread_mutex_unlock(&mtf->mutex);
                free(el);
                return 0;
            }
        }
    }
    if (at_head) {
        el->prev = nullptr;
        el->next = mtf->head;
        if (mtf->head)
            mtf->head->prev = el;
        else
            mtf->tail = el;
        mtf->head = el;
    } else {
        el->next = nullptr;
        el->prev = mtf->tail;
        if (mtf->tail)
            mtf->tail->next = el;
        else
            mtf->head = el;
        mtf->tail = el;
    }
    mtf->queue++;
    if (mtf->block) pthread_cond_signal(&mtf->block_condition);
    hand_on_room(mtf);
    pthread_mutex_unlock(&mtf->mutex);
    return 0;
}

void free_elements(PmtfifoElement *el, void (*free_value)(void *)) {
    while (el) {
        PmtfifoElement *next = el->next;
        if (free_value) free_value(el->ptr);
        free(el);
        el = next;
    }
}

}  // namespace

extern "C" {

Pmtfifo *pmtfifo_create(int maxqueue, int block, int check) {
    if (block < 0 || block > 2) {
        elog_log(0, "pmtfifo_create: bad block mode %d (0, 1 or 2).\n", block);
        return nullptr;
    }
    FifoImpl *fi = nullptr;
    if (check) {
        pthread_mutex_lock(&pmtfifo_mutex);
        if ((fi = pmtfifo_spare) != nullptr) pmtfifo_spare = fi->next_spare;
        pthread_mutex_unlock(&pmtfifo_mutex);
        if (fi) memset(fi, 0, sizeof *fi);
    }
    if (!fi) fi = static_cast<FifoImpl *>(calloc(1, sizeof(FifoImpl)));
    if (!fi) {
        elog_log(1, "pmtfifo_create: malloc() error.\n");
        return nullptr;
    }
    Pmtfifo *mtf = &fi->pub;
    mtf->maxqueue = maxqueue;
    mtf->block = block;
    mtf->check = check;
    mtf->queue = mtf->flush = mtf->release_block = 0;
    mtf->timeout = 0.0;
    mtf->head = mtf->tail = nullptr;
    pthread_mutex_init(&mtf->mutex, nullptr);
    pthread_cond_init(&mtf->queue_condition, nullptr);
    pthread_cond_init(&mtf->block_condition, nullptr);

    pthread_mutex_lock(&pmtfifo_mutex);
    if (!pmtfifo_arr) {
        pmtfifo_arr = newarr(0);
        if (!pmtfifo_arr) {
            pthread_mutex_unlock(&pmtfifo_mutex);
            elog_log(0, "pmtfifo_create: newarr() error.\n");
            pthread_mutex_destroy(&mtf->mutex);
            pthread_cond_destroy(&mtf->queue_condition);
            pthread_cond_destroy(&mtf->block_condition);
            free(fi);  // a spare record was never registered: plain memory now
            return nullptr;
        }
        pmtfifo_first = 0;
    }
    if (check) {
        char key[32];
        fifo_key(mtf, key, sizeof key);
        setarr(pmtfifo_arr, key, mtf);
    }
    pthread_mutex_unlock(&pmtfifo_mutex);
    return mtf;
}

int pmtfifo_set_timeout(Pmtfifo *mtf, double timeout) {
    if (!mtf) return 0;
    if (gone(mtf, "pmtfifo_set_timeout: mtfifo no longer exists.\n")) return -1;
    pthread_mutex_lock(&mtf->mutex);
    if (timeout < 0.0) {
        mtf->block = 1;  // waits without limit; nobody is woken
    } else if (timeout == 0.0) {
        if (mtf->block) {
            mtf->release_block = 1;
            pthread_cond_signal(&mtf->block_condition);
            mtf->block = 0;
        }
    } else {  // positive, or NaN
        if (mtf->block) {
            mtf->release_block = 1;
            pthread_cond_signal(&mtf->block_condition);
        }
        mtf->block = 2;
        mtf->timeout = timeout;
    }
    pthread_mutex_unlock(&mtf->mutex);
    return 0;
}

int pmtfifo_push(Pmtfifo *mtf, void *ptr) { return push_or_unpop(mtf, ptr, false); }

int pmtfifo_unpop(Pmtfifo *mtf, void *ptr) { return push_or_unpop(mtf, ptr, true); }

int pmtfifo_pop(Pmtfifo *mtf, void **ptr) {
    if (ptr) *ptr = nullptr;
    if (!mtf) return PMTFIFO_NODATA;
    // A checked FIFO that is gone is not touched.
    if (gone(mtf, "pmtfifo_pop: mtfifo no longer exists.\n")) return -1;

    pthread_mutex_lock(&mtf->mutex);
    int result = -1;
    bool took_release = false;
    while (mtf->block && !mtf->head) {
        int rc;
        impl(mtf)->consumers_waiting++;
        if (mtf->block == 2) {
            struct timespec ts = deadline_after(mtf->timeout);
            rc = pthread_cond_timedwait(&mtf->block_condition, &mtf->mutex, &ts);
        } else {
            rc = pthread_cond_wait(&mtf->block_condition, &mtf->mutex);
        }
        impl(mtf)->consumers_waiting--;
        if (rc == ETIMEDOUT) {
            result = PMTFIFO_TIMEOUT;
            break;
        }
        if (mtf->release_block) {
            mtf->release_block = 0;
            took_release = true;
            result = PMTFIFO_RELEASED;
            break;
        }
    }

    PmtfifoElement *el = nullptr;
    if (result < 0) {
        if (!mtf->head) {
            result = PMTFIFO_NODATA;
        } else {
            el = mtf->head;
            mtf->head = el->next;
            if (mtf->head)
                mtf->head->prev = nullptr;
            else
                mtf->tail = nullptr;
            mtf->queue--;
            if (mtf->maxqueue > 0 && mtf->queue < mtf->maxqueue) pthread_cond_signal(&mtf->queue_condition);
            result = PMTFIFO_OK;
        }
    }
    // Every pop ends a pending release request, except that a request is
    // kept for a consumer still waiting: it was meant for a waiter.
    if (!took_release && impl(mtf)->consumers_waiting == 0) mtf->release_block = 0;
    hand_on_data(mtf);
    pthread_mutex_unlock(&mtf->mutex);

    if (el) {
        if (ptr) *ptr = el->ptr;
        free(el);
    }
    return result;
}

int pmtfifo_data_available(Pmtfifo *mtf) {
    if (!mtf || gone(mtf, nullptr)) return 0;
    pthread_mutex_lock(&mtf->mutex);
    int n = mtf->head ? mtf->queue : 0;
    pthread_mutex_unlock(&mtf->mutex);
    return n;
}

int pmtfifo_release_block(Pmtfifo *mtf) {
    if (!mtf || gone(mtf, nullptr)) return 0;
    pthread_mutex_lock(&mtf->mutex);
    if (mtf->block) {
        mtf->release_block = 1;
        pthread_cond_signal(&mtf->block_condition);
    }
    pthread_mutex_unlock(&mtf->mutex);
    return 0;
}

int pmtfifo_release_blocks(Pmtfifo *mtf) {
    if (!mtf || gone(mtf, nullptr)) return 0;
    pthread_mutex_lock(&mtf->mutex);
    if (mtf->block) {
        mtf->release_block = 1;
        pthread_cond_signal(&mtf->block_condition);
        mtf->block = 0;
    }
    pthread_mutex_unlock(&mtf->mutex);
    return 0;
}

int pmtfifo_flush(Pmtfifo *mtf, void (*free_value)(void *)) {
    if (!mtf || gone(mtf, nullptr)) return 0;
    pthread_mutex_lock(&mtf->mutex);
    PmtfifoElement *list = mtf->head;
    mtf->head = mtf->tail = nullptr;
    mtf->queue = 0;
    mtf->flush = 1;
    pthread_cond_signal(&mtf->queue_condition);
    pthread_mutex_unlock(&mtf->mutex);
    // The values are released outside the lock, so free_value may use the FIFO.
    free_elements(list, free_value);
    return 0;
}

int pmtfifo_destroy(Pmtfifo *mtf, void (*free_value)(void *)) {
    if (!mtf) return 0;
    if (mtf->check) {
        // Unregister; a second destroy through a stale handle finds nothing.
        char key[32];
        fifo_key(mtf, key, sizeof key);
        pthread_mutex_lock(&pmtfifo_mutex);
        bool registered = pmtfifo_arr && getarr(pmtfifo_arr, key) == mtf;
        if (registered) delarr(pmtfifo_arr, key);
        pthread_mutex_unlock(&pmtfifo_mutex);
        if (!registered) return 0;
    }
    pthread_mutex_destroy(&mtf->mutex);
    pthread_cond_destroy(&mtf->queue_condition);
    pthread_cond_destroy(&mtf->block_condition);
    PmtfifoElement *list = mtf->head;
    mtf->head = mtf->tail = nullptr;
    mtf->queue = 0;
    free_elements(list, free_value);
    if (mtf->check) {
        pthread_mutex_lock(&pmtfifo_mutex);
        impl(mtf)->next_spare = pmtfifo_spare;
        pmtfifo_spare = impl(mtf);
        pthread_mutex_unlock(&pmtfifo_mutex);
    } else {
        free(impl(mtf));
    }
    return 0;
}

}  // extern "C"
