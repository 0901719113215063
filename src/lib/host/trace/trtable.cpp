// Trace tables: in-memory `trace` rows that own float samples, loaded from
// wfdisc rows (with station metadata from the view they come in), split at
// gaps, spliced where segments meet, calibrated once, and released.
//
// Memory may run out at any step.  Every operation either completes or
// leaves the table as it found it: samples belong to exactly one owner at
// any time (a local owner until a row holds them), and operations that
// rewrite rows append the new rows first -- the only step that needs
// memory -- and then delete the old ones and compact, which cannot fail.
#include "tr.h"

#include <float.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "guard_pvt.h"
#include "ranout_pvt.h"
#include "stock.h"

namespace {

const int kText = 130;  // room for any text field (db values are at most 128 wide)

// The rows a trace pointer designates (see tr.h): [*first, *end).
bool row_set(const char *fname, Dbptr tr, long *first, long *end) {
    long n = 0;
    if (tr.database < 0 || tr.table < 0 || dbquery(tr, dbRECORD_COUNT, &n) < 0) {
        elog_log(0, "%s: not a trace table pointer.\n", fname);
        return false;
    }
    if (tr.record == dbALL || tr.record == dbINVALID) {
        *first = 0;
        *end = n;
    } else if (tr.record >= 0 && tr.field > tr.record) {
        *first = tr.record;
        *end = std::min(tr.field, n);
    } else if (tr.record >= 0 && tr.record < n) {
        *first = tr.record;
        *end = tr.record + 1;
    } else {
        elog_log(0, "%s: record %ld is not in the trace table (%ld rows).\n", fname, tr.record, n);
        return false;
    }
    return true;
}

Dbptr at(Dbptr tr, long record) {
    tr.record = record;
    tr.field = dbALL;
    return tr;
}

struct Samples {
    float *data = nullptr;
    long nsamp = 0;
    double time = 0, samprate = 0;
};

bool read_samples(Dbptr row, Samples *s) {
    void *p = nullptr;
    if (dbgetv(row, nullptr, "data", &p, "nsamp", &s->nsamp, "time", &s->time, "samprate", &s->samprate,
               (char *)0) < 0)
        return false;
    s->data = static_cast<float *>(p);
    return true;
}

bool in_list(Tbl *tables, const char *name) {
    for (long i = 0; i < maxtbl(tables); i++)
        if (!strcmp(static_cast<const char *>(gettbl(tables, i)), name)) return true;
    return false;
}

// Window times come as time strings or as parenthesised expressions of a
// number ("(1580560496.78900)"), the form callers build with "(%.5f)".
bool parse_time(const char *text, double *t) {
    if (!text) return false;
    std::string s = text;
    for (;;) {
        size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
        if (a == std::string::npos) return false;
        s = s.substr(a, b - a + 1);
        if (s.size() >= 2 && s.front() == '(' && s.back() == ')')
            s = s.substr(1, s.size() - 2);
        else
            break;
    }
    return str2epoch_r(s.c_str(), t) == 0;
}

// Samples owned by an operation until a row holds them.
struct FreeFloats {
    void operator()(float *p) const { free(p); }
};
using Floats = std::unique_ptr<float, FreeFloats>;

// Sample arrays made by an operation, freed unless the operation hands them
// to rows (keep()).
struct NewArrays {
    std::vector<float *> p;
    ~NewArrays() {
        for (float *a : p) free(a);
    }
    // Takes an array over; frees it when it cannot be noted.
    float *adopt(Floats a) {
        p.push_back(a.get());
        return a.release();
    }
    void keep() { p.clear(); }
};

// Marks rows [from, end of table) deleted without touching their samples
// (which belong to other rows or to the caller) and compacts the table.
// Needs no memory.
void drop_rows(Dbptr tr, long from) {
    long n = 0;
    if (dbquery(tr, dbRECORD_COUNT, &n) < 0) return;
    for (long r = n - 1; r >= from; r--) dbdelete(at(tr, r));
    dbcrunch(at(tr, dbALL));
}

// One row of a rewrite: its text, and for a row with new samples the fields
// that describe them.
struct NewRow {
    std::string text;
    bool samples = false;
    float *data = nullptr;
    long nsamp = 0;
    double time = 0, endtime = 0;
};

// Replaces rows [first, n) -- the end of the table -- by rows, all or
// nothing.  The new rows are appended behind the old ones (the step that may
// fail: it is undone by dropping them), then the old rows are deleted and
// the table compacted, which needs no memory.  Compacting also drops rows
// deleted earlier (trfree), as every rewrite does.  0, or -1 with a message
// and the rows as they were.
int replace_rows(const char *fname, Dbptr tr, long first, long n, const std::vector<NewRow> &rows) {
    Dbptr all = at(tr, dbALL);
    bool ok = true;
    try {
        for (const NewRow &o : rows) {
            long rec = dbadd(all, o.text.c_str());
            if (rec < 0 || (o.samples && dbputv(at(tr, rec), nullptr, "data", (void *)o.data, "nsamp", o.nsamp,
                                                "time", o.time, "endtime", o.endtime, (char *)0) < 0)) {
                ok = false;
                break;
            }
        }
    } catch (...) {
        drop_rows(tr, n);
        throw;
    }
    if (!ok) {
        drop_rows(tr, n);
        elog_log(0, "%s: cannot rewrite the rows of the trace table.\n", fname);
        return -1;
    }
    for (long r = first; r < n; r++) dbdelete(at(tr, r));
    dbcrunch(all);
    return 0;
}

// The texts of rows [first, n).
bool row_texts(const char *fname, Dbptr tr, long first, long n, std::vector<std::string> *texts) {
    long rsize = 0;
    if (dbquery(tr, dbRECORD_SIZE, &rsize) < 0 || rsize <= 0) {
        elog_log(0, "%s: dbquery() error.\n", fname);
        return false;
    }
    std::vector<char> buf((size_t)rsize + 2);
    texts->reserve((size_t)(n - first));
    for (long r = first; r < n; r++) {
        if (dbget(at(tr, r), buf.data()) < 0) {
            elog_log(0, "%s: dbget() error for row %ld.\n", fname, r);
            return false;
        }
        texts->emplace_back(buf.data());
    }
    return true;
}

Dbptr make_table() {
    Dbptr db;
    if (dbopen_memory(&db) < 0) {
        elog_log(0, "trnew: dbopen_memory() error.\n");
        return dbinvalid();
    }
    Dbptr tr;
    try {
        tr = dblookup(db, nullptr, "trace", nullptr, "dbALL");
    } catch (...) {
        dbclose(db);
        throw;
    }
    if (tr.table < 0) {
        elog_log(0, "trnew: no trace table in the in-memory database.\n");
        dbclose(db);
        return dbinvalid();
    }
    return tr;
}

// What a failed load gives back: the trace database it made, or the rows it
// added to the caller's.
struct LoadUndo {
    Dbptr *tr = nullptr;
    bool created = false;
    Dbptr trace = dbinvalid();  // set once the row count n0 is known
    long n0 = 0;
    bool armed = true;
    ~LoadUndo() {
        if (!armed) return;
        if (created) {
            trdestroy(tr);
        } else if (trace.database >= 0 && trace.table >= 0) {
            long n = 0;
            if (dbquery(trace, dbRECORD_COUNT, &n) == 0 && n > n0) {
                Dbptr added = trace;
                added.record = n0;
                added.field = n;
                trfree(added);
                dbcrunch(at(trace, dbALL));
            }
        }
    }
};

int load_rows(Dbptr view, const char *t0string, const char *t1string, Dbptr *tr) {
    double t0, t1;
    if (!parse_time(t0string, &t0)) {
        elog_log(0, "trload_cssgrp: cannot read the start time '%s'.\n", t0string ? t0string : "(null)");
        return -1;
    }
    if (!parse_time(t1string, &t1)) {
        elog_log(0, "trload_cssgrp: cannot read the end time '%s'.\n", t1string ? t1string : "(null)");
        return -1;
    }
    if (!tr) {
        elog_log(0, "trload_cssgrp: no trace table pointer given.\n");
        return -1;
    }
    Tbl *tables = nullptr;
    long isview = 0, n = 0;
    if (dbquery(view, dbVIEW_TABLES, &tables) < 0 || dbquery(view, dbTABLE_IS_VIEW, &isview) < 0 ||
        dbquery(view, dbRECORD_COUNT, &n) < 0) {
        elog_log(0, "trload_cssgrp: the view cannot be queried.\n");
        return -1;
    }
    if (!in_list(tables, "wfdisc")) {
        elog_log(0, "trload_cssgrp: the view holds no wfdisc table.\n");
        return -1;
    }
    bool has_site = in_list(tables, "site"), has_sitechan = in_list(tables, "sitechan"),
         has_sensor = in_list(tables, "sensor"), has_instrument = in_list(tables, "instrument"),
         has_snetsta = in_list(tables, "snetsta");
    const char *wf = isview ? "wfdisc" : nullptr;
    LoadUndo undo;
    undo.tr = tr;
    if (tr->database == dbINVALID) {
        *tr = trnew(nullptr, nullptr);
        if (tr->database == dbINVALID) {
            elog_log(0, "trload_cssgrp: trnew() error.\n");
            return -1;
        }
        undo.created = true;
    }
    Dbptr trace = dblookup(*tr, nullptr, "trace", nullptr, "dbALL");
    if (trace.table < 0) {
        elog_log(0, "trload_cssgrp: the trace database has no trace table.\n");
        return -1;
    }
    if (dbquery(trace, dbRECORD_COUNT, &undo.n0) < 0) {
        elog_log(0, "trload_cssgrp: the trace table cannot be queried.\n");
        return -1;
    }
    undo.trace = trace;
    long first = 0, end = n;
    if (view.record >= 0) {
        first = view.record;
        end = view.field > view.record ? std::min(view.field, n) : view.record + 1;
    }
    for (long r = first; r < end; r++) {
        Dbptr row = at(view, r);
        char sta[kText] = "", chan[kText] = "", segtype[kText] = "", datatype[kText] = "", instype[kText] = "",
             clip[kText] = "", dir[kText] = "", dfile[kText] = "", net[kText] = "";
        double time = 0, endtime = 0, samprate = 0, calib = 0, calper = 0;
        long wfid = 0, chanid = 0, jdate = 0, foff = 0, nsamp = 0;
        if (dbgetv(row, wf, "sta", sta, "chan", chan, "time", &time, "endtime", &endtime, "nsamp", &nsamp,
                   "samprate", &samprate, "calib", &calib, "calper", &calper, "segtype", segtype, "datatype",
                   datatype, "wfid", &wfid, "chanid", &chanid, "jdate", &jdate, "instype", instype, "clip", clip,
                   "dir", dir, "dfile", dfile, "foff", &foff, (char *)0) < 0) {
            elog_log(0, "trload_cssgrp: dbgetv() error for wfdisc row %ld.\n", r);
            return -1;
        }
        // Stored times are rounded; half a sample of leeway lets trgetwf,
        // which knows the samples, decide about a row at the window's edge.
        double pad = samprate > 0.0 && std::isfinite(samprate) ? 0.5 / samprate : 0.0;
        if (endtime + pad < t0 || time - pad > t1) continue;
        float *raw = nullptr;
        long size = 0, got = 0;
        double ts = 0, te = 0;
        int rc = trgetwf(row, &raw, &size, t0, t1, &ts, &te, &got);
        Floats data(raw);
        if (rc == TRGETWF_ENOMEM) {
            // Not a fault of the row: the load as a whole fails.
            trgetwf_error(rc, row);
            elog_log(1, "trload_cssgrp: out of memory for wfdisc row %ld (%s %s).\n", r, sta, chan);
            return -1;
        }
        if (rc < 0) {
            // One unreadable file does not stop the others; its reason stays
            // in the register.
            trgetwf_error(rc, row);
            elog_log(0, "trload_cssgrp: row %ld (%s %s) skipped.\n", r, sta, chan);
            continue;
        }
        if (got <= 0) continue;
        double lat = -999.0, lon = -999.0, elev = -999.0, edepth = -1.0, hang = -1.0, vang = -1.0;  // trace nulls
        int mark = elog_mark();
        if (has_site) dbgetv(row, "site", "lat", &lat, "lon", &lon, "elev", &elev, (char *)0);
        if (has_sitechan) dbgetv(row, "sitechan", "hang", &hang, "vang", &vang, "edepth", &edepth, (char *)0);
        if (has_snetsta) dbgetv(row, "snetsta", "snet", net, (char *)0);
        if (has_instrument && (calib == 0.0 || calper <= 0.0)) {
            double ncalib = 0, ncalper = 0, calratio = -1.0;
            char itype[kText] = "";
            if (dbgetv(row, "instrument", "ncalib", &ncalib, "ncalper", &ncalper, "instype", itype, (char *)0) == 0) {
                if (has_sensor) dbgetv(row, "sensor", "calratio", &calratio, (char *)0);
                if (calib == 0.0 && ncalib != 0.0) calib = ncalib * (calratio > 0.0 ? calratio : 1.0);
                if (calper <= 0.0 && ncalper > 0.0) calper = ncalper;
                if ((!*instype || !strcmp(instype, "-")) && *itype) strcpy(instype, itype);
            }
        }
        // Partners missing from an outer join read as nulls; memory running
        // out while reading them is a failure, not a null.
        bool ran_out = elog_ran_out_since(mark);
        elog_flush(0, mark);
        if (ran_out) {
            elog_log(1, "trload_cssgrp: out of memory reading the metadata of wfdisc row %ld.\n", r);
            return -1;
        }
        long rec = dbaddv(trace, nullptr, "net", net, "sta", sta, "chan", chan, "time", ts, "endtime", te, "nsamp", got,
                          "samprate", samprate, "calib", calib, "calper", calper, "segtype", segtype, "datatype",
                          datatype, "hang", hang, "vang", vang, "lat", lat, "lon", lon, "elev", elev, "edepth",
                          edepth, "data", (void *)data.get(), "wfid", wfid, "chanid", chanid, "jdate", jdate,
                          "instype", instype, "clip", clip, "dir", dir, "dfile", dfile, "foff", foff, (char *)0);
        if (rec < 0) {
            elog_log(0, "trload_cssgrp: dbaddv() error for wfdisc row %ld.\n", r);
            return -1;
        }
        data.release();  // the row owns the samples now
    }
    undo.armed = false;
    tr->table = trace.table;
    tr->record = dbALL;
    tr->field = dbALL;
    return 0;
}

int split_rows(Dbptr tr, long *nsplit) {
    if (nsplit) *nsplit = 0;
    long first, end, n = 0;
    if (!row_set("trsplit", tr, &first, &end)) return -1;
    dbquery(tr, dbRECORD_COUNT, &n);
    std::vector<std::string> texts;
    if (!row_texts("trsplit", tr, first, n, &texts)) return -1;
    const float gap = TRGAP_VALUE;
    NewArrays pieces;
    std::vector<NewRow> out;
    std::vector<float *> release;
    out.reserve(texts.size());
    long changed = 0;
    // Every row from the first of the set on is rewritten, so that pieces
    // stay where their row was and later rows keep their order.
    for (long r = first; r < n; r++) {
        Dbptr row = at(tr, r);
        NewRow keep;
        keep.text = std::move(texts[(size_t)(r - first)]);
        Samples s;
        if (r >= end || !read_samples(row, &s) || !s.data || s.nsamp <= 0 || !(s.samprate > 0)) {
            out.push_back(std::move(keep));
            continue;
        }
        std::vector<std::pair<long, long>> runs;  // first, count
        for (long i = 0; i < s.nsamp;) {
            while (i < s.nsamp && s.data[i] == gap) i++;
            long j = i;
            while (j < s.nsamp && s.data[j] != gap) j++;
            if (j > i) runs.emplace_back(i, j - i);
            i = j;
        }
        if (runs.size() == 1 && runs[0].second == s.nsamp) {
            out.push_back(std::move(keep));
            continue;
        }
        changed++;
        for (auto &run : runs) {
            Floats piece(static_cast<float *>(malloc((size_t)run.second * sizeof(float))));
            if (!piece) {
                elog_log(1, "trsplit: malloc() error.\n");
                return -1;
            }
            memcpy(piece.get(), s.data + run.first, (size_t)run.second * sizeof(float));
            NewRow o;
            o.text = keep.text;
            o.samples = true;
            o.nsamp = run.second;
            o.time = s.time + (double)run.first / s.samprate;
            o.endtime = s.time + (double)(run.first + run.second - 1) / s.samprate;
            o.data = pieces.adopt(std::move(piece));
            out.push_back(std::move(o));
        }
        release.push_back(s.data);
    }
    if (changed == 0) return 0;
    if (replace_rows("trsplit", tr, first, n, out) < 0) return -1;
    pieces.keep();
    for (float *p : release) free(p);
    if (nsplit) *nsplit = changed;
    return 0;
}

int splice_rows(Dbptr tr, double tolerance, long *nspliced) {
    if (nspliced) *nspliced = 0;
    long first, end, n = 0;
    if (!row_set("trsplice", tr, &first, &end)) return -1;
    dbquery(tr, dbRECORD_COUNT, &n);
    struct Row {
        long record;
        std::string key;
        Samples s;
        double calib;
        long total;                  // samples of the row and the rows joined to it
        std::vector<size_t> joined;  // rows that continue it, in time order
    };
    std::vector<Row> rows;
    for (long r = first; r < end; r++) {
        Dbptr row = at(tr, r);
        char net[kText] = "", sta[kText] = "", chan[kText] = "";
        Row x;
        x.record = r;
        if (dbgetv(row, nullptr, "net", net, "sta", sta, "chan", chan, "calib", &x.calib, (char *)0) < 0 ||
            !read_samples(row, &x.s)) {
            elog_log(0, "trsplice: dbgetv() error for row %ld.\n", r);
            return -1;
        }
        if (!x.s.data || x.s.nsamp <= 0 || !(x.s.samprate > 0)) continue;
        x.key = std::string(net) + "\n" + sta + "\n" + chan;
        x.total = x.s.nsamp;
        rows.push_back(std::move(x));
    }
    // The plan: which rows continue which.
    std::map<std::string, std::vector<size_t>> groups;
    for (size_t i = 0; i < rows.size(); i++) groups[rows[i].key].push_back(i);
    long joins = 0;
    std::vector<size_t> heads;
    for (auto &g : groups) {
        std::vector<size_t> &v = g.second;
        std::stable_sort(v.begin(), v.end(), [&](size_t a, size_t b) { return rows[a].s.time < rows[b].s.time; });
        size_t h = v[0];
        for (size_t k = 1; k < v.size(); k++) {
            Row &head = rows[h], &next = rows[v[k]];
            double dt = 1.0 / head.s.samprate;
            double expect = head.s.time + (double)head.total * dt;
            bool same_rate = std::fabs(next.s.samprate - head.s.samprate) <= 1e-6 * head.s.samprate;
            if (same_rate && head.calib == next.calib && std::fabs(next.s.time - expect) <= tolerance * dt) {
                if (head.joined.empty()) heads.push_back(h);
                head.joined.push_back(v[k]);
                head.total += next.s.nsamp;
                joins++;
            } else {
                h = v[k];
            }
        }
    }
    if (joins == 0) return 0;
    // The joined arrays, made before anything changes.
    NewArrays made;
    std::map<long, NewRow> joined_rows;  // by the head's record
    std::vector<char> gone((size_t)(n - first), 0);
    for (size_t h : heads) {
        Row &head = rows[h];
        Floats all(static_cast<float *>(malloc((size_t)head.total * sizeof(float))));
        if (!all) {
            elog_log(1, "trsplice: malloc() error.\n");
            return -1;
        }
        memcpy(all.get(), head.s.data, (size_t)head.s.nsamp * sizeof(float));
        long at_sample = head.s.nsamp;
        for (size_t k : head.joined) {
            memcpy(all.get() + at_sample, rows[k].s.data, (size_t)rows[k].s.nsamp * sizeof(float));
            at_sample += rows[k].s.nsamp;
            gone[(size_t)(rows[k].record - first)] = 1;
        }
        NewRow o;
        o.samples = true;
        o.nsamp = head.total;
        o.time = head.s.time;
        o.endtime = head.s.time + (double)(head.total - 1) / head.s.samprate;
        o.data = made.adopt(std::move(all));
        joined_rows.emplace(head.record, std::move(o));
    }
    std::vector<std::string> texts;
    if (!row_texts("trsplice", tr, first, n, &texts)) return -1;
    std::vector<NewRow> out;
    out.reserve(texts.size());
    for (long r = first; r < n; r++) {
        if (gone[(size_t)(r - first)]) continue;
        auto it = joined_rows.find(r);
        NewRow o;
        if (it != joined_rows.end()) o = std::move(it->second);
        o.text = std::move(texts[(size_t)(r - first)]);
        out.push_back(std::move(o));
    }
    if (replace_rows("trsplice", tr, first, n, out) < 0) return -1;
    made.keep();
    for (size_t h : heads) {
        free(rows[h].s.data);
        for (size_t k : rows[h].joined) free(rows[k].s.data);
    }
    if (nspliced) *nspliced = joins;
    return 0;
}

// Each row is calibrated whole: its mark is written first (the step that may
// fail) and its samples scaled after, so a row's samples are scaled exactly
// when it says so.  A failure leaves the rows before it calibrated and the
// rest as they were; as calibrating twice changes nothing, a second call
// completes the set.
int calibrate_rows(Dbptr tr) {
    long first, end;
    if (!row_set("trapply_calib", tr, &first, &end)) return -1;
    for (long r = first; r < end; r++) {
        Dbptr row = at(tr, r);
        Samples s;
        double calib = 0;
        long calibrated = 0;
        if (!read_samples(row, &s) ||
            dbgetv(row, nullptr, "calib", &calib, "calibrated", &calibrated, (char *)0) < 0) {
            elog_log(0, "trapply_calib: dbgetv() error for row %ld.\n", r);
            return -1;
        }
        if (!s.data || s.nsamp <= 0 || calib == 0.0 || !std::isfinite(calib)) continue;
        // Samples times calib are ground motion: once applied, calib becomes
        // 1 so that the row still says so, and a second call changes nothing.
        // The mark is a field of the row, so it travels with the row and
        // never outlives the samples it describes.
        if (calib == 1.0 && calibrated == 1) continue;
        if (dbputv(row, nullptr, "calib", 1.0, "calibrated", 1L, (char *)0) < 0) {
            elog_log(0, "trapply_calib: dbputv() error for row %ld.\n", r);
            return -1;
        }
        if (calib != 1.0) {
            const float gap = TRGAP_VALUE;
            float c = (float)calib;
            for (long i = 0; i < s.nsamp; i++)
                if (s.data[i] != gap) s.data[i] *= c;
        }
    }
    return 0;
}

// Deleting a row drops its reference to the samples (all its fields become
// null) and needs no memory; the samples are freed after, so that no row
// ever points at released storage.
int free_rows(Dbptr tr) {
    long first, end;
    if (!row_set("trfree", tr, &first, &end)) return -1;
    int rc = 0;
    for (long r = first; r < end; r++) {
        Dbptr row = at(tr, r);
        void *p = nullptr;
        int mark = elog_mark();
        int got = dbgetv(row, nullptr, "data", &p, (char *)0);
        bool ran_out = got < 0 && elog_ran_out_since(mark);
        elog_flush(0, mark);  // rows already deleted read as nulls
        if (ran_out) {
            // The row keeps its samples rather than lose them.
            elog_log(1, "trfree: out of memory reading row %ld; it is kept.\n", r);
            rc = -1;
            continue;
        }
        if (dbdelete(row) < 0) {
            elog_log(0, "trfree: cannot delete row %ld; it keeps its samples.\n", r);
            rc = -1;
            continue;
        }
        if (got == 0) free(p);
    }
    return rc;
}

}  // namespace

extern "C" {

Dbptr trnew(const char *, const char *) { return host_guarded("trnew", dbinvalid(), [] { return make_table(); }); }

int trload_cssgrp(Dbptr view, const char *t0string, const char *t1string, Dbptr *tr, const char *, const char *) {
    return host_guarded("trload_cssgrp", -1, [&] { return load_rows(view, t0string, t1string, tr); });
}

int trsplit(Dbptr tr, long *nsplit) {
    return host_guarded("trsplit", -1, [&] { return split_rows(tr, nsplit); });
}

int trsplice(Dbptr tr, double tolerance, long *nspliced) {
    return host_guarded("trsplice", -1, [&] { return splice_rows(tr, tolerance, nspliced); });
}

int trapply_calib(Dbptr tr) {
    return host_guarded("trapply_calib", -1, [&] { return calibrate_rows(tr); });
}

int trcalibrated(Dbptr row) {
    return host_guarded("trcalibrated", 0, [&] {
        long calibrated = 0;
        int mark = elog_mark();
        double calib = 0;
        bool ok = dbgetv(row, nullptr, "calib", &calib, "calibrated", &calibrated, (char *)0) == 0;
        elog_flush(0, mark);
        return ok && calib == 1.0 && calibrated == 1 ? 1 : 0;
    });
}

int trfree(Dbptr tr) {
    return host_guarded("trfree", -1, [&] { return free_rows(tr); });
}

// Closing needs the trace table's rows released first; when the table cannot
// be named by lookup, the pointer's own table is taken.
int trdestroy(Dbptr *tr) {
    if (!tr || tr->database < 0) return 0;
    return host_guarded("trdestroy", -1, [&] {
        int mark = elog_mark();
        Dbptr all = dblookup(*tr, nullptr, "trace", nullptr, "dbALL");
        if (all.table < 0 && tr->table >= 0) {
            elog_flush(0, mark);
            all = at(*tr, dbALL);
        }
        // A row that could not be released keeps the database open: closing
        // it would lose the samples; a later call can finish the job.
        if (all.table >= 0 && trfree(all) < 0) return -1;
        Dbptr db = *tr;
        db.table = db.field = db.record = dbALL;
        int rc = dbclose(db) < 0 ? -1 : 0;
        *tr = dbinvalid();
        return rc;
    });
}

}  // extern "C"
