// pmtmanagedfifo: named broadcast FIFOs.  One shared record per pushed item
// is queued to every consumer's own blocking FIFO; each consumer pops the
// record, makes its own copy with the producer's copy procedure and releases
// its share, and the last share frees the record.
//
// Locks, always taken in this order and never the other way round:
//   push_mutex (private, one per FIFO): serialises pushes and end markers, so
//       every consumer sees the items in sequence order.  It is the only lock
//       held while a push waits for room in a bounded consumer queue.
//   mutex (the record's): the consumer and producer containers, the sequence
//       counter and the items' reference counts.  Held only for short,
//       non-blocking work: a push takes its number and a snapshot of the
//       consumer queues under it, releases it, and only then pushes.
//   a consumer queue's own lock (inside pmtfifo): never taken while `mutex`
//       or the registry lock is held.
//   pmtmanagedfifo_mutex: the registry of names; never held with any other.
// A consumer's pop takes `mutex` briefly to find its queue, waits in its queue
// with no lock of ours held, copies the item outside any lock and takes
// `mutex` briefly again to release its share, so a push blocked on that
// consumer's full queue never stands in its way.
#include "pmtmanagedfifo.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

struct ManagedImpl {
    Pmtmanagedfifo pub;          // first: a Pmtmanagedfifo * is a ManagedImpl *
    pthread_mutex_t push_mutex;  // serialises the fan-out of items and end markers
};

inline ManagedImpl *impl(Pmtmanagedfifo *m) { return reinterpret_cast<ManagedImpl *>(m); }

// Ready at load, so that first calls may race.
pthread_mutex_t pmtmanagedfifo_mutex = PTHREAD_MUTEX_INITIALIZER;
Arr *pmtmanagedfifo_arr = nullptr;

// The consumer queues in delivery order, taken under `mutex`.
bool snapshot(Pmtmanagedfifo *mtf, std::vector<Pmtfifo *> &queues) {
    try {
        long n = maxtbl(mtf->consumers_tbl);
        queues.resize((size_t)n);
        for (long i = 0; i < n; i++) queues[(size_t)i] = static_cast<Pmtfifo *>(gettbl(mtf->consumers_tbl, i));
        return true;
    } catch (...) {
        return false;
    }
}

// Drops n shares of rec; frees it when none is left.
void release_shares(Pmtmanagedfifo *mtf, PmtmanagedfifoData *rec, uint64_t n) {
    pthread_mutex_lock(&mtf->mutex);
    rec->refcount -= n;
    bool last = rec->refcount == 0;
    pthread_mutex_unlock(&mtf->mutex);
    if (last) pmtmanagedfifo_free_data(rec);
}

// For destroy, where no other thread may use the FIFO: end markers hold nothing.
void release_share_unlocked(void *p) {
    if (!p) return;
    PmtmanagedfifoData *rec = static_cast<PmtmanagedfifoData *>(p);
    if (--rec->refcount == 0) pmtmanagedfifo_free_data(rec);
}

void display_one(const char *pre, Pmtmanagedfifo *mtf) {
    pthread_mutex_lock(&mtf->mutex);
    if (pre)
        elog_notify(0, "%s%12s Consumers:\n", pre, mtf->name);
    else
        elog_notify(0, "%12s Consumers:\n", mtf->name);
    Tbl *keys = keysarr(mtf->consumers_arr);
    for (long i = 0; i < maxtbl(keys); i++) {
        const char *k = static_cast<const char *>(gettbl(keys, i));
        if (pre)
            elog_notify(0, "%s             %12s\n", pre, k);
        else
            elog_notify(0, "             %12s\n", k);
    }
    freetbl(keys, nullptr);
    if (mtf->producers_arr && cntarr(mtf->producers_arr) > 0) {
        if (pre)
            elog_notify(0, "%s%12s Producers:\n", pre, mtf->name);
        else
            elog_notify(0, "%12s Producers:\n", mtf->name);
        keys = keysarr(mtf->producers_arr);
        for (long i = 0; i < maxtbl(keys); i++) {
            const char *k = static_cast<const char *>(gettbl(keys, i));
            if (pre)
                elog_notify(0, "%s             %12s\n", pre, k);
            else
                elog_notify(0, "             %12s\n", k);
        }
        freetbl(keys, nullptr);
    }
    pthread_mutex_unlock(&mtf->mutex);
}

}  // namespace

extern "C" {

Pmtmanagedfifo *pmtmanagedfifo_get(char *name) {
    pthread_mutex_lock(&pmtmanagedfifo_mutex);
    if (!pmtmanagedfifo_arr) {
        pmtmanagedfifo_arr = newarr(0);
        if (!pmtmanagedfifo_arr) {
            // Reported, not fatal: a lookup finds nothing, a creation fails,
            // and the next call tries again.
            pthread_mutex_unlock(&pmtmanagedfifo_mutex);
            elog_log(1, "pmtmanagedfifo_get: newarr() error.\n");
            return nullptr;
        }
    }
    Pmtmanagedfifo *mtf = name ? static_cast<Pmtmanagedfifo *>(getarr(pmtmanagedfifo_arr, name)) : nullptr;
    pthread_mutex_unlock(&pmtmanagedfifo_mutex);
    return mtf;
}

Pmtmanagedfifo *pmtmanagedfifo_create(char *name) {
    if (!name) {
        elog_log(0, "pmtmanagedfifo_create: no name given.\n");
        return nullptr;
    }
    if (strlen(name) > sizeof(((Pmtmanagedfifo *)nullptr)->name) - 1) {
        elog_log(0, "pmtmanagedfifo_create: name '%s' longer than 63 characters.\n", name);
        return nullptr;
    }
    if (pmtmanagedfifo_get(name)) {
        elog_log(0, "pmtmanagedfifo_create: name '%s' already in use.\n", name);
        return nullptr;
    }
    ManagedImpl *mi = static_cast<ManagedImpl *>(calloc(1, sizeof(ManagedImpl)));
    if (!mi) {
        elog_log(1, "pmtmanagedfifo_create: malloc() error.\n");
        return nullptr;
    }
    Pmtmanagedfifo *mtf = &mi->pub;
    strcpy(mtf->name, name);
    mtf->consumers_tbl = newtbl(0);
    if (!mtf->consumers_tbl) {
        elog_log(0, "pmtmanagedfifo_create: newtbl() error.\n");
        free(mi);
        return nullptr;
    }
    mtf->consumers_arr = newarr(0);
    if (!mtf->consumers_arr) {
        elog_log(0, "pmtmanagedfifo_create: newarr() error.\n");
        freetbl(mtf->consumers_tbl, nullptr);
        free(mi);
        return nullptr;
    }
    mtf->producers_arr = nullptr;
    mtf->sequence = 0;
    pthread_mutex_init(&mtf->mutex, nullptr);
    pthread_mutex_init(&mi->push_mutex, nullptr);

    // The name is tested again under the registry lock: two threads creating
    // the same name at once must not both succeed.
    pthread_mutex_lock(&pmtmanagedfifo_mutex);
    bool taken = getarr(pmtmanagedfifo_arr, name) != nullptr;
    bool failed = !taken && setarr(pmtmanagedfifo_arr, name, mtf) == ARR_FAILED;
    pthread_mutex_unlock(&pmtmanagedfifo_mutex);
    if (taken || failed) {
        if (taken)
            elog_log(0, "pmtmanagedfifo_create: name '%s' already in use.\n", name);
        else
            elog_log(0, "pmtmanagedfifo_create: setarr() error for fifo '%s'.\n", name);
        freetbl(mtf->consumers_tbl, nullptr);
        freearr(mtf->consumers_arr, nullptr);
        pthread_mutex_destroy(&mtf->mutex);
        pthread_mutex_destroy(&mi->push_mutex);
        free(mi);
        return nullptr;
    }
    return mtf;
}

Pmtfifo *pmtmanagedfifo_set_consumer(Pmtmanagedfifo *mtf, char *consumer_name, int maxqueue, int block) {
    if (!mtf || !consumer_name) {
        elog_log(0, "pmtmanagedfifo_set_consumer: no fifo or no consumer name given.\n");
        return nullptr;
    }
    pthread_mutex_lock(&mtf->mutex);
    bool taken = getarr(mtf->consumers_arr, consumer_name) != nullptr;
    pthread_mutex_unlock(&mtf->mutex);
    if (!taken) {
        // Made outside the lock: creation takes the FIFO registry's lock.
        Pmtfifo *q = pmtfifo_create(maxqueue, block, 0);
        if (!q) {
            elog_log(0, "pmtmanagedfifo_set_consumer: pmtfifo_create() error for consumer name '%s' fifo '%s'.\n",
                     consumer_name, mtf->name);
            return nullptr;
        }
        pthread_mutex_lock(&mtf->mutex);
        taken = getarr(mtf->consumers_arr, consumer_name) != nullptr;
        if (!taken) {
            if (settbl(mtf->consumers_tbl, -1, q) < 0) {
                pthread_mutex_unlock(&mtf->mutex);
                elog_log(0, "pmtmanagedfifo_set_consumer: settbl() error for consumer name '%s' fifo '%s'.\n",
                         consumer_name, mtf->name);
                pmtfifo_destroy(q, nullptr);
                return nullptr;
            }
            if (setarr(mtf->consumers_arr, consumer_name, q) == ARR_FAILED) {
                poptbl(mtf->consumers_tbl);
                pthread_mutex_unlock(&mtf->mutex);
                elog_log(0, "pmtmanagedfifo_set_consumer: setarr() error for consumer name '%s' fifo '%s'.\n",
                         consumer_name, mtf->name);
                pmtfifo_destroy(q, nullptr);
                return nullptr;
            }
        }
        pthread_mutex_unlock(&mtf->mutex);
        if (!taken) return q;
        pmtfifo_destroy(q, nullptr);
    }
    elog_log(0, "pmtmanagedfifo_set_consumer: consumer name '%s' already in use in fifo '%s'.\n", consumer_name,
             mtf->name);
    return nullptr;
}

Pmtfifo *pmtmanagedfifo_get_consumer(Pmtmanagedfifo *mtf, char *consumer_name) {
    if (!mtf || !consumer_name) return nullptr;
    pthread_mutex_lock(&mtf->mutex);
    Pmtfifo *q = static_cast<Pmtfifo *>(getarr(mtf->consumers_arr, consumer_name));
    pthread_mutex_unlock(&mtf->mutex);
    return q;
}

int pmtmanagedfifo_set_producer(Pmtmanagedfifo *mtf, char *producer_name) {
    if (!mtf || !producer_name) {
        elog_log(0, "pmtmanagedfifo_set_producer: no fifo or no producer name given.\n");
        return -1;
    }
    pthread_mutex_lock(&mtf->mutex);
    if (!mtf->producers_arr) {
        mtf->producers_arr = newarr(0);
        if (!mtf->producers_arr) {
            pthread_mutex_unlock(&mtf->mutex);
            elog_log(0, "pmtmanagedfifo_set_producer: newarr() error.\n");
            return -1;
        }
    }
    if (getarr(mtf->producers_arr, producer_name)) {
        pthread_mutex_unlock(&mtf->mutex);
        elog_log(0, "pmtmanagedfifo_set_producer: producer name '%s' already in use in fifo '%s'.\n",
                 producer_name, mtf->name);
        return -1;
    }
    char *copy = strdup(producer_name);
    if (!copy) {
        pthread_mutex_unlock(&mtf->mutex);
        elog_log(1, "pmtmanagedfifo_set_producer: malloc() error.\n");
        return -1;
    }
    // New, or an ended producer active again (replacing never fails).
    if (setarr(mtf->producers_arr, producer_name, copy) == ARR_FAILED) {
        pthread_mutex_unlock(&mtf->mutex);
        free(copy);
        elog_log(0, "pmtmanagedfifo_set_producer: setarr() error for producer name '%s' fifo '%s'.\n",
                 producer_name, mtf->name);
        return -1;
    }
    pthread_mutex_unlock(&mtf->mutex);
    return 0;
}

int pmtmanagedfifo_push(Pmtmanagedfifo *mtf, Hook *data, Hook *(*copyproc)(Hook *), int copydata) {
    if (!mtf) return 0;
    if (!copyproc) {
        elog_log(0, "pmtmanagedfifo_push: Must provide copyproc callback for fifo '%s'.\n", mtf->name);
        return -1;
    }
    PmtmanagedfifoData *rec = static_cast<PmtmanagedfifoData *>(calloc(1, sizeof(PmtmanagedfifoData)));
    if (!rec) {
        elog_log(1, "pmtmanagedfifo_push: malloc(PmtmanagedfifoData,%ld) error for fifo '%s'.\n",
                 (long)sizeof(PmtmanagedfifoData), mtf->name);
        return -1;
    }
    if (copydata) {
        rec->data = copyproc(data);
        if (!rec->data) {
            elog_log(0, "pmtmanagedfifo_push: copyproc() error for fifo '%s'.\n", mtf->name);
            free(rec);
            return -1;
        }
    } else {
        rec->data = data;  // the FIFO owns the caller's item from here on
    }
    rec->copyproc = copyproc;

    std::vector<Pmtfifo *> queues;
    pthread_mutex_lock(&impl(mtf)->push_mutex);
    pthread_mutex_lock(&mtf->mutex);
    bool ok = snapshot(mtf, queues);
    if (ok) {
        rec->sequence = mtf->sequence++;
        // Every share is counted before the first consumer can see the
        // record, so an early consumer's release can never free it while
        // the push still fans out.
        rec->refcount = queues.size();
    }
    pthread_mutex_unlock(&mtf->mutex);
    int result = 0;
    if (!ok) {
        elog_log(1, "pmtmanagedfifo_push: malloc() error for fifo '%s'.\n", mtf->name);
        pmtmanagedfifo_free_data(rec);
        result = -1;
    } else if (queues.empty()) {
        pmtmanagedfifo_free_data(rec);  // reaches no one
    } else {
        for (size_t i = 0; i < queues.size(); i++) {
            if (pmtfifo_push(queues[i], rec) < 0) {
                elog_log(0, "pmtmanagedfifo_push: pmtfifo_push() error for fifo '%s'.\n", mtf->name);
                release_shares(mtf, rec, queues.size() - i);  // the queues not reached
                result = -1;
                break;
            }
        }
    }
    pthread_mutex_unlock(&impl(mtf)->push_mutex);
    return result;
}

int pmtmanagedfifo_push_eof(Pmtmanagedfifo *mtf, char *producer_name) {
    if (!mtf) return 0;
    std::vector<Pmtfifo *> queues;
    pthread_mutex_lock(&impl(mtf)->push_mutex);
    pthread_mutex_lock(&mtf->mutex);
    if (producer_name && mtf->producers_arr && cntarr(mtf->producers_arr) > 0) {
        char *value = static_cast<char *>(getarr(mtf->producers_arr, producer_name));
        if (value) {
            free(value);
            setarr(mtf->producers_arr, producer_name, nullptr);  // ended
        }
        int active = 0;
        applyarr(
            mtf->producers_arr,
            [](const char *, void *v, void *priv) -> int {
                if (v) *static_cast<int *>(priv) = 1;
                return v != nullptr;
            },
            &active);
        if (active) {
            pthread_mutex_unlock(&mtf->mutex);
            pthread_mutex_unlock(&impl(mtf)->push_mutex);
            return 0;
        }
    }
    bool ok = snapshot(mtf, queues);
    pthread_mutex_unlock(&mtf->mutex);
    int result = 0;
    if (!ok) {
        elog_log(1, "pmtmanagedfifo_push: malloc() error for fifo '%s'.\n", mtf->name);
        result = -1;
    }
    for (size_t i = 0; ok && i < queues.size(); i++) {
        if (pmtfifo_push(queues[i], nullptr) < 0) {
            elog_log(0, "pmtmanagedfifo_push: pmtfifo_push_eof() error for fifo '%s'.\n", mtf->name);
            result = -1;
            break;
        }
    }
    pthread_mutex_unlock(&impl(mtf)->push_mutex);
    return result;
}

int pmtmanagedfifo_pop(Pmtmanagedfifo *mtf, char *consumer_name, Hook **data, unsigned long *sequence) {
    if (data) *data = nullptr;
    if (!mtf) return 0;
    if (!data) {
        elog_log(0, "pmtmanagedfifo_pop: no place for the item given in fifo '%s'.\n", mtf->name);
        return -1;
    }
    Pmtfifo *q = pmtmanagedfifo_get_consumer(mtf, consumer_name);
    if (!q) {
        elog_log(0, "pmtmanagedfifo_pop: unknown consumer name '%s' in fifo '%s'.\n",
                 consumer_name ? consumer_name : "", mtf->name);
        return -1;
    }
    void *p = nullptr;
    int r = pmtfifo_pop(q, &p);
    if (r < 0) {
        elog_log(0, "pmtmanagedfifo_pop: pmtfifo_pop() error for consumer name '%s' in fifo '%s'.\n", consumer_name,
                 mtf->name);
        return -1;
    }
    if (r != 1) return r;
    if (!p) return PMTMANAGEDFIFO_EOF;
    PmtmanagedfifoData *rec = static_cast<PmtmanagedfifoData *>(p);
    // Our share keeps the record alive while we copy, outside any lock.
    Hook *copy = rec->copyproc(rec->data);
    uint64_t seq = rec->sequence;
    release_shares(mtf, rec, 1);
    if (!copy) {
        elog_log(0, "pmtmanagedfifo_pop: copyproc() error for consumer name '%s' in fifo '%s'.\n", consumer_name,
                 mtf->name);
        return -1;
    }
    *data = copy;
    if (sequence) *sequence = (unsigned long)seq;
    return 1;
}

void pmtmanagedfifo_free_data(void *datav) {
    if (!datav) return;
    PmtmanagedfifoData *rec = static_cast<PmtmanagedfifoData *>(datav);
    free_hook(&rec->data);
    free(rec);
}

int pmtmanagedfifo_destroy(Pmtmanagedfifo *mtf) {
    if (!mtf) return 0;
    pthread_mutex_lock(&pmtmanagedfifo_mutex);
    if (pmtmanagedfifo_arr && getarr(pmtmanagedfifo_arr, mtf->name) == mtf) delarr(pmtmanagedfifo_arr, mtf->name);
    pthread_mutex_unlock(&pmtmanagedfifo_mutex);
    for (long i = 0; i < maxtbl(mtf->consumers_tbl); i++)
        pmtfifo_destroy(static_cast<Pmtfifo *>(gettbl(mtf->consumers_tbl, i)), release_share_unlocked);
    freetbl(mtf->consumers_tbl, nullptr);
    freearr(mtf->consumers_arr, nullptr);
    freearr(mtf->producers_arr, free);
    pthread_mutex_destroy(&mtf->mutex);
    pthread_mutex_destroy(&impl(mtf)->push_mutex);
    free(impl(mtf));
    return 0;
}

int pmtmanagedfifo_display(char *pre, Pmtmanagedfifo *mtf) {
    pthread_mutex_lock(&pmtmanagedfifo_mutex);
    if (!pmtmanagedfifo_arr) {
        pthread_mutex_unlock(&pmtmanagedfifo_mutex);
        return 0;
    }
    Tbl *all = mtf ? nullptr : valsarr(pmtmanagedfifo_arr);  // name order
    pthread_mutex_unlock(&pmtmanagedfifo_mutex);
    if (mtf) {
        display_one(pre, mtf);
    } else {
        for (long i = 0; i < maxtbl(all); i++) display_one(pre, static_cast<Pmtmanagedfifo *>(gettbl(all, i)));
        freetbl(all, nullptr);
    }
    return 0;
}

}  // extern "C"
