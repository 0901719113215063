/*
 * dbsafe.cpp -- what keeps table files whole when writers stop half-way or
 * run side by side: the advisory write lock of a table file, the redo
 * journal through which a row is rewritten, its recovery when a table is
 * read, and the identifier set that keeps a table's identifiers unique.
 *
 * Journal record (one write at the start of "<table file>.journal"):
 *   8 bytes  "dbredo1\n"
 *   8 bytes  byte offset of the row in the table file (little-endian)
 *   8 bytes  length L of the row text
 *   8 bytes  checksum (64-bit FNV-1a of offset, length and both texts)
 *   L bytes  the text the file held before, L bytes the new text.
 * A cleared journal starts with 8 zero bytes.  A record cut short by a
 * stopped writer fails its checksum and is ignored: the row was not
 * touched yet then.
 */
#include "db_pvt.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostdb {

int (*db_crash_hook)(const char *step) = nullptr;

namespace {

const char JMAGIC[8] = {'d', 'b', 'r', 'e', 'd', 'o', '1', '\n'};
enum { JHEAD = 32, JMAXROW = 4096 };

uint64_t fnv1a(const unsigned char *p, size_t n, uint64_t h) {
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

void put64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = (unsigned char)(v >> (8 * i));
}

uint64_t get64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v |= (uint64_t)p[i] << (8 * i);
    return v;
}

uint64_t record_sum(const unsigned char *rec, size_t len) {
    /* offset and length, then the two texts */
    uint64_t h = fnv1a(rec + 8, 16, 14695981039346656037ULL);
    return fnv1a(rec + JHEAD, 2 * len, h);
}

bool full_pwrite(int fd, const void *p, size_t n, off_t off) {
    const char *c = (const char *)p;
    while (n > 0) {
        ssize_t w = pwrite(fd, c, n, off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        c += w;
        n -= (size_t)w;
        off += w;
    }
    return true;
}

bool full_pread(int fd, void *p, size_t n, off_t off) {
    char *c = (char *)p;
    while (n > 0) {
        ssize_t r = pread(fd, c, n, off);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        c += r;
        n -= (size_t)r;
        off += r;
    }
    return true;
}

bool stop_at(const char *step) { return db_crash_hook && db_crash_hook(step) != 0; }

void clear_journal(int jfd) {
    static const char zero[8] = {0};
    if (!full_pwrite(jfd, zero, sizeof zero, 0)) {
    }
}

/* The identifier of a row text, false for a null (or unreadable) one. */
bool row_id(const SchemaField *f, const char *row, long *id) {
    Value v;
    if (field_read_text(f, row, &v) != 0 || v.isnull || v.i == -1) return false;
    *id = v.i;
    return true;
}

}  // namespace

/* ------------------------------------------------------------ lock */

bool table_lock(Table *t, const char *caller) {
    if (t->lock_fd < 0) {
        t->lock_fd = open(t->filename.c_str(), O_RDONLY | O_CLOEXEC);
        if (t->lock_fd < 0) {
            elog_log(1, "%s: cannot open %s to lock it\n", caller, t->filename.c_str());
            return false;
        }
    }
    while (flock(t->lock_fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        /* a file system without locks: write as before, unlocked */
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) return true;
        elog_log(1, "%s: cannot lock %s\n", caller, t->filename.c_str());
        return false;
    }
    return true;
}

void table_unlock(Table *t) {
    if (t->lock_fd >= 0) flock(t->lock_fd, LOCK_UN);
}

/* ------------------------------------------------------------ journal */

/* A rewrite needs no memory (its record is built on the stack), so that a
 * call writing several rows never stops half-way for want of it. */
int journal_rewrite(Table *t, off_t off, const char *text, size_t len, const char *caller) {
    if (len == 0 || len > JMAXROW) {
        elog_log(0, "%s: a row of %zu characters cannot be rewritten in %s\n", caller, len, t->filename.c_str());
        return -1;
    }
    unsigned char u[JHEAD + 2 * JMAXROW];
    size_t reclen = JHEAD + 2 * len;
    if (!full_pread(t->fd, u + JHEAD, len, off)) {
        elog_log(1, "%s: cannot read the row at byte %lld of %s\n", caller, (long long)off, t->filename.c_str());
        return -1;
    }
    if (!memcmp(u + JHEAD, text, len)) return 0;  /* the file holds it already */
    if (t->journal_fd < 0) {
        char path[PATH_MAX];
        if ((size_t)snprintf(path, sizeof path, "%s.journal", t->filename.c_str()) >= sizeof path) {
            elog_log(0, "%s: the journal name of %s is too long\n", caller, t->filename.c_str());
            return -1;
        }
        t->journal_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (t->journal_fd < 0) {
            elog_log(1, "%s: cannot open the journal %s\n", caller, path);
            return -1;
        }
    }
    memcpy(u, JMAGIC, 8);
    put64(u + 8, (uint64_t)off);
    put64(u + 16, (uint64_t)len);
    memcpy(u + JHEAD + len, text, len);
    put64(u + 24, record_sum(u, len));
    if (!full_pwrite(t->journal_fd, u, reclen, 0)) {
        elog_log(1, "%s: cannot write the journal of %s\n", caller, t->filename.c_str());
        clear_journal(t->journal_fd);
        return -1;
    }
    if (stop_at("journal")) return -1;
    if (!full_pwrite(t->fd, text, len, off)) {
        /* the journal stays: the next open completes the row */
        elog_log(1, "%s: cannot write the row at byte %lld of %s\n", caller, (long long)off, t->filename.c_str());
        return -1;
    }
    if (stop_at("row")) return -1;
    clear_journal(t->journal_fd);
    return 0;
}

namespace {
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};
}  // namespace

bool journal_recover(Table *t, int fd, bool tofile, off_t *off, std::string *text) {
    std::string path = t->filename + ".journal";
    int jfd = open(path.c_str(), (tofile ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (jfd < 0) return false;
    FdCloser closer{jfd};
    bool patch = false;
    struct stat st;
    unsigned char head[JHEAD];
    if (fstat(jfd, &st) == 0 && st.st_size >= JHEAD && full_pread(jfd, head, JHEAD, 0) &&
        !memcmp(head, JMAGIC, 8)) {
        uint64_t o = get64(head + 8), len = get64(head + 16);
        if (len > 0 && len <= JMAXROW && (uint64_t)st.st_size >= JHEAD + 2 * len && o < (uint64_t)1 << 62) {
            std::string rec(JHEAD + 2 * len, '\0');
            unsigned char *u = (unsigned char *)&rec[0];
            if (full_pread(jfd, u, rec.size(), 0) && get64(u + 24) == record_sum(u, len)) {
                const char *oldt = rec.data() + JHEAD, *newt = oldt + len;
                std::string cur(len, '\0');
                long row = (long)(o / (len + 1));
                bool clear = tofile;
                if (!full_pread(fd, &cur[0], len, (off_t)o)) {
                    elog_complain(0, "dbopen: %s: its journal rewrites row %ld, which the file does not hold; "
                                     "the journal is not applied\n", t->filename.c_str(), row);
                } else if (!memcmp(cur.data(), newt, len)) {
                    /* the rewrite was complete */
                } else {
                    bool mix = true;
                    for (size_t i = 0; i < len && mix; i++) mix = cur[i] == oldt[i] || cur[i] == newt[i];
                    if (!mix) {
                        elog_complain(0, "dbopen: %s: row %ld holds neither the text its journal had before "
                                         "nor the new one; the journal is not applied\n",
                                      t->filename.c_str(), row);
                    } else if (tofile) {
                        if (full_pwrite(fd, newt, len, (off_t)o)) {
                            elog_complain(0, "dbopen: %s: the rewrite of row %ld that a stopped writer left "
                                             "unfinished is completed from its journal\n",
                                          t->filename.c_str(), row);
                        } else {
                            elog_log(1, "dbopen: cannot complete row %ld of %s from its journal\n", row,
                                     t->filename.c_str());
                            clear = false;
                        }
                    } else {
                        elog_complain(0, "dbopen: %s: row %ld is read as rewritten by its journal (a writer "
                                         "stopped in the middle of it; opening with \"r+\" repairs the file)\n",
                                      t->filename.c_str(), row);
                        *off = (off_t)o;
                        text->assign(newt, len);
                        patch = true;
                    }
                }
                if (clear) clear_journal(jfd);
            }
        }
    }
    return patch;
}

/* ------------------------------------------------------------ identifiers */

const char *id_field(const char *table) {
    static const char *const ids[][2] = {
        {"wfdisc", "wfid"},   {"sitechan", "chanid"}, {"instrument", "inid"}, {"arrival", "arid"},
        {"event", "evid"},    {"origin", "orid"},     {"origerr", "orid"},    {"netmag", "magid"},
        {"gregion", "grn"},   {"sregion", "srn"},     {"stassoc", "stassid"}, {"mt", "mtid"},
        {"amplitude", "ampid"},
    };
    if (!table) return nullptr;
    for (auto &p : ids)
        if (!strcmp(p[0], table)) return p[1];
    return nullptr;
}

bool ids_check(Table *t, const char *row, const char *caller) {
    const char *name = id_field(t->name.c_str());
    if (!name || t->view) return true;
    int fi = schema_field_index(t->schema, name);
    if (fi < 0 || t->schema->fields[fi].type != dbINTEGER) return true;
    const SchemaField *f = &t->schema->fields[fi];
    long n = t->nrows.load();
    if (!t->ids || t->ids_schema != t->schema || t->ids_stale || t->ids_rows > n) {
        std::unique_ptr<std::unordered_map<long, long>> fresh(new std::unordered_map<long, long>());
        fresh->reserve((size_t)n + 16);
        t->ids = std::move(fresh);
        t->ids_rows = 0;
        t->ids_schema = t->schema;
        t->ids_stale = 0;
    }
    long id;
    try {
        for (long r = t->ids_rows; r < n; r++) {
            if (r == t->cut_row) continue;  /* a line cut short: its number may be cut too */
            if (row_id(f, t->rows + (size_t)r * t->stride, &id)) (*t->ids)[id]++;
        }
    } catch (...) {
        /* counted in part: built again from the start next time */
        t->ids_stale = 1;
        throw;
    }
    t->ids_rows = n;
    if (row && row_id(f, row, &id)) {
        auto it = t->ids->find(id);
        if (it != t->ids->end() && it->second > 0) {
            elog_log(0, "%s: table %s already has a row with %s %ld; row not added\n", caller, t->name.c_str(),
                     name, id);
            return false;
        }
    }
    return true;
}

void ids_note(Table *t, const char *oldrow, const char *newrow) {
    if (!t->ids || t->ids_schema != t->schema || t->ids_stale) return;
    const char *name = id_field(t->name.c_str());
    int fi = name ? schema_field_index(t->schema, name) : -1;
    if (fi < 0) return;
    const SchemaField *f = &t->schema->fields[fi];
    long id;
    if (oldrow && row_id(f, oldrow, &id)) {
        auto it = t->ids->find(id);
        if (it != t->ids->end() && --it->second <= 0) t->ids->erase(it);
    }
    if (newrow && row_id(f, newrow, &id)) {
        try {
            (*t->ids)[id]++;
        } catch (const std::bad_alloc &) {
            /* the row is written already: the set is built again on its
             * next use instead of failing the write */
            t->ids_stale = 1;
        }
    }
}

}  // namespace hostdb
