// Trace tables: in-memory `trace` rows that own float samples, loaded from
// wfdisc rows (with station metadata from the view they come in), split at
// gaps, spliced where segments meet, calibrated once, and released.
#include "tr.h"

#include <float.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

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

}  // namespace

extern "C" {

Dbptr trnew(const char *, const char *) {
    Dbptr db;
    if (dbopen_memory(&db) < 0) {
        elog_log(0, "trnew: dbopen_memory() error.\n");
        return dbinvalid();
    }
    Dbptr tr = dblookup(db, nullptr, "trace", nullptr, "dbALL");
    if (tr.table < 0) {
        elog_log(0, "trnew: no trace table in the in-memory database.\n");
        dbclose(db);
        return dbinvalid();
    }
    return tr;
}

int trload_cssgrp(Dbptr view, const char *t0string, const char *t1string, Dbptr *tr, const char *, const char *) {
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
    if (tr->database == dbINVALID) {
        *tr = trnew(nullptr, nullptr);
        if (tr->database == dbINVALID) {
            elog_log(0, "trload_cssgrp: trnew() error.\n");
            return -1;
        }
    }
    Dbptr trace = dblookup(*tr, nullptr, "trace", nullptr, "dbALL");
    if (trace.table < 0) {
        elog_log(0, "trload_cssgrp: the trace database has no trace table.\n");
        return -1;
    }
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
        float *data = nullptr;
        long size = 0, got = 0;
        double ts = 0, te = 0;
        int rc = trgetwf(row, &data, &size, t0, t1, &ts, &te, &got);
        if (rc < 0) {
            // One unreadable file does not stop the others; its reason stays
            // in the register.
            trgetwf_error(rc, row);
            elog_log(0, "trload_cssgrp: row %ld (%s %s) skipped.\n", r, sta, chan);
            free(data);
            continue;
        }
        if (got <= 0) {
            free(data);
            continue;
        }
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
        elog_flush(0, mark);  // partners missing from an outer join read as nulls
        long rec = dbaddv(trace, nullptr, "net", net, "sta", sta, "chan", chan, "time", ts, "endtime", te, "nsamp", got,
                          "samprate", samprate, "calib", calib, "calper", calper, "segtype", segtype, "datatype",
                          datatype, "hang", hang, "vang", vang, "lat", lat, "lon", lon, "elev", elev, "edepth",
                          edepth, "data", (void *)data, "wfid", wfid, "chanid", chanid, "jdate", jdate, "instype",
                          instype, "clip", clip, "dir", dir, "dfile", dfile, "foff", foff, (char *)0);
        if (rec < 0) {
            free(data);
            elog_log(0, "trload_cssgrp: dbaddv() error for wfdisc row %ld.\n", r);
            return -1;
        }
    }
    tr->table = trace.table;
    tr->record = dbALL;
    tr->field = dbALL;
    return 0;
}

int trsplit(Dbptr tr, long *nsplit) {
    if (nsplit) *nsplit = 0;
    long first, end, n = 0, rsize = 0;
    if (!row_set("trsplit", tr, &first, &end)) return -1;
    dbquery(tr, dbRECORD_COUNT, &n);
    if (dbquery(tr, dbRECORD_SIZE, &rsize) < 0 || rsize <= 0) {
        elog_log(0, "trsplit: dbquery() error.\n");
        return -1;
    }
    const float gap = TRGAP_VALUE;
    struct Out {
        std::string text;
        bool piece = false;
        float *data = nullptr;
        long nsamp = 0;
        double time = 0, endtime = 0;
    };
    std::vector<Out> out;
    std::vector<float *> release;
    std::vector<char> buf((size_t)rsize + 2);
    long changed = 0;
    // Every row from the first of the set on is rewritten, so that pieces
    // stay where their row was and later rows keep their order.
    for (long r = first; r < n; r++) {
        Dbptr row = at(tr, r);
        if (dbget(row, buf.data()) < 0) {
            elog_log(0, "trsplit: dbget() error for row %ld.\n", r);
            for (Out &o : out)
                if (o.piece) free(o.data);
            return -1;
        }
        Out keep;
        keep.text = buf.data();
        Samples s;
        if (r >= end || !read_samples(row, &s) || !s.data || s.nsamp <= 0 || !(s.samprate > 0)) {
            out.push_back(keep);
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
            out.push_back(keep);
            continue;
        }
        changed++;
        for (auto &run : runs) {
            Out o;
            o.text = keep.text;
            o.piece = true;
            o.nsamp = run.second;
            o.data = static_cast<float *>(malloc((size_t)run.second * sizeof(float)));
            if (!o.data) {
                elog_log(1, "trsplit: malloc() error.\n");
                for (Out &p : out)
                    if (p.piece) free(p.data);
                return -1;
            }
            memcpy(o.data, s.data + run.first, (size_t)run.second * sizeof(float));
            o.time = s.time + (double)run.first / s.samprate;
            o.endtime = s.time + (double)(run.first + run.second - 1) / s.samprate;
            out.push_back(o);
        }
        release.push_back(s.data);
    }
    if (changed == 0) return 0;
    long r = first;
    for (Out &o : out) {
        Dbptr row = at(tr, r);
        int rc = r < n ? dbput(row, o.text.c_str()) : (dbadd(tr, o.text.c_str()) < 0 ? -1 : 0);
        if (rc == 0 && o.piece)
            rc = dbputv(row, nullptr, "data", (void *)o.data, "nsamp", o.nsamp, "time", o.time, "endtime", o.endtime,
                        (char *)0);
        if (rc < 0) {
            // Cannot happen on a writable in-memory table; report rather than
            // guess which arrays are still referenced.
            elog_log(0, "trsplit: cannot rewrite row %ld.\n", r);
            return -1;
        }
        r++;
    }
    bool deleted = false;
    for (; r < n; r++) {
        dbdelete(at(tr, r));
        deleted = true;
    }
    for (float *p : release) free(p);
    if (deleted) dbcrunch(tr);
    if (nsplit) *nsplit = changed;
    return 0;
}

int trsplice(Dbptr tr, double tolerance, long *nspliced) {
    if (nspliced) *nspliced = 0;
    long first, end;
    if (!row_set("trsplice", tr, &first, &end)) return -1;
    struct Row {
        long record;
        std::string key;
        Samples s;
        double calib;
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
        rows.push_back(x);
    }
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
            double expect = head.s.time + (double)head.s.nsamp * dt;
            bool same_rate = std::fabs(next.s.samprate - head.s.samprate) <= 1e-6 * head.s.samprate;
            if (same_rate && head.calib == next.calib &&
                std::fabs(next.s.time - expect) <= tolerance * dt) {
                float *p = static_cast<float *>(
                    realloc(head.s.data, (size_t)(head.s.nsamp + next.s.nsamp) * sizeof(float)));
                if (!p) {
                    elog_log(1, "trsplice: realloc() error.\n");
                    return -1;
                }
                // The row must follow its array at once.
                if (p != head.s.data) dbputv(at(tr, head.record), nullptr, "data", (void *)p, (char *)0);
                memcpy(p + head.s.nsamp, next.s.data, (size_t)next.s.nsamp * sizeof(float));
                head.s.data = p;
                head.s.nsamp += next.s.nsamp;
                free(next.s.data);
                dbdelete(at(tr, next.record));
                if (std::find(heads.begin(), heads.end(), h) == heads.end()) heads.push_back(h);
                joins++;
            } else {
                h = v[k];
            }
        }
    }
    for (size_t h : heads) {
        Row &head = rows[h];
        double endtime = head.s.time + (double)(head.s.nsamp - 1) / head.s.samprate;
        dbputv(at(tr, head.record), nullptr, "data", (void *)head.s.data, "nsamp", head.s.nsamp, "endtime", endtime,
               (char *)0);
    }
    if (joins > 0) dbcrunch(tr);
    if (nspliced) *nspliced = joins;
    return 0;
}

int trapply_calib(Dbptr tr) {
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
        if (calib == 1.0) {
            if (calibrated == 1) continue;
        } else {
            const float gap = TRGAP_VALUE;
            float c = (float)calib;
            for (long i = 0; i < s.nsamp; i++)
                if (s.data[i] != gap) s.data[i] *= c;
        }
        if (dbputv(row, nullptr, "calib", 1.0, "calibrated", 1L, (char *)0) < 0) {
            elog_log(0, "trapply_calib: dbputv() error for row %ld.\n", r);
            return -1;
        }
    }
    return 0;
}

int trcalibrated(Dbptr row) {
    long calibrated = 0;
    int mark = elog_mark();
    double calib = 0;
    bool ok = dbgetv(row, nullptr, "calib", &calib, "calibrated", &calibrated, (char *)0) == 0;
    elog_flush(0, mark);
    return ok && calib == 1.0 && calibrated == 1 ? 1 : 0;
}

int trfree(Dbptr tr) {
    long first, end;
    if (!row_set("trfree", tr, &first, &end)) return -1;
    for (long r = first; r < end; r++) {
        Dbptr row = at(tr, r);
        void *p = nullptr;
        int mark = elog_mark();
        int rc = dbgetv(row, nullptr, "data", &p, (char *)0);
        elog_flush(0, mark);  // rows already deleted read as nulls
        if (rc == 0 && p) {
            free(p);
            dbputv(row, nullptr, "data", (void *)nullptr, (char *)0);
        }
        dbdelete(row);
    }
    return 0;
}

int trdestroy(Dbptr *tr) {
    if (!tr || tr->database < 0) return 0;
    Dbptr all = dblookup(*tr, nullptr, "trace", nullptr, "dbALL");
    if (all.table >= 0) trfree(all);
    Dbptr db = *tr;
    db.table = db.field = db.record = dbALL;
    int rc = dbclose(db);
    *tr = dbinvalid();
    return rc < 0 ? -1 : 0;
}

}  // extern "C"
