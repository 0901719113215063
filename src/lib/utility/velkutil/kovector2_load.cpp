/*
 * kovector2_load -- filling new plot vectors from outside data: column text
 * files, point tables of parameter files, "fap"/"fap2" response files, trace
 * blob streams, and the waveform rows of a database for one station and
 * channel over a time window.
 *
 * The formats are read by the shared readers of koreader_pvt.h; this file
 * turns what they deliver into KOVector2 records.  Every loader returns a
 * complete vector or none: a vector half built when something fails is
 * released before the call returns (blob streams keep the records before
 * the one that failed).
 */
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "kobase.h"
#include "koreader_pvt.h"
#include "kovector2.h"
#include "kovector2_pvt.h"
#include "tr.h"

using kovector2_pvt::row;

namespace {

const double kNoValue = 3.4e38;
const double kWiden = 11.0;  // seconds added on each side of a database window

void drop_vector(KOVector2 *v, char *handle) {
    kovector2_free_vector(v);
    if (handle) handle[0] = '\0';
}

// Points of a text file into a registered vector, growing it by handle.
class TextToVector : public koreader::TextSink {
public:
    TextToVector(KOVector2 *v, char *handle, int ny) : v_(v), handle_(handle), ny_(ny) {}
    int point(double x, const double *y, const char *label) override {
        if (v_->nx == INT_MAX) {
            errno = EOVERFLOW;
            elog_log(1, "kovector2_read: kovector2_resize() error.\n");
            return -1;
        }
        v_->nx++;
        int rc = kovector2_resize(handle_);
        v_->nx--;
        if (rc < 0) {
            elog_log(1, "kovector2_read: kovector2_resize() error.\n");
            return -1;
        }
        double *r = row(v_, v_->nx);
        r[0] = x;
        for (int k = 0; k < ny_; k++) r[k + 1] = y[k];
        if (label) {
            if (kovector2_make_lblbuf(v_) < 0) {
                elog_log(1, "kovector2_read: kovector2_make_lblbuf() error.\n");
                return -1;
            }
            char *d = kovector2_pvt::xstrdup(label);
            if (!d) {
                elog_log(1, "kovector2_read: malloc() error.\n");
                return -1;
            }
            v_->lblbuf[v_->nx] = d;
        }
        v_->nx++;
        return 0;
    }

private:
    KOVector2 *v_;
    char *handle_;
    int ny_;
};

// Blob records into registered time-sampled vectors.
class BlobToVector : public koreader::BlobSink {
public:
    explicit BlobToVector(char *tag) : tag_(tag) {}
    int make(long n, double time, double samprate, double *samples, char *handle) override {
        if (n > INT_MAX || !kovector2_create_tsamp((int)n, time, samprate, samples, tag_, handle)) {
            elog_log(0, "kovector2_read_from_trblob: kovector2_create_tsamp() error.\n");
            return -1;
        }
        return 0;
    }
    void drop(char *handle) override { kovector2_free(handle); }
    void *alloc(size_t n) override { return kovector2_pvt::xmalloc(n); }
    void *grow(void *p, size_t n) override { return kovector2_pvt::xrealloc(p, n); }
    void release(void *p) override { kovector2_pvt::xfree(p); }

private:
    char *tag_;
};

// Process-wide state of database loads, kept between calls.
Hook *wfdisc_hook = nullptr;
Hook *calib_hook = nullptr;
float *wf_buf = nullptr;
long wf_bufsize = 0;
float db_gap = 0.0f;

}  // namespace

extern "C" {

KOVector2 *kovector2_read(char *fname, char *tag, int line_off, int xpos, int ny, int *ypos, int lpos,
                          char *handle) {
    if (handle) handle[0] = '\0';
    if (kovector2_pvt::ensure_registry("kovector2_read") < 0) return nullptr;
    if (!handle) {
        elog_log(0, "kovector2_read: A handle buffer is required.\n");
        return nullptr;
    }
    if (ny < 0 || (ny > 0 && !ypos)) {
        elog_log(0, "kovector2_read: Illegal ny value %d or no y positions.\n", ny);
        return nullptr;
    }
    FILE *fp = fname ? fopen(fname, "r") : nullptr;
    if (!fp) {
        if (!fname) errno = EINVAL;
        elog_log(1, "kovector2_read: fopen(%s) error.\n", fname ? fname : "(null)");
        return nullptr;
    }
    int ncol = ny > 0 ? ny : 1;
    KOVector2 *v = kovector2_create(0, ncol, tag, handle);
    if (!v) {
        elog_log(0, "kovector2_read: kovector2_create() error.\n");
        fclose(fp);
        return nullptr;
    }
    auto *y = static_cast<double *>(kovector2_pvt::xmalloc((size_t)ncol * sizeof(double)));
    if (!y) {
        elog_log(1, "kovector2_read: malloc() error.\n");
        fclose(fp);
        drop_vector(v, handle);
        return nullptr;
    }
    memset(y, 0, (size_t)ncol * sizeof(double));
    koreader::TextColumns cols{line_off, xpos, ny, ypos, lpos};
    TextToVector sink(v, handle, ncol);
    int rc = koreader::read_text(fp, fname, cols, y, "kovector2_read", sink);
    kovector2_pvt::xfree(y);
    fclose(fp);
    if (rc < 0) {
        drop_vector(v, handle);
        return nullptr;
    }
    return v;
}

KOVector2 *kovector2_create_from_pf(Pf *pf, char *name, char *tag, char *handle, int *err) {
    int dummy;
    if (!err) err = &dummy;
    *err = 0;
    if (handle) handle[0] = '\0';
    Tbl *rows = nullptr;
    if (parse_param(pf, name, 6, 1, &rows) < 0 || !rows) {
        elog_log(0, "kovector2_create_from_pf: parse_param(%s) error.\n", name ? name : "(null)");
        *err = -1;
        return nullptr;
    }
    long nx = 0;
    int ny = 0;
    if (koreader::pf_table_scan(rows, "kovector2_create_from_pf", &nx, &ny) < 0 || nx > INT_MAX) {
        freetbl(rows, nullptr);
        *err = -1;
        return nullptr;
    }
    // A table without data rows gives an empty one-column vector.
    KOVector2 *v = kovector2_create((int)nx, ny > 0 ? ny : 1, tag, handle);
    if (!v) {
        elog_log(0, "kovector2_create_from_pf: kovector2_create() error.\n");
        freetbl(rows, nullptr);
        *err = -1;
        return nullptr;
    }
    v->nx = (int)nx;
    double vals[koreader::PF_MAXVALS];
    long i = 0;
    for (long r = 0; r < maxtbl(rows) && i < nx; r++) {
        if (koreader::pf_table_row(rows, r, vals) == 0) continue;
        double *d = row(v, i++);
        for (int k = 0; k <= ny; k++) d[k] = vals[k];
    }
    freetbl(rows, nullptr);
    return v;
}

KOVector2 *kovector2_create_response_fap(char *filename, char *tag, char *handle, int *err) {
    int dummy;
    if (!err) err = &dummy;
    *err = 0;
    if (handle) handle[0] = '\0';
    koreader::FapReader fap;
    int rc = fap.open(filename, "kovector2_create_response_fap");
    if (rc != 0) {
        *err = rc;
        return nullptr;
    }
    KOVector2 *v = kovector2_create(fap.count(), fap.ny(), tag, handle);
    if (!v) {
        elog_log(0, "kovector2_create_response_fap: kovector2_create() error.\n");
        *err = -1;
        return nullptr;
    }
    v->nx = fap.count();
    double vals[7];
    for (long i = 0; i < v->nx && fap.next(vals); i++) {
        double *d = row(v, i);
        for (int k = 0; k <= fap.ny(); k++) d[k] = vals[k];
    }
    return v;
}

int kovector2_read_from_trblob(char *trblob, char *tag, Dbptr *dbtr) {
    if (kovector2_pvt::ensure_registry("kovector2_read_from_trblob") < 0) return -1;
    BlobToVector sink(tag);
    // Memory running out in the engine's row calls is the failure of the
    // record being read; the records before it stay.
    try {
        return koreader::read_blobs(trblob, dbtr, "kovector2_read_from_trblob", sink);
    } catch (...) {
        elog_log(1, "kovector2_read_from_trblob: out of memory for blob file %s\n", trblob ? trblob : "(null)");
        return -1;
    }
}

static KOVector2 *tsamp_from_db(Dbptr db, double t0, double t1, char *sta, char *chan, int apply_calib,
                                int calib_from_wfdisc, double *calib, double *calper, char *segtype, char *tag,
                                char *handle) {
    const char *fn = "kovector2_create_tsamp_from_db";
    if (handle) handle[0] = '\0';
    if (db_gap == 0.0f) trfill_gap(&db_gap, 1);
    if (!sta || !chan || !std::isfinite(t0) || !std::isfinite(t1)) {
        elog_log(0, "%s: No station, channel or window given.\n", fn);
        return nullptr;
    }
    double w0 = t0 - kWiden, w1 = t1 + kWiden;

    Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    Dbptr key = dblookup(wf, nullptr, nullptr, nullptr, "dbSCRATCH");
    if (dbputv(key, nullptr, "sta", sta, "chan", chan, "time", w0, "endtime", w1, (char *)nullptr) < 0) {
        elog_log(0, "%s: dbputv() error.\n", fn);
        return nullptr;
    }
    Tbl *list = nullptr;
    wf.record = dbALL;
    if (dbmatches(key, wf, nullptr, nullptr, &wfdisc_hook, &list) < 0) {
        elog_log(0, "%s: dbmatches() error.\n", fn);
        freetbl(list, nullptr);
        return nullptr;
    }
    struct ListGuard {
        Tbl *&t;
        ~ListGuard() { freetbl(t, nullptr); }
    } guard{list};

    long nrows = maxtbl(list);
    double rate0 = 0.0, origin = 0.0, cal = 1.0, cper = 0.0;
    bool uniform = true;  // every row at exactly the first row's rate
    char seg[8] = "";
    for (long i = 0; i < nrows; i++) {
        Dbptr r = wf;
        r.record = (long)(intptr_t)gettbl(list, i);
        double rate = 0.0, time = 0.0, endtime = 0.0;
        int rc = i == 0 ? dbgetv(r, nullptr, "samprate", &rate, "time", &time, "endtime", &endtime, "calib", &cal,
                                 "calper", &cper, "segtype", seg, (char *)nullptr)
                        : dbgetv(r, nullptr, "samprate", &rate, "time", &time, "endtime", &endtime, (char *)nullptr);
        if (rc < 0) {
            elog_log(0, "%s: dbgetv() error\n", fn);
            return nullptr;
        }
        if (i == 0) {
            if (!(rate > 0.0) || !std::isfinite(rate)) {
                elog_log(0, "%s: samprate %g of %s %s is not a sample rate\n", fn, rate, sta, chan);
                return nullptr;
            }
            rate0 = rate;
            origin = time;
        } else {
            if (!(std::fabs(rate - rate0) / rate0 <= 0.01)) {
                elog_log(0, "%s: samprate changes (%.3f != %.3f) for %s %s not allowed\n", fn, rate, rate0, sta,
                         chan);
                return nullptr;
            }
            if (time < origin) origin = time;
            if (rate != rate0) uniform = false;
        }
    }

    double count = 0.0, start = w0;
    if (nrows > 0) {
        double isamp0 = std::floor((w0 - origin) * rate0 + 0.5);
        double isamp1 = std::floor((w1 - origin) * rate0 + 0.5);
        count = isamp1 - isamp0 + 1.0;
        if (count < 0.0) count = 0.0;
        start = origin + isamp0 / rate0;
        // A vector's buffer stays below 2^31 bytes.
        if (!(count <= (double)(INT_MAX / (int)sizeof(double) - 1024))) {
            elog_log(0, "%s: window of %.0f samples for %s %s is too large\n", fn, count, sta, chan);
            return nullptr;
        }
        if (!calib_from_wfdisc && (apply_calib || calib || calper || segtype)) {
            Dbptr ct = dblookup(db, nullptr, "calibration", nullptr, nullptr);
            Dbptr ckey = dblookup(ct, nullptr, nullptr, nullptr, "dbSCRATCH");
            if (dbputv(ckey, nullptr, "sta", sta, "chan", chan, "time", start, "endtime", start + 1.0,
                       (char *)nullptr) < 0) {
                elog_log(0, "%s: dbputv() error.\n", fn);
                return nullptr;
            }
            Tbl *clist = nullptr;
            ct.record = dbALL;
            long nc = dbmatches(ckey, ct, nullptr, nullptr, &calib_hook, &clist);
            if (nc < 0) {
                freetbl(clist, nullptr);
                elog_log(0, "%s: dbmatches() error.\n", fn);
                return nullptr;
            }
            if (nc > 0) {
                Dbptr cr = ct;
                cr.record = (long)(intptr_t)gettbl(clist, 0);
                if (dbgetv(cr, nullptr, "calib", &cal, "calper", &cper, "segtype", seg, (char *)nullptr) < 0) {
                    freetbl(clist, nullptr);
                    elog_log(0, "%s: dbgetv() error\n", fn);
                    return nullptr;
                }
            }
            freetbl(clist, nullptr);
        }
    }

    if (kovector2_pvt::ensure_registry(fn) < 0) return nullptr;
    int n = (int)count;
    KOVector2 *v = kovector2_find_space(n, 1, 1);
    if (!v) {
        elog_log(0, "%s: kovector2_find_space() error.\n", fn);
        return nullptr;
    }
    // The vector is this call's until it is registered: anything thrown on
    // the way gives it back.
    struct Unfinished {
        KOVector2 *v;
        ~Unfinished() {
            if (v) drop_vector(v, nullptr);
        }
    } unfinished{v};
    memset(v->tag, 0, sizeof v->tag);
    if (tag) strncpy(v->tag, tag, sizeof v->tag - 1);
    v->nx = n;
    // With one rate every row fills a run of the grid, and only what the runs
    // leave uncovered needs the no-value marker, written once at the end.
    // Otherwise rows may skip grid points inside their span: mark all first.
    std::vector<std::pair<long, long>> runs;
    if (uniform) {
        try {
            runs.reserve((size_t)nrows);
        } catch (...) {
            uniform = false;
        }
    }
    if (!uniform)
        for (int i = 0; i < n; i++) v->dblbuf[i] = kNoValue;
    v->time = start;
    v->dt = nrows > 0 ? 1.0 / rate0 : 1.0;

    double scale = apply_calib && cal != 0.0 ? cal : 1.0;
    for (long i = 0; i < nrows && n > 0; i++) {
        Dbptr r = wf;
        r.record = (long)(intptr_t)gettbl(list, i);
        double ts = 0.0, te = 0.0, rate = 0.0;
        long ns = 0;
        int rc = trgetwf(r, &wf_buf, &wf_bufsize, w0, w1, &ts, &te, &ns);
        if (rc < 0) {
            trgetwf_error(rc, r);
            elog_log(0, "%s: trgetwf() error.\n", fn);
            return nullptr;
        }
        if (dbgetv(r, nullptr, "samprate", &rate, (char *)nullptr) < 0 || !(rate > 0.0)) {
            elog_log(0, "%s: dbgetv() error\n", fn);
            return nullptr;
        }
        // Sample k of the row is at ts + k / rate.  Its place on the grid is
        // computed from k, never by adding the interval up sample after
        // sample: at epoch magnitudes every such addition rounds the same way,
        // and over a day-long row the sum drifts by whole samples.
        double off = (ts - start) * rate0, ratio = rate0 / rate;
        double *out = v->dblbuf;
        if (ratio == 1.0) {
            // The same rule with the index counted: one plain pass.
            double first = std::floor(off + 0.5);
            long k0 = first < 0.0 ? (long)std::min(-first, (double)ns) : 0;
            long k1 = first < (double)n ? (long)std::min((double)ns, (double)n - first) : 0;
            long base = (long)first;
            const float *in = wf_buf;
            const float gap = db_gap;
            const double sc = scale;
            for (long k = k0; k < k1; k++) out[base + k] = in[k] == gap ? kNoValue : (double)in[k] * sc;
            if (uniform && k1 > k0) runs.emplace_back(base + k0, base + k1);  // room reserved above
        } else {
            for (long k = 0; k < ns; k++) {
                double idx = std::floor(off + (double)k * ratio + 0.5);
                if (idx < 0.0) continue;
                if (!(idx < (double)n)) break;
                float s = wf_buf[k];
                out[(long)idx] = s == db_gap ? kNoValue : (double)s * scale;
            }
        }
    }
    if (uniform) {
        std::sort(runs.begin(), runs.end());
        long at = 0;
        for (auto &r : runs) {
            for (long i = at; i < r.first; i++) v->dblbuf[i] = kNoValue;
            at = std::max(at, r.second);
        }
        for (long i = at; i < n; i++) v->dblbuf[i] = kNoValue;
    }
    if (nrows > 0) {
        if (calib) *calib = cal;
        if (calper) *calper = cper;
        if (segtype) strcpy(segtype, seg);
    }
    unfinished.v = nullptr;
    if (handle && kovector2_pvt::register_vector(fn, v, handle) < 0) {
        drop_vector(v, handle);
        return nullptr;
    }
    return v;
}

// Memory running out in the engine's calls becomes the failure result.
KOVector2 *kovector2_create_tsamp_from_db(Dbptr db, double t0, double t1, char *sta, char *chan, int apply_calib,
                                          int calib_from_wfdisc, double *calib, double *calper, char *segtype,
                                          char *tag, char *handle) {
    try {
        return tsamp_from_db(db, t0, t1, sta, chan, apply_calib, calib_from_wfdisc, calib, calper, segtype, tag,
                             handle);
    } catch (...) {
        elog_log(1, "kovector2_create_tsamp_from_db: out of memory.\n");
        return nullptr;
    }
}

}  // extern "C"
