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
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "arrays.h"

namespace {

// Elements are carved in order from blocks, the way a FIFO uses them, and a
// block is released when the last of its elements has been popped (the one
// being carved from is reused instead): a steady flow costs one allocation
// per block rather than one per pointer, and elements cost no more than their
// three fields.  A popped element almost always lies in the oldest block in
// use (or, after an unpop, in the newest), so finding its block is one range
// test.  A drained FIFO keeps a bounded number of empty blocks.
constexpr size_t kBlockBytes = 4096;
constexpr size_t kLine = 64;
// `carved` is the producers' and `released` the consumers' (both under the
// FIFO's lock): on lines of their own, so the two sides do not pull one cache
// line back and forth on every element.
struct Block {
    Block *older, *newer;  // blocks in use, oldest first; `older` also chains the empty ones
    int carved;            // elements handed out from this block so far
    char pad1_[kLine];
    int released;          // of those, elements given back
    char pad2_[kLine];
};
constexpr size_t kBlockHead = (sizeof(Block) + 7) / 8 * 8;
constexpr int kBlockElements = int((kBlockBytes - kBlockHead) / sizeof(PmtfifoElement));
// Empty blocks a FIFO keeps for reuse.
constexpr int kEmptyMax = 8;

inline PmtfifoElement *first_element(Block *b) {
    return reinterpret_cast<PmtfifoElement *>(reinterpret_cast<char *>(b) + kBlockHead);
}
inline bool holds(Block *b, PmtfifoElement *el) {
    PmtfifoElement *first = first_element(b);
    return el >= first && el < first + kBlockElements;
}

// The public record plus the waiter counts that the hand-on rules need and
// the element blocks.
struct FifoImpl {
    Pmtfifo pub;              // first: a Pmtfifo * is a FifoImpl *
    int consumers_waiting;    // consumers inside a wait on block_condition
    int producers_waiting;    // producers inside a wait on queue_condition
    int untimed_waiting;      // of the consumers, those in a wait without limit
    FifoImpl *next_retired;   // chain of the retired checked records
    Block *oldest, *current;  // the blocks in use; elements are carved from `current`
    Block *empty;             // empty blocks kept for the next carves
    int nempty;
};

inline FifoImpl *impl(Pmtfifo *f) { return reinterpret_cast<FifoImpl *>(f); }

// Both under the FIFO's mutex.
PmtfifoElement *new_element(FifoImpl *fi) {
    Block *b = fi->current;
    if (!b || b->carved == kBlockElements) {
        if (fi->empty) {
            b = fi->empty;
            fi->empty = b->older;
            fi->nempty--;
        } else if (!(b = static_cast<Block *>(malloc(kBlockBytes)))) {
            return nullptr;
        }
        b->carved = b->released = 0;
        b->newer = nullptr;
        b->older = fi->current;
        if (fi->current)
            fi->current->newer = b;
        else
            fi->oldest = b;
        fi->current = b;
    }
    return first_element(b) + b->carved++;
}

void release_element(FifoImpl *fi, PmtfifoElement *el) {
    Block *b = fi->oldest;
    if (!holds(b, el)) {
        b = fi->current;
        if (!holds(b, el))
            for (b = fi->oldest->newer; !holds(b, el); b = b->newer) {
            }
    }
    if (++b->released < b->carved) return;
    if (b == fi->current) {
        b->carved = b->released = 0;  // nothing of it is in use: carve it again
        return;
    }
    // Full and all given back: out of the list.
    if (b->older)
        b->older->newer = b->newer;
    else
        fi->oldest = b->newer;
    b->newer->older = b->older;  // not the current block, so a newer one exists
    if (fi->nempty < kEmptyMax) {
        b->older = fi->empty;
        fi->empty = b;
        fi->nempty++;
    } else {
        free(b);
    }
}

// The live-FIFO registry.  The lock is ready at load, so the first creations
// may run at the same time.
pthread_mutex_t pmtfifo_mutex = PTHREAD_MUTEX_INITIALIZER;
Arr *pmtfifo_arr = nullptr;
int pmtfifo_first = 1;
// Records of destroyed checked FIFOs are kept for the life of the process,
// their `check` still set, and never used again: a handle is the record's
// address, so an address that no later FIFO can take is what makes a stale
// handle always distinguishable.  A producer holding one reads live memory,
// finds no registry entry and is told that the FIFO no longer exists -- it
// never reaches a newer FIFO.  The element blocks are freed at destroy, so a
// retired record costs sizeof(FifoImpl) bytes.  Guarded by pmtfifo_mutex.
FifoImpl *pmtfifo_retired = nullptr;

void fifo_key(const Pmtfifo *mtf, char *key, size_t n) { snprintf(key, n, "0x%lx", (unsigned long)mtf); }

// `check` is read without any lock, also through stale handles (a retired
// record keeps it set for ever).
inline int checked_of(const Pmtfifo *mtf) { return __atomic_load_n(&mtf->check, __ATOMIC_RELAXED); }

// Registry check: true when mtf is a checked FIFO that is no longer
// registered (msg, if given, is then registered).  Never touches the FIFO's
// own lock.
bool gone(Pmtfifo *mtf, const char *msg) {
    if (!checked_of(mtf)) return false;
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

// Consumers: while data is queued, the FIFO no longer blocks, a release
// request is pending, or a consumer still waits without limit although the
// FIFO now times its waits, a waiting consumer must have a signal.
inline bool untimed_but_timed_mode(Pmtfifo *mtf) { return mtf->block == 2 && impl(mtf)->untimed_waiting > 0; }

inline void hand_on_data(Pmtfifo *mtf) {
    if (impl(mtf)->consumers_waiting > 0 &&
        (mtf->head || !mtf->block || mtf->release_block || untimed_but_timed_mode(mtf)))
        pthread_cond_signal(&mtf->block_condition);
}

int push_or_unpop(Pmtfifo *mtf, void *ptr, bool at_head) {
    if (!mtf) return 0;
    if (gone(mtf, "pmtfifo_push: mtfifo no longer exists.\n")) return -1;

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
                return 0;
            }
        }
    }
    PmtfifoElement *el = new_element(impl(mtf));
    if (!el) {
        elog_log(1, "pmtfifo_push: malloc() error.\n");
        hand_on_room(mtf);
        pthread_mutex_unlock(&mtf->mutex);
        return -1;
    }
    el->ptr = ptr;
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
    // One waiting consumer is woken (the waiter counts are exact under the
    // lock, so a signal is only sent when somebody waits).
    if (mtf->block && impl(mtf)->consumers_waiting > 0) pthread_cond_signal(&mtf->block_condition);
    hand_on_room(mtf);
    pthread_mutex_unlock(&mtf->mutex);
    return 0;
}

void call_free_value(PmtfifoElement *el, void (*free_value)(void *)) {
    for (; free_value && el; el = el->next) free_value(el->ptr);
}

void release_elements(FifoImpl *fi, PmtfifoElement *el) {
    while (el) {
        PmtfifoElement *next = el->next;
        release_element(fi, el);
        el = next;
    }
}

}  // namespace

extern "C" {

Pmtfifo *pmtfifo_create(int maxqueue, int block, int check) {
    // Any block mode is kept: 0 never waits, 2 waits with the time-out, and
    // every other value waits without limit.
    FifoImpl *fi = static_cast<FifoImpl *>(calloc(1, sizeof(FifoImpl)));
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
            free(fi);
            return nullptr;
        }
        pmtfifo_first = 0;
    }
    if (check) {
        char key[32];
        fifo_key(mtf, key, sizeof key);
        if (setarr(pmtfifo_arr, key, mtf) == ARR_FAILED) {
            pthread_mutex_unlock(&pmtfifo_mutex);
            elog_log(0, "pmtfifo_create: setarr() error.\n");
            pthread_mutex_destroy(&mtf->mutex);
            pthread_cond_destroy(&mtf->queue_condition);
            pthread_cond_destroy(&mtf->block_condition);
            // Never registered, so never handed out: plain memory again.
            free(fi);
            return nullptr;
        }
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
            impl(mtf)->untimed_waiting++;
            rc = pthread_cond_wait(&mtf->block_condition, &mtf->mutex);
            impl(mtf)->untimed_waiting--;
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
        // Waiting on, now under the timed rule: the next consumer still
        // waiting without limit is woken to do the same.
        if (untimed_but_timed_mode(mtf)) pthread_cond_signal(&mtf->block_condition);
    }

    if (result < 0) {
        if (!mtf->head) {
            result = PMTFIFO_NODATA;
        } else {
            PmtfifoElement *el = mtf->head;
            mtf->head = el->next;
            if (mtf->head)
                mtf->head->prev = nullptr;
            else
                mtf->tail = nullptr;
            mtf->queue--;
            if (mtf->maxqueue > 0 && mtf->queue < mtf->maxqueue && impl(mtf)->producers_waiting > 0)
                pthread_cond_signal(&mtf->queue_condition);
            result = PMTFIFO_OK;
            if (ptr) *ptr = el->ptr;
            release_element(impl(mtf), el);
        }
    }
    // Every pop ends a pending release request, except that a request is
    // kept for a consumer still waiting: it was meant for a waiter.
    if (!took_release && impl(mtf)->consumers_waiting == 0) mtf->release_block = 0;
    hand_on_data(mtf);
    pthread_mutex_unlock(&mtf->mutex);

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
    call_free_value(list, free_value);
    pthread_mutex_lock(&mtf->mutex);
    release_elements(impl(mtf), list);
    pthread_mutex_unlock(&mtf->mutex);
    return 0;
}

int pmtfifo_destroy(Pmtfifo *mtf, void (*free_value)(void *)) {
    if (!mtf) return 0;
    if (checked_of(mtf)) {
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
    call_free_value(list, free_value);
    release_elements(impl(mtf), list);
    free(impl(mtf)->current);  // every element is released: these are the only blocks left
    while (Block *b = impl(mtf)->empty) {
        impl(mtf)->empty = b->older;
        free(b);
    }
    impl(mtf)->current = impl(mtf)->oldest = nullptr;
    impl(mtf)->nempty = 0;
    if (mtf->check) {
        pthread_mutex_lock(&pmtfifo_mutex);
        impl(mtf)->next_retired = pmtfifo_retired;
        pmtfifo_retired = impl(mtf);
        pthread_mutex_unlock(&pmtfifo_mutex);
    } else {
        free(impl(mtf));
    }
    return 0;
}

}  // extern "C"
