// Fuzz target for the database reader: arbitrary bytes as a table file
// (the first byte picks the table, in its low six bits, whether a
// descriptor names the KB Core layout for new files (0x40) and whether the
// file is appended to or rewritten while open (0x80)), opened read-only and
// for writing, read field by field, matched against (null, plain and range
// key lists) and written through the scratch row.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "db.h"

namespace {

const char *TABLES[] = {"wfdisc",    "site",   "arrival", "origin",  "stamag",      "assoc",    "event",
                        "sitechan",  "detection", "lastid", "sensor", "origerr", "affiliation", "amplitude"};

std::string dir() {
    static std::string d;
    if (d.empty()) {
        char tmpl[] = "/tmp/fuzz_dbXXXXXX";
        if (!mkdtemp(tmpl)) abort();
        d = tmpl;
    }
    return d;
}

void exercise(Dbptr db, const char *table) {
    Dbptr t = dblookup(db, 0, table, 0, 0);
    long n = 0, nf = 0;
    if (dbquery(t, dbRECORD_COUNT, &n) != 0) return;
    dbquery(t, dbFIELD_COUNT, &nf);
    Tbl *fields = nullptr;
    dbquery(t, dbTABLE_FIELDS, &fields);
    char buf[512];
    for (t.record = 0; t.record < n && t.record < 64; t.record++) {
        dbget(t, buf);
        for (long f = 0; f < nf; f++) {
            Dbptr p = t;
            p.field = f;
            long type = 0;
            dbquery(p, dbFIELD_TYPE, &type);
            const char *name = (const char *)gettbl(fields, f);
            double d;
            long l;
            void *ptr;
            switch (type) {
            case dbSTRING: dbgetv(t, 0, name, buf, (char *)0); break;
            case dbINTEGER:
            case dbYEARDAY: dbgetv(t, 0, name, &l, (char *)0); break;
            case dbPOINTER: dbgetv(t, 0, name, &ptr, (char *)0); break;
            default: dbgetv(t, 0, name, &d, (char *)0); break;
            }
            dbget(p, buf);
        }
    }
    Dbptr sc = dblookup(t, 0, 0, 0, "dbSCRATCH");
    if (n > 0) {
        t.record = 0;
        dbget(t, 0);
    }
    Tbl *list = nullptr;
    Hook *hook = nullptr;
    dbmatches(sc, t, 0, 0, &hook, &list);
    // key lists of two kinds on the same table field share an index name;
    // a matched row's own values are its key
    Tbl *plain = strtbl("time", (char *)0), *range = strtbl("time-1.0::time+60.0", (char *)0);
    Hook *h2 = nullptr, *h3 = nullptr;
    dbmatches(sc, t, &plain, &plain, &h2, &list);
    if (n > 0) {
        Dbptr k = t;
        k.record = n - 1;
        dbmatches(k, t, &range, &plain, &h3, &list);
        dbmatches(k, t, 0, 0, &h3, &list);
    }
    free_hook(&h2);
    free_hook(&h3);
    freetbl(plain, 0);
    freetbl(range, 0);
    dbadd(t, 0);
    free_hook(&hook);
    freetbl(list, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const char *table = TABLES[(data[0] & 0x3f) % (sizeof TABLES / sizeof *TABLES)];
    std::string prefix = dir() + "/f";
    std::string file = prefix + "." + table;
    if (data[0] & 0x40) {
        FILE *dp = fopen(prefix.c_str(), "w");
        if (dp) {
            fputs("# archive\nschema kbcore\n", dp);
            fclose(dp);
        }
    } else {
        unlink(prefix.c_str());
    }
    FILE *fp = fopen(file.c_str(), "wb");
    if (!fp) return 0;
    fwrite(data + 1, 1, size - 1, fp);
    fclose(fp);
    FILE *devnull = fopen("/dev/null", "w");
    elog_set_stream(devnull);
    const char *modes[] = {"r", "r+"};
    for (const char *m : modes) {
        Dbptr db;
        if (dbopen(prefix.c_str(), m, &db) == 0) {
            exercise(db, table);
            // the file grows (or is rewritten) while open: look again
            FILE *ap = fopen(file.c_str(), data[0] & 0x80 ? "ab" : "wb");
            if (ap) {
                fwrite(data + 1 + (size - 1) / 2, 1, (size - 1) - (size - 1) / 2, ap);
                fclose(ap);
            }
            exercise(db, table);
            dbclose(db);
        }
        fp = fopen(file.c_str(), "wb");
        if (fp) {
            fwrite(data + 1, 1, size - 1, fp);
            fclose(fp);
        }
    }
    elog_set_stream(0);
    fclose(devnull);
    elog_clear_register(0);
    unlink(file.c_str());
    unlink(prefix.c_str());
    return 0;
}
