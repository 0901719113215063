/*
 * db.cpp -- the database engine's core: the registry of open databases,
 * opening and closing, finding and loading table files (mapped read-only,
 * or copied for writing, or normalised when their lines are not all of the
 * schema's width), pointers by name, queries, and the view plumbing that
 * subset/join/group/sort build on.
 */
#include "db_pvt.h"
#include "../core/guard_pvt.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hostdb {

/* ------------------------------------------------------------ registry */

namespace {

constexpr long MAXDB = 4096;
std::mutex g_dbmu;
std::atomic<Database *> g_dbs[MAXDB];
std::atomic<unsigned long> g_serial{1};
std::atomic<unsigned long> g_table_uid{1};

long register_db(Database *d) {
    std::lock_guard<std::mutex> lk(g_dbmu);
    for (long i = 0; i < MAXDB; i++) {
        if (!g_dbs[i].load()) {
            d->id = i;
            d->serial = g_serial.fetch_add(1);
            g_dbs[i].store(d, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

}  // namespace

Database *db_get(long database) {
    if (database < 0 || database >= MAXDB) return nullptr;
    return g_dbs[database].load(std::memory_order_acquire);
}

Table::~Table() {
    for (auto &r : retired) {
        if (r.second)
            munmap(r.first, r.second);
        else
            free(r.first);
    }
    if (storage == 1 && rows) munmap(rows, maplen);
    if (storage == 2) free(rows);
    if (fd >= 0) close(fd);
    if (lock_fd >= 0) close(lock_fd);
    if (journal_fd >= 0) close(journal_fd);
    /* releasing needs no memory: the indexes are dropped in place */
    if (index_arr) freearr(index_arr, dbfree_index);
    freetbl(q_fields, 0);
    for (Tbl *q : q_retired) freetbl(q, 0);
    freetbl(q_primary, free);
    freetbl(q_alternate, free);
    freetbl(q_tables, 0);
}

Database::~Database() {
    long n = ntables.load();
    for (long i = 0; i < n; i++) delete table(i);
    for (auto &c : chunks) delete[] c;
}

/* Makes sure the chunk that holds slot i exists (under d->mu once the
 * database is registered); throws std::bad_alloc, leaving d as it was. */
static void ensure_chunk(Database *d, long i) {
    if (d->chunks[i / Database::CHUNK]) return;
    auto *c = new std::atomic<Table *>[Database::CHUNK];
    for (int k = 0; k < Database::CHUNK; k++) c[k].store(nullptr);
    d->chunks[i / Database::CHUNK] = c;
}

/* Puts t into the next new slot.  Cannot fail: the caller has made the
 * slot's chunk with ensure_chunk. */
static void add_table(Database *d, Table *t) noexcept {
    long i = d->ntables.load();
    t->index = i;
    t->uid = g_table_uid.fetch_add(1);
    d->chunks[i / Database::CHUNK][i % Database::CHUNK].store(t, std::memory_order_release);
    d->ntables.store(i + 1, std::memory_order_release);
}

/* Puts a view into a slot emptied by dbfree (under d->mu); false if none. */
static bool reuse_slot(Database *d, Table *t) {
    if (d->free_views.empty()) return false;
    long i = d->free_views.back();
    d->free_views.pop_back();
    t->index = i;
    t->uid = g_table_uid.fetch_add(1);
    d->chunks[i / Database::CHUNK][i % Database::CHUNK].store(t, std::memory_order_release);
    return true;
}

/* ------------------------------------------------------------ schema helpers */

const SchemaTable *schema_table(const char *name) {
    if (!name) return nullptr;
    for (int i = 0; i < schema_ntables; i++)
        if (!strcmp(schema_tables[i].name, name)) return &schema_tables[i];
    return nullptr;
}

int schema_field_index(const SchemaTable *t, const char *name) {
    if (!t || !name) return -1;
    for (int i = 0; i < t->nfields; i++)
        if (!strcmp(t->fields[i].name, name)) return i;
    return -1;
}

std::vector<const SchemaTable *> schema_candidates(const char *name) {
    std::vector<const SchemaTable *> out;
    const SchemaTable *main = schema_table(name);
    if (!main) return out;
    out.push_back(main);
    if (!strcmp(name, "stamag")) out.push_back(&schema_stamag_nodelta);
    for (int i = 0; i < schema_nlayouts; i++)
        if (!strcmp(schema_layouts[i].name, name)) out.push_back(&schema_layouts[i]);
    return out;
}

const SchemaTable *schema_layout_for(const char *name, int family) {
    const SchemaTable *main = schema_table(name);
    if (!main || main->family == family) return main;
    const char *want = family == LAYOUT_KBCORE ? "kbcore" : "css3.0";
    for (int i = 0; i < schema_nlayouts; i++)
        if (!strcmp(schema_layouts[i].name, name) && !strcmp(schema_layouts[i].layout, want))
            return &schema_layouts[i];
    return main;
}

std::vector<std::string> split_words(const char *s) {
    std::vector<std::string> out;
    std::string w;
    for (const char *p = s; p && *p; p++) {
        if (*p == ' ') {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += *p;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

bool schema_join_keys(const char *t1, const char *t2, std::vector<std::string> &k1,
                      std::vector<std::string> &k2) {
    for (int i = 0; i < schema_njoins; i++) {
        const SchemaJoin &j = schema_joins[i];
        if (!strcmp(j.t1, t1) && !strcmp(j.t2, t2)) {
            k1 = split_words(j.keys1);
            k2 = split_words(j.keys2);
            return true;
        }
        if (!strcmp(j.t1, t2) && !strcmp(j.t2, t1)) {
            k1 = split_words(j.keys2);
            k2 = split_words(j.keys1);
            return true;
        }
    }
    return false;
}

static std::string make_nullrow(const SchemaTable *s) {
    std::string row(s->rowsize, ' ');
    for (int i = 0; i < s->nfields; i++) {
        const SchemaField &f = s->fields[i];
        Value v;
        v.type = f.type;
        v.isnull = 1;
        v.d = f.null_num;
        v.i = (long)f.null_num;
        snprintf(v.s, sizeof v.s, "%s", f.null_text);
        std::string err;
        char buf[MAX_WIDTH + 1];
        if (field_format(&f, v, buf, err) == 0) memcpy(&row[f.offset], buf, f.width);
    }
    return row;
}

/* ------------------------------------------------------------ loading */

static size_t count_newlines(const char *p, size_t n) {
    size_t count = 0, i = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    for (; i + 64 <= n; i += 64) {
        __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + i)), nl);
        __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + i + 16)), nl);
        __m128i c = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + i + 32)), nl);
        __m128i d = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + i + 48)), nl);
        unsigned long m = (unsigned)_mm_movemask_epi8(a) | ((unsigned long)(unsigned)_mm_movemask_epi8(b) << 16) |
                          ((unsigned long)(unsigned)_mm_movemask_epi8(c) << 32) |
                          ((unsigned long)(unsigned)_mm_movemask_epi8(d) << 48);
        count += (size_t)__builtin_popcountl(m);
    }
#endif
    for (; i < n; i++) count += (p[i] == '\n');
    return count;
}

/* True when the bytes are exactly n rows of the width, each with its
 * newline (the last one may lack it), none ending in a carriage return
 * (lines one character narrower, written with CR LF: a layout one
 * character wider than another would otherwise take them). */
static bool rows_exact(const char *p, size_t size, long stride, long *n) {
    if (size == 0) {
        *n = 0;
        return true;
    }
    long rows = (long)((size + 1) / (size_t)stride);
    size_t full = (size_t)rows * (size_t)stride;
    if (full != size && full - 1 != size) return false;
    /* one pass in chunks that stay in cache: the newline of every row where
     * it belongs, and no other newline */
    const long CH = 512;
    size_t nl = 0;
    for (long k0 = 0; k0 < rows; k0 += CH) {
        long k1 = k0 + CH < rows ? k0 + CH : rows;
        size_t from = (size_t)k0 * stride, to = (size_t)k1 * stride;
        if (to > size) to = size;
        nl += count_newlines(p + from, to - from);
        for (long k = k0; k < k1; k++) {
            size_t pos = (size_t)k * stride + stride - 1;
            if (pos < size && (p[pos] != '\n' || p[pos - 1] == '\r')) return false;
        }
    }
    if (nl != (full == size ? (size_t)rows : (size_t)rows - 1)) return false;
    *n = rows;
    return true;
}

/* Maps fd read-only for about twice its `size`: the pages past the end of
 * the file are never read while the file is shorter, and show the rows that
 * other programs append as soon as the file holds them, so a growing table
 * is read in place without mapping it again.  *reserved receives the
 * mapping's length, which is what munmap must be given.  Null when the file
 * cannot be mapped. */
static char *map_reserved(int fd, size_t size, size_t *reserved) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size_t want = size <= (SIZE_MAX - (1u << 20)) / 2 ? 2 * size + (1u << 20) : size;
    want = (want + page - 1) / page * page;
    void *m = mmap(nullptr, want, PROT_READ, MAP_PRIVATE, fd, 0);
    if (m != MAP_FAILED) {
        *reserved = want;
        return (char *)m;
    }
    m = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (m == MAP_FAILED) return nullptr;
    *reserved = size;
    return (char *)m;
}

static bool grow_rows(Table *t, long need) {
    if (need <= t->cap && t->storage == 2) return true;
    long cap = t->cap > 0 ? t->cap : 16;
    while (cap < need) cap *= 2;
    char *p;
    if (t->storage == 2) {
        p = (char *)realloc(t->rows, (size_t)cap * t->stride);
    } else {
        p = (char *)malloc((size_t)cap * t->stride);
        if (p && t->rows && t->nrows > 0) memcpy(p, t->rows, (size_t)t->nrows * t->stride);
        if (p && t->storage == 1) munmap(t->rows, t->maplen);
    }
    if (!p) return false;
    t->rows = p;
    t->cap = cap;
    t->storage = 2;
    t->maplen = 0;
    return true;
}

/* Copies the file's lines into rows of exactly the width; warns about the
 * first line that is not. */
static void normalise(Table *t, const char *p, size_t size) {
    long rowsize = t->schema->rowsize;
    long n = 0, bad_line = 0, bad_len = 0, lineno = 0;
    std::vector<std::pair<size_t, size_t>> lines;
    size_t i = 0;
    while (i < size) {
        const char *nl = (const char *)memchr(p + i, '\n', size - i);
        size_t end = nl ? (size_t)(nl - p) : size;
        size_t len = end - i;
        lineno++;
        size_t content = len;
        if (content > 0 && p[i + content - 1] == '\r') content--;
        if ((long)len != rowsize && !bad_line) {
            bad_line = lineno;
            bad_len = (long)len;
        }
        /* blank lines carry no row */
        size_t k = 0;
        while (k < content && (p[i + k] == ' ' || p[i + k] == '\t')) k++;
        if (k < content) lines.emplace_back(i, content);
        i = end + 1;
    }
    t->rows = nullptr;
    t->cap = 0;
    t->storage = 0;
    if (!grow_rows(t, (long)lines.size() + 1)) throw std::bad_alloc();
    for (auto &l : lines) {
        char *row = t->rows + n * t->stride;
        memset(row, ' ', rowsize);
        size_t len = l.second < (size_t)rowsize ? l.second : (size_t)rowsize;
        memcpy(row, p + l.first, len);
        for (size_t k = 0; k < len; k++)
            if (row[k] == '\0' || row[k] == '\t') row[k] = ' ';
        row[rowsize] = '\n';
        n++;
    }
    t->nrows.store(n);
    t->normalised = 1;
    /* a last line without its newline that is short may have been cut in
     * the middle of a write: remember where, so that a number cut there is
     * not read as a smaller one */
    if (size && p[size - 1] != '\n' && !lines.empty() && lines.back().first + lines.back().second >= size - 1 &&
        (long)lines.back().second < rowsize) {
        t->cut_row = n - 1;
        t->cut_col = (long)lines.back().second;
    }
    if (bad_line) {
        elog_complain(0,
                      "dbopen: %s line %ld has %ld characters, the %s table's rows have %ld: "
                      "read through a normalised copy, writes to this table are refused\n",
                      t->filename.c_str(), bad_line, bad_len, t->name.c_str(), rowsize);
        t->writable = 0;
    }
}

/* How far one line (without its newline and carriage return) is from a
 * layout: 0 when every field sits where the layout puts it -- blanks
 * between fields, strings starting at their column, numbers that read as
 * numbers and end at their field's last column -- more for each thing out
 * of place.  The last field (the load date, whose forms vary) is not
 * looked at; the line may have lost its trailing blanks. */
static long line_penalty(const SchemaTable *s, const char *p, size_t len) {
    size_t tl = len;
    while (tl && (p[tl - 1] == ' ' || p[tl - 1] == '\t')) tl--;
    const SchemaField &last = s->fields[s->nfields - 1];
    long pen = 0;
    if (tl > (size_t)s->rowsize) {
        /* longer than the rows: by no more than a last field written
         * wider than its column, or not of this layout at all */
        if (tl - (size_t)s->rowsize > (size_t)last.width) return 1000;
        pen += 1 + (long)(tl - (size_t)s->rowsize);
    }
    if (tl + 1 < (size_t)last.offset) pen += 50;
    for (int i = 0; i < s->nfields - 1; i++) {
        const SchemaField &f = s->fields[i];
        if ((size_t)f.offset >= tl) break;
        if (f.offset > 0 && p[f.offset - 1] != ' ') pen += 2;
        size_t end = (size_t)(f.offset + f.width) < tl ? (size_t)(f.offset + f.width) : tl;
        const char *q = p + f.offset;
        size_t n = end - (size_t)f.offset, lead = 0;
        while (lead < n && q[lead] == ' ') lead++;
        if (lead == n) continue;
        if (f.type == dbSTRING) {
            if (lead) pen += 1;
            continue;
        }
        if (f.type == dbDATE || f.type == dbPOINTER) continue;
        size_t k = n;
        while (k && q[k - 1] == ' ') k--;
        if (k != (size_t)f.width) pen += 1;
        Value v;
        if (field_parse(&f, q + lead, k - lead, &v) != 0) pen += 3;
    }
    return pen;
}

/* Which of the layouts the lines of a file (not all rows of one width, or
 * of a width several layouts share) are written in: the one that most of
 * its first lines fit exactly, then the one whose width most of them have
 * (layouts that differ only in their last field), then the one they are
 * least far from; the earlier layout on a tie.  When no line fits any
 * layout, the one they are least far from.  Null when there are no lines. */
static const SchemaTable *layout_of_lines(const std::vector<const SchemaTable *> &cands, const char *p,
                                          size_t size) {
    const long MAXLINES = 2000;
    std::vector<long> fits(cands.size(), 0), whole(cands.size(), 0), pens(cands.size(), 0);
    size_t i = 0;
    long lines = 0;
    while (i < size && lines < MAXLINES) {
        const char *nl = (const char *)memchr(p + i, '\n', size - i);
        size_t end = nl ? (size_t)(nl - p) : size;
        size_t len = end - i;
        if (len && p[i + len - 1] == '\r') len--;
        size_t k = 0;
        while (k < len && (p[i + k] == ' ' || p[i + k] == '\t')) k++;
        if (k < len) {
            lines++;
            for (size_t c = 0; c < cands.size(); c++) {
                long pen = line_penalty(cands[c], p + i, len);
                if (pen == 0) fits[c]++;
                if (pen == 0 && len == (size_t)cands[c]->rowsize) whole[c]++;
                pens[c] += pen;
            }
        }
        i = end + 1;
    }
    long best = -1;
    for (size_t c = 0; c < cands.size(); c++) {
        if (!fits[c]) continue;
        if (best < 0 || fits[c] > fits[best] ||
            (fits[c] == fits[best] && (whole[c] > whole[best] || (whole[c] == whole[best] && pens[c] < pens[best]))))
            best = (long)c;
    }
    if (best < 0 && lines > 0) {
        /* no line fits any layout (a file of one row cut short, lines
         * damaged): the layout they are least far from */
        best = 0;
        for (size_t c = 1; c < cands.size(); c++)
            if (pens[c] < pens[best]) best = (long)c;
    }
    return best < 0 ? nullptr : cands[best];
}

/* Whether one of the first lines of a file fits the layout exactly. */
static bool some_line_fits(const SchemaTable *s, const char *p, size_t size) {
    size_t i = 0;
    for (int lines = 0; i < size && lines < 64; lines++) {
        const char *nl = (const char *)memchr(p + i, '\n', size - i);
        size_t end = nl ? (size_t)(nl - p) : size;
        if (line_penalty(s, p + i, end - i) == 0) return true;
        i = end + 1;
    }
    return false;
}

/* Chooses the layout of a table file: the one whose width all its rows have
 * (the database's own layout tried first; layouts of one width told apart
 * by their lines) unless none of its first lines has its fields where that
 * layout puts them and another layout is nearer (rows of another layout
 * whose last field was written too wide), else the one its lines fit best,
 * else the database's own.  *n receives the row count and *exact is set
 * when the rows are exact rows of the chosen layout. */
static const SchemaTable *choose_layout(const std::vector<const SchemaTable *> &cands, const SchemaTable *deflt,
                                        const char *map, size_t size, long *n, bool *exact) {
    std::vector<const SchemaTable *> exact_ones;
    std::vector<long> counts;
    for (const SchemaTable *c : cands) {
        long k = 0;
        if (rows_exact(map, size, c->rowsize + 1, &k)) {
            if (c == deflt) {
                exact_ones.insert(exact_ones.begin(), c);
                counts.insert(counts.begin(), k);
            } else {
                exact_ones.push_back(c);
                counts.push_back(k);
            }
        }
    }
    *exact = !exact_ones.empty();
    std::vector<const SchemaTable *> order{deflt};
    for (const SchemaTable *c : cands)
        if (c != deflt) order.push_back(c);
    if (exact_ones.size() == 1 && size && order.size() > 1 && !some_line_fits(exact_ones[0], map, size)) {
        const SchemaTable *s = layout_of_lines(order, map, size);
        if (s && s != exact_ones[0]) {
            *exact = false;
            return s;
        }
    }
    if (exact_ones.size() == 1 || size == 0) {
        *n = counts.empty() ? 0 : counts[0];
        return exact_ones.empty() ? deflt : exact_ones[0];
    }
    if (exact_ones.size() > 1) {
        const SchemaTable *s = layout_of_lines(exact_ones, map, size);
        size_t k = 0;
        while (s && exact_ones[k] != s) k++;
        if (!s) k = 0;
        *n = counts[k];
        return exact_ones[k];
    }
    const SchemaTable *s = layout_of_lines(order, map, size);
    return s ? s : deflt;
}

static std::string dir_of(const std::string &path) {
    size_t k = path.rfind('/');
    if (k == std::string::npos) return ".";
    if (k == 0) return "/";
    return path.substr(0, k);
}

static bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/* Holds an advisory lock on a descriptor for the length of a load. */
struct LoadLock {
    int fd = -1;
    ~LoadLock() {
        if (fd >= 0) flock(fd, LOCK_UN);
    }
};

/* A load's own descriptor and temporary mapping, given back however the
 * load ends (memory running out in the middle included) unless kept. */
struct LoadFd {
    int fd = -1;
    ~LoadFd() {
        if (fd >= 0) close(fd);
    }
};
struct LoadMap {
    char *p = nullptr;
    size_t len = 0;
    ~LoadMap() {
        if (p) munmap(p, len);
    }
};

/* Puts the text a journal gives into row memory (an "r" reader of a
 * table whose rewrite a writer left unfinished). */
static void patch_row(Table *t, off_t off, const std::string &text) {
    long n = t->nrows.load();
    if (t->normalised || text.size() != (size_t)t->schema->rowsize || off % t->stride != 0 ||
        off / t->stride >= n)
        return;
    if (t->storage != 2 && !grow_rows(t, n + 1)) throw std::bad_alloc();
    memcpy(t->rows + (size_t)off, text.data(), text.size());
}

/* Reads table t's file into t, a Table that nobody else sees yet (the
 * caller adopts what it holds once the load is complete).  first: the
 * table's first load (not a re-read by table_refresh, whose caller may hold
 * the write lock already).  Files that cannot be read are reported and give
 * an empty table; memory running out throws std::bad_alloc, and t's
 * destructor then gives back what the load took. */
static void load_table(Database *d, Table *t, bool first) {
    /* until the file says otherwise: the layout the database gives new files */
    if (!d->memory && t->name != "trace") t->schema = schema_layout_for(t->name.c_str(), d->layout);
    t->stride = t->schema->rowsize + 1;
    if (d->memory) {
        t->writable = 1;
        t->nullrow = make_nullrow(t->schema);
        t->scratch = t->nullrow;
        return;
    }
    std::string file = d->prefix + "." + t->name;
    if (!file_exists(file)) {
        for (auto &p : d->dbpath) {
            std::string alt = p + "." + t->name;
            if (file_exists(alt)) {
                file = alt;
                break;
            }
        }
    }
    t->filename = file;
    t->dirname = dir_of(file);
    t->writable = d->writable;
    t->tofile = d->writable;
    LoadFd fdg;
    int fd = fdg.fd = open(file.c_str(), (d->writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0 && d->writable && errno == EACCES) {
        fd = fdg.fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) t->writable = 0;
    }
    /* a writer reads its table under the write lock, so that no other
     * writer is half-way through a row meanwhile, and first completes a
     * rewrite that a stopped writer left in its journal */
    LoadLock held;
    if (fd >= 0 && first && t->writable) {
        int rc;
        while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (rc == 0) {
            held.fd = fd;
            off_t off;
            std::string text;
            journal_recover(t, fd, true, &off, &text);
        }
    }
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int err = errno;
        held.fd = -1;
        if (fd >= 0) flock(fd, LOCK_UN);
        errno = err;
        if (errno != ENOENT) {
            elog_log(1, "dbopen: cannot open %s\n", file.c_str());
            t->writable = 0;
        }
        t->nullrow = make_nullrow(t->schema);
        t->scratch = t->nullrow;
        return;
    }
    t->present = 1;
    size_t size = (size_t)st.st_size;
    t->file_bytes = size;
    t->mtime_ns = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    t->file_dev = (unsigned long long)st.st_dev;
    t->file_ino = (unsigned long long)st.st_ino;
    char *map = nullptr;
    size_t reserved = 0;
    LoadMap mapg;
    if (size > 0) {
        map = map_reserved(fd, size, &reserved);
        if (!map) {
            elog_log(1, "dbopen: cannot map %s\n", file.c_str());
            held.fd = -1;
            flock(fd, LOCK_UN);
            t->writable = 0;
            t->nullrow = make_nullrow(t->schema);
            t->scratch = t->nullrow;
            return;
        }
        mapg.p = map;
        mapg.len = reserved;
        madvise(map, size, MADV_SEQUENTIAL);
    }
    long n = 0;
    bool exact = false;
    const SchemaTable *deflt = t->schema;
    std::vector<const SchemaTable *> cands = schema_candidates(t->name.c_str());
    t->schema = choose_layout(cands, deflt, map, size, &n, &exact);
    size_t mapsize = size;
    if (!exact && t->writable && size && map[size - 1] != '\n') {
        /* rows of one layout and a last line cut short, without its
         * newline: a writer stopped in the middle of it.  A writer reads
         * the rows and leaves the line to the next append, which writes
         * its row in the line's place. */
        const char *nl = (const char *)memrchr(map, '\n', size);
        size_t body = nl ? (size_t)(nl - map) + 1 : 0;
        long nb = 0;
        bool eb = false;
        const SchemaTable *sb = choose_layout(cands, deflt, map, body, &nb, &eb);
        if (eb && (long)(size - body) < sb->rowsize) {
            t->schema = sb;
            n = nb;
            exact = true;
            size = body;
            t->file_bytes = body;
            t->tail_at = body;
            t->tail_len = mapsize - body;
            elog_complain(0,
                          "dbopen: %s ends in line %ld cut short (%zu of %d characters), left by a writer that "
                          "stopped: the line is not read, and the next row added takes its place\n",
                          file.c_str(), n + 1, t->tail_len, sb->rowsize);
        }
    }
    t->stride = t->schema->rowsize + 1;
    t->nullrow = make_nullrow(t->schema);
    t->scratch = t->nullrow;
    bool lastnl = size == 0 || map[size - 1] == '\n';
    if (exact && !d->writable && lastnl) {
        /* the mapping becomes the rows: t's destructor unmaps it from here */
        t->rows = map;
        t->maplen = reserved;
        t->storage = size ? 1 : 0;
        mapg.p = nullptr;
        t->cap = n;
        t->nrows.store(n);
        if (first) {
            off_t off;
            std::string text;
            if (journal_recover(t, fd, false, &off, &text)) patch_row(t, off, text);
        }
        return;
    }
    if (exact) {
        if (!grow_rows(t, n + 1)) throw std::bad_alloc();
        if (size) memcpy(t->rows, map, size);
        if (!lastnl) t->rows[size] = '\n';
        t->nrows.store(n);
    } else {
        normalise(t, map, size);
    }
    if (first && held.fd < 0) {
        off_t off;
        std::string text;
        if (journal_recover(t, fd, false, &off, &text)) patch_row(t, off, text);
    }
    held.fd = -1;
    flock(fd, LOCK_UN);
    if (t->writable) {
        t->fd = fd;
        fdg.fd = -1;
    }
}

static long long mtime_of(const struct stat &st) {
    return (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

/* Adds the complete rows that follow the accounted bytes; false when they
 * are not all rows of the schema's width (the caller reads the file
 * again).  A trailing partial line is left for a later look. */
static bool extend_rows(Table *t, size_t size) {
    size_t from = t->file_bytes;
    int fd = open(t->filename.c_str(), O_RDONLY);
    if (fd < 0) return true;  /* cannot look now: keep what we have */
    bool ok = false;
    if (t->storage == 1 || (t->storage == 0 && !t->writable)) {
        /* Within the length mapped, the appended rows are already in the
         * mapping: nothing is mapped again, readers' pointers stay valid and
         * nothing is retired, so a table that grows all day costs no more
         * address space than about twice its size. */
        bool inplace = t->storage == 1 && t->rows && size <= t->maplen;
        size_t reserved = t->maplen;
        char *map = inplace ? t->rows : map_reserved(fd, size, &reserved);
        if (map) {
            const char *nl = (const char *)memrchr(map + from, '\n', size - from);
            size_t len = nl ? (size_t)(nl - map) + 1 - from : 0;
            long k = 0;
            if (len % t->stride == 0 && rows_exact(map + from, len, t->stride, &k)) {
                if (!inplace) {
                    try {
                        t->retired.reserve(t->retired.size() + 1);
                    } catch (...) {
                        munmap(map, reserved);
                        throw;
                    }
                    char *old = t->rows;
                    size_t oldlen = t->maplen;
                    __atomic_store_n(&t->rows, map, __ATOMIC_RELEASE);
                    if (old && t->storage == 1) t->retired.emplace_back(old, oldlen);
                    t->storage = 1;
                    t->maplen = reserved;
                }
                t->file_bytes = from + len;
                t->cap = t->nrows.load() + k;
                t->nrows.store(t->cap, std::memory_order_release);
                ok = true;
            } else if (!inplace) {
                munmap(map, reserved);
            }
        }
    } else {
        std::vector<char> buf(size - from);
        ssize_t got = pread(fd, buf.data(), buf.size(), (off_t)from);
        if (got == (ssize_t)buf.size()) {
            const char *nl = (const char *)memrchr(buf.data(), '\n', buf.size());
            size_t len = nl ? (size_t)(nl - buf.data()) + 1 : 0;
            long k = 0;
            if (len % t->stride == 0 && rows_exact(buf.data(), len, t->stride, &k)) {
                long n = t->nrows.load();
                if (n + k > t->cap) {
                    t->retired.reserve(t->retired.size() + 1);
                    long cap = t->cap > 0 ? t->cap : 16;
                    while (cap < n + k) cap *= 2;
                    char *p = (char *)malloc((size_t)cap * t->stride);
                    if (p) {
                        if (n) memcpy(p, t->rows, (size_t)n * t->stride);
                        char *old = t->rows;
                        __atomic_store_n(&t->rows, p, __ATOMIC_RELEASE);
                        if (old) t->retired.emplace_back(old, 0);
                        t->storage = 2;  /* heap rows, freed with the table (it may have had none) */
                        t->cap = cap;
                    }
                }
                if (n + k <= t->cap) {
                    if (len) memcpy(t->rows + (size_t)n * t->stride, buf.data(), len);
                    t->file_bytes = from + len;
                    t->nrows.store(n + k, std::memory_order_release);
                    ok = true;
                }
            }
        }
    }
    close(fd);
    return ok;
}

void table_refresh(Database *d, Table *t) {
    if (!d || d->memory || t->view || !t->loaded.load() || t->filename.empty()) return;
    struct stat st;
    if (stat(t->filename.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    std::lock_guard<std::mutex> lk(t->mu);
    size_t size = (size_t)st.st_size;
    bool same_file = (unsigned long long)st.st_dev == t->file_dev && (unsigned long long)st.st_ino == t->file_ino;
    if (same_file && size == t->file_bytes && mtime_of(st) == t->mtime_ns) return;
    /* rows are taken in where they are only from the file that was read;
     * a file replaced under the name is read whole */
    bool clean = same_file && !t->normalised && t->cut_row < 0 && t->file_bytes % t->stride == 0;
    if (size > t->file_bytes && clean && extend_rows(t, size)) {
        if (t->file_bytes == size) t->mtime_ns = mtime_of(st);
        return;
    }
    if (size == t->file_bytes && clean && t->storage == 1) {
        /* changed in place: the mapping shows the new text already */
        t->mtime_ns = mtime_of(st);
        t->ids_stale = 1;
        t->generation.fetch_add(1);
        return;
    }
    /* read it again from the start; everything that can fail happens
     * before t changes, so a failed re-read leaves the rows as they were */
    Table fresh;
    fresh.name = t->name;
    fresh.schema = schema_table(t->name.c_str());
    fresh.index = t->index;
    load_table(d, &fresh, false);
    t->retired.reserve(t->retired.size() + 1);
    t->q_retired.reserve(t->q_retired.size() + 1);
    long newn = fresh.nrows.load();
    if (newn < t->nrows.load()) t->nrows.store(newn, std::memory_order_release);
    char *old = t->rows;
    if (old) t->retired.emplace_back(old, t->storage == 1 ? t->maplen : 0);
    if (t->schema != fresh.schema && t->q_fields) {
        /* another layout: the field list given out before stays
         * valid for its holder, a new one is made on the next query */
        t->q_retired.push_back(t->q_fields);
        t->q_fields = nullptr;
    }
    __atomic_store_n(&t->schema, fresh.schema, __ATOMIC_RELEASE);
    t->stride = fresh.stride;
    __atomic_store_n(&t->rows, fresh.rows, __ATOMIC_RELEASE);
    t->storage = fresh.storage;
    t->maplen = fresh.maplen;
    t->cap = fresh.cap;
    t->writable = fresh.writable;
    t->tofile = fresh.tofile;
    t->present = fresh.present;
    if (t->fd >= 0) close(t->fd);
    t->fd = fresh.fd;
    t->normalised = fresh.normalised;
    t->cut_row = fresh.cut_row;
    t->cut_col = fresh.cut_col;
    t->file_bytes = fresh.file_bytes;
    t->mtime_ns = fresh.mtime_ns;
    t->file_dev = fresh.file_dev;
    t->file_ino = fresh.file_ino;
    t->tail_at = fresh.tail_at;
    t->tail_len = fresh.tail_len;
    t->ids_stale = 1;
    if (t->nullrow.size() != fresh.nullrow.size()) {
        t->nullrow.swap(fresh.nullrow);
        t->scratch.swap(fresh.scratch);
    }
    fresh.rows = nullptr;
    fresh.storage = 0;
    fresh.fd = -1;
    t->nrows.store(newn, std::memory_order_release);
    t->generation.fetch_add(1);
}

/* Takes over what a first load read into `fresh` (t not loaded yet, under
 * t->mu).  Moves only: cannot fail. */
static void adopt_load(Table *t, Table &fresh) noexcept {
    t->schema = fresh.schema;
    t->stride = fresh.stride;
    t->writable = fresh.writable;
    t->tofile = fresh.tofile;
    t->present = fresh.present;
    t->filename.swap(fresh.filename);
    t->dirname.swap(fresh.dirname);
    t->nullrow.swap(fresh.nullrow);
    t->scratch.swap(fresh.scratch);
    t->rows = fresh.rows;
    t->storage = fresh.storage;
    t->maplen = fresh.maplen;
    t->cap = fresh.cap;
    t->fd = fresh.fd;
    t->normalised = fresh.normalised;
    t->cut_row = fresh.cut_row;
    t->cut_col = fresh.cut_col;
    t->file_bytes = fresh.file_bytes;
    t->mtime_ns = fresh.mtime_ns;
    t->file_dev = fresh.file_dev;
    t->file_ino = fresh.file_ino;
    t->tail_at = fresh.tail_at;
    t->tail_len = fresh.tail_len;
    t->nrows.store(fresh.nrows.load());
    fresh.rows = nullptr;
    fresh.storage = 0;
    fresh.fd = -1;
}

Table *db_table(Database *d, long i) {
    Table *t = d ? d->table(i) : nullptr;
    if (!t || t->loaded.load(std::memory_order_acquire)) return t;
    std::lock_guard<std::mutex> lk(t->mu);
    if (!t->loaded.load(std::memory_order_relaxed)) {
        /* the load is built aside and adopted whole: when memory runs out
         * the table stays unloaded, holding nothing, and the next use
         * tries again */
        Table fresh;
        try {
            fresh.name = t->name;
            fresh.schema = t->schema;
            fresh.index = t->index;
            load_table(d, &fresh, true);
        } catch (const std::bad_alloc &) {
            elog_log(1, "dbopen: out of memory reading %s\n",
                     fresh.filename.empty() ? t->name.c_str() : fresh.filename.c_str());
            throw;
        }
        adopt_load(t, fresh);
        t->loaded.store(1, std::memory_order_release);
    }
    return t;
}

long table_count(const Table *t) {
    if (!t) return 0;
    if (t->view) {
        if (t->view->kind == View::GROUP) return (long)t->view->ranges.size() / 2;
        size_t k = t->view->tables.size();
        return k ? (long)(t->view->recs.size() / k) : 0;
    }
    return t->nrows.load(std::memory_order_acquire);
}

long table_find(Database *d, const char *name) {
    if (!d || !name || !*name) return -1;
    long n = d->ntables.load(std::memory_order_acquire);
    for (long i = 0; i < n; i++) {
        Table *t = d->table(i);
        if (t && t->name == name) return i;
    }
    return -1;
}

/* ------------------------------------------------------------ fields and rows */

static void build_view_fields(Database *d, Table *t) {
    View *v = t->view.get();
    t->vfields.clear();
    t->vnames.clear();
    if (v->kind == View::GROUP) {
        Table *g = db_table(d, v->grouped);
        for (auto &k : v->keys) {
            FieldLoc loc;
            if (g && field_resolve(d, g, k.c_str(), &loc) == 1) {
                t->vfields.push_back(loc);
                t->vnames.push_back(k);
            }
        }
        FieldLoc b;
        b.bundle = 1;
        t->vfields.push_back(b);
        t->vnames.push_back("bundle");
        return;
    }
    for (size_t s = 0; s < v->tables.size(); s++) {
        Table *b = db_table(d, v->tables[s]);
        if (!b || !b->schema) continue;
        for (int i = 0; i < b->schema->nfields; i++) {
            FieldLoc loc;
            loc.slot = (int)s;
            loc.table = v->tables[s];
            loc.f = &b->schema->fields[i];
            loc.base = b;
            t->vfields.push_back(loc);
            t->vnames.push_back(b->name + "." + loc.f->name);
        }
    }
}

int field_count(const Table *t) {
    if (!t) return 0;
    if (t->view) return (int)t->vfields.size();
    return t->schema ? t->schema->nfields : 0;
}

int field_at(const Table *t, long i, FieldLoc *loc) {
    if (!t || i < 0 || i >= field_count(t)) return 0;
    if (t->view) {
        *loc = t->vfields[i];
        return 1;
    }
    loc->slot = 0;
    loc->table = t->index;
    loc->f = &t->schema->fields[i];
    loc->bundle = 0;
    loc->base = const_cast<Table *>(t);
    return 1;
}

int field_resolve(Database *d, Table *t, const char *name, FieldLoc *loc) {
    (void)d;
    if (!t || !name) return 0;
    const char *dot = strchr(name, '.');
    if (!t->view) {
        const char *fname = name;
        if (dot) {
            if (t->name.compare(0, std::string::npos, name, dot - name) != 0) return 0;
            fname = dot + 1;
        }
        int i = schema_field_index(t->schema, fname);
        if (i < 0) return 0;
        loc->slot = 0;
        loc->table = t->index;
        loc->f = &t->schema->fields[i];
        loc->bundle = 0;
        loc->base = t;
        return 1;
    }
    for (size_t i = 0; i < t->vfields.size(); i++) {
        const std::string &q = t->vnames[i];
        bool hit;
        if (dot) {
            hit = q == name;
        } else {
            size_t k = q.rfind('.');
            hit = (k == std::string::npos ? q : q.substr(k + 1)) == name;
        }
        if (hit) {
            *loc = t->vfields[i];
            return 1;
        }
    }
    return 0;
}

static const char *base_row(Table *b, long r) {
    if (!b) return nullptr;
    if (r == dbSCRATCH) return b->scratch.data();
    if (r == dbNULL) return b->nullrow.data();
    if (r < 0 || r >= b->nrows.load(std::memory_order_acquire)) return nullptr;
    return __atomic_load_n(&b->rows, __ATOMIC_ACQUIRE) + (size_t)r * b->stride;
}

int row_slots(Database *d, Table *t, long record, const char **slots) {
    if (!t) return -1;
    if (!t->view) {
        const char *r = base_row(t, record);
        if (!r) return -1;
        slots[0] = r;
        return 1;
    }
    View *v = t->view.get();
    if (v->kind == View::GROUP) {
        Table *g = db_table(d, v->grouped);
        if (!g) return -1;
        if (record == dbSCRATCH || record == dbNULL) return row_slots(d, g, record, slots);
        if (record < 0 || record >= table_count(t)) return -1;
        return row_slots(d, g, v->ranges[2 * record], slots);
    }
    size_t k = v->tables.size();
    if (k > MAX_SLOTS) return -1;
    if (record == dbSCRATCH || record == dbNULL) {
        for (size_t s = 0; s < k; s++) slots[s] = base_row(db_table(d, v->tables[s]), record);
        return (int)k;
    }
    if (record < 0 || record >= table_count(t)) return -1;
    for (size_t s = 0; s < k; s++) {
        long r = v->recs[record * k + s];
        slots[s] = r < 0 ? nullptr : base_row(db_table(d, v->tables[s]), r);
    }
    return (int)k;
}

std::vector<long> view_base_tables(Database *d, Table *t) {
    if (!t) return {};
    if (!t->view) return {t->index};
    if (t->view->kind == View::GROUP) return view_base_tables(d, db_table(d, t->view->grouped));
    return t->view->tables;
}

bool row_records(Database *d, Table *t, long record, std::vector<long> &recs) {
    recs.clear();
    if (!t) return false;
    if (!t->view) {
        if (record < 0 || record >= table_count(t)) return false;
        recs.push_back(record);
        return true;
    }
    View *v = t->view.get();
    if (record < 0 || record >= table_count(t)) return false;
    if (v->kind == View::GROUP) return row_records(d, db_table(d, v->grouped), v->ranges[2 * record], recs);
    size_t k = v->tables.size();
    recs.assign(v->recs.begin() + record * k, v->recs.begin() + (record + 1) * k);
    return true;
}

const SchemaField *field_current(const FieldLoc &loc) {
    const SchemaField *f = loc.f;
    const SchemaTable *s = loc.base ? __atomic_load_n(&loc.base->schema, __ATOMIC_ACQUIRE) : nullptr;
    if (!f || !s) return f;
    uintptr_t at = (uintptr_t)f - (uintptr_t)s->fields;
    if (at < (uintptr_t)s->nfields * sizeof(SchemaField)) return f;
    int i = schema_field_index(s, f->name);
    return i < 0 ? nullptr : &s->fields[i];
}

int field_read(const FieldLoc &loc, const char *const *slots, Value *v, std::string *err) {
    if (loc.bundle) return -1;
    const SchemaField *f = field_current(loc);
    /* a field the table's present layout lacks reads as its null */
    int rc = f ? field_read_text(f, slots[loc.slot], v, err) : field_parse(loc.f, "", 0, v);
    if (v->baddate && loc.base && !loc.base->lddate_warned.exchange(1)) {
        Table *b = loc.base;
        elog_complain(0,
                      "dbgetv: %s: load date \"%s\" has no known form; it reads as null (said once for this "
                      "table)\n",
                      b->filename.empty() ? b->name.c_str() : b->filename.c_str(), v->s);
    }
    return rc;
}

Dbptr view_register(Database *d, const char *name, std::unique_ptr<View> v) {
    Dbptr out = make_ptr(d ? d->id : dbINVALID, dbINVALID, dbINVALID, dbINVALID);
    if (!d || !v) {
        elog_log(0, "view_register: no database or view\n");
        return out;
    }
    if (v->kind == View::ROWS) {
        if (v->tables.empty() || v->tables.size() > MAX_SLOTS) {
            elog_log(0, "view_register: a view joins 1 to %d tables, not %zu\n", (int)MAX_SLOTS,
                     v->tables.size());
            return out;
        }
        for (long b : v->tables) {
            Table *bt = db_table(d, b);
            if (!bt || bt->view) {
                elog_log(0, "view_register: slot table %ld is not a base table\n", b);
                return out;
            }
        }
    } else if (!db_table(d, v->grouped)) {
        elog_log(0, "view_register: grouped table %ld does not exist\n", v->grouped);
        return out;
    }
    std::unique_ptr<Table> t(new Table);
    t->view = std::move(v);
    t->loaded.store(1);
    std::lock_guard<std::mutex> lk(d->mu);
    Table *grouped = nullptr;
    if (t->view->kind == View::GROUP) {
        grouped = d->table(t->view->grouped);
        if (!grouped || (grouped->view && grouped->refs <= 0)) {
            elog_log(0, "view_register: grouped table %ld does not exist\n", t->view->grouped);
            return out;
        }
    }
    long idx = d->free_views.empty() ? d->ntables.load() : d->free_views.back();
    if (d->free_views.empty() && idx >= (long)Database::CHUNK * Database::NCHUNK) {
        elog_log(0, "view_register: too many views in database %s\n", d->name.c_str());
        return out;
    }
    if (name && *name)
        t->name = name;
    else
        t->name = "view" + std::to_string(idx);
    build_view_fields(d, t.get());  /* before it is visible to other threads */
    /* what publishing needs is made first: the slot's chunk, and room for
     * every slot in the free list, so that dbfree never needs memory */
    bool new_slot = d->free_views.empty();
    if (new_slot) ensure_chunk(d, idx);
    d->free_views.reserve((size_t)d->ntables.load() + (new_slot ? 1 : 0));
    if (grouped && grouped->view) grouped->refs++;
    Table *raw = t.release();
    if (!reuse_slot(d, raw)) add_table(d, raw);
    Table *tp = raw;
    out.table = tp->index;
    out.record = dbALL;
    out.field = dbALL;
    return out;
}

/* Drops one reference to view t (under d->mu).  At zero the view is taken
 * out of its slot and deleted, the slot is offered for reuse, and the
 * references it held are dropped in turn. */
static void view_release(Database *d, Table *t) {
    while (t && t->view && --t->refs <= 0) {
        Table *next = nullptr;
        if (t->view->kind == View::GROUP) {
            next = d->table(t->view->grouped);
            /* a sorted copy made by the grouping itself has no caller to free it */
            if (next && next->view && t->view->owns_grouped && !next->caller_freed) {
                next->caller_freed = 1;
                --next->refs;
            }
        }
        long i = t->index;
        d->chunks[i / Database::CHUNK][i % Database::CHUNK].store(nullptr, std::memory_order_release);
        d->free_views.push_back(i);
        delete t;
        t = next;
    }
}

}  // namespace hostdb

using namespace hostdb;

/* ------------------------------------------------------------ public: open, close */

struct FileCloser {
    void operator()(FILE *fp) const { fclose(fp); }
};

static bool parse_descriptor(const std::string &path, Database *d) {
    std::unique_ptr<FILE, FileCloser> owned(fopen(path.c_str(), "r"));
    FILE *fp = owned.get();
    if (!fp) {
        elog_log(1, "dbopen: cannot read descriptor %s\n", path.c_str());
        return false;
    }
    std::string dir = dir_of(path);
    char line[4096];
    long lineno = 0;
    bool ok = true;
    while (fgets(line, sizeof line, fp)) {
        lineno++;
        char *h = strchr(line, '#');
        if (h) *h = 0;
        strtrim(line);
        if (!*line) continue;
        char *sp = line + strcspn(line, " \t");
        std::string key(line, sp - line);
        std::string val = sp;
        while (!val.empty() && (val[0] == ' ' || val[0] == '\t')) val.erase(0, 1);
        if (key == "schema") {
            if (!strcasecmp(val.c_str(), "kbcore"))
                d->layout = LAYOUT_KBCORE;
            else if (!strncasecmp(val.c_str(), "css3.0", 6))
                d->layout = LAYOUT_CSS30;
            else
                elog_complain(0, "dbopen: %s line %ld: schema %s is not compiled in; css3.0 is used\n",
                              path.c_str(), lineno, val.c_str());
        } else if (key == "dbpath") {
            size_t s = 0;
            while (s <= val.size()) {
                size_t e = val.find(':', s);
                if (e == std::string::npos) e = val.size();
                std::string p = val.substr(s, e - s);
                if (!p.empty()) d->dbpath.push_back(p[0] == '/' ? p : dir + "/" + p);
                s = e + 1;
            }
        } else {
            elog_log(0, "dbopen: %s line %ld is not a descriptor line: %s\n", path.c_str(), lineno, line);
            ok = false;
            break;
        }
    }
    return ok;
}

/* Builds the whole database aside (its tables made, the trace table ready)
 * and registers it as the last step, so that a failure, memory running out
 * included, leaves no slot taken and nothing behind. */
static int open_common(const char *name, int memory, int writable, Dbptr *db) {
    std::unique_ptr<Database> owner(new Database);
    Database *d = owner.get();
    d->name = name ? name : "";
    d->prefix = d->name;
    d->memory = memory;
    d->writable = writable;
    if (!memory) {
        struct stat st;
        if (stat(d->name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            /* a table file given as the name: its prefix is the database */
            bool table_file = false;
            size_t dot = d->name.rfind('.');
            size_t slash = d->name.rfind('/');
            if (dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
                schema_table(d->name.c_str() + dot + 1)) {
                FILE *fp = fopen(d->name.c_str(), "r");
                char buf[16] = {0};
                if (fp) {
                    size_t got = fread(buf, 1, sizeof buf - 1, fp);
                    buf[got] = 0;
                    fclose(fp);
                }
                table_file = strncmp(buf, "schema", 6) != 0 && strncmp(buf, "dbpath", 6) != 0 && buf[0] != '#';
                if (table_file) d->prefix = d->name.substr(0, dot);
            }
            if (!table_file && !parse_descriptor(d->name, d)) {
                elog_log(0, "dbopen: %s is not a database descriptor\n", d->name.c_str());
                return -1;
            }
        }
    }
    for (int i = 0; i < schema_ntables; i++) {
        std::unique_ptr<Table> t(new Table);
        t->name = schema_tables[i].name;
        t->schema = &schema_tables[i];
        ensure_chunk(d, d->ntables.load());
        add_table(d, t.release());
    }
    /* the trace table is always in memory and writable */
    if (!memory) {
        Table *tr = d->table(table_find(d, "trace"));
        if (tr) {
            tr->stride = tr->schema->rowsize + 1;
            tr->writable = 1;
            tr->nullrow = make_nullrow(tr->schema);
            tr->scratch = tr->nullrow;
            tr->loaded.store(1);
        }
    }
    if (register_db(d) < 0) {
        elog_log(0, "dbopen: too many open databases (%ld)\n", MAXDB);
        return -1;
    }
    owner.release();
    *db = make_ptr(d->id, dbALL, dbALL, dbALL);
    return 0;
}

extern "C" int dbopen(const char *name, const char *mode, Dbptr *db) {
    if (!db) {
        elog_log(0, "dbopen: no result pointer\n");
        return -1;
    }
    *db = dbinvalid();
    if (!name || !*name) {
        elog_log(0, "dbopen: no database name\n");
        return -1;
    }
    if (!mode || (strcmp(mode, "r") && strcmp(mode, "r+"))) {
        elog_log(0, "dbopen: mode %s for %s is neither \"r\" nor \"r+\"\n", mode ? mode : "(null)", name);
        return -1;
    }
    return host_guarded("dbopen", -1, [&] { return open_common(name, 0, !strcmp(mode, "r+"), db); });
}

extern "C" int dbopen_memory(Dbptr *db) {
    if (!db) {
        elog_log(0, "dbopen_memory: no result pointer\n");
        return -1;
    }
    *db = dbinvalid();
    return host_guarded("dbopen_memory", -1, [&] { return open_common("", 1, 1, db); });
}

extern "C" int dbclose(Dbptr db) {
    Database *d = db_get(db.database);
    if (!d) {
        elog_log(0, "dbclose: database %ld is not open\n", db.database);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(g_dbmu);
        g_dbs[d->id].store(nullptr);
    }
    delete d;
    return 0;
}

extern "C" Dbptr dbinvalid(void) { return make_ptr(dbINVALID, dbINVALID, dbINVALID, dbINVALID); }

/* ------------------------------------------------------------ public: lookup */

static Dbptr lookup(Dbptr db, const char *database, const char *table, const char *field, const char *record) {
    Database *d = db_get(db.database);
    if (!d) {
        elog_log(0, "dblookup: database %ld is not open\n", db.database);
        return dbinvalid();
    }
    if (database && *database && d->name != database) {
        elog_log(0, "dblookup: database %s is not %s\n", database, d->name.c_str());
        return dbinvalid();
    }
    std::string tname = table ? table : "";
    std::string fname = field ? field : "";
    if (!fname.empty() && fname != "dbALL") {
        size_t dot = fname.find('.');
        if (dot != std::string::npos && tname.empty()) {
            tname = fname.substr(0, dot);
            /* in a view, "table.field" names a field of the view */
            Table *cur = d->table(db.table);
            if (cur && cur->view) tname.clear();
        }
    }
    if (!tname.empty()) {
        long i = table_find(d, tname.c_str());
        if (i < 0) {
            elog_log(0, "dblookup: no table %s in database %s\n", tname.c_str(), d->name.c_str());
            db.table = db.field = db.record = dbINVALID;
            return db;
        }
        if (i != db.table) {
            db.table = i;
            db.field = dbALL;
            db.record = dbALL;
        }
    }
    Table *t = db_table(d, db.table);
    if (!fname.empty()) {
        if (!t) {
            elog_log(0, "dblookup: field %s given without a table\n", fname.c_str());
            db.field = db.record = dbINVALID;
            return db;
        }
        if (fname == "dbALL") {
            db.field = dbALL;
        } else {
            FieldLoc loc;
            if (field_resolve(d, t, fname.c_str(), &loc) != 1) {
                elog_log(0, "dblookup: no field %s in table %s\n", fname.c_str(), t->name.c_str());
                db.field = db.record = dbINVALID;
                return db;
            }
            int n = field_count(t);
            for (int i = 0; i < n; i++) {
                FieldLoc l2;
                field_at(t, i, &l2);
                if (l2.slot == loc.slot && l2.f == loc.f && l2.bundle == loc.bundle) {
                    db.field = i;
                    break;
                }
            }
        }
    }
    if (record && *record) {
        if (!t) {
            elog_log(0, "dblookup: record %s given without a table\n", record);
            db.record = dbINVALID;
            return db;
        }
        if (!strcmp(record, "dbALL"))
            db.record = dbALL;
        else if (!strcmp(record, "dbSCRATCH"))
            db.record = dbSCRATCH;
        else if (!strcmp(record, "dbNULL"))
            db.record = dbNULL;
        else {
            char *end;
            errno = 0;
            long r = strtol(record, &end, 10);
            if (errno || *end || end == record || r < 0 || r >= table_count(t)) {
                elog_log(0, "dblookup: no record %s in table %s\n", record, t->name.c_str());
                db.record = dbINVALID;
                return db;
            }
            db.record = r;
        }
    }
    return db;
}

/* ------------------------------------------------------------ public: queries */

extern "C" Dbptr dblookup(Dbptr db, const char *database, const char *table, const char *field,
                          const char *record) {
    return host_guarded("dblookup", dbinvalid(), [&] { return lookup(db, database, table, field, record); });
}

/* A list the engine keeps for query results, made whole or not at all:
 * throws std::bad_alloc when memory runs out, having freed what it made. */
struct TblOwner {
    Tbl *t;
    void (*free_fn)(void *);
    explicit TblOwner(long n, void (*f)(void *) = nullptr) : t(newtbl(n)), free_fn(f) {
        if (!t) throw std::bad_alloc();
    }
    ~TblOwner() {
        if (t) freetbl(t, free_fn);
    }
    /* Appends p (owned by the list from then on, even when it fails). */
    void push(void *p) {
        if (!p || pushtbl(t, p) < 0) {
            if (p && free_fn) free_fn(p);
            throw std::bad_alloc();
        }
    }
    Tbl *release() {
        Tbl *r = t;
        t = nullptr;
        return r;
    }
};

static void free_string(void *p) { free(p); }

static Tbl *names_tbl(const char *keys, Tbl **keep) {
    if (!*keep) {
        TblOwner list(4, free_string);
        for (auto &w : split_words(keys)) list.push(strdup(w.c_str()));
        *keep = list.release();
    }
    return *keep;
}

static int query(Dbptr db, int code, void *value) {
    Database *d = db_get(db.database);
    if (!d) {
        elog_log(0, "dbquery: database %ld is not open\n", db.database);
        return -1;
    }
    if (!value) {
        elog_log(0, "dbquery: no result pointer for code %d\n", code);
        return -1;
    }
    if (code == dbDATABASE_NAME) {
        *(const char **)value = d->name.c_str();
        return 0;
    }
    if (code == dbTABLE_COUNT) {
        *(long *)value = d->ntables.load();
        return 0;
    }
    Table *t = db_table(d, db.table);
    if (!t) {
        elog_log(0, "dbquery: code %d needs a table; table %ld is not in database %s\n", code, db.table,
                 d->name.c_str());
        return -1;
    }
    FieldLoc loc;
    bool have_field = db.field >= 0 && field_at(t, db.field, &loc);
    /* the lists below are made on first query; readers may query at once */
    std::lock_guard<std::mutex> qlk(d->mu);
    auto need_field = [&]() {
        if (!have_field)
            elog_log(0, "dbquery: code %d needs a field of table %s\n", code, t->name.c_str());
        return have_field;
    };
    switch (code) {
    case dbRECORD_COUNT:
        if (!t->view) table_refresh(d, t);
        *(long *)value = table_count(t);
        return 0;
    case dbTABLE_NAME:
        *(const char **)value = t->name.c_str();
        return 0;
    case dbTABLE_FILENAME:
        if (t->view) {
            Table *b = db_table(d, view_base_tables(d, t)[0]);
            *(const char **)value = b->filename.c_str();
        } else {
            *(const char **)value = t->filename.c_str();
        }
        return 0;
    case dbTABLE_DIRNAME:
        *(const char **)value = t->view ? "" : t->dirname.c_str();
        return 0;
    case dbRECORD_SIZE:
        if (t->view) {
            elog_log(0, "dbquery: view %s has no record size\n", t->name.c_str());
            return -1;
        }
        *(long *)value = t->schema->rowsize;
        return 0;
    case dbTABLE_ADDRESS:
        if (t->view) {
            elog_log(0, "dbquery: view %s has no rows of its own\n", t->name.c_str());
            return -1;
        }
        *(char **)value = t->rows;
        return 0;
    case dbFIELD_COUNT:
        *(long *)value = field_count(t);
        return 0;
    case dbTABLE_FIELDS:
        if (!t->q_fields) {
            TblOwner list(field_count(t));
            if (t->view)
                for (auto &n : t->vnames) list.push((void *)n.c_str());
            else
                for (int i = 0; i < t->schema->nfields; i++) list.push((void *)t->schema->fields[i].name);
            t->q_fields = list.release();
        }
        *(Tbl **)value = t->q_fields;
        return 0;
    case dbPRIMARY_KEY:
    case dbALTERNATE_KEY: {
        const SchemaTable *s = t->schema;
        if (!s) s = db_table(d, view_base_tables(d, t)[0])->schema;
        *(Tbl **)value = code == dbPRIMARY_KEY ? names_tbl(s->primary, &t->q_primary)
                                               : names_tbl(s->alternate, &t->q_alternate);
        return 0;
    }
    case dbTABLE_IS_VIEW:
        *(long *)value = t->view ? 1 : 0;
        return 0;
    case dbVIEW_TABLES:
        if (!t->q_tables) {
            TblOwner list(4);
            for (long b : view_base_tables(d, t)) list.push((void *)db_table(d, b)->name.c_str());
            t->q_tables = list.release();
        }
        *(Tbl **)value = t->q_tables;
        return 0;
    case dbTABLE_IS_WRITABLE:
        *(long *)value = t->view ? 0 : t->writable;
        return 0;
    case dbTABLE_PRESENT:
        *(long *)value = t->view ? 1 : (t->present || t->nrows.load() > 0);
        return 0;
    case dbFIELD_NAME:
        if (!need_field()) return -1;
        *(const char **)value = t->view ? t->vnames[db.field].c_str() : loc.f->name;
        return 0;
    case dbFIELD_TYPE:
        if (!need_field()) return -1;
        *(long *)value = loc.bundle ? dbDBPTR : loc.f->type;
        return 0;
    case dbFIELD_FORMAT:
        if (!need_field()) return -1;
        *(const char **)value = loc.bundle ? "" : loc.f->format;
        return 0;
    case dbNULL_VALUE:
        if (!need_field()) return -1;
        *(const char **)value = loc.bundle ? "" : loc.f->null_text;
        return 0;
    case dbFIELD_SIZE:
        if (!need_field()) return -1;
        *(long *)value = loc.bundle ? 0 : loc.f->width;
        return 0;
    case dbFIELD_INDEX:
        if (!need_field()) return -1;
        *(long *)value = loc.bundle ? 0 : loc.f->offset;
        return 0;
    default:
        elog_log(0, "dbquery: unknown code %d\n", code);
        return -1;
    }
}

extern "C" int dbquery(Dbptr db, int code, void *value) {
    return host_guarded("dbquery", -1, [&] { return query(db, code, value); });
}

static long resolve_ptr(Dbptr db) {
    Database *d = db_get(db.database);
    if (!d) return dbINVALID;
    if (db.table == dbALL || db.table == dbINVALID) return dbDATABASE_PTR;
    Table *t = db_table(d, db.table);
    if (!t) return dbINVALID;
    bool rec = db.record >= 0 || db.record == dbSCRATCH || db.record == dbNULL;
    bool fld = db.field >= 0;
    if (db.record >= 0 && db.record >= table_count(t)) return dbINVALID;
    if (fld && db.field >= field_count(t)) return dbINVALID;
    if (!rec && !fld) return dbTABLE_PTR;
    if (!rec) return dbFIELD_PTR;
    if (!fld) return dbRECORD_PTR;
    return dbFIELD_VALUE_PTR;
}

extern "C" long dbresolve(Dbptr db) {
    return host_guarded("dbresolve", (long)dbINVALID, [&] { return resolve_ptr(db); });
}

/* ------------------------------------------------------------ public: views plumbing */

static Dbptr tbl2view(Dbptr db, Tbl *tables) {
    Database *d = db_get(db.database);
    Dbptr bad = make_ptr(db.database, dbINVALID, dbINVALID, dbINVALID);
    if (!d) {
        elog_log(0, "dbtbl2view: database %ld is not open\n", db.database);
        return bad;
    }
    auto v = std::make_unique<View>();
    for (long i = 0; i < maxtbl(tables); i++) {
        const char *name = (const char *)gettbl(tables, i);
        long k = table_find(d, name);
        Table *t = db_table(d, k);
        if (!t || t->view) {
            elog_log(0, "dbtbl2view: no table %s in database %s\n", name ? name : "(null)", d->name.c_str());
            return bad;
        }
        v->tables.push_back(k);
    }
    if (v->tables.empty()) {
        elog_log(0, "dbtbl2view: no tables given\n");
        return bad;
    }
    return view_register(d, nullptr, std::move(v));
}

extern "C" Dbptr dbtbl2view(Dbptr db, Tbl *tables) {
    return host_guarded("dbtbl2view", make_ptr(db.database, dbINVALID, dbINVALID, dbINVALID),
                        [&] { return tbl2view(db, tables); });
}

/* A reference: "@dbref <serial> <n> <table> <record> ..." (one pair per base
 * table of the row). */
static int make_ref(Dbptr db, char *ref) {
    Database *d = db_get(db.database);
    Table *t = d ? db_table(d, db.table) : nullptr;
    if (!t || !ref) {
        elog_log(0, "dbref: invalid pointer\n");
        return -1;
    }
    std::vector<long> recs;
    if (!row_records(d, t, db.record, recs)) {
        elog_log(0, "dbref: record %ld is not a row of %s\n", db.record, t->name.c_str());
        return -1;
    }
    std::vector<long> tabs = view_base_tables(d, t);
    std::string s = "@dbref " + std::to_string(d->serial) + " " + std::to_string(recs.size());
    for (size_t i = 0; i < recs.size(); i++) s += " " + std::to_string(tabs[i]) + " " + std::to_string(recs[i]);
    if (s.size() >= dbREF_SIZE) {
        elog_log(0, "dbref: a row of %s joins too many tables for a reference\n", t->name.c_str());
        return -1;
    }
    memcpy(ref, s.c_str(), s.size() + 1);
    return 0;
}

extern "C" int dbref(Dbptr db, char *ref) {
    return host_guarded("dbref", -1, [&] { return make_ref(db, ref); });
}

namespace hostdb {
/* Appends a view row from a reference; the new record or -1. */
long view_add_ref(Database *d, Table *t, const char *row) {
    View *v = t->view.get();
    if (v->kind != View::ROWS) {
        elog_log(0, "dbadd: rows cannot be added to the grouped view %s\n", t->name.c_str());
        return -1;
    }
    std::vector<long> recs(v->tables.size(), -1);
    if (!row) {
        elog_log(0, "dbadd: a row of view %s needs a reference (dbref)\n", t->name.c_str());
        return -1;
    }
    unsigned long serial = 0;
    long n = 0;
    int used = 0;
    if (sscanf(row, "@dbref %lu %ld%n", &serial, &n, &used) != 2 || serial != d->serial || n < 1 ||
        n > MAX_SLOTS) {
        elog_log(0, "dbadd: \"%.40s\" is not a row reference of database %s\n", row, d->name.c_str());
        return -1;
    }
    const char *p = row + used;
    bool any = false;
    for (long i = 0; i < n; i++) {
        long tab, rec;
        int k = 0;
        if (sscanf(p, " %ld %ld%n", &tab, &rec, &k) != 2) {
            elog_log(0, "dbadd: \"%.40s\" is not a row reference\n", row);
            return -1;
        }
        p += k;
        Table *b = db_table(d, tab);
        if (!b || rec < 0 || rec >= table_count(b)) {
            elog_log(0, "dbadd: reference to a missing row (table %ld record %ld)\n", tab, rec);
            return -1;
        }
        for (size_t s = 0; s < v->tables.size(); s++)
            if (v->tables[s] == tab && recs[s] < 0) {
                recs[s] = rec;
                any = true;
                break;
            }
    }
    if (!any) {
        elog_log(0, "dbadd: the reference names none of the tables of view %s\n", t->name.c_str());
        return -1;
    }
    long r = table_count(t);
    v->recs.insert(v->recs.end(), recs.begin(), recs.end());
    return r;
}
}  // namespace hostdb

extern "C" int dbget_range(Dbptr bundle, long *first, long *last) {
    if (bundle.record < 0 || bundle.field < bundle.record) {
        elog_log(0, "dbget_range: not a group range (record %ld, field %ld)\n", bundle.record, bundle.field);
        return -1;
    }
    if (first) *first = bundle.record;
    if (last) *last = bundle.field;
    return 0;
}

extern "C" int dbfree(Dbptr db) {
    Database *d = db_get(db.database);
    Table *t = d ? d->table(db.table) : nullptr;
    if (!t) {
        elog_log(0, "dbfree: invalid pointer (database %ld, table %ld)\n", db.database, db.table);
        return -1;
    }
    if (!t->view) return 0;
    std::lock_guard<std::mutex> lk(d->mu);
    if (t->caller_freed) return 0;
    t->caller_freed = 1;
    view_release(d, t);
    return 0;
}
