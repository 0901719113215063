// pmtcomp: the compute pool.  Persistent worker threads, each bound to one
// callback and one slice of the work, driven in lock-step passes: the
// controller releases every worker, then gathers them in list order.
//
// Lock order: the pool lock, then a worker's lock.  A worker takes only its
// own lock and never holds it while its callback runs.  Flags shared between
// a worker and the controller change only under the worker's lock; the few
// values read without a lock (the quit flags, the worker count) are atomic.
#include "pmtcomp.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

// Progress (level > 0) and lock-trace (level > 1) lines on standard output.
// No operation raises it.
int verbose = 0;

// The public record plus what lets callers read the count without the lock
// and lets destroy wait for calls that are still on their way out.
struct PoolImpl {
    Pmtcomp pub;     // first: a Pmtcomp * is a PoolImpl *
    long count;      // number of workers; written under the pool lock
    long inflight;   // calls between their first quit test and their return
};

inline PoolImpl *impl(Pmtcomp *m) { return reinterpret_cast<PoolImpl *>(m); }

inline int64_t load(const int64_t *v) { return __atomic_load_n(v, __ATOMIC_SEQ_CST); }
inline void store(int64_t *v, int64_t x) { __atomic_store_n(v, x, __ATOMIC_SEQ_CST); }

inline long count_of(Pmtcomp *m) { return __atomic_load_n(&impl(m)->count, __ATOMIC_SEQ_CST); }
inline void set_count(Pmtcomp *m) { __atomic_store_n(&impl(m)->count, maxtbl(m->threads), __ATOMIC_SEQ_CST); }

// The prologue shared by add, set, delete and process: false when the pool is
// stopping (the call then does nothing); true with the pool lock held.
bool enter(Pmtcomp *m) {
    __atomic_add_fetch(&impl(m)->inflight, 1, __ATOMIC_SEQ_CST);
    if (load(&m->quit)) {
        __atomic_sub_fetch(&impl(m)->inflight, 1, __ATOMIC_SEQ_CST);
        return false;
    }
    pthread_mutex_lock(&m->mutex);
    if (load(&m->quit)) {
        pthread_mutex_unlock(&m->mutex);
        __atomic_sub_fetch(&impl(m)->inflight, 1, __ATOMIC_SEQ_CST);
        return false;
    }
    return true;
}

void leave(Pmtcomp *m) {
    pthread_mutex_unlock(&m->mutex);
    __atomic_sub_fetch(&impl(m)->inflight, 1, __ATOMIC_SEQ_CST);
}

void *pmtcomp_runthread(void *arg) {
    PmtcompThread *t = static_cast<PmtcompThread *>(arg);
    // pthread_self: the creator may not have stored t->thread yet.
    unsigned long id = (unsigned long)pthread_self();
    if (verbose > 0) printf("pmtcomp_runthread: %lu: Starting thread\n", id);
    for (;;) {
        if (load(&t->quit)) break;
        if (verbose > 1) printf("pmtcomp_runthread: %lu: waiting for start lock\n", id);
        pthread_mutex_lock(&t->mutex);
        if (verbose > 1) printf("pmtcomp_runthread: %lu: obtained start lock\n", id);
        if (load(&t->quit)) {
            pthread_mutex_unlock(&t->mutex);
            break;
        }
        while (!t->start_ready && !load(&t->quit)) {
            if (verbose > 1)
                printf("pmtcomp_runthread: %lu: waiting for start (%ld, %ld)\n", id, (long)t->start_ready,
                       (long)load(&t->quit));
            pthread_cond_wait(&t->start_cond, &t->mutex);
            if (verbose > 1)
                printf("pmtcomp_runthread: %lu: got start (%ld, %ld)\n", id, (long)t->start_ready,
                       (long)load(&t->quit));
        }
        if (load(&t->quit)) {
            pthread_mutex_unlock(&t->mutex);
            break;
        }
        t->start_ready = 0;
        t->finished_ready = 0;
        if (verbose > 1) printf("pmtcomp_runthread: %lu: releasing start lock\n", id);
        pthread_mutex_unlock(&t->mutex);
        if (verbose > 1) printf("pmtcomp_runthread: %lu: start lock released\n", id);

        double t0 = std_now();
        t->ret = t->comp_sub(t->ioffset, t->number, t->user_data);
        double t1 = std_now();
        if (verbose > 0) printf("pmtcomp_runthread: %lu: comp_sub in %.6f\n", id, t1 - t0);

        // The flag is raised under the lock, so the controller's test of it
        // and its wait cannot miss the signal.
        if (verbose > 1) printf("pmtcomp_runthread: %lu: waiting for finish lock\n", id);
        pthread_mutex_lock(&t->mutex);
        if (verbose > 1) printf("pmtcomp_runthread: %lu: obtained finish lock\n", id);
        t->finished_ready = 1;
        if (verbose > 1) printf("pmtcomp_runthread: %lu: signaling finish\n", id);
        pthread_cond_signal(&t->finished_cond);
        if (verbose > 1) printf("pmtcomp_runthread: %lu: releasing finish\n", id);
        pthread_mutex_unlock(&t->mutex);
        if (verbose > 1) printf("pmtcomp_runthread: %lu: finish lock released\n", id);
    }
    if (verbose > 0) printf("pmtcomp_runthread: %lu: Exiting thread\n", id);
    return nullptr;
}

void destroy_worker_sync(PmtcompThread *t) {
    pthread_mutex_destroy(&t->mutex);
    pthread_cond_destroy(&t->start_cond);
    pthread_cond_destroy(&t->finished_cond);
}

// Stops and joins one worker, then frees it.  trace: the delete lines.
void stop_worker(PmtcompThread *t, bool trace) {
    unsigned long id = (unsigned long)t->thread;
    trace = trace && verbose > 1;
    if (trace) printf("pmtcomp_deletethread: %lu: obtaining start lock\n", id);
    pthread_mutex_lock(&t->mutex);
    if (trace) printf("pmtcomp_deletethread: %lu: start lock obtained\n", id);
    store(&t->quit, 1);
    t->start_ready = 1;
    if (trace)
        printf("pmtcomp_deletethread: %lu: signaling start (%ld, %ld)\n", id, (long)t->start_ready,
               (long)load(&t->quit));
    pthread_cond_signal(&t->start_cond);
    if (trace) printf("pmtcomp_deletethread: %lu: releasing start lock\n", id);
    pthread_mutex_unlock(&t->mutex);
    if (trace) printf("pmtcomp_deletethread: %lu: start lock released\n", id);
    if (trace) printf("pmtcomp_deletethread: %lu: joining\n", id);
    pthread_join(t->thread, nullptr);
    if (trace) printf("pmtcomp_deletethread: %lu: thread joined\n", id);
    destroy_worker_sync(t);
    free(t);
}

}  // namespace

extern "C" {

Pmtcomp *pmtcomp_create(void) {
    PoolImpl *p = static_cast<PoolImpl *>(calloc(1, sizeof(PoolImpl)));
    if (!p) {
        elog_log(1, "pmtcomp_create: malloc (Pmtcomp,%ld) error\n", (long)sizeof(Pmtcomp));
        return nullptr;
    }
    Pmtcomp *mtc = &p->pub;
    mtc->threads = newtbl(0);
    if (!mtc->threads) {
        elog_log(0, "pmtcomp_create: newtbl(mtc->threads) error.\n");
        free(p);
        return nullptr;
    }
    mtc->quit = 0;
    pthread_mutex_init(&mtc->mutex, nullptr);
    return mtc;
}

long pmtcomp_nthreads(Pmtcomp *mtc) { return mtc ? count_of(mtc) : 0; }

int pmtcomp_addthread(Pmtcomp *mtc, PmtcompSub comp_sub, int64_t ioffset, int64_t number, void *user_data) {
    if (!mtc) {
        elog_log(0, "pmtcomp_addthread: null pool.\n");
        return -1;
    }
    if (!comp_sub) {
        elog_log(0, "pmtcomp_addthread: null comp_sub callback.\n");
        return -1;
    }
    PmtcompThread *t = static_cast<PmtcompThread *>(calloc(1, sizeof(PmtcompThread)));
    if (!t) {
        elog_log(1, "pmtcomp_addthread: malloc(PmtcompThead,%ld) error.\n", (long)sizeof(PmtcompThread));
        return -1;
    }
    t->comp_sub = comp_sub;
    t->ioffset = ioffset;
    t->number = number;
    t->user_data = user_data;
    if (!enter(mtc)) {
        free(t);
        return 0;
    }
    pthread_mutex_init(&t->mutex, nullptr);
    pthread_cond_init(&t->start_cond, nullptr);
    pthread_cond_init(&t->finished_cond, nullptr);
    long n = settbl(mtc->threads, -1, t);
    if (n < 0) {
        elog_log(0, "pmtcomp_addthread: settbl(threads) error.\n");
        destroy_worker_sync(t);
        free(t);
        leave(mtc);
        return -1;
    }
    t->index = n;
    int rc = pthread_create(&t->thread, nullptr, pmtcomp_runthread, t);
    if (rc != 0) {
        errno = rc;  // the system error text of the message
        elog_log(1, "pmtcomp_addthread: pthread_create() error.\n");
        deltbl(mtc->threads, n, n);
        destroy_worker_sync(t);
        free(t);
        leave(mtc);
        return -1;
    }
    set_count(mtc);
    leave(mtc);
    return 0;
}

long pmtcomp_processthreads(Pmtcomp *mtc) {
    if (!mtc || !enter(mtc)) return 0;
    long n = maxtbl(mtc->threads);
    // Release every worker before waiting for any, so the callbacks overlap.
    for (long i = 0; i < n; i++) {
        PmtcompThread *t = static_cast<PmtcompThread *>(gettbl(mtc->threads, i));
        pthread_mutex_lock(&t->mutex);
        t->finished_ready = 0;
        t->start_ready = 1;
        pthread_cond_signal(&t->start_cond);
        pthread_mutex_unlock(&t->mutex);
    }
    long ok = 0;
    for (long i = 0; i < n; i++) {
        PmtcompThread *t = static_cast<PmtcompThread *>(gettbl(mtc->threads, i));
        pthread_mutex_lock(&t->mutex);
        while (!t->finished_ready) pthread_cond_wait(&t->finished_cond, &t->mutex);
        t->start_ready = 0;
        t->finished_ready = 0;
        pthread_mutex_unlock(&t->mutex);
        if (t->ret >= 0) ok++;
    }
    leave(mtc);
    return ok;
}

int pmtcomp_setthread(Pmtcomp *mtc, long index, PmtcompSub comp_sub, int64_t ioffset, int64_t number,
                      void *user_data) {
    if (!mtc || index < 0 || index >= count_of(mtc)) {
        elog_log(0, "pmtcomp_setthread: thread index %ld out of range.\n", index);
        return -1;
    }
    if (!enter(mtc)) return 0;
    // Checked again under the lock: another thread may have deleted a worker.
    PmtcompThread *t = static_cast<PmtcompThread *>(gettbl(mtc->threads, index));
    if (!t) {
        leave(mtc);
        elog_log(0, "pmtcomp_setthread: thread index %ld out of range.\n", index);
        return -1;
    }
    if (comp_sub) t->comp_sub = comp_sub;
    if (ioffset >= 0) t->ioffset = ioffset;
    if (number > 0) t->number = number;
    if (user_data) t->user_data = user_data;
    leave(mtc);
    return 0;
}

int pmtcomp_deletethread(Pmtcomp *mtc, long index) {
    if (!mtc || index < 0 || index >= count_of(mtc)) {
        elog_log(0, "pmtcomp_deletethread: thread index %ld out of range.\n", index);
        return -1;
    }
    if (!enter(mtc)) return 0;
    PmtcompThread *t = static_cast<PmtcompThread *>(gettbl(mtc->threads, index));
    if (!t) {
        leave(mtc);
        elog_log(0, "pmtcomp_deletethread: thread index %ld out of range.\n", index);
        return -1;
    }
    stop_worker(t, true);
    deltbl(mtc->threads, index, index);
    set_count(mtc);
    leave(mtc);
    return 0;
}

int pmtcomp_destroy(Pmtcomp *mtc) {
    if (!mtc) return 0;
    // Calls that have not taken the lock yet back out from here on.
    store(&mtc->quit, 1);
    pthread_mutex_lock(&mtc->mutex);
    long n = maxtbl(mtc->threads);
    for (long i = 0; i < n; i++) stop_worker(static_cast<PmtcompThread *>(gettbl(mtc->threads, i)), false);
    freetbl(mtc->threads, nullptr);
    mtc->threads = nullptr;
    __atomic_store_n(&impl(mtc)->count, 0L, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&mtc->mutex);
    // A call that passed its first quit test may still be waiting for the
    // lock or leaving it: the pool stays until the last one is out.
    while (__atomic_load_n(&impl(mtc)->inflight, __ATOMIC_SEQ_CST) > 0) {
        struct timespec ts = {0, 50000};
        nanosleep(&ts, nullptr);
    }
    pthread_mutex_destroy(&mtc->mutex);
    free(impl(mtc));
    return 0;
}

}  // extern "C"
