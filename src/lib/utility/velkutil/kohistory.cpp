/*
 * kohistory -- value histories for monitors: bounded lists of (time, value)
 * samples, in memory or in a file-backed list that survives the process.
 *
 * A history file has one owner at a time.  Ownership is an exclusive lock
 * on the file taken through the open file description (F_OFD_SETLK), not a
 * process-wide record lock: a record lock would let a second history in the
 * same process take the file as well, and closing any descriptor of the
 * file (the probe below does) would silently drop the owner's lock.  The
 * descriptors that carry the locks are kept from forked children (see
 * lockfd_pvt.h): a child that runs on after the owner freed its history
 * must not keep the file from being taken again.
 */
#include "kohistory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "koregistry_pvt.h"
#include "lockfd_pvt.h"

namespace {

KORegistry kohistory_reg("thst%d", KORegistry::COUNT_THEN_INCREMENT, "historys");

// Non-blocking exclusive lock of the first len bytes, owned by the open file
// description behind fd.
int lock_exclusive(int fd, off_t len) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = len;
    return fcntl(fd, F_OFD_SETLK, &fl);
}

void lock_report(const char *filename) { elog_complain(1, "Can't lock '%s' for exclusive use\n", filename); }

KOHistory *lookup(const char *fname, char *handle) {
    KOHistory *h = kohistory_get_history(handle);
    if (!h) elog_log(0, "%s: kohistory_get_history() error.\n", fname);
    return h;
}

const KOHistoryPoint *sample(const KOHistory *h, long i) {
    return static_cast<const KOHistoryPoint *>(gettbl(h->points, i));
}

// Frees a history that no registry entry refers to any more.
void destroy_history(KOHistory *history) {
    if (!history) return;
    free(history->tag);
    free(history->filename);
    freetbl(history->points, nullptr);  // a file-backed list also closes its file, ending the lock
    free(history);
}

void release_history(void *p) { destroy_history(static_cast<KOHistory *>(p)); }

const char *history_label(const void *p) { return static_cast<const KOHistory *>(p)->tag; }

}  // namespace

extern "C" {

KOHistory *kohistory_get_history(char *handle) {
    return static_cast<KOHistory *>(kohistory_reg.get("kohistory_get_history", handle));
}

KOHistory *kohistory_create(int maxnp, char *tag, char *filename, char *handle) {
    if (handle) handle[0] = '\0';
    if (kohistory_reg.ensure("kohistory_create", 1) < 0) return nullptr;
    if (maxnp < 1) {
        elog_log(0, "kohistory_create: Illegal maxnp value %d.\n", maxnp);
        return nullptr;
    }
    if (filename && !*filename) filename = nullptr;
    auto *h = static_cast<KOHistory *>(calloc(1, sizeof(KOHistory)));
    if (!h) {
        elog_log(1, "kohistory_create: malloc() error.\n");
        return nullptr;
    }
    h->maxnp = maxnp;
    if ((tag && !(h->tag = strdup(tag))) || (filename && !(h->filename = strdup(filename)))) {
        elog_log(1, "kohistory_create: malloc() error.\n");
        destroy_history(h);
        return nullptr;
    }
    if (!filename) {
        h->points = inittbl(0, 0, 1, 0, sizeof(KOHistoryPoint));
        if (!h->points) {
            elog_log(1, "kohistory_create: malloc() error.\n");
            destroy_history(h);
            return nullptr;
        }
    } else {
        // Probe for another owner before the list touches the file.  The
        // probe's lock is held while the list opens the file, so that a
        // second opener cannot rewrite the header under the first; closing
        // the probe drops only its own lock.
        int fd = open(filename, O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            if (hk_lockfd_keep("kohistory_create", fd) < 0) {
                destroy_history(h);
                close(fd);
                return nullptr;
            }
            if (lock_exclusive(fd, 1) < 0) {
                lock_report(filename);
                destroy_history(h);
                hk_lockfd_drop(fd);
                close(fd);
                return nullptr;
            }
        } else {
            errno = 0;  // not there yet: the list creates it
        }
        int rc = filetbl(filename, "KOHistory", maxnp, 0, sizeof(KOHistoryPoint), &h->points);
        if (fd >= 0) {
            hk_lockfd_drop(fd);
            close(fd);
        }
        if (rc < 0) {
            h->points = nullptr;
            destroy_history(h);
            return nullptr;
        }
        if (lock_exclusive(filetbl_fd(h->points), (off_t)filetbl_mapsize(h->points)) < 0) {
            lock_report(filename);
            destroy_history(h);
            return nullptr;
        }
    }
    if (handle && kohistory_reg.add("kohistory_create", h, handle) < 0) {
        destroy_history(h);  // also gives the file up again
        return nullptr;
    }
    return h;
}

int kohistory_add(char *handle, double time, double value) {
    KOHistory *h = lookup("kohistory_add", handle);
    if (!h) return -1;
    // Make room for one: a file written with a larger maxnp is cut down to
    // this history's bound as soon as samples arrive.
    long n = maxtbl(h->points);
    if (n >= h->maxnp) deltbl(h->points, 0, n - h->maxnp);
    KOHistoryPoint p = {time, value};
    if (pushtbl(h->points, &p) < 0) {
        elog_log(0, "kohistory_add: pushtbl() error.\n");
        return -1;
    }
    return 0;
}

int kohistory_eval(char *handle, double time, double *value) {
    KOHistory *h = lookup("kohistory_eval", handle);
    if (!h) return -1;
    long n = maxtbl(h->points);
    if (n < 1) {
        elog_log(0, "kohistory_eval: No points in kohistory %s.\n", handle);
        return -1;
    }
    double v;
    if (n == 1) {
        v = sample(h, 0)->value;
    } else {
        long i = 0;
        while (i < n && !(sample(h, i)->time >= time)) i++;
        if (i == 0) {
            v = sample(h, 0)->value;
        } else if (i == n) {
            v = sample(h, n - 1)->value;
        } else {
            const KOHistoryPoint *b = sample(h, i - 1), *a = sample(h, i);
            v = b->value + (time - b->time) * (a->value - b->value) / (a->time - b->time);
        }
    }
    if (value) *value = v;
    return 0;
}

int kohistory_maxmin(char *handle, double *tmin, double *tmax, double *vmin, double *vmax) {
    KOHistory *h = lookup("kohistory_maxmin", handle);
    if (!h) return -1;
    long n = maxtbl(h->points);
    if (n < 1) {
        elog_log(0, "kohistory_maxmin: No points in kohistory %s.\n", handle);
        return -1;
    }
    const KOHistoryPoint *p = sample(h, 0);
    double t0 = p->time, t1 = p->time, v0 = p->value, v1 = p->value;
    for (long i = 1; i < n; i++) {
        p = sample(h, i);
        if (p->time < t0) t0 = p->time;
        if (p->time > t1) t1 = p->time;
        if (p->value < v0) v0 = p->value;
        if (p->value > v1) v1 = p->value;
    }
    if (tmin) *tmin = t0;
    if (tmax) *tmax = t1;
    if (vmin) *vmin = v0;
    if (vmax) *vmax = v1;
    return 0;
}

int kohistory_get_points(char *handle, int *npts, double **tpts, double **ypts) {
    KOHistory *h = lookup("kohistory_get_points", handle);
    if (!h) return -1;
    if (!npts || !tpts || !ypts) {
        elog_log(0, "kohistory_get_points: Null output argument.\n");
        return -1;
    }
    *npts = 0;
    long n = maxtbl(h->points);
    size_t bytes = (size_t)(n > 0 ? n : 1) * sizeof(double);
    *tpts = static_cast<double *>(malloc(bytes));
    if (!*tpts) {
        elog_log(1, "kohistory_get_points: malloc() error.\n");
        return -1;
    }
    *ypts = static_cast<double *>(malloc(bytes));
    if (!*ypts) {
        free(*tpts);
        *tpts = nullptr;
        elog_log(1, "kohistory_get_points: malloc() error.\n");
        return -1;
    }
    for (long i = 0; i < n; i++) {
        const KOHistoryPoint *p = sample(h, i);
        (*tpts)[i] = p->time;
        (*ypts)[i] = p->value;
    }
    *npts = (int)n;
    return 0;
}

int kohistory_free(char *handle) {
    return kohistory_reg.free_strict("kohistory_free", handle, release_history, "kohistorys");
}

int kohistory_free_tag(char *tag) { return kohistory_reg.free_by_label(tag, history_label, release_history); }

void kohistory_free_history(KOHistory *history) {
    if (!history) return;
    // A registered history freed directly takes its registry entry with it,
    // so that its tag cannot reach the freed record.
    kohistory_reg.remove_object(history);
    destroy_history(history);
}

}  // extern "C"
