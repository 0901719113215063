/*
 * stock.h -- the host layer's everyday tools: lists (Tbl), hooks, the
 * per-thread error log, strings, time and byte-order conversions.
 *
 * Everything here reports failures in the calling thread's error register
 * (elog_log) and returns a failure value; nothing prints except the printing
 * log calls, and nothing aborts on bad input.
 */
#ifndef HOSTKIT_STOCK_H
#define HOSTKIT_STOCK_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ Tbl
 *
 * An ordered growable list.  Three kinds share one record:
 *   - a list of pointers (newtbl, strtbl): entries are void *;
 *   - a list of fixed-size records held by value (inittbl): gettbl returns
 *     the address of the record inside the list, settbl/pushtbl copy a record
 *     in from the address given.  Addresses stay valid while the list does
 *     not grow past the room it was made with;
 *   - a file-backed list of records (filetbl): as above, kept in a
 *     memory-mapped file that survives the process.
 *
 * The count is the record's `n` member (also maxtbl()).
 */
typedef struct Tbl {
    long n;        /* number of entries */
    long room;     /* entries the storage can hold without growing */
    long size;     /* record size in bytes; 0 for a pointer list */
    int kind;      /* TBL_POINTERS, TBL_RECORDS or TBL_FILE */
    char *data;    /* storage: pointers or records */
    /* file-backed lists only */
    int fd;            /* descriptor of the backing file, -1 otherwise */
    size_t mapsize;    /* bytes mapped from the file */
    char *map;         /* start of the mapping (header, then the records) */
    char *filename;    /* owned copy of the file name */
} Tbl;

enum { TBL_POINTERS = 0, TBL_RECORDS = 1, TBL_FILE = 2 };

Tbl *newtbl(long n);
/* inittbl(0, n, 1, 0, size): empty list with room for n records of `size`
 * bytes.  With size 0 it is a pointer list (like newtbl).  The first, second
 * from last and last arguments are kept for compatibility and ignored. */
Tbl *inittbl(void *unused, long n, int by_value, void *unused2, long size);
/* filetbl(filename, name, nmax, flags, size, &tbl): opens or creates a
 * file-backed list of `size`-byte records named `name`, with room for at
 * least `nmax` records.  An existing file must carry the same name and record
 * size.  Returns 0, or -1 with a message.  See the layout in tbl.cpp. */
int filetbl(const char *filename, const char *name, long nmax, int flags, long size, Tbl **tbl);
/* The backing file's descriptor and mapped size (-1 and 0 for other lists). */
int filetbl_fd(const Tbl *t);
size_t filetbl_mapsize(const Tbl *t);

long maxtbl(const Tbl *t);                 /* entry count; 0 for a null list */
long pushtbl(Tbl *t, const void *p);       /* appends; new count, or -1 */
void *gettbl(const Tbl *t, long i);        /* entry (or record address), null if out of range */
long settbl(Tbl *t, long i, const void *p); /* i == -1 or i == count appends; index or -1 */
void *shifttbl(Tbl *t);                    /* removes the first entry (records: returns null) */
void *poptbl(Tbl *t);                      /* removes the last entry (records: returns null) */
long deltbl(Tbl *t, long i, long j);       /* removes entries i..j; new count, or -1 */
/* cmp receives the addresses of two entries (for pointer lists: void **). */
void sorttbl(Tbl *t, int (*cmp)(const void *, const void *, void *), void *priv);
void freetbl(Tbl *t, void (*free_fn)(void *));
Tbl *strtbl(const char *s, ...);           /* list of string constants, closed by 0 */
Tbl *duptbl(const Tbl *t);                 /* shallow copy */
/* searchtbl: binary search in a list sorted with cmp; the index or -1. */
long searchtbl(const void *key, const Tbl *t, int (*cmp)(const void *, const void *, void *), void *priv);

/* ------------------------------------------------------------------ Hook
 * A holder of an object and the procedure that releases it. */
typedef struct Hook {
    void *p;                     /* the object */
    void (*free_proc)(void *);   /* releases p; may be null */
    long type;                   /* free for the owner's use */
} Hook;

Hook *new_hook(void (*free_proc)(void *));
void free_hook(Hook **hook);      /* releases p with free_proc, then the hook; null allowed */

/* ------------------------------------------------------------------ error log
 *
 * Each thread has its own register of messages.  elog_log appends; the
 * printing calls write to standard error.  Flag 1 marks a message that follows
 * a failed system or allocation call: the system error text (strerror of the
 * errno at the time of the call) is kept beside the message and printed after
 * it.
 */
void elog_log(int flag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void elog_complain(int flag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void elog_notify(int flag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void elog_debug(int flag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void elog_die(int flag, const char *fmt, ...) __attribute__((format(printf, 2, 3), noreturn));
void velog_log(int flag, const char *fmt, va_list ap);
void velog_complain(int flag, const char *fmt, va_list ap);
void velog_notify(int flag, const char *fmt, va_list ap);
void velog_die(int flag, const char *fmt, va_list ap) __attribute__((noreturn));

int elog_mark(void);                    /* number of messages in the register */
int elog_flush(int deliver, int mark);  /* drops messages after mark (deliver != 0: prints them first) */
int elog_clear_register(int flag);      /* empties the register (flag != 0: prints it first); old count */

/* Reading the register, message by message, in order. */
int elog_count(void);
const char *elog_message(int i);        /* the message text exactly as formatted; null if out of range */
int elog_message_flag(int i);
const char *elog_message_syserr(int i); /* system error text of a flag-1 message, "" otherwise */
/* All messages joined into one string (malloc'ed; caller frees). */
char *elog_string(void);

/* Where the printing calls write (default stderr); null restores stderr. */
void elog_set_stream(FILE *fp);

/* The verbose switch reported by verbose_exists (off at start). */
int verbose_exists(void);
void set_verbose(int level);

/* ------------------------------------------------------------------ strings
 *
 * strtrim: removes leading and trailing white space in place; returns s.
 * strsub: replaces every occurrence of old by new in s, writing into out
 *         (out may equal s; with a longer new, s must have the room);
 *         returns out.  Needs no memory.
 * split: splits s in place at runs of the characters of sep; returns a new
 *        pointer list of the words (pointing into s), freed with freetbl(t,0).
 * strmatches: 1 if s matches the POSIX extended regex as a whole string, 0 if
 *        not, -1 (with a message) if the regex does not compile (see the
 *        pattern rules in db.h: compiling and matching take linear time, and
 *        back-references are refused).  With a hook,
 *        the compiled pattern is kept in it and reused while the regex is the
 *        same (a regex that does not compile frees the hook).  Compiled
 *        patterns are also shared through a bounded cache of the process, so
 *        a pattern used before compiles without memory.  Memory running out
 *        gives -1 with "strmatches: out of memory" and the hook as it was.
 * fix_strtod: strtod that also accepts Fortran exponents ("1.5d3") and never
 *        reads past the number; *end as strtod.  (A Fortran-exponent number
 *        over 127 characters long is copied to the heap: when that fails, 0
 *        with *end = s and "fix_strtod: out of memory".)
 */
char *strtrim(char *s);
char *strsub(char *s, const char *old, const char *rep, char *out);
Tbl *split(char *s, const char *sep);
int strmatches(const char *s, const char *regex, Hook **hook);
double fix_strtod(const char *s, char **end);

/* ------------------------------------------------------------------ time
 *
 * Epoch seconds (UTC) in doubles.  Time strings accepted by str2epoch:
 *   a plain number (epoch seconds); "now";
 *   YYYY-MM-DD hh:mm:ss[.fff]  and the same with 'T' and an optional 'Z';
 *   YYYY/MM/DD hh:mm:ss[.fff];  YYYYDDD hh:mm:ss[.fff] (year, day of year);
 *   any of these without the time of day, or with hh:mm only.
 * A string of exactly seven digits whose last three are a day of the year
 * (001..366) reads as YYYYDDD; any other plain number is epoch seconds.
 * zstr2epoch also accepts a trailing zone name "UTC" or "GMT".
 * On failure both register a message and return TIME_NULL; str2epoch_r and
 * zstr2epoch_r return 0 or -1 and leave the time in *t.
 */
#define TIME_NULL (-9999999999.999)
double str2epoch(const char *s);
double zstr2epoch(const char *s);
int str2epoch_r(const char *s, double *t);
int zstr2epoch_r(const char *s, double *t);
double std_now(void);
/* strtime: "YYYY-MM-DD hh:mm:ss.fff" (UTC) in a new malloc'ed string. */
char *strtime(double epoch);
/* strtime_r: the same into buf (at least 32 bytes); returns buf. */
char *strtime_r(double epoch, char *buf, size_t n);
long yearday(double epoch);                 /* yyyyddd */
double yearday2epoch(long yd);              /* start of that day, or TIME_NULL */
/* e2h/h2e: between epoch seconds and calendar fields (year, day of year
 * 1..366, hour, minute, seconds with fraction). */
void e2h(double epoch, int *year, int *doy, int *hour, int *minute, double *sec);
double h2e(int year, int doy, int hour, int minute, double sec);
/* Month and day of a year's day; and back. */
int hd2md_date(int year, int doy, int *month, int *day);
int md2doy(int year, int month, int day);

/* ------------------------------------------------------------------ conversions
 *
 * hls2rgb: hue in degrees (0..360), lightness and saturation 0..1, to red,
 * green and blue 0..1.
 * The byte-order copies move n values between host order and big-endian
 * ("machine independent") order.  The packing forms take host values and a
 * cursor into a byte buffer, which they advance; the unpacking forms read from
 * the cursor, advance it and store host values.
 */
void hls2rgb(double h, double l, double s, double *r, double *g, double *b);
void hd2md(const double *host, unsigned char **cursor, long n);
void hf2mf(const float *host, unsigned char **cursor, long n);
void hi2mi(const int *host, unsigned char **cursor, long n);
void md2hd(unsigned char **cursor, double *host, long n);
void mf2hf(unsigned char **cursor, float *host, long n);
void mi2hi(unsigned char **cursor, int *host, long n);

#ifdef __cplusplus
}
#endif

#endif
