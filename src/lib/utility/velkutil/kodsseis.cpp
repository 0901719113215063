// The seismic data source: loading a waveform database's rows for a span,
// sorted and joined with their instruments, orientations and coordinates,
// grouped by station-channel; and extracting one channel, or one rotated
// out of two or three orthogonal ones, into a trace table.
//
// Memory may run out anywhere in a plan or an extraction: every exported
// call turns that into its failure result with a message, the views a plan
// made and a source half made are given back, and no sample array ever has
// two owning rows.
#include "kodsseis.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "kocatch_pvt.h"
#include "kodsseis_pvt.h"
#include "koregistry_pvt.h"
#include "response.h"
#include "tr.h"

namespace {

// Progress lines of the loading plan; nothing raises it.
int verbose = 0;

KORegistry dsseis_reg("scg%d", KORegistry::INCREMENT_THEN_COUNT, "scgs");

// Response file path -> Response (null: the file did not open).  Shared by
// every source and never emptied; the lock lets plans run in several threads.
Arr *resp_arr = nullptr;
std::mutex resp_mutex;

// Samples of rotated and accumulated traces from 1e30f up (as floats:
// above 1e30) are gaps; gaps are written as 2e30f.  The sample loops work
// on their IEEE single-precision bits.
constexpr uint32_t kGapBits = 0x7149f2cau;  // 1e30f
constexpr uint32_t kRotBits = 0x71c9f2cau;  // 2e30f

void progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void progress(const char *fmt, ...) {
    if (!verbose) return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

void done() {
    if (verbose) puts("done");
}

// Wall time of the steps of the last plan this thread ran.
thread_local std::vector<DsseisStepTime> plan_steps;

double thread_cpu() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
    return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

// Sort record: the station, channel and start time columns of a wfdisc row.
struct mybuf {
    char stachantime[34];
    long record;
};

// Columns of the sort record: station and channel with their blanks, then
// the start time, right-aligned.
constexpr size_t kStaChanCols = 16;

int mycompar(const void *a, const void *b) {
    const mybuf *x = static_cast<const mybuf *>(a), *y = static_cast<const mybuf *>(b);
    int c = strcmp(x->stachantime, y->stachantime);
    if (c && strncmp(x->stachantime, y->stachantime, kStaChanCols) == 0 &&
        (strchr(x->stachantime + kStaChanCols, '-') || strchr(y->stachantime + kStaChanCols, '-'))) {
        // a time before 1970: its sign puts the text out of time order
        double tx = atof(x->stachantime + kStaChanCols), ty = atof(y->stachantime + kStaChanCols);
        c = tx < ty ? -1 : tx > ty ? 1 : c;
    }
    if (c) return c;
    // equal text keeps table order, so the result never depends on qsort
    return x->record < y->record ? -1 : x->record > y->record ? 1 : 0;
}

// Views made along the way; all but the kept ones are freed at the end, and
// all of them when the plan stops on the way (a throw included).  Room for
// every view of a plan is taken first, so noting one never fails.
struct ViewList {
    std::vector<Dbptr> made;
    ViewList() { made.reserve(kMaxViews); }
    ~ViewList() { free_except(dbinvalid(), dbinvalid()); }
    Dbptr add(Dbptr v) {
        if (v.table < 0) return v;
        if (made.size() >= kMaxViews) {
            dbfree(v);
            elog_log(0, "grdb_sc_loadcss: more than %zu views in one plan.\n", kMaxViews);
            return dbinvalid();
        }
        made.push_back(v);
        return v;
    }
    void free_except(Dbptr a, Dbptr b) {
        for (Dbptr v : made)
            if (v.table != a.table && v.table != b.table) dbfree(v);
        made.clear();
    }
    static constexpr size_t kMaxViews = 16;
};

// A malloc'ed block freed on every way out.
template <typename T>
struct Block {
    T *p = nullptr;
    ~Block() { free(p); }
};

// Engine calls that may fail for an expected reason (a sensor without an
// instrument, a row without a file name) have their messages dropped; when
// one failed because memory ran out (flag 1, the system's ENOMEM text), that
// must not be taken for the expected reason: it is thrown, and the entry's
// guard reports it.
void throw_if_ran_out(int mark) {
    const char *enomem = strerror(ENOMEM);
    for (int i = mark < 0 ? 0 : mark; i < elog_count(); i++) {
        const char *sys = elog_message_syserr(i);
        if (elog_message_flag(i) == 1 && sys && !strcmp(sys, enomem)) throw std::bad_alloc();
    }
}

// The selection expression of the wfdisc and sensor subsets.
std::string selection(const char *sta_expr, const char *chan_expr, bool with_time, double tstart, double tend) {
    std::string e;
    char buf[128];
    if (sta_expr) e = std::string("( ") + "sta =~ /" + sta_expr + "/";
    if (chan_expr) {
        e += e.empty() ? "( " : " && ";
        e += std::string("chan =~ /") + chan_expr + "/";
    }
    if (with_time && (tstart != 0.0 || tend != 0.0)) {
        e += e.empty() ? "( " : " && ";
        snprintf(buf, sizeof buf, "(time < %.5f && endtime > %.5f)", tend, tstart);
        e += buf;
    }
    if (!e.empty()) e += " )";
    return e;
}

long record_count(Dbptr db) {
    long n = 0;
    if (dbquery(db, dbRECORD_COUNT, &n) < 0) return -1;
    return n;
}

bool view_has_table(Dbptr db, const char *name) {
    Tbl *tables = nullptr;
    if (dbquery(db, dbVIEW_TABLES, &tables) < 0 || !tables) return false;
    for (long i = 0; i < maxtbl(tables); i++) {
        const char *t = static_cast<const char *>(gettbl(tables, i));
        if (t && !strcmp(t, name)) return true;
    }
    return false;
}

// Reads the response files of every instrument row of the sensor view into
// the shared cache.
int read_responses(Dbptr dbsensor, int ir) {
    std::lock_guard<std::mutex> lock(resp_mutex);
    if (!resp_arr) {
        resp_arr = newarr(0);
        if (!resp_arr) {
            elog_log(0, "grdb_sc_loadcss: newarr() error.\n");
            return -1;
        }
    }
    long n = record_count(dbsensor);
    char path[FILENAME_MAX];
    for (dbsensor.record = 0; dbsensor.record < n; dbsensor.record++) {
        long inid = -1;
        int mark = elog_mark();
        int rc = dbgetv(dbsensor, nullptr, "instrument.inid", &inid, (char *)0);
        if (rc < 0) throw_if_ran_out(mark);
        elog_flush(0, mark);
        if (rc < 0 || inid < 0) continue;  // a sensor without an instrument
        int ext = dbextfile(dbsensor, "instrument", path);
        if (ext < 0) throw_if_ran_out(mark);
        if (ext < 0 || !path[0]) continue;
        if (getarr(resp_arr, path)) continue;
        Response *resp = nullptr;
        FILE *fp = fopen(path, "r");
        if (fp) {
            int r = read_response(fp, &resp);
            fclose(fp);
            if (r < 0) {
                elog_log(0, "grdb_sc_loadcss: read_response('%s') error.\n", path);
                return -1;
            }
        } else if (errno == ENOMEM) {
            // Not a missing file: memory ran out opening it.
            elog_log(1, "grdb_sc_loadcss: fopen('%s') error.\n", path);
            return -1;
        } else if (ir > 1) {
            elog_log(1, "grdb_sc_loadcss: fopen('%s') error.\n", path);
            return -1;
        }
        if (setarr(resp_arr, path, resp) == ARR_FAILED) {
            free_response(resp);
            elog_log(0, "grdb_sc_loadcss: setarr() error.\n");
            return -1;
        }
    }
    return 0;
}

Response *cached_response(const char *path) {
    std::lock_guard<std::mutex> lock(resp_mutex);
    return resp_arr ? static_cast<Response *>(getarr(resp_arr, path)) : nullptr;
}

// Describes group `record` of dbscgr (or the pointer's own record when
// record is negative).
int grdb_sc_getstachan(Dbptr dbscgr, long record, char *net, char *sta, char *chan, int *nsegs, double *time,
                       double *endtime) {
    if (record >= 0) dbscgr.record = record;
    Dbptr bundle;
    if (dbgetv(dbscgr, nullptr, "sta", sta, "chan", chan, "bundle", &bundle, (char *)0) < 0) {
        elog_log(0, "grdb_sc_getstachan: dbgetv() error.\n");
        return -1;
    }
    if (net) strcpy(net, "-");
    long is = 0, ie = 0;
    if (dbget_range(bundle, &is, &ie) < 0 || ie <= is) {
        elog_log(0, "grdb_sc_getstachan: dbget_range() error.\n");
        return -1;
    }
    // rows repeated for a change of sensor within them are one segment
    long rsize = 0;
    dbquery(bundle, dbRECORD_SIZE, &rsize);
    std::vector<char> buf((size_t)(rsize > 0 ? rsize : 0) + 512);
    std::string prev;
    long distinct = 0;
    for (long r = is; r < ie; r++) {
        Dbptr row = bundle;
        row.record = r;
        row.field = dbALL;
        if (dbget(row, buf.data()) < 0) {
            elog_log(0, "grdb_sc_getstachan: dbget() error.\n");
            return -1;
        }
        if (r == is || prev != buf.data()) distinct++;
        prev = buf.data();
    }
    *nsegs = (int)distinct;
    Dbptr first = bundle, last = bundle;
    first.record = is;
    last.record = ie - 1;
    if (dbgetv(first, nullptr, "time", time, (char *)0) < 0 || dbgetv(last, nullptr, "endtime", endtime, (char *)0) < 0) {
        elog_log(0, "grdb_sc_getstachan: dbgetv() error.\n");
        return -1;
    }
    return 0;
}

void release_source(void *p) {
    KODsseis *s = static_cast<KODsseis *>(p);
    if (!s) return;
    if (s->dbscgr.table >= 0) dbfree(s->dbscgr);
    if (s->dbsc.table >= 0) dbfree(s->dbsc);
    free(s);
}

// ---------------------------------------------------------------- channels

Dbptr row_at(Dbptr tr, long r) {
    tr.record = r;
    tr.field = dbALL;
    return tr;
}

Dbptr range(Dbptr tr, long first, long end) {
    tr.record = first;
    tr.field = end;
    return tr;
}

// A wfdisc row whose span meets two sensor epochs (a change of sensor
// within the row) is joined with both; loading it once per sensor would
// give its samples twice.  one_sensor_per_row keeps, of each run of rows
// with the same wfdisc row, the one whose sensor epoch holds the row's start
// time (the latest epoch begun by then), else the first.  The result is
// joined itself when it has no such runs (*made false), else a new view
// (*made true) to be freed by the caller; an invalid pointer with a message
// on failure.
bool has_repeated_rows(Dbptr joined, std::vector<char> &buf) {
    long m = record_count(joined);
    std::string prev;
    for (long r = 0; r < m; r++) {
        joined.record = r;
        if (dbget(joined, buf.data()) < 0) return false;
        if (r > 0 && prev == buf.data()) return true;
        prev = buf.data();
    }
    return false;
}

Dbptr one_sensor_per_row(Dbptr joined, bool *made) {
    *made = false;
    long rsize = 0;
    dbquery(joined, dbRECORD_SIZE, &rsize);
    std::vector<char> buf((size_t)(rsize > 0 ? rsize : 0) + 512);
    if (!view_has_table(joined, "sensor") || !has_repeated_rows(joined, buf)) return joined;
    Tbl *tables = nullptr;
    if (dbquery(joined, dbVIEW_TABLES, &tables) < 0 || !tables) {
        elog_log(0, "grtr_sc_create: dbquery() error.\n");
        return dbinvalid();
    }
    Dbptr out = dbtbl2view(joined, tables);
    if (out.table < 0) {
        elog_log(0, "grtr_sc_create: dbtbl2view() error.\n");
        return out;
    }
    long m = record_count(joined);
    std::string prev, cur;
    long best = -1;
    double best_time = 0;
    bool best_holds = false;
    char ref[dbREF_SIZE];
    auto flush = [&]() {
        if (best < 0) return true;
        joined.record = best;
        return dbref(joined, ref) == 0 && dbadd(out, ref) >= 0;
    };
    for (long r = 0; r < m; r++) {
        joined.record = r;
        double wt = 0, st = 0;
        if (dbget(joined, buf.data()) < 0 ||
            dbgetv(joined, nullptr, "wfdisc.time", &wt, "sensor.time", &st, (char *)0) < 0) {
            elog_log(0, "grtr_sc_create: dbget() error.\n");
            dbfree(out);
            return dbinvalid();
        }
        cur = buf.data();
        bool holds = st <= wt;
        if (r == 0 || cur != prev) {
            if (!flush()) {
                elog_log(0, "grtr_sc_create: dbadd() error.\n");
                dbfree(out);
                return dbinvalid();
            }
            best = r;
            best_time = st;
            best_holds = holds;
            prev.swap(cur);
        } else if (holds && (!best_holds || st > best_time)) {
            best = r;
            best_time = st;
            best_holds = true;
        }
    }
    if (!flush()) {
        elog_log(0, "grtr_sc_create: dbadd() error.\n");
        dbfree(out);
        return dbinvalid();
    }
    out.record = dbALL;
    *made = true;
    return out;
}

// A wfdisc row of the selection whose waveform file is missing.
struct MissingRow {
    std::string sta, chan, path;
};

// Loads the rows of dbsc that match sta and chan between tstart and tend
// into the trace table *tr (after its `base` rows), handles gaps, applies
// the calibration and attaches responses.  missing receives the rows whose
// waveform files do not exist.
int grtr_sc_create(Dbptr dbsc, const char *sta, const char *chan, double tstart, double tend, const char *gap,
                   int calib, long base, Dbptr *tr, std::vector<MissingRow> &missing) {
    std::string expr = selection(sta, chan, false, 0, 0);
    Dbptr view = dbsc;
    bool subset = false;
    if (!expr.empty()) {
        view = dbsubset(dbsc, expr.c_str(), nullptr);
        if (view.table < 0) {
            elog_log(0, "grtr_sc_create: dbsubset() error.\n");
            return -1;
        }
        subset = true;
    }
    struct Freer {
        Dbptr v;
        bool on;
        ~Freer() {
            if (on) dbfree(v);
        }
    } freer{view, subset};
    bool made = false;
    view = one_sensor_per_row(view, &made);
    if (view.table < 0) return -1;
    Freer once{view, made};

    const char *gapmode = gap ? gap : "seg";
    bool split = false, drop = false;
    if (!strcmp(gapmode, "seg")) {
        split = true;
    } else if (!strcmp(gapmode, "drop")) {
        split = drop = true;
    } else if (!strcmp(gapmode, "interp") || !strcmp(gapmode, "zero")) {
        elog_log(0, "grtr_sc_create: gap value '%s' not implemented yet.\n", gapmode);
        return -1;
    } else if (strcmp(gapmode, "leave")) {
        elog_log(0, "grtr_sc_create: Illegal gap value '%s'.\n", gapmode);
        return -1;
    }

    long n = record_count(view);
    if (n <= 0) {
        elog_log(0, "grtr_sc_create: No data to process.\n");
        return -1;
    }
    std::vector<double> t0(n), t1(n);
    for (long r = 0; r < n; r++) {
        view.record = r;
        if (dbgetv(view, "wfdisc", "time", &t0[r], "endtime", &t1[r], (char *)0) < 0) {
            elog_log(0, "grtr_sc_create: dbgetv() error.\n");
            return -1;
        }
    }
    if (tstart == 0.0 && tend == 0.0) {
        tstart = t0[0];
        tend = t1[0];
        for (long r = 1; r < n; r++) {
            if (t0[r] < tstart) tstart = t0[r];
            if (t1[r] > tend) tend = t1[r];
        }
    }
    // rows of the window whose files are missing: trload_cssgrp skips them,
    // the caller decides whether that loses data it asked for
    char path[FILENAME_MAX];
    for (long r = 0; r < n; r++) {
        if (t1[r] < tstart || t0[r] > tend) continue;
        view.record = r;
        int mark = elog_mark();
        int ext = dbextfile(view, "wfdisc", path);
        if (ext < 0) throw_if_ran_out(mark);
        if (ext == 0) {
            char s[32] = "", c[32] = "";
            if (dbgetv(view, "wfdisc", "sta", s, "chan", c, (char *)0) < 0) throw_if_ran_out(mark);
            missing.push_back({s, c, path});
        }
    }

    char ts[64], te[64];
    snprintf(ts, sizeof ts, "(%.5f)", tstart);
    snprintf(te, sizeof te, "(%.5f)", tend);
    view.record = dbALL;
    if (trload_cssgrp(view, ts, te, tr, nullptr, nullptr) != 0) {
        elog_log(0, "grtr_sc_create: trload_cssgrp() error.\n");
        return -1;
    }
    long end = record_count(*tr);
    if (split && end > base) {
        if (trsplit(range(*tr, base, end), nullptr) < 0 ||
            trsplice(range(*tr, base, record_count(*tr)), 0.5, nullptr) < 0) {
            elog_log(0, "grtr_sc_create: trsplit() error.\n");
            return -1;
        }
        end = record_count(*tr);
    }
    if (drop && end > base) {
        bool released = false;
        std::string prev;
        long run = base;
        for (long r = base; r <= end; r++) {
            std::string key;
            if (r < end) {
                char s[32] = "", c[32] = "";
                if (dbgetv(row_at(*tr, r), nullptr, "sta", s, "chan", c, (char *)0) < 0) {
                    elog_log(0, "grtr_sc_create: dbgetv() error.\n");
                    return -1;
                }
                key = std::string(s) + " " + c;
            }
            if (r == end || (r > base && key != prev)) {
                if (r - run > 1) {
                    trfree(range(*tr, run, r));
                    released = true;
                }
                run = r;
            }
            prev = key;
        }
        if (released) dbcrunch(row_at(*tr, dbALL));
        end = record_count(*tr);
    }
    if (calib && end > base && trapply_calib(range(*tr, base, end)) < 0) {
        elog_log(0, "grtr_sc_create: trapply_calib() error.\n");
        return -1;
    }

    // responses, where the rows come with their instruments
    if (view_has_table(view, "instrument") && end > base) {
        std::map<std::string, std::vector<long>> rows_of;  // "sta chan" -> view rows in order
        for (long r = 0; r < n; r++) {
            char s[32] = "", c[32] = "";
            view.record = r;
            if (dbgetv(view, "wfdisc", "sta", s, "chan", c, (char *)0) < 0) {
                elog_log(0, "grtr_sc_create: dbgetv() error.\n");
                return -1;
            }
            rows_of[std::string(s) + " " + c].push_back(r);
        }
        for (long r = base; r < end; r++) {
            char s[32] = "", c[32] = "";
            double time = 0, samprate = 0;
            Dbptr row = row_at(*tr, r);
            if (dbgetv(row, nullptr, "sta", s, "chan", c, "time", &time, "samprate", &samprate, (char *)0) < 0) {
                elog_log(0, "grtr_sc_create: dbgetv() error.\n");
                return -1;
            }
            // half a sample of leeway: segment times come from the samples.
            // The first row whose span holds the time, its end excluded (a
            // segment that starts on a row's last sample time belongs to
            // the row that starts there); else the first that holds it
            // within the leeway (a row of one sample).
            double slack = samprate > 0 ? 0.5 / samprate : 0.0;
            Response *resp = nullptr;
            auto it = rows_of.find(std::string(s) + " " + c);
            long match = -1;
            if (it != rows_of.end()) {
                for (long v : it->second) {
                    if (time >= t0[v] - slack && time < t1[v]) {
                        match = v;
                        break;
                    }
                }
                if (match < 0) {
                    for (long v : it->second) {
                        if (time >= t0[v] - slack && time <= t1[v] + slack) {
                            match = v;
                            break;
                        }
                    }
                }
            }
            if (match >= 0) {
                view.record = match;
                long inid = -1;
                int mark = elog_mark();
                if (dbgetv(view, nullptr, "instrument.inid", &inid, (char *)0) < 0) throw_if_ran_out(mark);
                elog_flush(0, mark);
                if (inid >= 0) {
                    int ext = dbextfile(view, "instrument", path);
                    if (ext < 0) throw_if_ran_out(mark);
                    if (ext >= 0 && path[0]) resp = cached_response(path);
                }
            }
            if (dbputv(row, nullptr, "response", (void *)resp, (char *)0) < 0) {
                elog_log(0, "grtr_sc_create: dbputv() error.\n");
                return -1;
            }
        }
    }
    return 0;
}

#if defined(__GNUC__) && !defined(__clang__)
// The sample loops below run on vectors.  They select with integer masks
// (the bits of the floats), so no floating-point comparison stands in the
// way; the arithmetic is the plain IEEE one either way.
#define KO_VECTOR_LOOP __attribute__((optimize("O3", "no-trapping-math")))
#else
#define KO_VECTOR_LOOP
#endif

const uint32_t kAbsMask = 0x7fffffffu;

uint32_t bits_of(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}


// An input sample that is no ground motion is a gap: a gap marker (above
// 1e30), its like below -1e30, infinite, or not a number.

// d[i] = factor * d[i], gaps written as 2e30f.
KO_VECTOR_LOOP void scale_samples(float *__restrict d, long n, double factor) {
    for (long i = 0; i < n; i++) {
        float v = d[i];
        float r = (float)(factor * (double)v);
        uint32_t vb, rb;
        memcpy(&vb, &v, 4);
        memcpy(&rb, &r, 4);
        uint32_t x = (vb & kAbsMask) >= kGapBits ? kRotBits : rb;
        memcpy(&d[i], &x, 4);
    }
}

// o[i] += factor * a[i]: output gaps (from 1e30 up) stay, input gaps make
// gaps.
KO_VECTOR_LOOP void add_scaled(float *__restrict o, const float *__restrict a, long n, double factor) {
    for (long i = 0; i < n; i++) {
        float v = a[i], ov = o[i];
        float r = ov + (float)(factor * (double)v);
        uint32_t vb, ob, rb;
        memcpy(&vb, &v, 4);
        memcpy(&ob, &ov, 4);
        memcpy(&rb, &r, 4);
        uint32_t x = (vb & kAbsMask) >= kGapBits ? kRotBits : rb;
        x = (int32_t)ob >= (int32_t)kGapBits ? ob : x;
        memcpy(&o[i], &x, 4);
    }
}

// Rewrites rotated gaps (from 1e30 up) as the trace library's marker; the
// count of them.
KO_VECTOR_LOOP long mark_gaps(float *__restrict d, long n, float hostgap) {
    uint32_t hb;
    memcpy(&hb, &hostgap, 4);
    long count = 0;
    for (long i = 0; i < n; i++) {
        uint32_t b;
        memcpy(&b, &d[i], 4);
        bool g = (int32_t)b >= (int32_t)kGapBits;
        count += g;
        b = g ? hb : b;
        memcpy(&d[i], &b, 4);
    }
    return count;
}

// Adds factor times the input rows tri into the output rows tro (ranges of
// one trace table), sample by nearest sample.  Output gaps stay gaps; an
// output sample that no input row covers becomes a gap.
int traccumulate(Dbptr tro, Dbptr tri, double factor) {
    struct Seg {
        double time = 0, samprate = 0, dt = 0, end = 0;
        long nsamp = 0;
        float *data = nullptr;
    };
    auto load = [](Dbptr tr, long r, Seg &s) {
        void *p = nullptr;
        if (dbgetv(row_at(tr, r), nullptr, "time", &s.time, "samprate", &s.samprate, "nsamp", &s.nsamp, "data", &p,
                   (char *)0) < 0)
            return false;
        s.data = static_cast<float *>(p);
        if (!s.data || s.nsamp <= 0 || !(s.samprate > 0)) {
            s.nsamp = 0;
            s.dt = 1.0;
            s.end = s.time - 1.0;  // covers nothing
            return true;
        }
        s.dt = 1.0 / s.samprate;
        s.end = s.time + (double)(s.nsamp - 1) * s.dt;
        return true;
    };
    long ir = tri.record, ilast = tri.field - 1;
    Seg in;
    if (ir > ilast || !load(tri, ir, in)) {
        elog_log(0, "getchannel: dbgetv() error.\n");
        return -1;
    }
    for (long orow = tro.record; orow < tro.field; orow++) {
        Seg out;
        if (!load(tro, orow, out)) {
            elog_log(0, "getchannel: dbgetv() error.\n");
            return -1;
        }
        for (long j = 0; j < out.nsamp; j++) {
            if ((int32_t)bits_of(out.data[j]) >= (int32_t)kGapBits) continue;
            double t = out.time + (double)j * out.dt;
            while (t > in.end + 0.1 * in.dt && ir < ilast) {
                if (!load(tri, ++ir, in)) {
                    elog_log(0, "getchannel: dbgetv() error.\n");
                    return -1;
                }
            }
            if (in.nsamp == 0 || t > in.end + 0.1 * in.dt || t < in.time - 0.1 * in.dt) {
                out.data[j] = 2e30f;
                continue;
            }
            double x = (t - in.time) / in.dt;
            long k = x >= 0 ? (long)(x + 0.5) : (long)(x - 0.5);
            if (k < 0) k = 0;
            if (k >= in.nsamp) k = in.nsamp - 1;
            double frac = x - std::floor(x);
            if (std::fabs(out.dt - in.dt) <= 1e-9 * in.dt && std::fabs(frac - 0.5) > 0.01) {
                // the same sample grid, clear of the rounding boundary: the
                // nearest input sample advances with the output sample, up
                // to the end of one of the two rows
                long run = std::min(out.nsamp - j, in.nsamp - k);
                add_scaled(out.data + j, in.data + k, run, factor);
                j += run - 1;
                continue;
            }
            add_scaled(out.data + j, in.data + k, 1, factor);
        }
    }
    return 0;
}

struct InputChannel {
    long first, end;  // trace rows [first, end)
    char chan[32];
    double hang, vang, samprate;
    double dir[3];
    double factor;
};

// Rotates the input channels of rows [base, end) of *tr into one channel
// named rotate; on success the rows from base on are the output segments.
int rotate_channels(Dbptr *tr, long base, long end, const char *rotate, double strike, double dip) {
    if (!std::isfinite(strike) || !std::isfinite(dip)) {
        elog_log(0, "getchannel: Strike %g and dip %g are no direction.\n", strike, dip);
        return -1;
    }
    std::vector<InputChannel> ch;
    std::string prev;
    for (long r = base; r < end; r++) {
        char c[32] = "";
        if (dbgetv(row_at(*tr, r), nullptr, "chan", c, (char *)0) < 0) {
            elog_log(0, "getchannel: dbgetv() error.\n");
            return -1;
        }
        if (r == base || prev != c) {
            InputChannel k{};
            k.first = r;
            ch.push_back(k);
        }
        ch.back().end = r + 1;
        prev = c;
    }
    if (ch.size() != 2 && ch.size() != 3) {
        elog_log(0, "getchannel: Cannot rotate with %ld input channels.\n", (long)ch.size());
        return -1;
    }
    const double d2r = 3.14159265358979323846 / 180.0;
    double target[3] = {cos(dip * d2r) * sin(strike * d2r), cos(dip * d2r) * cos(strike * d2r), -sin(dip * d2r)};
    size_t ref = 0;
    for (size_t i = 0; i < ch.size(); i++) {
        InputChannel &k = ch[i];
        if (dbgetv(row_at(*tr, k.first), nullptr, "hang", &k.hang, "vang", &k.vang, "chan", k.chan, "samprate",
                   &k.samprate, (char *)0) < 0) {
            elog_log(0, "getchannel: dbgetv() error.\n");
            return -1;
        }
        // the orientation nulls (-1) are no direction: refuse rather than
        // rotate with a made-up one
        if (!std::isfinite(k.hang) || !(k.vang >= 0.0 && k.vang <= 180.0) ||
            (k.hang == -1.0 && fabs(sin(k.vang * d2r)) > 1e-9)) {
            elog_log(0, "getchannel: Channel %s has no orientation (hang %.1f, vang %.1f).\n", k.chan, k.hang,
                     k.vang);
            return -1;
        }
        double h = k.hang * d2r, v = k.vang * d2r;
        k.dir[0] = sin(v) * sin(h);
        k.dir[1] = sin(v) * cos(h);
        k.dir[2] = cos(v);
        k.factor = k.dir[0] * target[0] + k.dir[1] * target[1] + k.dir[2] * target[2];
        if (fabs(k.factor) > fabs(ch[ref].factor)) ref = i;
    }
    auto dot = [](const InputChannel &a, const InputChannel &b) {
        return a.dir[0] * b.dir[0] + a.dir[1] * b.dir[1] + a.dir[2] * b.dir[2];
    };
    const int pairs[3][2] = {{0, 1}, {1, 2}, {0, 2}};
    for (int p = 0; p < (ch.size() == 3 ? 3 : 1); p++) {
        const InputChannel &a = ch[pairs[p][0]], &b = ch[pairs[p][1]];
        if (fabs(dot(a, b)) > 0.001) {
            elog_log(0, "getchannel: Channels %s and %s are not orthogonal.\n", a.chan, b.chan);
            return -1;
        }
    }
    for (size_t i = 1; i < ch.size(); i++) {
        if (fabs(ch[i].samprate - ch[0].samprate) > 1e-6 * fabs(ch[0].samprate)) {
            elog_log(0, "getchannel: Channels %s and %s have different sample rates (%g and %g).\n", ch[0].chan,
                     ch[i].chan, ch[0].samprate, ch[i].samprate);
            return -1;
        }
    }

    // the reference channel, scaled, makes the output rows; its sample
    // arrays move to them (the input rows are released below anyway)
    const InputChannel &rc = ch[ref];
    long out_first = end;
    Dbptr scratch = row_at(*tr, dbSCRATCH);
    for (long r = rc.first; r < rc.end; r++) {
        Dbptr row = row_at(*tr, r);
        if (dbget(row, nullptr) < 0) {
            elog_log(0, "getchannel: dbget() error.\n");
            return -1;
        }
        long nsamp = 0;
        void *p = nullptr;
        if (dbgetv(row, nullptr, "nsamp", &nsamp, "data", &p, (char *)0) < 0) {
            elog_log(0, "getchannel: dbgetv() error.\n");
            return -1;
        }
        float *data = static_cast<float *>(p);
        if (nsamp < 0 || !data) nsamp = 0;
        if (dbputv(scratch, nullptr, "chan", rotate, "datatype", "t4", "hang", strike, "vang", 90.0 + dip, "data",
                   (void *)data, "nsamp", nsamp, (char *)0) < 0) {
            elog_log(0, "getchannel: dbputv() error.\n");
            return -1;
        }
        long added = dbadd(row_at(*tr, dbALL), nullptr);
        if (added < 0) {
            elog_log(0, "getchannel: dbadd() error.\n");
            return -1;
        }
        // one owner per array: the input row lets go of it.  Deleting the row
        // (it is released below anyway) needs no memory; only if that fails
        // does the new row give the array back.
        if (dbdelete(row) < 0) {
            dbputv(row_at(*tr, added), nullptr, "data", (void *)nullptr, "nsamp", 0L, (char *)0);
            elog_log(0, "getchannel: dbdelete() error.\n");
            return -1;
        }
        scale_samples(data, nsamp, rc.factor);
    }
    long out_end = record_count(*tr);
    for (size_t i = 0; i < ch.size(); i++) {
        if (i == ref || fabs(ch[i].factor) <= 1e-10) continue;
        if (traccumulate(range(*tr, out_first, out_end), range(*tr, ch[i].first, ch[i].end), ch[i].factor) < 0)
            return -1;
    }
    trfree(range(*tr, base, out_first));
    dbcrunch(row_at(*tr, dbALL));
    long n = record_count(*tr);
    // the trace library splits at its own gap marker
    float hostgap;
    trfill_gap(&hostgap, 1);
    long gaps = 0;
    for (long r = base; r < n; r++) {
        long nsamp = 0;
        void *p = nullptr;
        if (dbgetv(row_at(*tr, r), nullptr, "nsamp", &nsamp, "data", &p, (char *)0) < 0 || !p) continue;
        gaps += mark_gaps(static_cast<float *>(p), nsamp, hostgap);
    }
    if (gaps > 0 && trsplit(range(*tr, base, n), nullptr) < 0) {
        elog_log(0, "getchannel: trsplit() error.\n");
        return -1;
    }
    return 0;
}

// Frees rows [from, end of table) and compacts.
void drop_from(Dbptr tr, long from) {
    long n = record_count(tr);
    if (from >= n) return;
    trfree(range(tr, from, n));
    dbcrunch(row_at(tr, dbALL));
}

const char *shown(const char *s) { return s ? s : "NULL"; }

}  // namespace

extern "C" {

static int dsseis_grdb_sc_loadcss_body(Dbptr dbin, char *, char *sta_expr, char *chan_expr, double tstart,
                                       double tend, int coords, int ir, int orient, Dbptr *dbscgr, Dbptr *dbsc) {
    double t_begin = std_now(), t_mark = t_begin, c_mark = thread_cpu();
    plan_steps.clear();
    auto lap = [&t_mark, &c_mark](const char *step) {
        double now = std_now(), c = thread_cpu();
        progress("time = %.3f\n", now - t_mark);
        plan_steps.push_back({step, now - t_mark, c - c_mark});
        t_mark = now;
        c_mark = c;
    };
    if (!dbscgr || !dbsc) {
        elog_log(0, "grdb_sc_loadcss: no result pointers given.\n");
        return -1;
    }
    ViewList views;
    Dbptr none = dbinvalid();
    auto fail = [&]() {
        views.free_except(none, none);
        return -1;
    };
    Dbptr dbwf = dblookup(dbin, nullptr, "wfdisc", nullptr, nullptr);
    if (dbwf.table < 0) {
        elog_log(0, "grdb_sc_loadcss: dblookup(wfdisc) error.\n");
        return -1;
    }
    std::string expr = selection(sta_expr, chan_expr, true, tstart, tend);
    if (!expr.empty()) {
        progress("subseting wfdisc...");
        dbwf = views.add(dbsubset(dbwf, expr.c_str(), nullptr));
        if (dbwf.table < 0) {
            elog_log(0, "grdb_sc_loadcss: dbsubset() error.\n");
            return fail();
        }
        done();
        lap("subset wfdisc");
    }
    long n = record_count(dbwf);
    if (n <= 0) {
        elog_log(0, "grdb_sc_loadcss: No wfdisc rows to process.\n");
        return fail();
    }
    progress("starting with %ld wfdiscs.\n", n);
    progress("my sort...");
    Block<mybuf> owned;
    mybuf *bufs = owned.p = static_cast<mybuf *>(malloc((size_t)n * sizeof(mybuf)));
    if (!bufs) {
        elog_log(1, "grdb_sc_loadcss: malloc() error.\n");
        return fail();
    }
    long rsize = 0;
    dbquery(dbwf, dbRECORD_SIZE, &rsize);
    std::vector<char> row((size_t)(rsize > 0 ? rsize : 0) + 512);
    for (long r = 0; r < n; r++) {
        dbwf.record = r;
        if (dbget(dbwf, row.data()) < 0) {
            elog_log(0, "grdb_sc_loadcss: dbget() error.\n");
            return fail();
        }
        memcpy(bufs[r].stachantime, row.data(), 33);
        bufs[r].stachantime[33] = '\0';
        bufs[r].record = r;
    }
    qsort(bufs, (size_t)n, sizeof(mybuf), mycompar);
    char *tname = nullptr;
    dbwf.record = dbALL;
    if (dbquery(dbwf, dbTABLE_NAME, &tname) < 0 || !tname) {
        elog_log(0, "grdb_sc_loadcss: dbquery() error.\n");
        return fail();
    }
    // the view is made over the base table of the rows (the subset's own
    // name is a view name)
    Tbl *tables = strtbl((char *)"wfdisc", nullptr);
    Dbptr sorted = tables ? views.add(dbtbl2view(dbin, tables)) : dbinvalid();
    if (tables) freetbl(tables, 0);
    if (sorted.table < 0) {
        elog_log(0, "grdb_sc_loadcss: dbtbl2view() error.\n");
        return fail();
    }
    char ref[dbREF_SIZE];
    for (long i = 0; i < n; i++) {
        dbwf.record = bufs[i].record;
        if (dbref(dbwf, ref) < 0 || dbadd(sorted, ref) < 0) {
            elog_log(0, "grdb_sc_loadcss: dbadd() error.\n");
            return fail();
        }
    }
    sorted.record = dbALL;
    done();
    lap("sort");

    Dbptr result = sorted;
    if (coords || ir || orient) {
        Dbptr dbsen = dblookup(dbin, nullptr, "sensor", nullptr, nullptr);
        if (dbsen.table < 0) {
            elog_log(0, "grdb_sc_loadcss: dblookup(sensor) error.\n");
            return fail();
        }
        if (!expr.empty()) {
            progress("subseting sensor...");
            dbsen = views.add(dbsubset(dbsen, expr.c_str(), nullptr));
            if (dbsen.table < 0) {
                elog_log(0, "grdb_sc_loadcss: dbsubset() error.\n");
                return fail();
            }
            done();
            lap("subset sensor");
        }
        if (ir) {
            progress("joining sensor with instrument...");
            Dbptr inst = dblookup(dbin, nullptr, "instrument", nullptr, nullptr);
            dbsen = views.add(dbjoin(dbsen, inst, nullptr, nullptr, 1, nullptr, nullptr));
            if (dbsen.table < 0) {
                elog_log(0, "grdb_sc_loadcss: dbjoin() error.\n");
                return fail();
            }
            done();
            lap("join instrument");
            progress("reading instrument responses...");
            if (read_responses(dbsen, ir) < 0) return fail();
            done();
            lap("read responses");
        }
        if (orient) {
            progress("joining sensor with sitechan...");
            Tbl *k1 = strtbl((char *)"sensor.chanid", nullptr), *k2 = strtbl((char *)"sitechan.chanid", nullptr);
            if (!k1 || !k2) {
                if (k1) freetbl(k1, 0);
                if (k2) freetbl(k2, 0);
                elog_log(1, "grdb_sc_loadcss: newtbl() error.\n");
                return fail();
            }
            Dbptr sc = dblookup(dbin, nullptr, "sitechan", nullptr, nullptr);
            dbsen = views.add(dbjoin(dbsen, sc, &k1, &k2, 1, nullptr, nullptr));
            freetbl(k1, 0);
            freetbl(k2, 0);
            if (dbsen.table < 0) {
                elog_log(0, "grdb_sc_loadcss: dbjoin() error.\n");
                return fail();
            }
            done();
            lap("join sitechan");
        }
        if (coords) {
            progress("joining sensor with site...");
            Dbptr site = dblookup(dbin, nullptr, "site", nullptr, nullptr);
            dbsen = views.add(dbjoin(dbsen, site, nullptr, nullptr, 1, nullptr, nullptr));
            if (dbsen.table < 0) {
                elog_log(0, "grdb_sc_loadcss: dbjoin() error.\n");
                return fail();
            }
            done();
            lap("join site");
        }
        progress("joining wfdisc with sensor etc...");
        Tbl *k1 = strtbl((char *)"wfdisc.sta", (char *)"wfdisc.chan", (char *)"wfdisc.time::wfdisc.endtime", nullptr);
        Tbl *k2 = strtbl((char *)"sensor.sta", (char *)"sensor.chan", (char *)"sensor.time::sensor.endtime", nullptr);
        if (!k1 || !k2) {
            if (k1) freetbl(k1, 0);
            if (k2) freetbl(k2, 0);
            elog_log(1, "grdb_sc_loadcss: newtbl() error.\n");
            return fail();
        }
        result = views.add(dbjoin(sorted, dbsen, &k1, &k2, 1, nullptr, nullptr));
        freetbl(k1, 0);
        freetbl(k2, 0);
        if (result.table < 0) {
            elog_log(0, "grdb_sc_loadcss: dbjoin() error.\n");
            return fail();
        }
        done();
        lap("join wfdisc");
        long m = record_count(result);
        if (m <= 0) {
            elog_log(0, "grdb_sc_loadcss: No data rows to process.\n");
            return fail();
        }
        progress("ending with %ld wfdiscs.\n", m);
    }

    progress("grouping...");
    Tbl *fields = strtbl((char *)"sta", (char *)"chan", nullptr);
    if (!fields) {
        elog_log(1, "grdb_sc_loadcss: newtbl() error.\n");
        return fail();
    }
    Dbptr grouped = views.add(dbgroup(result, fields, nullptr, 1));
    freetbl(fields, 0);
    if (grouped.table < 0) {
        elog_log(0, "grdb_sc_loadcss: dbgroup() error.\n");
        return fail();
    }
    done();
    lap("group");
    // the views on the way refer to base rows only: the result needs none
    views.free_except(result, grouped);
    *dbsc = result;
    *dbscgr = grouped;
    progress("total time = %.4f\n", std_now() - t_begin);
    return 0;
}

int dsseis_plan_steps(DsseisStepTime *steps, int max) {
    int n = (int)plan_steps.size();
    for (int i = 0; i < n && i < max && steps; i++) steps[i] = plan_steps[(size_t)i];
    return n;
}

static int kodsseis_create_body(Dbptr dbin, int argc, char **argv, KODsseis **scg, char *handle) {
    if (argc <= 1 || !argv) {
        elog_log(0, "@db tstart tend [-sta sta_expr] [-chan chan_expr] [-coord coord_flag] [-ir ir_flag] "
                    "[-orient orient_flag]");
        return 2;
    }
    double tstart = 0, tend = 0;
    for (int i = 0; i < 2; i++) {
        if (!argv[i] || str2epoch_r(argv[i], i ? &tend : &tstart) < 0) {
            elog_log(0, "kodsseis_create: Cannot convert time '%s'.\n", argv[i] ? argv[i] : "(null)");
            return 1;
        }
    }
    char *sta_expr = nullptr, *chan_expr = nullptr;
    int coords = 0, ir = 0, orient = 0;
    for (int i = 2; i < argc; i++) {
        const char *opt = argv[i] ? argv[i] : "(null)";
        int *flag = nullptr;
        char **expr = nullptr;
        if (!strcmp(opt, "-sta"))
            expr = &sta_expr;
        else if (!strcmp(opt, "-chan"))
            expr = &chan_expr;
        else if (!strcmp(opt, "-coord"))
            flag = &coords;
        else if (!strcmp(opt, "-ir"))
            flag = &ir;
        else if (!strcmp(opt, "-orient"))
            flag = &orient;
        else {
            elog_log(0, "Unrecognized option %s", opt);
            return 1;
        }
        if (++i >= argc || !argv[i]) {
            elog_log(0, "Need %s argument.", opt);
            return 1;
        }
        if (expr)
            *expr = argv[i];
        else
            *flag = atoi(argv[i]);
    }
    int mark = elog_mark();
    if (dsseis_reg.ensure("kodsseis_create") < 0) {
        elog_flush(0, mark);  // this failure has no message of its own
        return -1;
    }
    Block<KODsseis> made;
    KODsseis *s = made.p = static_cast<KODsseis *>(malloc(sizeof(KODsseis)));
    if (!s) {
        elog_log(1, "malloc() error");
        return -1;
    }
    s->dbin = dbin;
    if (dsseis_grdb_sc_loadcss_body(dbin, nullptr, sta_expr, chan_expr, tstart, tend, coords, ir, orient,
                                    &s->dbscgr, &s->dbsc) < 0)
        return -1;
    // From here the views are the source's: release_source gives them back.
    made.p = nullptr;
    char tag[64];
    int added = -1;
    try {
        added = dsseis_reg.add("kodsseis_create", s, tag);
    } catch (...) {
        release_source(s);
        throw;
    }
    if (added < 0) {
        release_source(s);
        return -1;
    }
    if (handle) strcpy(handle, tag);
    if (scg) *scg = s;
    return 0;
}

KODsseis *kodsseis_get(char *handle) {
    if (!dsseis_reg.array()) {
        elog_log(0, "kodsseis_get: No scgs");
        return nullptr;
    }
    return static_cast<KODsseis *>(dsseis_reg.get("kodsseis_get", handle));
}

void kodsseis_free(char *handle) { dsseis_reg.free_silent("kodsseis_get", handle, release_source); }

static int kodsseis_getnstachans_body(int argc, char **argv) {
    if (argc < 1 || !argv || !argv[0]) {
        elog_log(0, "kodsseis_getnstachans: Need a source tag.\n");
        return -1;
    }
    KODsseis *s = kodsseis_get(argv[0]);
    if (!s) return -1;
    long n = record_count(s->dbscgr);
    if (n < 0) {
        elog_log(0, "kodsseis_getnstachans: dbquery() error.\n");
        return -1;
    }
    return (int)n;
}

static int kodsseis_getstachan_body(int argc, char **argv, char *out) {
    if (argc < 2 || !argv || !argv[0] || !argv[1] || !out) {
        elog_log(0, "kodsseis_getstachan: Need a source tag and a group number.\n");
        return -1;
    }
    KODsseis *s = kodsseis_get(argv[0]);
    if (!s) return -1;
    long group = atol(argv[1]);
    long n = record_count(s->dbscgr);
    if (group < 0 || group >= n) {
        elog_log(0, "kodsseis_getstachan: Group %s out of range (%ld groups).\n", argv[1], n);
        return -1;
    }
    char net[8], sta[64], chan[64];
    int nsegs = 0;
    double time = 0, endtime = 0;
    if (grdb_sc_getstachan(s->dbscgr, group, net, sta, chan, &nsegs, &time, &endtime) < 0) return -1;
    sprintf(out, "%s %s %s %d %.5lf %.5lf", net, sta, chan, nsegs, time, endtime);
    return 0;
}

static int dsseis_getchannel_body(Dbptr dbsc, char *net, char *sta, char *chan, double tstart, double tend,
                                  char *gap, int calib, char *rotate, double strike, double dip, char *, int *nsegs,
                                  Dbptr *trace) {
    if (!trace || !nsegs) {
        elog_log(0, "getchannel: no trace or segment count pointer given.\n");
        return -1;
    }
    long base = 0;
    if (trace->table == dbINVALID || trace->database < 0) {
        *trace = dbinvalid();
    } else {
        trace->record = dbALL;
        long n = record_count(*trace);
        if (n < 0) {
            elog_log(0, "getchannel: the trace table cannot be queried.\n");
            return -1;
        }
        base = n;
    }
    std::vector<MissingRow> missing;
    if (grtr_sc_create(dbsc, sta, chan, tstart, tend, gap, calib, base, trace, missing) < 0) {
        elog_log(0, "getchannel: grtr_sc_create(%s, %s, %s) error.\n", shown(net), shown(sta), shown(chan));
        return -1;
    }
    Dbptr tr = row_at(*trace, dbALL);
    long n = record_count(tr);

    // the first station
    std::string first_sta;
    {
        std::string prev;
        long r = base;
        for (; r < n; r++) {
            char nt[32] = "", st[32] = "";
            if (dbgetv(row_at(tr, r), nullptr, "net", nt, "sta", st, (char *)0) < 0) {
                elog_log(0, "getchannel: dbgetv() error.\n");
                return -1;
            }
            std::string key = std::string(nt) + " " + st;
            if (r > base && key != prev) break;
            prev = key;
            if (r == base) first_sta = st;
        }
        drop_from(tr, r);
        n = record_count(tr);
    }
    std::string first_chan;
    if (!rotate) {
        std::string prev;
        long r = base;
        for (; r < n; r++) {
            char c[32] = "";
            if (dbgetv(row_at(tr, r), nullptr, "chan", c, (char *)0) < 0) {
                elog_log(0, "getchannel: dbgetv() error.\n");
                return -1;
            }
            if (r > base && prev != c) break;
            prev = c;
            if (r == base) first_chan = c;
        }
        drop_from(tr, r);
        n = record_count(tr);
    }
    // a missing waveform file of a row that sorts at or before what was
    // kept would change or hole the answer: refuse
    for (const MissingRow &m : missing) {
        bool lost = n == base || m.sta < first_sta ||
                    (m.sta == first_sta && (rotate || m.chan <= first_chan));
        if (lost) {
            drop_from(tr, base);
            elog_log(0, "getchannel: waveform file '%s' of %s %s is missing.\n", m.path.c_str(), m.sta.c_str(),
                     m.chan.c_str());
            return -1;
        }
    }
    if (rotate) {
        if (rotate_channels(&tr, base, n, rotate, strike, dip) < 0) return -1;
        n = record_count(tr);
    }
    *nsegs = (int)(n - base);
    *trace = tr;
    trace->record = base;
    trace->field = n;
    return 0;
}

static int kodsseis_getchannel_body(int argc, char **argv, int *nsegs, Dbptr *trace) {
    if (argc < 1 || !argv || !argv[0]) {
        elog_log(0, "kodsseis_getchannel: Need a source tag.\n");
        return -1;
    }
    KODsseis *s = kodsseis_get(argv[0]);
    if (!s) return -1;
    double tstart = 0, tend = 0;
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i] ? argv[i] : "(null)";
        int which;
        if (!strcmp(opt, "-time"))
            which = 0;
        else if (!strcmp(opt, "-twin"))
            which = 1;
        else if (!strcmp(opt, "-endtime"))
            which = 2;
        else {
            elog_log(0, "Unrecognized option %s", opt);
            return 1;
        }
        if (++i >= argc || !argv[i]) {
            elog_log(0, "Need %s argument.", opt);
            return 1;
        }
        if (which == 1) {
            tend = tstart + atof(argv[i]);
        } else if (str2epoch_r(argv[i], which == 0 ? &tstart : &tend) < 0) {
            elog_log(0, "kodsseis_getchannel: Cannot convert time '%s'.\n", argv[i]);
            return 1;
        }
    }
    return dsseis_getchannel_body(s->dbsc, nullptr, nullptr, nullptr, tstart, tend, nullptr, 1, nullptr, 0, 0, nullptr,
                             nsegs, trace);
}

int kodsseis_getsegment(Dbptr trace, int iseg, double *tstart, double *dt, int *nsamp, float **data) {
    if (!tstart || !dt || !nsamp || !data) {
        elog_log(0, "kodsseis_getsegment: null result pointer.\n");
        return -1;
    }
    long row = iseg < 0 ? trace.record : trace.record + iseg;
    if (trace.record < 0 || (iseg >= 0 && trace.field > trace.record && row >= trace.field)) {
        elog_log(0, "kodsseis_getsegment: segment %d is not in the result.\n", iseg);
        return -1;
    }
    long ns = 0;
    double samprate = 0;
    void *p = nullptr;
    if (dbgetv(row_at(trace, row), nullptr, "time", tstart, "nsamp", &ns, "samprate", &samprate, "data", &p,
               (char *)0) < 0) {
        elog_log(0, "kodsseis_getsegment: dbgetv() error.\n");
        return -1;
    }
    *nsamp = (int)ns;
    *dt = samprate != 0.0 ? 1.0 / samprate : 0.0;
    *data = static_cast<float *>(p);
    return 0;
}

// The exported entries: memory running out (std::bad_alloc from the engine's
// containers or this file's own) is the failure result with a message.

int dsseis_grdb_sc_loadcss(Dbptr dbin, char *dbname, char *sta_expr, char *chan_expr, double tstart, double tend,
                           int coords, int ir, int orient, Dbptr *dbscgr, Dbptr *dbsc) {
    return ko_guarded("grdb_sc_loadcss", -1, [&] {
        return dsseis_grdb_sc_loadcss_body(dbin, dbname, sta_expr, chan_expr, tstart, tend, coords, ir, orient,
                                           dbscgr, dbsc);
    });
}

int kodsseis_create(Dbptr dbin, int argc, char **argv, KODsseis **scg, char *handle) {
    return ko_guarded("kodsseis_create", -1, [&] { return kodsseis_create_body(dbin, argc, argv, scg, handle); });
}

int kodsseis_getnstachans(int argc, char **argv) {
    return ko_guarded("kodsseis_getnstachans", -1, [&] { return kodsseis_getnstachans_body(argc, argv); });
}

int kodsseis_getstachan(int argc, char **argv, char *out) {
    return ko_guarded("kodsseis_getstachan", -1, [&] { return kodsseis_getstachan_body(argc, argv, out); });
}

int dsseis_getchannel(Dbptr dbsc, char *net, char *sta, char *chan, double tstart, double tend, char *gap, int calib,
                      char *rotate, double strike, double dip, char *group, int *nsegs, Dbptr *trace) {
    return ko_guarded("getchannel", -1, [&] {
        return dsseis_getchannel_body(dbsc, net, sta, chan, tstart, tend, gap, calib, rotate, strike, dip, group,
                                      nsegs, trace);
    });
}

int kodsseis_getchannel(int argc, char **argv, int *nsegs, Dbptr *trace) {
    return ko_guarded("kodsseis_getchannel", -1, [&] { return kodsseis_getchannel_body(argc, argv, nsegs, trace); });
}

}  // extern "C"

