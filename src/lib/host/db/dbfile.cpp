/*
 * dbfile.cpp -- what a database row says about the world outside it: the
 * external file of a row (dir/dfile against the table file's directory),
 * file modification times, and SEED network/station and channel/location
 * codes through the snetsta and schanloc tables.  Memory running out
 * fails a call with "<function>: out of memory".
 */
#include "db_pvt.h"
#include "../core/guard_pvt.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

using namespace hostdb;

static int extfile(Dbptr db, const char *table, char *path) {
    Database *d = db_get(db.database);
    Table *t = d ? db_table(d, db.table) : nullptr;
    if (!t || !path) {
        elog_log(0, "dbextfile: invalid pointer\n");
        return -1;
    }
    std::string q = table && *table ? std::string(table) + "." : std::string();
    FieldLoc ldir, lfile;
    if (field_resolve(d, t, (q + "dir").c_str(), &ldir) != 1 || field_resolve(d, t, (q + "dfile").c_str(), &lfile) != 1) {
        elog_log(0, "dbextfile: %s has no dir and dfile fields\n", table && *table ? table : t->name.c_str());
        return -1;
    }
    const char *slots[MAX_SLOTS];
    if (row_slots(d, t, db.record, slots) < 0) {
        elog_log(0, "dbextfile: record %ld is not a row of %s\n", db.record, t->name.c_str());
        return -1;
    }
    Value vd, vf;
    field_read(ldir, slots, &vd);
    field_read(lfile, slots, &vf);
    if (!slots[ldir.slot] || vf.isnull) {
        path[0] = 0;
        return 0;
    }
    Table *bt = db_table(d, ldir.table);
    std::string p;
    std::string dir = vd.isnull ? "." : vd.s;
    if (dir[0] == '/')
        p = dir;
    else
        p = (bt && !bt->dirname.empty() ? bt->dirname : std::string(".")) + "/" + dir;
    p += "/";
    p += vf.s;
    if (p.size() >= FILENAME_MAX) {
        elog_log(0, "dbextfile: path of %s row %ld is too long\n", t->name.c_str(), db.record);
        return -1;
    }
    memcpy(path, p.c_str(), p.size() + 1);
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

extern "C" int dbextfile(Dbptr db, const char *table, char *path) {
    return host_guarded("dbextfile", -1, [&] { return extfile(db, table, path); });
}

extern "C" double dfiletime(const char *path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) {
        elog_log(1, "dfiletime: cannot stat %s\n", path ? path : "(null)");
        return -9999999999.999;
    }
    return (double)st.st_mtim.tv_sec + st.st_mtim.tv_nsec * 1e-9;
}

namespace {

/* The first row of `table` whose fields equal the values; -1 if none. */
long find_row(Database *d, const char *table, const char *const *fields, const char *const *values, int n) {
    long ti = table_find(d, table);
    Table *t = db_table(d, ti);
    if (!t) return -1;
    FieldLoc locs[4];
    for (int i = 0; i < n; i++)
        if (field_resolve(d, t, fields[i], &locs[i]) != 1) return -1;
    long rows = table_count(t);
    const char *slots[MAX_SLOTS];
    Value v;
    for (long r = 0; r < rows; r++) {
        if (row_slots(d, t, r, slots) < 1) continue;
        int i = 0;
        for (; i < n; i++) {
            field_read(locs[i], slots, &v);
            if (strcmp(v.s, values[i])) break;
        }
        if (i == n) return r;
    }
    return -1;
}

void copy_out(char *dst, const char *src, size_t n) {
    size_t k = 0;
    for (; k + 1 < n && src[k]; k++) dst[k] = src[k];
    dst[k] = 0;
}

}  // namespace

static int seed_net(Dbptr db, const char *sta, char *snet, char *fsta) {
    Database *d = db_get(db.database);
    if (!d || !sta) {
        elog_log(0, "dbseed_net: invalid database or station\n");
        if (snet) *snet = 0;
        if (fsta) *fsta = 0;
        return -1;
    }
    const char *f[] = {"sta"};
    const char *v[] = {sta};
    long r = find_row(d, "snetsta", f, v, 1);
    if (r < 0) {
        if (snet) *snet = 0;
        if (fsta) copy_out(fsta, sta, 11);
        elog_log(0, "dbseed_net: no snetsta entry for station %s\n", sta);
        return -1;
    }
    char net[16], s[16];
    dbgetv(make_ptr(d->id, table_find(d, "snetsta"), dbALL, r), 0, "snet", net, "fsta", s, (char *)0);
    if (snet) copy_out(snet, strcmp(net, "-") ? net : "", 11);
    if (fsta) copy_out(fsta, strcmp(s, "-") ? s : sta, 11);
    return 0;
}

static int seed_loc(Dbptr db, const char *sta, const char *chan, char *fchan, char *loc) {
    Database *d = db_get(db.database);
    if (!d || !sta || !chan) {
        elog_log(0, "dbseed_loc: invalid database, station or channel\n");
        if (fchan) *fchan = 0;
        if (loc) *loc = 0;
        return -1;
    }
    const char *f[] = {"sta", "chan"};
    const char *v[] = {sta, chan};
    long r = find_row(d, "schanloc", f, v, 2);
    if (r < 0) {
        if (fchan) copy_out(fchan, chan, 9);
        if (loc) *loc = 0;
        elog_log(0, "dbseed_loc: no schanloc entry for %s %s\n", sta, chan);
        return -1;
    }
    char c[16], l[16];
    dbgetv(make_ptr(d->id, table_find(d, "schanloc"), dbALL, r), 0, "fchan", c, "loc", l, (char *)0);
    if (fchan) copy_out(fchan, strcmp(c, "-") ? c : chan, 9);
    if (loc) copy_out(loc, strcmp(l, "-") ? l : "", 9);
    return 0;
}

extern "C" int dbseed_net(Dbptr db, const char *sta, char *snet, char *fsta) {
    if (snet) *snet = 0;
    if (fsta) *fsta = 0;
    return host_guarded("dbseed_net", -1, [&] { return seed_net(db, sta, snet, fsta); });
}

extern "C" int dbseed_loc(Dbptr db, const char *sta, const char *chan, char *fchan, char *loc) {
    if (fchan) *fchan = 0;
    if (loc) *loc = 0;
    return host_guarded("dbseed_loc", -1, [&] { return seed_loc(db, sta, chan, fchan, loc); });
}
