/*
 * dbrow.cpp -- reading and writing rows: field values from and to their
 * fixed-width text, dbgetv/dbputv/dbaddv, whole rows (dbget, dbput, dbadd),
 * deletion and compaction.  Writes never change a row unless every value
 * of the call could be stored; on disk a changed row is rewritten in place
 * and an added row appended, and a file that changed size behind our back
 * is not written at all.  Memory running out fails a call before anything
 * is written: what a write needs is made first.
 */
#include "db_pvt.h"
#include "../core/guard_pvt.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostdb {

static const double POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/* Plain decimal text ([-+]digits[.digits]) with up to 15 digits converts
 * exactly as strtod would: an integer below 2^53 divided by an exact power
 * of ten rounds once.  Anything else goes to strtod. */
static bool parse_double(const char *s, size_t n, double *out) {
    size_t i = 0;
    bool neg = false;
    if (i < n && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    unsigned long m = 0;
    int digits = 0, frac = 0;
    bool dot = false, any = false;
    for (; i < n; i++) {
        char c = s[i];
        if (c >= '0' && c <= '9') {
            any = true;
            if (m == 0 && c == '0' && !dot) continue;
            if (++digits > 15) break;
            m = m * 10 + (unsigned long)(c - '0');
            if (dot) frac++;
        } else if (c == '.' && !dot) {
            dot = true;
        } else {
            break;
        }
    }
    if (i == n && any) {
        if (dot && m == 0) frac = 0;
        double v = (double)m / POW10[frac];
        *out = neg ? -v : v;
        return true;
    }
    char buf[MAX_WIDTH + 1];
    if (n > MAX_WIDTH) return false;
    memcpy(buf, s, n);
    buf[n] = 0;
    char *end;
    errno = 0;
    double v = strtod(buf, &end);
    if (end == buf || *end || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

static bool parse_long(const char *s, size_t n, long *out) {
    size_t i = 0;
    bool neg = false;
    if (i < n && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    if (i < n && n - i <= 18) {
        long v = 0;
        size_t k = i;
        for (; k < n && s[k] >= '0' && s[k] <= '9'; k++) v = v * 10 + (s[k] - '0');
        if (k == n) {
            *out = neg ? -v : v;
            return true;
        }
    }
    /* a real-looking integer ("12.000", "1e3") with an integral value */
    double d;
    if (parse_double(s, n, &d) && d == std::floor(d) && std::fabs(d) < 9.2e18) {
        *out = (long)d;
        return true;
    }
    return false;
}

/* A calendar date that exists. */
static bool valid_date(int y, int mo, int da) {
    static const int mdays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || da < 1 || da > mdays[mo - 1]) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return !(mo == 2 && da == 29 && !leap);
}

/* "yy-mm-dd hh:mm:ss" (or with a four-digit year), UTC. */
static bool parse_lddate(const char *s, size_t n, double *out) {
    char buf[64];
    if (n >= sizeof buf) return false;
    memcpy(buf, s, n);
    buf[n] = 0;
    int y, mo, da, h, mi, se, used = 0;
    if (sscanf(buf, "%d-%d-%d %d:%d:%d%n", &y, &mo, &da, &h, &mi, &se, &used) != 6 || buf[used]) return false;
    if (buf[0] < '0' || buf[0] > '9') return false;
    if (y < 100) y += y < 69 ? 2000 : 1900;
    if (!valid_date(y, mo, da) || h > 23 || mi > 59 || se > 60 || h < 0 || mi < 0 || se < 0) return false;
    int doy = md2doy(y, mo, da);
    if (doy < 1) return false;
    *out = h2e(y, doy, h, mi, (double)se);
    return true;
}

namespace {

/* A cursor over the text of a load date. */
struct DateText {
    const char *p, *e;
    bool end() const { return p >= e; }
    /* Up to max digits; their count (0 if none). */
    int digits(int max, int *v) {
        int k = 0;
        *v = 0;
        while (p < e && k < max && *p >= '0' && *p <= '9') *v = *v * 10 + (*p++ - '0'), k++;
        return k;
    }
    /* A month name (three letters or in full, any case): 1..12, or 0. */
    int month() {
        static const char *const names[] = {"january", "february", "march",     "april",   "may",      "june",
                                            "july",    "august",   "september", "october", "november", "december"};
        const char *q = p;
        char w[16];
        int k = 0;
        while (q < e && k < 15 && ((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z'))) w[k++] = (char)(*q++ | 0x20);
        w[k] = 0;
        if (k < 3) return 0;
        for (int m = 0; m < 12; m++) {
            size_t full = strlen(names[m]);
            if ((k == 3 && !strncmp(w, names[m], 3)) || ((size_t)k == full && !strcmp(w, names[m]))) {
                p = q;
                return m + 1;
            }
        }
        return 0;
    }
    bool take(char c) {
        if (p < e && *p == c) {
            p++;
            return true;
        }
        return false;
    }
};

int full_year(int y, int ndigits) { return ndigits <= 2 ? (y < 69 ? 2000 + y : 1900 + y) : y; }

}  // namespace

/* The load-date forms other systems write: YYYYMMDD, YYYY-MM-DD, YYYY/MM/DD,
 * DD-MON-YY[YY], YYYY-Mon-DD and yy-mm-dd, each optionally followed (after
 * blanks or a "T") by hh:mm[:ss[.fff]] or hhmmss[.fff] and a "Z"; month
 * names in any case; no time of day is midnight; UTC. */
static bool parse_lddate_other(const char *s, size_t n, double *out) {
    DateText c{s, s + n};
    int y = 0, mo = 0, da = 0, nd;
    int a;
    nd = c.digits(8, &a);
    if (nd == 8) {
        y = a / 10000, mo = a / 100 % 100, da = a % 100;
    } else if (nd == 4 && (c.take('-') || c.take('/'))) {
        y = a;
        char sep = c.p[-1];
        if (!(mo = c.month()) && c.digits(2, &mo) < 1) return false;
        if (!c.take(sep) || c.digits(2, &da) < 1) return false;
    } else if ((nd == 1 || nd == 2) && (c.take('-') || c.take('/'))) {
        char sep = c.p[-1];
        int m = c.month();
        if (m) {  /* DD-MON-YY */
            da = a, mo = m;
            int yd;
            if (!c.take(sep) || ((nd = c.digits(4, &yd)) != 2 && nd != 4)) return false;
            y = full_year(yd, nd);
        } else {  /* yy-mm-dd */
            y = full_year(a, nd);
            if (c.digits(2, &mo) < 1 || !c.take(sep) || c.digits(2, &da) < 1) return false;
        }
    } else {
        return false;
    }
    int h = 0, mi = 0;
    double se = 0;
    if (!c.end()) {
        bool sep = c.take('T');
        while (c.take(' ') || c.take('\t')) sep = true;
        if (!sep) return false;
        int hh, k = c.digits(6, &hh);
        if (k == 2 && c.take(':')) {
            h = hh;
            if (c.digits(2, &mi) != 2) return false;
            if (c.take(':')) {
                int ss;
                if (c.digits(2, &ss) != 2) return false;
                se = ss;
            }
        } else if (k == 6) {
            h = hh / 10000, mi = hh / 100 % 100, se = hh % 100;
        } else if (k == 4) {
            h = hh / 100, mi = hh % 100;
        } else {
            return false;
        }
        if (c.take('.')) {
            double scale = 0.1;
            int digs = 0;
            while (!c.end() && *c.p >= '0' && *c.p <= '9') se += (*c.p++ - '0') * scale, scale /= 10, digs++;
            if (!digs) return false;
        }
        c.take('Z');
        if (!c.end()) return false;
    }
    if (!valid_date(y, mo, da) || h > 23 || mi > 59 || se >= 61) return false;
    int doy = md2doy(y, mo, da);
    if (doy < 1) return false;
    *out = h2e(y, doy, h, mi, se);
    return true;
}

int field_parse(const SchemaField *f, const char *s, size_t n, Value *v) {
    v->type = f->type;
    v->isnull = 0;
    v->baddate = 0;
    if (n > MAX_WIDTH) n = MAX_WIDTH;
    memcpy(v->s, s, n);
    v->s[n] = 0;
    if (f->type == dbSTRING) {
        if (n == 0) {
            snprintf(v->s, sizeof v->s, "%s", f->null_text);
            v->isnull = 1;
        } else {
            v->isnull = !strcmp(v->s, f->null_text);
        }
        return 0;
    }
    bool blank = n == 0 || (n == 1 && s[0] == '-');
    switch (f->type) {
    case dbINTEGER:
    case dbYEARDAY:
        if (blank) {
            v->i = (long)f->null_num;
            v->isnull = 1;
            return 0;
        }
        if (!parse_long(s, n, &v->i)) {
            v->i = (long)f->null_num;
            v->isnull = 1;
            return -1;
        }
        v->isnull = v->i == (long)f->null_num;
        v->d = (double)v->i;
        return 0;
    case dbREAL:
    case dbTIME:
        if (blank) {
            v->d = f->null_num;
            v->isnull = 1;
            return 0;
        }
        if (!parse_double(s, n, &v->d)) {
            v->d = f->null_num;
            v->isnull = 1;
            return -1;
        }
        v->isnull = v->d == f->null_num;
        return 0;
    case dbDATE:
        /* "yy-mm-dd hh:mm:ss", then epoch seconds, then the other forms;
         * eight digits alone are a date (YYYYMMDD) when they are one, not
         * seconds of 1970; text of no known form is the null, marked for
         * the caller's warning -- a row is never refused for its load date */
        if (!blank && n == 8 && strspn(v->s, "0123456789") == 8 && parse_lddate_other(s, n, &v->d)) return 0;
        if (!blank && (parse_lddate(s, n, &v->d) || parse_double(s, n, &v->d) || parse_lddate_other(s, n, &v->d)))
            return 0;
        v->d = TIME_NULL;
        v->isnull = 1;
        v->baddate = !blank;
        return 0;
    case dbPOINTER: {
        if (blank) {
            v->p = nullptr;
            v->isnull = 1;
            return 0;
        }
        char *end;
        errno = 0;
        unsigned long long a = strtoull(v->s, &end, 16);
        if (*end || errno) {
            v->p = nullptr;
            v->isnull = 1;
            return -1;
        }
        v->p = (void *)(uintptr_t)a;
        v->isnull = a == 0;
        return 0;
    }
    default:
        return -1;
    }
}

int field_read_text(const SchemaField *f, const char *row, Value *v, std::string *err) {
    if (!row) {
        /* an outer join's missing partner: the null */
        return field_parse(f, "", 0, v);
    }
    const char *s = row + f->offset;
    size_t n = (size_t)f->width;
    while (n && (*s == ' ' || *s == '\t')) s++, n--;
    while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\0' || s[n - 1] == '\n')) n--;
    if (field_parse(f, s, n, v) == 0) return 0;
    if (err) *err = std::string("\"") + std::string(s, n) + "\" is not a number";
    return -1;
}

bool field_is_cut(Database *d, Table *t, long record, const FieldLoc &loc) {
    Table *ct = d ? d->table(loc.table) : nullptr;
    if (!ct || ct->cut_row < 0 || loc.bundle || !loc.f || loc.f->type == dbSTRING) return false;
    if (!(loc.f->offset < ct->cut_col && ct->cut_col < loc.f->offset + loc.f->width)) return false;
    long brec = record;
    if (t->view) {
        std::vector<long> recs;
        if (!row_records(d, t, record, recs) || loc.slot >= (int)recs.size()) return false;
        brec = recs[loc.slot];
    }
    return brec == ct->cut_row;
}

int field_format(const SchemaField *f, const Value &v, char *out, std::string &err) {
    char buf[256];
    int w = f->width;
    switch (f->type) {
    case dbSTRING: {
        const char *s = v.s;
        if (!*s) s = f->null_text;
        for (const char *p = s; *p; p++)
            if (*p == '\n' || *p == '\r') {
                err = "a string with a line break cannot be stored";
                return -1;
            }
        snprintf(buf, sizeof buf, "%-*.*s", w, w, s);
        for (int k = 0; k < w; k++)
            if (buf[k] == '\t') buf[k] = ' ';
        memcpy(out, buf, w);
        return 0;
    }
    case dbINTEGER:
    case dbYEARDAY: {
        int n = snprintf(buf, sizeof buf, "%*ld", w, v.i);
        if (n > w) {
            err = "value " + std::to_string(v.i) + " is wider than the field";
            return -1;
        }
        memcpy(out, buf, w);
        return 0;
    }
    case dbPOINTER: {
        int n = snprintf(buf, sizeof buf, "0x%016lx", (unsigned long)(uintptr_t)v.p);
        if (n != w) {
            err = "pointer field width is not 18";
            return -1;
        }
        memcpy(out, buf, w);
        return 0;
    }
    case dbDATE: {
        if (v.isnull || !std::isfinite(v.d) || v.d <= -9999999999.0) {
            snprintf(buf, sizeof buf, "%-*s", w, "-");
            memcpy(out, buf, w);
            return 0;
        }
        if (w >= 19 && v.d > -62135596800.0 && v.d < 253402300799.0) {
            /* the wide load date of the KB Core layouts: YYYY-MM-DD hh:mm:ss */
            int y, doy, h, mi, mo, da;
            double sec;
            e2h(std::floor(v.d + 0.5), &y, &doy, &h, &mi, &sec);
            hd2md_date(y, doy, &mo, &da);
            snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, da, h, mi, (int)sec);
            snprintf(buf + 19, sizeof buf - 19, "%*s", w - 19, "");
            memcpy(out, buf, w);
            return 0;
        }
        for (int prec = 5; prec >= 0; prec--) {
            int n = snprintf(buf, sizeof buf, "%*.*f", w, prec, v.d);
            if (n <= w) {
                memcpy(out, buf, w);
                return 0;
            }
        }
        err = "load date is wider than the field";
        return -1;
    }
    case dbREAL:
    case dbTIME: {
        if (!std::isfinite(v.d)) {
            err = "value is not a finite number";
            return -1;
        }
        /* the format's conversion and precision: %W.Pf, %W.Pe, %W.Pg */
        const char *fmt = f->format;
        const char *dot = strchr(fmt, '.');
        int prec = dot ? atoi(dot + 1) : 6;
        char conv = fmt[strlen(fmt) - 1];
        if (conv != 'f' && conv != 'e' && conv != 'g') conv = 'f';
        for (; prec >= 0; prec--) {
            char f2[16];
            snprintf(f2, sizeof f2, "%%*.*%c", conv);
            int n = snprintf(buf, sizeof buf, f2, w, prec, v.d);
            if (n <= w) {
                memcpy(out, buf, w);
                return 0;
            }
        }
        snprintf(buf, sizeof buf, "value %.10g is wider than the field", v.d);
        err = buf;
        return -1;
    }
    default:
        err = "unknown field type";
        return -1;
    }
}

/* ------------------------------------------------------------ storage writes */

/* Under the write lock: a cut line (shorter than a row, no newline) that
 * follows the rows at `base`: its length, or 0.  *other is set when the
 * file holds something else there (rows not taken in, or a bigger tail). */
static size_t cut_tail(Table *t, const struct stat &st, size_t base, bool *other) {
    *other = false;
    if ((size_t)st.st_size <= base) return 0;
    size_t k = (size_t)st.st_size - base;
    if (k >= (size_t)t->stride - 1) {
        *other = true;
        return 0;
    }
    std::string tail(k, '\0');
    if (pread(t->fd, &tail[0], k, (off_t)base) != (ssize_t)k || memchr(tail.data(), '\n', k)) {
        *other = true;
        return 0;
    }
    return k;
}

int table_write_row(Database *d, Table *t, long r, const char *row, const char *caller) {
    if (!t->writable) {
        elog_log(0, "%s: table %s of database %s is read-only; row %ld not written\n", caller, t->name.c_str(),
                 d->name.c_str(), r);
        return -1;
    }
    if (r < 0 || r >= t->nrows.load()) {
        elog_log(0, "%s: no record %ld in table %s\n", caller, r, t->name.c_str());
        return -1;
    }
    long rs = t->schema->rowsize;
    char *dst = t->rows + (size_t)r * t->stride;
    if (t->tofile) {
        if (t->fd < 0 || !table_lock(t, caller)) {
            if (t->fd < 0) elog_log(0, "%s: %s is not open for writing\n", caller, t->filename.c_str());
            return -1;
        }
        /* the file must still hold the rows as they were read (rows or a
         * cut line after them do not matter) */
        struct stat st;
        long n = t->nrows.load();
        off_t want = (off_t)n * t->stride - 1;
        if (fstat(t->fd, &st) != 0 || st.st_size < want) {
            table_unlock(t);
            elog_log(0, "%s: %s changed on disk since it was read; row %ld not written\n", caller,
                     t->filename.c_str(), r);
            return -1;
        }
        int rc = journal_rewrite(t, (off_t)r * t->stride, row, (size_t)rs, caller);
        if (rc == 0 && fstat(t->fd, &st) == 0)
            t->mtime_ns = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        table_unlock(t);
        if (rc != 0) return -1;
    }
    {
        std::lock_guard<std::mutex> lk(t->mu);
        if (t->ids && r < t->ids_rows) ids_note(t, dst, row);
        memcpy(dst, row, rs);
    }
    t->generation.fetch_add(1);
    return 0;
}

static bool stop_at_append() { return db_crash_hook && db_crash_hook("append") != 0; }

/* Appends under the write lock (file tables). */
static long append_locked(Database *d, Table *t, const char *row, const char *caller, bool check_id) {
    /* rows another program appended come first */
    if (t->tofile) table_refresh(d, t);
    long n = t->nrows.load();
    long rs = t->schema->rowsize;
    std::lock_guard<std::mutex> lk(t->mu);
    if (!t->writable) {
        elog_log(0, "%s: table %s of database %s is read-only; row not added\n", caller, t->name.c_str(),
                 d->name.c_str());
        return -1;
    }
    if (check_id && !ids_check(t, row, caller)) return -1;
    /* room in memory first: a row never reaches the file unless it can be kept */
    if (t->storage != 2 || n + 1 > t->cap) {
        if (t->storage == 1 && t->rows) t->retired.reserve(t->retired.size() + 1);
        long cap = t->cap > 0 ? t->cap : 16;
        while (cap < n + 1) cap *= 2;
        char *p = t->storage == 2 ? (char *)realloc(t->rows, (size_t)cap * t->stride)
                                  : (char *)malloc((size_t)cap * t->stride);
        if (!p) {
            elog_log(1, "%s: out of memory adding a row to %s\n", caller, t->name.c_str());
            return -1;
        }
        if (t->storage != 2 && t->rows && n) memcpy(p, t->rows, (size_t)n * t->stride);
        /* a mapping may still be read through an address handed out earlier */
        if (t->storage == 1 && t->rows) t->retired.emplace_back(t->rows, t->maplen);
        t->rows = p;
        t->cap = cap;
        t->storage = 2;
    }
    if (t->tofile) {
        struct stat st;
        if (fstat(t->fd, &st) != 0) {
            elog_log(1, "%s: cannot look at %s\n", caller, t->filename.c_str());
            return -1;
        }
        size_t base = (size_t)n * t->stride;
        std::string text;
        off_t at = (off_t)base;
        if (n > 0 && (size_t)st.st_size == base - 1) {
            /* the last row lacks its newline */
            text = "\n";
            at = (off_t)base - 1;
        } else if ((size_t)st.st_size != base) {
            bool other = false;
            size_t k = t->normalised ? 0 : cut_tail(t, st, base, &other);
            if (k == 0) {
                elog_log(0, "%s: %s changed on disk since it was read; row not added\n", caller,
                         t->filename.c_str());
                return -1;
            }
            /* under the lock no writer is busy: the line was left by one
             * that stopped; the new row takes its place */
            if (!(t->tail_at == base && t->tail_len == k))
                elog_complain(0,
                              "%s: %s ended in line %ld cut short (%zu of %ld characters), left by a writer "
                              "that stopped; the new row takes its place\n",
                              caller, t->filename.c_str(), n + 1, k, rs);
        }
        text.append(row, rs);
        text += '\n';
        if (stop_at_append()) return -1;
        ssize_t put = pwrite(t->fd, text.data(), text.size(), at);
        if (put != (ssize_t)text.size()) {
            /* what was written of the row is a cut line the next append replaces */
            elog_log(1, "%s: cannot append a row to %s\n", caller, t->filename.c_str());
            return -1;
        }
        t->tail_at = t->tail_len = 0;
        t->present = 1;
        t->file_bytes = (size_t)at + text.size();
        if (fstat(t->fd, &st) == 0) t->mtime_ns = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    }
    char *dst = t->rows + (size_t)n * t->stride;
    memcpy(dst, row, rs);
    dst[rs] = '\n';
    t->present = 1;
    t->nrows.store(n + 1, std::memory_order_release);
    return n;
}

long table_append_row(Database *d, Table *t, const char *row, const char *caller, bool check_id) {
    if (!t->writable) {
        elog_log(0, "%s: table %s of database %s is read-only; row not added\n", caller, t->name.c_str(),
                 d->name.c_str());
        return -1;
    }
    if (!t->tofile) return append_locked(d, t, row, caller, check_id);
    if (t->fd < 0) {
        t->fd = open(t->filename.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (t->fd < 0) {
            elog_log(1, "%s: cannot create %s\n", caller, t->filename.c_str());
            return -1;
        }
        struct stat st;
        if (fstat(t->fd, &st) == 0) {
            t->file_dev = (unsigned long long)st.st_dev;
            t->file_ino = (unsigned long long)st.st_ino;
        }
    }
    if (!table_lock(t, caller)) return -1;
    long r = append_locked(d, t, row, caller, check_id);
    table_unlock(t);
    return r;
}

}  // namespace hostdb

using namespace hostdb;

/* ------------------------------------------------------------ public: field access */

namespace {

struct Target {
    Database *d = nullptr;
    Table *t = nullptr;
};

bool target(Dbptr db, const char *caller, Target *tg) {
    tg->d = db_get(db.database);
    if (!tg->d) {
        elog_log(0, "%s: database %ld is not open\n", caller, db.database);
        return false;
    }
    tg->t = db_table(tg->d, db.table);
    if (!tg->t) {
        elog_log(0, "%s: table %ld is not in database %s\n", caller, db.table, tg->d->name.c_str());
        return false;
    }
    return true;
}

const char *recname(long r, char *buf) {
    if (r == dbSCRATCH) return "dbSCRATCH";
    if (r == dbNULL) return "dbNULL";
    if (r == dbALL) return "dbALL";
    snprintf(buf, 32, "%ld", r);
    return buf;
}

/* Resolves a field of a dbgetv/dbputv call, qualified by the call's table. */
bool resolve(Target &tg, const char *table, const char *name, FieldLoc *loc) {
    if (table && *table && tg.t->view && !strchr(name, '.')) {
        std::string q = std::string(table) + "." + name;
        return field_resolve(tg.d, tg.t, q.c_str(), loc) == 1;
    }
    return field_resolve(tg.d, tg.t, name, loc) == 1;
}

/* For a call naming a table: switches the target to it (a base table) or
 * keeps the view when the table is one of its parts. */
bool use_table(Target &tg, Dbptr &db, const char *table, const char *caller) {
    if (!table || !*table || tg.t->name == table) return true;
    if (tg.t->view) {
        for (long b : view_base_tables(tg.d, tg.t))
            if (tg.d->table(b)->name == table) return true;
    }
    long k = table_find(tg.d, table);
    if (k < 0) {
        elog_log(0, "%s: no table %s in database %s\n", caller, table, tg.d->name.c_str());
        return false;
    }
    db.table = k;
    tg.t = db_table(tg.d, k);
    return tg.t != nullptr;
}

/* The base table and record behind a field of a view row. */
bool base_of(Target &tg, const FieldLoc &loc, long record, Table **bt, long *brec) {
    if (!tg.t->view) {
        *bt = tg.t;
        *brec = record;
        return true;
    }
    if (loc.bundle) return false;
    Table *b = db_table(tg.d, loc.table);
    if (record == dbSCRATCH || record == dbNULL) {
        *bt = b;
        *brec = record;
        return true;
    }
    std::vector<long> recs;
    if (!row_records(tg.d, tg.t, record, recs) || loc.slot >= (int)recs.size()) return false;
    *bt = b;
    *brec = recs[loc.slot];
    /* a base row may be gone: its file was read again, shorter */
    return *brec >= 0 && *brec < table_count(b);
}

}  // namespace

static int vgetv(Dbptr db, const char *table, va_list ap) {
    Target tg;
    if (!target(db, "dbgetv", &tg)) return -1;
    if (!use_table(tg, db, table, "dbgetv")) return -1;
    const char *slots[MAX_SLOTS];
    char rb[32];
    int ns = row_slots(tg.d, tg.t, db.record, slots);
    if (ns < 0) {
        elog_log(0, "dbgetv: record %s is not a row of table %s\n", recname(db.record, rb), tg.t->name.c_str());
        return -1;
    }
    int rc = 0;
    const char *name;
    Value v;
    std::string err;
    while ((name = va_arg(ap, const char *)) != nullptr) {
        FieldLoc loc;
        void *out = va_arg(ap, void *);
        if (!resolve(tg, table, name, &loc)) {
            elog_log(0, "dbgetv: no field %s in table %s\n", name, tg.t->name.c_str());
            return -1; /* the value pointer's type is unknown: stop here */
        }
        if (!out) {
            elog_log(0, "dbgetv: null result pointer for field %s\n", name);
            rc = -1;
            continue;
        }
        if (loc.bundle) {
            View *vw = tg.t->view.get();
            if (db.record < 0 || db.record >= table_count(tg.t)) {
                elog_log(0, "dbgetv: record %s of %s has no bundle\n", recname(db.record, rb), tg.t->name.c_str());
                rc = -1;
                continue;
            }
            *(Dbptr *)out = make_ptr(db.database, vw->grouped, vw->ranges[2 * db.record + 1],
                                     vw->ranges[2 * db.record]);
            continue;
        }
        int frc = field_read(loc, slots, &v, &err);
        if (frc == 0 && !v.isnull && field_is_cut(tg.d, tg.t, db.record, loc)) {
            err = "the file's last line ends inside this field (a cut write?)";
            frc = -1;
            v.isnull = 1;
            v.d = loc.f->null_num;
            v.i = (long)loc.f->null_num;
        }
        if (frc != 0) {
            Table *b = tg.d->table(loc.table);
            elog_log(0, "dbgetv: table %s row %s field %s: %s\n", b ? b->name.c_str() : tg.t->name.c_str(),
                     recname(db.record, rb), name, err.c_str());
            rc = -1;
        }
        switch (loc.f->type) {
        case dbSTRING:
            memcpy((char *)out, v.s, strlen(v.s) + 1);
            break;
        case dbINTEGER:
        case dbYEARDAY:
            *(long *)out = v.i;
            break;
        case dbREAL:
        case dbTIME:
        case dbDATE:
            *(double *)out = v.d;
            break;
        case dbPOINTER:
            *(void **)out = v.p;
            break;
        }
    }
    return rc;
}

extern "C" int dbgetv(Dbptr db, const char *table, ...) {
    va_list ap;
    va_start(ap, table);
    int rc = host_guarded("dbgetv", -1, [&] { return vgetv(db, table, ap); });
    va_end(ap);
    return rc;
}

namespace {

/* One pending field write: base table, record, field and its new text. */
struct Pending {
    Table *t;
    long rec;
    const SchemaField *f;
    char text[MAX_WIDTH + 1];
};

/* Reads name/value pairs into pending writes (formatted); false on the
 * first failure (nothing written). */
bool collect(Target &tg, const char *table, long record, va_list ap, const char *caller,
             std::vector<Pending> &out, bool *have_lddate) {
    const char *name;
    char rb[32];
    while ((name = va_arg(ap, const char *)) != nullptr) {
        FieldLoc loc;
        if (!resolve(tg, table, name, &loc)) {
            elog_log(0, "%s: no field %s in table %s\n", caller, name, tg.t->name.c_str());
            return false;
        }
        if (loc.bundle) {
            elog_log(0, "%s: the bundle field of %s is read-only\n", caller, tg.t->name.c_str());
            return false;
        }
        Value v;
        v.type = loc.f->type;
        switch (loc.f->type) {
        case dbSTRING: {
            const char *s = va_arg(ap, const char *);
            snprintf(v.s, sizeof v.s, "%s", s ? s : "");
            break;
        }
        case dbINTEGER:
        case dbYEARDAY:
            v.i = va_arg(ap, long);
            break;
        case dbREAL:
        case dbTIME:
        case dbDATE:
            v.d = va_arg(ap, double);
            break;
        case dbPOINTER:
            v.p = va_arg(ap, void *);
            break;
        }
        Pending p;
        if (!base_of(tg, loc, record, &p.t, &p.rec)) {
            elog_log(0, "%s: record %s of view %s has no %s row\n", caller, recname(record, rb),
                     tg.t->name.c_str(), name);
            return false;
        }
        p.f = field_current(loc);
        if (!p.f) {
            elog_log(0, "%s: no field %s in table %s as its file is laid out now\n", caller, name,
                     p.t->name.c_str());
            return false;
        }
        std::string err;
        if (field_format(p.f, v, p.text, err) != 0) {
            elog_log(0, "%s: table %s row %s field %s: %s\n", caller, p.t->name.c_str(), recname(record, rb), name,
                     err.c_str());
            return false;
        }
        if (!strcmp(loc.f->name, "lddate")) *have_lddate = true;
        out.push_back(p);
    }
    return true;
}

/* Applies the pending writes, row by row: every row's new text is made
 * first, so that memory running out stops the call before any row is
 * written (writing a row needs no memory). */
int apply(Target &tg, std::vector<Pending> &ps, const char *caller) {
    /* group by (table, record) */
    std::vector<bool> done(ps.size(), false);
    for (size_t i = 0; i < ps.size(); i++) {
        if (done[i]) continue;
        Table *t = ps[i].t;
        long rec = ps[i].rec;
        if (rec == dbNULL) {
            elog_log(0, "%s: the null row of %s cannot be written\n", caller, t->name.c_str());
            return -1;
        }
        if (rec != dbSCRATCH && !t->writable) {
            elog_log(0, "%s: table %s of database %s is read-only; row %ld not written\n", caller,
                     t->name.c_str(), tg.d->name.c_str(), rec);
            return -1;
        }
    }
    struct RowWrite {
        Table *t;
        long rec;
        std::string row;
    };
    std::vector<RowWrite> rows;
    rows.reserve(ps.size());
    for (size_t i = 0; i < ps.size(); i++) {
        if (done[i]) continue;
        Table *t = ps[i].t;
        long rec = ps[i].rec;
        std::string row;
        if (rec == dbSCRATCH)
            row = t->scratch;
        else
            row.assign(t->rows + (size_t)rec * t->stride, t->schema->rowsize);
        for (size_t k = i; k < ps.size(); k++) {
            if (done[k] || ps[k].t != t || ps[k].rec != rec) continue;
            memcpy(&row[ps[k].f->offset], ps[k].text, ps[k].f->width);
            done[k] = true;
        }
        rows.push_back(RowWrite{t, rec, std::move(row)});
    }
    for (auto &w : rows) {
        if (w.rec == dbSCRATCH) {
            w.t->scratch.swap(w.row);
        } else if (table_write_row(tg.d, w.t, w.rec, w.row.data(), caller) != 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

static int putv(Dbptr db, const char *table, va_list ap) {
    Target tg;
    if (!target(db, "dbputv", &tg)) return -1;
    if (!use_table(tg, db, table, "dbputv")) return -1;
    char rb[32];
    long n = table_count(tg.t);
    if (!(db.record == dbSCRATCH || (db.record >= 0 && db.record < n))) {
        elog_log(0, "dbputv: record %s is not a row of table %s\n", recname(db.record, rb), tg.t->name.c_str());
        return -1;
    }
    std::vector<Pending> ps;
    bool lddate = false;
    if (!collect(tg, table, db.record, ap, "dbputv", ps, &lddate)) return -1;
    return apply(tg, ps, "dbputv");
}

extern "C" int dbputv(Dbptr db, const char *table, ...) {
    va_list ap;
    va_start(ap, table);
    int rc = host_guarded("dbputv", -1, [&] { return putv(db, table, ap); });
    va_end(ap);
    return rc;
}

static long addv(Dbptr db, const char *table, va_list ap) {
    Target tg;
    if (!target(db, "dbaddv", &tg)) return -1;
    if (!use_table(tg, db, table, "dbaddv")) return -1;
    if (tg.t->view) {
        elog_log(0, "dbaddv: rows cannot be added to view %s; add them to its tables\n", tg.t->name.c_str());
        return -1;
    }
    Table *t = tg.t;
    if (!t->writable) {
        elog_log(0, "dbaddv: table %s of database %s is read-only; row not added\n", t->name.c_str(),
                 tg.d->name.c_str());
        return -1;
    }
    std::vector<Pending> ps;
    bool lddate = false;
    if (!collect(tg, table, dbSCRATCH, ap, "dbaddv", ps, &lddate)) return -1;
    std::string row = t->nullrow;
    for (auto &p : ps) memcpy(&row[p.f->offset], p.text, p.f->width);
    int li = schema_field_index(t->schema, "lddate");
    if (!lddate && li >= 0) {
        Value v;
        v.type = dbDATE;
        v.d = std::floor(std_now());
        std::string err;
        char buf[MAX_WIDTH + 1];
        if (field_format(&t->schema->fields[li], v, buf, err) == 0)
            memcpy(&row[t->schema->fields[li].offset], buf, t->schema->fields[li].width);
    }
    return table_append_row(tg.d, t, row.data(), "dbaddv", true);
}

extern "C" long dbaddv(Dbptr db, const char *table, ...) {
    va_list ap;
    va_start(ap, table);
    long rc = host_guarded("dbaddv", -1L, [&] { return addv(db, table, ap); });
    va_end(ap);
    return rc;
}

namespace hostdb {
long view_add_ref(Database *d, Table *t, const char *row);
}

/* A row text given by a caller: exactly the width, optionally a newline. */
static bool row_text_ok(const Table *t, const char *s, const char *caller, long record) {
    size_t n = strlen(s);
    size_t rs = (size_t)t->schema->rowsize;
    if (n == rs + 1 && s[rs] == '\n') n = rs;
    if (n != rs || memchr(s, '\n', n)) {
        char rb[32];
        elog_log(0, "%s: table %s row %s: the text has %zu characters, the rows have %zu\n", caller,
                 t->name.c_str(), recname(record, rb), strlen(s), rs);
        return false;
    }
    return true;
}

static long add_row(Dbptr db, const char *row) {
    Target tg;
    if (!target(db, "dbadd", &tg)) return -1;
    if (tg.t->view) return view_add_ref(tg.d, tg.t, row);
    Table *t = tg.t;
    if (!row) return table_append_row(tg.d, t, t->scratch.data(), "dbadd");
    if (!row_text_ok(t, row, "dbadd", dbALL)) return -1;
    return table_append_row(tg.d, t, row, "dbadd");
}

extern "C" long dbadd(Dbptr db, const char *row) {
    return host_guarded("dbadd", -1L, [&] { return add_row(db, row); });
}

static int get_row(Dbptr db, char *s) {
    Target tg;
    if (!target(db, "dbget", &tg)) return -1;
    const char *slots[MAX_SLOTS];
    char rb[32];
    int ns = row_slots(tg.d, tg.t, db.record, slots);
    if (ns < 1) {
        elog_log(0, "dbget: record %s is not a row of table %s\n", recname(db.record, rb), tg.t->name.c_str());
        return -1;
    }
    FieldLoc loc;
    if (db.field >= 0 && !field_at(tg.t, db.field, &loc)) {
        elog_log(0, "dbget: no field %ld in table %s\n", db.field, tg.t->name.c_str());
        return -1;
    }
    if (db.field >= 0) {
        if (!s || loc.bundle) {
            elog_log(0, "dbget: no buffer for field %ld of %s\n", db.field, tg.t->name.c_str());
            return -1;
        }
        Value v;
        field_read(loc, slots, &v, nullptr);
        if (!slots[loc.slot]) {
            strcpy(s, v.s);
            return 0;
        }
        const SchemaField *cf = field_current(loc);
        if (!cf) {
            strcpy(s, v.s);
            return 0;
        }
        const char *p = slots[loc.slot] + cf->offset;
        size_t n = cf->width;
        while (n && *p == ' ') p++, n--;
        while (n && p[n - 1] == ' ') n--;
        memcpy(s, p, n);
        s[n] = 0;
        return 0;
    }
    std::vector<long> tabs = view_base_tables(tg.d, tg.t);
    Table *b = tg.d->table(tabs[0]);
    const char *src = slots[0] ? slots[0] : b->nullrow.data();
    size_t rs = (size_t)b->schema->rowsize;
    if (!s) {
        b->scratch.assign(src, rs);
        return 0;
    }
    memcpy(s, src, rs);
    s[rs] = 0;
    return 0;
}

extern "C" int dbget(Dbptr db, char *s) {
    return host_guarded("dbget", -1, [&] { return get_row(db, s); });
}

static int put_row(Dbptr db, const char *s) {
    Target tg;
    if (!target(db, "dbput", &tg)) return -1;
    char rb[32];
    FieldLoc loc;
    bool field = db.field >= 0 && field_at(tg.t, db.field, &loc);
    if (db.field >= 0 && !field) {
        elog_log(0, "dbput: no field %ld in table %s\n", db.field, tg.t->name.c_str());
        return -1;
    }
    Table *bt;
    long brec;
    if (!field) {
        loc = FieldLoc();
        loc.table = view_base_tables(tg.d, tg.t)[0];
    }
    if (db.record != dbSCRATCH && (db.record < 0 || db.record >= table_count(tg.t))) {
        elog_log(0, "dbput: record %s is not a row of table %s\n", recname(db.record, rb), tg.t->name.c_str());
        return -1;
    }
    if (!base_of(tg, loc, db.record, &bt, &brec) || !bt || !bt->schema) {
        elog_log(0, "dbput: record %s of %s has no row to write\n", recname(db.record, rb), tg.t->name.c_str());
        return -1;
    }
    if (brec != dbSCRATCH && !bt->writable) {
        elog_log(0, "dbput: table %s of database %s is read-only; row %ld not written\n", bt->name.c_str(),
                 tg.d->name.c_str(), brec);
        return -1;
    }
    std::string row = brec == dbSCRATCH ? bt->scratch
                                        : std::string(bt->rows + (size_t)brec * bt->stride, bt->schema->rowsize);
    if (field) {
        if (loc.bundle || !s) {
            elog_log(0, "dbput: no text for field %ld of %s\n", db.field, tg.t->name.c_str());
            return -1;
        }
        const SchemaField *f = field_current(loc);
        if (!f) {
            elog_log(0, "dbput: no field %s in table %s as its file is laid out now\n", loc.f->name,
                     bt->name.c_str());
            return -1;
        }
        Value v;
        std::string err;
        size_t n = strlen(s);
        const char *p = s;
        while (n && *p == ' ') p++, n--;
        while (n && p[n - 1] == ' ') n--;
        if (n > (size_t)f->width && f->type == dbSTRING) n = f->width;
        if (n > MAX_WIDTH || field_parse(f, p, n, &v) != 0) {
            elog_log(0, "dbput: table %s row %s field %s: \"%s\" is not a value of the field\n", bt->name.c_str(),
                     recname(brec, rb), f->name, s);
            return -1;
        }
        char buf[MAX_WIDTH + 1];
        if (field_format(f, v, buf, err) != 0) {
            elog_log(0, "dbput: table %s row %s field %s: %s\n", bt->name.c_str(), recname(brec, rb), f->name,
                     err.c_str());
            return -1;
        }
        memcpy(&row[f->offset], buf, f->width);
    } else {
        const char *src = s ? s : bt->scratch.data();
        if (s && !row_text_ok(bt, s, "dbput", brec)) return -1;
        row.assign(src, bt->schema->rowsize);
    }
    if (brec == dbSCRATCH) {
        bt->scratch = row;
        return 0;
    }
    return table_write_row(tg.d, bt, brec, row.data(), "dbput");
}

extern "C" int dbput(Dbptr db, const char *s) {
    return host_guarded("dbput", -1, [&] { return put_row(db, s); });
}

static int delete_body(Dbptr db) {
    Target tg;
    if (!target(db, "dbdelete", &tg)) return -1;
    if (tg.t->view) {
        elog_log(0, "dbdelete: rows of view %s are deleted in their tables\n", tg.t->name.c_str());
        return -1;
    }
    if (db.record < 0 || db.record >= table_count(tg.t)) {
        elog_log(0, "dbdelete: no record %ld in table %s\n", db.record, tg.t->name.c_str());
        return -1;
    }
    return table_write_row(tg.d, tg.t, db.record, tg.t->nullrow.data(), "dbdelete");
}

extern "C" int dbdelete(Dbptr db) {
    return host_guarded("dbdelete", -1, [&] { return delete_body(db); });
}

static int crunch_body(Dbptr db) {
    Target tg;
    if (!target(db, "dbcrunch", &tg)) return -1;
    Table *t = tg.t;
    if (t->view) {
        View *v = t->view.get();
        if (v->kind != View::ROWS) return 0;
        size_t k = v->tables.size();
        std::vector<long> keep;
        for (long r = 0; r < table_count(t); r++) {
            bool dead = false;
            for (size_t s = 0; s < k; s++) {
                long br = v->recs[r * k + s];
                if (br < 0) continue;  /* an outer join's missing partner */
                /* a base row that is gone (its file was read again, shorter)
                 * is dead too */
                Table *b = tg.d->table(v->tables[s]);
                const char *row[MAX_SLOTS];
                if (row_slots(tg.d, b, br, row) < 1 || !memcmp(row[0], b->nullrow.data(), b->schema->rowsize))
                    dead = true;
            }
            if (!dead) keep.insert(keep.end(), v->recs.begin() + r * k, v->recs.begin() + (r + 1) * k);
        }
        v->recs.swap(keep);
        return 0;
    }
    if (t->tofile) {
        elog_log(0, "dbcrunch: table %s is kept in the file %s, which is never shortened\n", t->name.c_str(),
                 t->filename.c_str());
        return -1;
    }
    if (!t->writable) {
        elog_log(0, "dbcrunch: table %s is read-only\n", t->name.c_str());
        return -1;
    }
    long n = t->nrows.load(), w = 0;
    long rs = t->schema->rowsize;
    for (long r = 0; r < n; r++) {
        char *row = t->rows + (size_t)r * t->stride;
        if (!memcmp(row, t->nullrow.data(), rs)) continue;
        if (w != r) memmove(t->rows + (size_t)w * t->stride, row, t->stride);
        w++;
    }
    t->nrows.store(w);
    if (w != n) {
        std::lock_guard<std::mutex> lk(t->mu);
        t->ids_stale = 1;
        t->generation.fetch_add(1);
    }
    return 0;
}

extern "C" int dbcrunch(Dbptr db) {
    return host_guarded("dbcrunch", -1, [&] { return crunch_body(db); });
}
