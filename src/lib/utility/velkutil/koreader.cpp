// The shared readers of outside vector data (column text files, parameter
// point tables, response files, trace blob streams); see koreader_pvt.h.
//
// Every bound of these formats is kept here: a line or row never runs past
// its buffer, a declared count never sizes an allocation before the data is
// there to fill it, and a stream that ends early is a failure, not a record
// of made-up samples.
#include "koreader_pvt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tr.h"

namespace koreader {

/* ------------------------------------------------------------ column text files */

namespace {

// Token separators of the text format, as a lookup table.
struct SepTable {
    bool sep[256] = {};
    SepTable() {
        for (const char *c = ", \t\n\r"; *c; c++) sep[(unsigned char)*c] = true;
    }
};
const SepTable kSeps;

inline bool is_sep(char c) { return kSeps.sep[(unsigned char)c]; }

}  // namespace

int read_text(FILE *fp, const char *path, const TextColumns &cols, double *y, const char *fname, TextSink &sink) {
    char buf[1023];  // pieces of at most 1022 characters
    const int ny = cols.ny > 0 ? cols.ny : 1;
    // Positions of the wanted y columns (token 1 for a single column).
    int one = 1;
    const int *ypos = cols.ny > 0 ? cols.ypos : &one;
    // Which wanted columns the current line has given.
    std::vector<char> found;
    try {
        found.assign((size_t)ny, 0);
    } catch (...) {
        elog_log(1, "%s: malloc() error.\n", fname);
        return -1;
    }
    long npieces = 0;
    for (;;) {
        if (!fgets(buf, (int)sizeof buf, fp)) {
            if (ferror(fp)) {
                elog_log(1, "%s: fgets(%s) error.\n", fname, path);
                return -1;
            }
            return 0;
        }
        if (npieces++ < cols.line_off) continue;
        if (buf[0] == '\0' || buf[0] == '#') continue;
        bool have_x = false;
        int nfound = 0;
        double x = 0.0;
        const char *label = nullptr;
        std::fill(found.begin(), found.end(), 0);
        char *p = buf;
        for (int tok = 0;; tok++) {
            while (*p && is_sep(*p)) p++;
            if (!*p || *p == '#') break;
            char *start = p;
            while (*p && !is_sep(*p)) p++;
            if (*p) *p++ = '\0';
            if (tok == cols.lpos) label = start;
            bool numeric = false;
            double val = 0.0;
            if (tok == cols.xpos) {
                val = atof(start);
                numeric = true;
                x = val;
                have_x = true;
            }
            for (int k = 0; k < ny; k++) {
                if (ypos[k] != tok) continue;
                if (!numeric) {
                    val = atof(start);
                    numeric = true;
                }
                y[k] = val;
                if (!found[(size_t)k]) {
                    found[(size_t)k] = 1;
                    nfound++;
                }
            }
            if (have_x && nfound == ny) break;
        }
        if (!have_x || nfound == 0) continue;
        if (sink.point(x, y, label) < 0) return -1;
    }
}

/* ------------------------------------------------------------ parameter-file point tables */

namespace {

// Copies row entry i (at most 1023 characters), trims it, and reads its
// numbers.  -2 for a row without data (absent, empty, comment); otherwise
// the sscanf result.  buf holds 1024 bytes.
int parse_row(Tbl *rows, long i, char *buf, double *v) {
    const char *s = static_cast<const char *>(gettbl(rows, i));
    if (!s) return -2;
    size_t n = strnlen(s, 1023);
    memcpy(buf, s, n);
    buf[n] = '\0';
    strtrim(buf);
    if (buf[0] == '\0' || buf[0] == '#') return -2;
    return sscanf(buf, "%lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                  &v[6], &v[7], &v[8], &v[9], &v[10]);
}

}  // namespace

int pf_table_scan(Tbl *rows, const char *fname, long *nx, int *ny) {
    char buf[1024];
    double v[PF_MAXVALS];
    long count = 0;
    int nvals = 0;
    for (long i = 0; i < maxtbl(rows); i++) {
        int n = parse_row(rows, i, buf, v);
        if (n == -2) continue;
        if (n < 1) {
            errno = EINVAL;
            elog_log(1, "%s: sscanf(%s) error.\n", fname, buf);
            return -1;
        }
        if (n == 1) {
            elog_log(0, "%s: sscanf(%s) error - no y value.\n", fname, buf);
            return -1;
        }
        if (count > 0 && n != nvals) {
            elog_log(0, "%s: Number of y values must be the same for all table rows.\n", fname);
            return -1;
        }
        nvals = n;
        count++;
    }
    *nx = count;
    *ny = nvals > 0 ? nvals - 1 : 0;
    return 0;
}

int pf_table_row(Tbl *rows, long i, double *v) {
    char buf[1024];
    int n = parse_row(rows, i, buf, v);
    return n < 2 ? 0 : n;
}

/* ------------------------------------------------------------ response files */

namespace {

const long kFapFloor = 100000;  // rows any response file may declare

}  // namespace

FapReader::~FapReader() { close(); }

void FapReader::close() {
    if (fp_) fclose(fp_);
    fp_ = nullptr;
}

bool FapReader::line(char *buf, size_t n) {
    while (fgets(buf, (int)n, fp_)) {
        size_t len = strlen(buf);
        if (len && buf[len - 1] == '\n') buf[--len] = '\0';
        if (len && buf[len - 1] == '\r') buf[--len] = '\0';
        const char *p = buf;
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f') p++;
        if (*p == '\0' || *p == '#') continue;
        return true;
    }
    return false;
}

int FapReader::open(const char *path, const char *fname) {
    close();
    fp_ = path ? fopen(path, "r") : nullptr;
    if (!fp_) {
        if (!path) errno = EINVAL;
        elog_log(1, "%s: fopen(%s) error.\n", fname, path ? path : "(null)");
        return -1;
    }
    char buf[1024];
    char type[64], auth[64], rtype[64];
    int stage;
    if (!line(buf, sizeof buf) || sscanf(buf, "%63s %d %63s %63s", type, &stage, auth, rtype) < 4) {
        elog_log(0, "%s: cannot parse %s.\n", fname, path);
        close();
        return 1;
    }
    if (strcmp(rtype, "fap") == 0) {
        ny_ = 2;
    } else if (strcmp(rtype, "fap2") == 0) {
        ny_ = 6;
    } else {
        elog_log(0, "%s: %s not a fap or fap2 file (%s).\n", fname, path, rtype);
        close();
        return 1;
    }
    long count = -1;
    if (line(buf, sizeof buf)) {
        char *end;
        errno = 0;
        long c = strtol(buf, &end, 10);
        if (end != buf && errno == 0 && c >= 0 && c <= INT_MAX) count = c;
    }
    if (count < 0) {
        elog_log(0, "%s: Cannot parse number of faps from %s.\n", fname, path);
        close();
        return 1;
    }
    struct stat st;
    long limit = kFapFloor;
    if (fstat(fileno(fp_), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > limit) limit = (long)st.st_size;
    if (count > limit) {
        elog_log(0, "%s: %ld faps declared in %s, more than the file can hold.\n", fname, count, path);
        elog_log(0, "%s: Cannot parse number of faps from %s.\n", fname, path);
        close();
        return 1;
    }
    count_ = (int)count;
    return 0;
}

int FapReader::next(double *v) {
    char buf[1024];
    while (fp_ && line(buf, sizeof buf)) {
        int n = ny_ == 2 ? sscanf(buf, "%lf %lf %lf", &v[0], &v[1], &v[2])
                         : sscanf(buf, "%lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                                  &v[6]);
        if (n == ny_ + 1) return 1;
    }
    return 0;
}

/* ------------------------------------------------------------ trace blob streams */

long read_full(int fd, void *buf, size_t n) {
    size_t got = 0;
    char *p = static_cast<char *>(buf);
    while (got < n) {
        ssize_t r = read(fd, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += (size_t)r;
    }
    return (long)got;
}

namespace {

const int kMaxRecordText = 511;
// Samples are read in blocks of this many: the buffer grows with the data
// that actually arrives, never on the word of a header alone.
const long kSampleBlock = 65536;

struct Fields {
    long data_off = -1, data_width = 0, resp_off = -1, resp_width = 0, rowsize = 0;
};

void field_place(Dbptr tr, const char *name, long *off, long *width) {
    Dbptr f = dblookup(tr, nullptr, nullptr, name, nullptr);
    long o = -1, w = 0;
    if (f.field >= 0 && dbquery(f, dbFIELD_INDEX, &o) == 0 && dbquery(f, dbFIELD_SIZE, &w) == 0) {
        *off = o;
        *width = w;
    }
}

// Writes the null pointer text over a pointer field of a row text, so that
// no address ever comes from the stream.
void null_pointer(char *text, long len, long off, long width) {
    if (off < 0 || width < 3 || off + width > len) return;
    text[off] = '0';
    text[off + 1] = 'x';
    memset(text + off + 2, '0', (size_t)(width - 2));
}

// The samples of one record: n floats into doubles, read block by block
// into a buffer of the sink's allocator.  0, or -1 with
// "<fname>: malloc(data,...)" or "<fname>: dbread(data)".
int read_samples(int fd, long n, const char *fname, const char *path, BlobSink &sink, double **out) {
    *out = nullptr;
    std::vector<float> block((size_t)(n < kSampleBlock ? n : kSampleBlock));
    double *d = nullptr;
    long have = 0, room = 0;
    while (have < n) {
        long want = n - have < kSampleBlock ? n - have : kSampleBlock;
        long got = read_full(fd, block.data(), (size_t)want * sizeof(float));
        if (got != want * (long)sizeof(float)) {
            if (got >= 0) errno = EIO;
            elog_log(1, "%s: dbread(data) error for blob file %s\n", fname, path);
            sink.release(d);
            return -1;
        }
        if (have + want > room) {
            long nroom = room ? room * 2 : want;
            if (nroom > n) nroom = n;
            if (nroom < have + want) nroom = have + want;
            size_t bytes = (size_t)nroom * sizeof(double);
            auto *nd = static_cast<double *>(d ? sink.grow(d, bytes) : sink.alloc(bytes));
            if (!nd) {
                elog_log(1, "%s: malloc(data,%ld) error for blob file %s\n", fname, (long)(n * sizeof(double)),
                         path);
                sink.release(d);
                return -1;
            }
            d = nd;
            room = nroom;
        }
        for (long i = 0; i < want; i++) d[have + i] = (double)block[(size_t)i];
        have += want;
    }
    *out = d;
    return 0;
}

}  // namespace

void *BlobSink::alloc(size_t n) { return malloc(n ? n : 1); }
void *BlobSink::grow(void *p, size_t n) { return realloc(p, n ? n : 1); }
void BlobSink::release(void *p) { free(p); }

int read_blobs(const char *path, Dbptr *dbtr, const char *fname, BlobSink &sink) {
    if (!path || !dbtr) {
        errno = EINVAL;
        elog_log(1, "%s: open(%s) error for blob file\n", fname, path ? path : "(null)");
        return -1;
    }
    bool is_stdin = strcmp(path, "-") == 0;
    int fd = is_stdin ? 0 : ::open(path, O_RDONLY);
    if (fd < 0) {
        elog_log(1, "%s: open(%s) error for blob file\n", fname, path);
        return -1;
    }
    struct Closer {
        int fd;
        bool keep;
        ~Closer() {
            if (!keep) ::close(fd);
        }
    } closer{fd, is_stdin};

    if (dbtr->database == dbINVALID) {
        *dbtr = trnew(nullptr, nullptr);
        if (dbtr->database < 0) {
            elog_log(0, "%s: trnew() error for blob file %s\n", fname, path);
            return -1;
        }
    }
    Dbptr tr = dblookup(*dbtr, nullptr, "trace", nullptr, nullptr);
    Dbptr comment = dblookup(tr, nullptr, nullptr, "comment", nullptr);
    if (tr.table < 0 || comment.field < 0) {
        elog_log(0, "%s: dblookup(trace) error for blob file %s\n", fname, path);
        return -1;
    }
    *dbtr = tr;
    Fields fl;
    field_place(tr, "data", &fl.data_off, &fl.data_width);
    field_place(tr, "response", &fl.resp_off, &fl.resp_width);

    for (;;) {
        unsigned char head[8];
        long got = read_full(fd, head, sizeof head);
        if (got < 0) {
            elog_log(1, "%s: read(rec) error for blob file %s\n", fname, path);
            return -1;
        }
        if (got < (long)sizeof head) return 0;  // clean end
        unsigned char *cur = head;
        int lrec = 0, ndata = 0;
        mi2hi(&cur, &lrec, 1);
        mi2hi(&cur, &ndata, 1);
        if (lrec < 0 || lrec > kMaxRecordText) {
            // Never read: it could not be a trace row.  Said plainly, then
            // as any record text that cannot be read.
            elog_log(0, "%s: record length %d out of range for blob file %s\n", fname, lrec, path);
            errno = EMSGSIZE;
            elog_log(1, "%s: read(rec) error for blob file %s\n", fname, path);
            return -1;
        }
        if (ndata < 0) {
            errno = EINVAL;
            elog_log(1, "%s: malloc(data,%ld) error for blob file %s\n", fname, (long)ndata * (long)sizeof(double),
                     path);
            return -1;
        }
        char text[kMaxRecordText + 1];
        got = read_full(fd, text, (size_t)lrec);
        if (got != lrec) {
            if (got >= 0) errno = EIO;
            elog_log(1, "%s: read(rec) error for blob file %s\n", fname, path);
            return -1;
        }
        text[lrec] = '\0';
        null_pointer(text, lrec, fl.data_off, fl.data_width);
        null_pointer(text, lrec, fl.resp_off, fl.resp_width);
        long rec = dbadd(tr, text);
        if (rec < 0) {
            elog_log(1, "%s: dbadd(rec) error for blob file %s\n", fname, path);
            return -1;
        }
        tr.record = rec;
        comment.record = rec;
        *dbtr = tr;
        // The record's samples and its vector are given back on every way
        // out (a throw included) until the row names the vector.
        struct Pending {
            BlobSink &sink;
            double *samples = nullptr;
            char handle[64] = {0};
            bool named = false;
            ~Pending() {
                sink.release(samples);
                if (!named && handle[0]) sink.drop(handle);
            }
        } pending{sink};
        if (read_samples(fd, ndata, fname, path, sink, &pending.samples) < 0) return -1;
        double time = 0.0, samprate = 0.0;
        if (dbgetv(tr, nullptr, "time", &time, "samprate", &samprate, (char *)nullptr) < 0) {
            elog_log(0, "%s: dbgetv(time,samprate) error for blob file %s\n", fname, path);
            return -1;
        }
        if (sink.make(ndata, time, samprate, pending.samples, pending.handle) < 0) {
            pending.handle[0] = '\0';
            return -1;
        }
        if (dbputv(tr, nullptr, "data", (void *)nullptr, (char *)nullptr) < 0) {
            elog_log(0, "%s: dbputv(data) error for blob file %s\n", fname, path);
            return -1;
        }
        if (dbput(comment, pending.handle) < 0) {
            elog_log(0, "%s: dbput(comment) error for blob file %s\n", fname, path);
            return -1;
        }
        pending.named = true;
    }
}

}  // namespace koreader
