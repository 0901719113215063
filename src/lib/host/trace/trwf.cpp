// Reading the samples of waveform rows: the raw integer and IEEE encodings
// at a byte offset of a file, and miniSEED records through libmseed, cut to a
// time window and delivered as floats.
//
// Large raw reads decode straight out of a read-only mapping of the file, so
// the bytes are touched once on their way into the caller's array.
//
// Memory running out is a result like the others (TRGETWF_ENOMEM): reasons
// are kept in a fixed buffer and work buffers are checked, so a failure
// never needs memory to be reported and nothing is thrown out of the C
// interface.
#include "tr.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>

#include <libmseed.h>

#if defined(__SSE2__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#include <emmintrin.h>
#define TR_SSE2 1
#endif

#include "ranout_pvt.h"
#include "stock.h"

namespace {

// Why the last trgetwf of this thread failed, for trgetwf_error: a fixed
// buffer, so that recording a reason never needs memory.
thread_local char tr_detail[1024];
thread_local int tr_detail_code = 0;

// Records the reason of a failure and gives its code.
int fail(int code, const char *f, ...) __attribute__((format(printf, 2, 3)));
int fail(int code, const char *f, ...) {
    va_list ap;
    va_start(ap, f);
    vsnprintf(tr_detail, sizeof tr_detail, f, ap);
    va_end(ap);
    tr_detail_code = code;
    return code;
}

struct Datatype {
    const char *name;
    int size;
};
const Datatype kDatatypes[] = {{"s2", 2}, {"s3", 3}, {"s4", 4}, {"i2", 2}, {"i4", 4}, {"t4", 4},
                               {"t8", 8}, {"f4", 4}, {"f8", 8}, {"sd", 0}};

inline uint32_t load_be32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}
inline uint32_t load_le32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}
inline uint64_t load_be64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
inline uint64_t load_le64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Each decoder turns n samples at src into floats at dst; the loops are kept
// simple enough for the compiler to vectorise.
void dec_s2(const unsigned char *src, float *dst, long n) {
    for (long i = 0; i < n; i++) dst[i] = (float)(int16_t)(uint16_t)((src[2 * i] << 8) | src[2 * i + 1]);
}
void dec_i2(const unsigned char *src, float *dst, long n) {
    for (long i = 0; i < n; i++) dst[i] = (float)(int16_t)(uint16_t)(src[2 * i] | (src[2 * i + 1] << 8));
}
void dec_s3(const unsigned char *src, float *dst, long n) {
    for (long i = 0; i < n; i++) {
        const unsigned char *p = src + 3 * i;
        int32_t v = (int32_t)(((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8)) >> 8;
        dst[i] = (float)v;
    }
}
#ifdef TR_SSE2
// Four big-endian words at a time: swap the bytes of each 16-bit half, then
// the halves.
inline __m128i bswap32x4(__m128i x) {
    x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
}
#endif

void dec_s4(const unsigned char *src, float *dst, long n) {
    long i = 0;
#ifdef TR_SSE2
    for (; i + 4 <= n; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * i));
        _mm_storeu_ps(dst + i, _mm_cvtepi32_ps(bswap32x4(v)));
    }
#endif
    for (; i < n; i++) dst[i] = (float)(int32_t)load_be32(src + 4 * i);
}
void dec_i4(const unsigned char *src, float *dst, long n) {
    long i = 0;
#ifdef TR_SSE2
    for (; i + 4 <= n; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * i));
        _mm_storeu_ps(dst + i, _mm_cvtepi32_ps(v));
    }
#endif
    for (; i < n; i++) dst[i] = (float)(int32_t)load_le32(src + 4 * i);
}
void dec_t4(const unsigned char *src, float *dst, long n) {
    long i = 0;
#ifdef TR_SSE2
    for (; i + 4 <= n; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), bswap32x4(v));
    }
#endif
    for (; i < n; i++) {
        uint32_t v = load_be32(src + 4 * i);
        memcpy(dst + i, &v, 4);
    }
}
void dec_f4(const unsigned char *src, float *dst, long n) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    memcpy(dst, src, (size_t)n * 4);
#else
    for (long i = 0; i < n; i++) {
        uint32_t v = load_le32(src + 4 * i);
        memcpy(dst + i, &v, 4);
    }
#endif
}
void dec_t8(const unsigned char *src, float *dst, long n) {
    for (long i = 0; i < n; i++) {
        uint64_t v = load_be64(src + 8 * i);
        double d;
        memcpy(&d, &v, 8);
        dst[i] = (float)d;
    }
}
void dec_f8(const unsigned char *src, float *dst, long n) {
    for (long i = 0; i < n; i++) {
        uint64_t v = load_le64(src + 8 * i);
        double d;
        memcpy(&d, &v, 8);
        dst[i] = (float)d;
    }
}

using Decoder = void (*)(const unsigned char *, float *, long);

Decoder decoder_for(const char *dt) {
    if (!strcmp(dt, "s2")) return dec_s2;
    if (!strcmp(dt, "s3")) return dec_s3;
    if (!strcmp(dt, "s4")) return dec_s4;
    if (!strcmp(dt, "i2")) return dec_i2;
    if (!strcmp(dt, "i4")) return dec_i4;
    if (!strcmp(dt, "t4")) return dec_t4;
    if (!strcmp(dt, "t8")) return dec_t8;
    if (!strcmp(dt, "f4")) return dec_f4;
    if (!strcmp(dt, "f8")) return dec_f8;
    return nullptr;
}

// Makes room for n floats in the caller's array.
bool grow(float **data, long *size, long n) {
    if (*data && *size >= n) return true;
    long want = n > 0 ? n : 1;
    float *p = static_cast<float *>(realloc(*data, (size_t)want * sizeof(float)));
    if (!p) return false;
    *data = p;
    *size = want;
    return true;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

long pread_all(int fd, void *buf, size_t n, off_t off) {
    char *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, p + done, n - done, off + (off_t)done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += (size_t)r;
    }
    return (long)done;
}

// A malloc'ed work buffer, freed on every way out.
struct Block {
    unsigned char *p = nullptr;
    ~Block() { free(p); }
};

// Reads [i0, i0 + n) of a raw row into out.
int read_raw(int fd, const TrWaveform *wf, Decoder dec, int size, long i0, long n, float *out) {
    off_t start = (off_t)wf->foff + (off_t)i0 * size;
    size_t bytes = (size_t)n * (size_t)size;
    if (bytes >= (1u << 18)) {
        long page = sysconf(_SC_PAGESIZE);
        off_t mstart = start - start % page;
        size_t mlen = bytes + (size_t)(start - mstart);
        void *map = mmap(nullptr, mlen, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, mstart);
        if (map != MAP_FAILED) {
            madvise(map, mlen, MADV_SEQUENTIAL);
            dec(static_cast<const unsigned char *>(map) + (start - mstart), out, n);
            munmap(map, mlen);
            return 0;
        }
        // Fall through to plain reads (files that cannot be mapped).
    }
    // Chunks through a small buffer; chunk ends fall on sample boundaries.
    const long chunk_samples = n < 16384 ? n : 16384;
    Block buf;
    buf.p = static_cast<unsigned char *>(malloc((size_t)chunk_samples * size));
    if (!buf.p) return fail(TRGETWF_ENOMEM, "out of memory for a read buffer of waveform file %s", wf->path);
    for (long done = 0; done < n;) {
        long k = n - done < chunk_samples ? n - done : chunk_samples;
        size_t want = (size_t)k * size;
        long got = pread_all(fd, buf.p, want, start + (off_t)done * size);
        if (got != (long)want)
            return fail(TRGETWF_EREAD, "read error in waveform file %s at byte %lld: %s", wf->path,
                        (long long)(start + (off_t)done * size + got),
                        got < 0 ? strerror(errno) : "unexpected end of file");
        dec(buf.p, out + done, k);
        done += k;
    }
    return 0;
}

// -------------------------------------------------------------- miniSEED

std::mutex mseed_mutex;  // libmseed keeps process-wide parsing state

void mseed_quiet(char *) {}

bool codes_match(const char *want, const char *have) { return !want || !*want || strcasecmp(want, have) == 0; }

// The row's channel may carry the location code after the SEED channel.
bool chan_matches(const char *want, const MSRecord *msr) {
    if (codes_match(want, msr->channel)) return true;
    char both[sizeof msr->channel + sizeof msr->location];
    snprintf(both, sizeof both, "%s%s", msr->channel, msr->location);
    return strcasecmp(want, both) == 0;
}

template <typename T>
void place(const T *src, long nrec, long k0, long i0, long i1, float *out) {
    // Record sample j is row sample k0 + j; only [i0, i1] is delivered.
    long jlo = i0 - k0 > 0 ? i0 - k0 : 0;
    long jhi = i1 - k0 < nrec - 1 ? i1 - k0 : nrec - 1;
    for (long j = jlo; j <= jhi; j++) out[k0 + j - i0] = (float)src[j];
}

int read_mseed(int fd, const TrWaveform *wf, long i0, long i1, float *out) {
    struct stat st;
    if (fstat(fd, &st) < 0) return fail(TRGETWF_EREAD, "cannot stat waveform file %s: %s", wf->path, strerror(errno));
    long flen = (long)st.st_size - wf->foff;
    if (flen <= 0)
        return fail(TRGETWF_ESHORT, "waveform file %s has %lld bytes, no miniSEED records at byte %ld", wf->path,
                    (long long)st.st_size, wf->foff);
    // A private writable mapping: the parser may swap header bytes in place.
    struct Map {
        void *p = MAP_FAILED;
        size_t len = 0;
        ~Map() {
            if (p != MAP_FAILED) munmap(p, len);
        }
    } map;
    Block copy;
    char *buf = nullptr;
    long page = sysconf(_SC_PAGESIZE);
    off_t mstart = (off_t)wf->foff - (off_t)wf->foff % page;
    map.len = (size_t)(st.st_size - mstart);
    map.p = mmap(nullptr, map.len, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, mstart);
    if (map.p != MAP_FAILED) {
        buf = static_cast<char *>(map.p) + (wf->foff - mstart);
    } else {
        copy.p = static_cast<unsigned char *>(malloc((size_t)flen));
        if (!copy.p)
            return fail(TRGETWF_ENOMEM, "out of memory for %ld bytes of miniSEED file %s", flen, wf->path);
        long got = pread_all(fd, copy.p, (size_t)flen, (off_t)wf->foff);
        if (got != flen)
            return fail(TRGETWF_EREAD, "read error in waveform file %s: %s", wf->path,
                        got < 0 ? strerror(errno) : "unexpected end of file");
        buf = reinterpret_cast<char *>(copy.p);
    }

    std::lock_guard<std::mutex> lock(mseed_mutex);
    static bool quiet = false;
    if (!quiet) {
        ms_loginit(mseed_quiet, nullptr, mseed_quiet, nullptr);
        quiet = true;
    }
    long nout = i1 - i0 + 1;
    trfill_gap(out, nout);
    MSRecord *msr = nullptr;
    long records = 0, matched = 0;
    for (long off = 0; off < flen;) {
        int r = msr_parse(buf + off, (int)(flen - off < MAXRECLEN ? flen - off : MAXRECLEN), &msr, 0, 1, 0);
        if (r != 0 || !msr || msr->reclen <= 0) {
            msr_free(&msr);
            if (r > 0)
                return fail(TRGETWF_EMSEED, "miniSEED file %s: record at byte %ld is cut short", wf->path,
                            wf->foff + off);
            return fail(TRGETWF_EMSEED, "miniSEED file %s: bad record at byte %ld (%s)", wf->path,
                        wf->foff + off, r < 0 ? ms_errorstr(r) : "no record length");
        }
        off += msr->reclen;
        records++;
        if (!codes_match(wf->sta, msr->station) || !(!wf->chan || !*wf->chan || chan_matches(wf->chan, msr)))
            continue;
        matched++;
        if (msr->numsamples <= 0 || !msr->datasamples) continue;
        if (msr->sampletype != 'i' && msr->sampletype != 'f' && msr->sampletype != 'd') continue;
        // Samples are placed at the row's rate: a record sampled otherwise
        // would land its samples at the wrong times.
        if (!(std::fabs(msr->samprate - wf->samprate) <= 1e-3 * wf->samprate)) {
            double rate = msr->samprate;
            long at = wf->foff + off - msr->reclen;
            msr_free(&msr);
            return fail(TRGETWF_EMSEED, "miniSEED file %s: record at byte %ld has %g samples per second, the row "
                        "%g", wf->path, at, rate, wf->samprate);
        }
        double rstart = (double)msr->starttime / HPTMODULUS;
        double x = (rstart - wf->time) * wf->samprate;
        if (!std::isfinite(x) || x > 9e15 || x < -9e15) continue;
        long k0 = (long)std::floor(x + 0.5);
        long nrec = (long)msr->numsamples;
        if (k0 > i1 || k0 + nrec - 1 < i0) continue;
        switch (msr->sampletype) {
        case 'i': place(static_cast<const int32_t *>(msr->datasamples), nrec, k0, i0, i1, out); break;
        case 'f': place(static_cast<const float *>(msr->datasamples), nrec, k0, i0, i1, out); break;
        case 'd': place(static_cast<const double *>(msr->datasamples), nrec, k0, i0, i1, out); break;
        default: break;  // text records carry no samples
        }
    }
    msr_free(&msr);
    if (records == 0)
        return fail(TRGETWF_EMSEED, "miniSEED file %s holds no records from byte %ld", wf->path, wf->foff);
    if (matched == 0)
        return fail(TRGETWF_EMSEED, "miniSEED file %s holds no records of %s %s", wf->path,
                    wf->sta ? wf->sta : "", wf->chan ? wf->chan : "");
    return 0;
}

// What an exception thrown inside a read becomes: memory running out is
// TRGETWF_ENOMEM, anything else a failed read.  Messages the engine
// registered on the way (after mark) are dropped, as on every other path.
int thrown(int mark) {
    elog_flush(0, mark);
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return fail(TRGETWF_ENOMEM, "out of memory while reading a waveform");
    } catch (...) {
        return fail(TRGETWF_EREAD, "unexpected internal error while reading a waveform");
    }
}

int read_file(const TrWaveform *wf, float **data, long *size, double t0, double t1, double *tstart, double *tend,
              long *nsamp);
int read_row(Dbptr row, float **data, long *size, double t0, double t1, double *tstart, double *tend,
             long *nsamp);

}  // namespace

extern "C" {

int trgetwf_file(const TrWaveform *wf, float **data, long *size, double t0, double t1, double *tstart, double *tend,
                 long *nsamp) {
    int mark = elog_mark();
    try {
        return read_file(wf, data, size, t0, t1, tstart, tend, nsamp);
    } catch (...) {
        return thrown(mark);
    }
}

int trgetwf(Dbptr row, float **data, long *size, double t0, double t1, double *tstart, double *tend, long *nsamp) {
    int mark = elog_mark();
    try {
        return read_row(row, data, size, t0, t1, tstart, tend, nsamp);
    } catch (...) {
        return thrown(mark);
    }
}

int trdatatype_size(const char *datatype) {
    if (!datatype) return -1;
    for (const Datatype &d : kDatatypes)
        if (!strcmp(d.name, datatype)) return d.size;
    return -1;
}

}  // extern "C"

namespace {

int read_file(const TrWaveform *wf, float **data, long *size, double t0, double t1, double *tstart, double *tend,
              long *nsamp) {
    if (nsamp) *nsamp = 0;
    if (tstart) *tstart = 0.0;
    if (tend) *tend = 0.0;
    if (!wf || !data || !size) return fail(TRGETWF_EROW, "no waveform description or sample array given");
    const char *path = wf->path ? wf->path : "(null)";
    const char *dt = wf->datatype ? wf->datatype : "";
    int dsize = trdatatype_size(dt);
    if (dsize < 0) return fail(TRGETWF_EDATATYPE, "unknown datatype '%s' for waveform file %s", dt, path);
    if (std::isnan(t0) || std::isnan(t1)) return fail(TRGETWF_EWINDOW, "the time window is not a number");
    if (!(wf->samprate > 0.0) || !std::isfinite(wf->samprate) || !std::isfinite(wf->time))
        return fail(TRGETWF_EROW, "impossible sampling (time %g, samprate %g) for waveform file %s", wf->time,
                    wf->samprate, path);
    if (wf->nsamp < 0 || wf->foff < 0)
        return fail(TRGETWF_EROW, "impossible row (nsamp %ld, foff %ld) for waveform file %s", wf->nsamp,
                    wf->foff, path);
    Fd f;
    f.fd = wf->path ? open(wf->path, O_RDONLY) : -1;
    if (f.fd < 0) return fail(TRGETWF_ENOFILE, "cannot open waveform file %s: %s", path, strerror(errno));
    struct stat st;
    if (fstat(f.fd, &st) < 0) return fail(TRGETWF_EREAD, "cannot stat waveform file %s: %s", path, strerror(errno));
    if (dsize > 0) {
        // The whole row must be in the file, not only the window.
        long double need = (long double)wf->foff + (long double)wf->nsamp * dsize;
        if (need > (long double)st.st_size)
            return fail(TRGETWF_ESHORT, "waveform file %s has %lld bytes, the row needs %.0Lf (%ld %s samples "
                        "from byte %ld)",
                        path, (long long)st.st_size, need, wf->nsamp, dt, wf->foff);
    } else if ((long long)st.st_size <= (long long)wf->foff) {
        return fail(TRGETWF_ESHORT, "waveform file %s has %lld bytes, no miniSEED records at byte %ld", path,
                    (long long)st.st_size, wf->foff);
    }
    if (wf->nsamp == 0) return 0;

    // Sample indices of the window, a thousandth of a sample of slack
    // against rounding in the epoch times.
    const double slack = 1e-3;
    double x0 = (t0 - wf->time) * wf->samprate;
    double x1 = (t1 - wf->time) * wf->samprate;
    long last = wf->nsamp - 1;
    long i0 = x0 <= 0.0 ? 0 : x0 > (double)last + slack ? last + 1 : (long)std::ceil(x0 - slack);
    long i1 = x1 < 0.0 ? (x1 > -slack ? 0 : -1) : x1 >= (double)last ? last : (long)std::floor(x1 + slack);
    if (i0 < 0) i0 = 0;
    if (i1 > last) i1 = last;
    if (i1 < i0) return 0;
    long n = i1 - i0 + 1;
    if (dsize == 0) {
        // Gaps make a miniSEED row longer than its records, but not without
        // bound: a count far beyond what the file could encode (compressed
        // records hold under two samples a byte) is a damaged row, refused
        // before its gap markers are allocated.
        long long bytes = (long long)st.st_size - wf->foff;
        long long limit = bytes < (1LL << 21) ? (1LL << 24) : 8 * bytes;
        if ((long long)n > limit)
            return fail(TRGETWF_EROW, "impossible row: %ld samples asked of miniSEED file %s of %lld bytes",
                        n, path, (long long)st.st_size);
    }
    if (!grow(data, size, n))
        return fail(TRGETWF_ENOMEM, "out of memory for %ld samples of waveform file %s", n, path);
    int r = dsize > 0 ? read_raw(f.fd, wf, decoder_for(dt), dsize, i0, n, *data) : read_mseed(f.fd, wf, i0, i1, *data);
    if (r < 0) return r;
    if (nsamp) *nsamp = n;
    if (tstart) *tstart = wf->time + (double)i0 / wf->samprate;
    if (tend) *tend = wf->time + (double)i1 / wf->samprate;
    return 0;
}

int read_row(Dbptr row, float **data, long *size, double t0, double t1, double *tstart, double *tend,
             long *nsamp) {
    if (nsamp) *nsamp = 0;
    if (tstart) *tstart = 0.0;
    if (tend) *tend = 0.0;
    long isview = 0;
    int mark = elog_mark();
    if (dbquery(row, dbTABLE_IS_VIEW, &isview) < 0) {
        bool ran_out = elog_ran_out_since(mark);
        elog_flush(0, mark);
        if (ran_out) return fail(TRGETWF_ENOMEM, "out of memory looking at wfdisc row %ld", row.record);
        return fail(TRGETWF_EROW, "not a wfdisc row (record %ld)", row.record);
    }
    // In a view the wfdisc part is named; a plain table is its own.
    const char *wfname = isview ? "wfdisc" : nullptr;
    char sta[130] = "", chan[130] = "", datatype[130] = "";
    TrWaveform wf{};
    if (dbgetv(row, wfname, "sta", sta, "chan", chan, "time", &wf.time, "nsamp", &wf.nsamp, "samprate", &wf.samprate,
               "foff", &wf.foff, "datatype", datatype, (char *)0) < 0) {
        char why[512] = "";
        if (elog_count() > mark) snprintf(why, sizeof why, "%s", elog_message(elog_count() - 1));
        bool ran_out = elog_ran_out_since(mark);
        elog_flush(0, mark);
        if (ran_out) return fail(TRGETWF_ENOMEM, "out of memory reading wfdisc row %ld", row.record);
        size_t len = strlen(why);
        while (len > 0 && why[len - 1] == '\n') why[--len] = '\0';
        return fail(TRGETWF_EROW, "cannot read wfdisc row %ld%s%s", row.record, len ? ": " : "", why);
    }
    char path[FILENAME_MAX];
    path[0] = '\0';
    int ext = dbextfile(row, "wfdisc", path);
    bool ran_out = ext < 0 && elog_ran_out_since(mark);
    elog_flush(0, mark);
    if (ran_out) return fail(TRGETWF_ENOMEM, "out of memory finding the waveform file of wfdisc row %ld", row.record);
    if (ext < 0) return fail(TRGETWF_EROW, "no waveform file name in wfdisc row %ld", row.record);
    if (trdatatype_size(datatype) < 0)
        return fail(TRGETWF_EDATATYPE, "unknown datatype '%s' in wfdisc row %ld (%s %s, %s)", datatype,
                    row.record, sta, chan, path);
    if (ext == 0)
        return fail(TRGETWF_ENOFILE, "waveform file %s of wfdisc row %ld (%s %s) does not exist", path,
                    row.record, sta, chan);
    wf.path = path;
    wf.datatype = datatype;
    wf.sta = sta;
    wf.chan = chan;
    return read_file(&wf, data, size, t0, t1, tstart, tend, nsamp);
}

}  // namespace

extern "C" {

void trgetwf_error(int code, Dbptr) { trgetwf_file_error(code, nullptr); }

void trgetwf_file_error(int code, const char *path) {
    const char *what;
    switch (code) {
    case TRGETWF_ENOFILE: what = "cannot open the waveform file"; break;
    case TRGETWF_EDATATYPE: what = "unknown datatype"; break;
    case TRGETWF_ESHORT: what = "the waveform file is shorter than the row says"; break;
    case TRGETWF_EROW: what = "the row cannot be read or holds impossible values"; break;
    case TRGETWF_ENOMEM: what = "out of memory"; break;
    case TRGETWF_EREAD: what = "reading the waveform file failed"; break;
    case TRGETWF_EMSEED: what = "bad miniSEED data"; break;
    case TRGETWF_EWINDOW: what = "the time window is not a number"; break;
    default: elog_log(0, "trgetwf: unknown result code %d\n", code); return;
    }
    if (tr_detail_code == code && tr_detail[0])
        elog_log(0, "trgetwf: %s\n", tr_detail);
    else
        elog_log(0, "trgetwf: %s (%s)\n", what, path ? path : "no file");
}

}  // extern "C"
