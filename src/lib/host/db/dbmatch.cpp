/*
 * dbmatch.cpp -- record matching: the rows of a table that match a key row
 * on key lists, answered from a sorted index instead of a scan.
 *
 * The index sorts the table's rows on the equality keys (a composite of the
 * trimmed strings and order-preserving number bytes) and, inside each run of
 * equal keys, on the first range-type key's low value, keeping the largest
 * span of the run so that overlap searches can start at (low - span).  The
 * remaining keys filter the candidates.  Rows appended after the build are
 * checked one by one; a change to an existing row rebuilds the index.
 *
 * Memory running out fails the call with a message and leaves the hook, the
 * table's index array and the caller's list in a usable state: an index is
 * built whole before it is shared, and a reference is counted only for a
 * place that holds it.
 */
#include "db_pvt.h"
#include "guard_pvt.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace hostdb {

namespace {

constexpr double OPEN_OFFDATE = 2286324.0;

enum PairKind { EQ, KR_TP, KP_TR, KR_TR };

struct TableSide {
    bool range = false;
    FieldLoc lo, hi;
};

struct ExpressionFree {
    void operator()(Expression *e) const { dbex_free(e); }
};

struct KeyPart {
    std::string text;
    bool is_field = false;
    FieldLoc loc;
    std::unique_ptr<Expression, ExpressionFree> expr;  /* owned: freed with the part, a failed build included */
};

struct KeySide {
    bool range = false;
    KeyPart a, b;
};

struct Pair {
    KeySide key;
    TableSide tab;
    PairKind kind = EQ;
    bool string = false;  /* compared as text */
};

std::vector<std::string> list_of(Tbl **keys) {
    std::vector<std::string> out;
    if (!keys || !*keys) return out;
    for (long i = 0; i < maxtbl(*keys); i++) {
        const char *s = (const char *)gettbl(*keys, i);
        if (s && *s) out.push_back(s);
    }
    return out;
}


bool split_range(const std::string &s, std::string &a, std::string &b) {
    size_t k = s.find("::");
    if (k == std::string::npos) return false;
    a = s.substr(0, k);
    b = s.substr(k + 2);
    return true;
}

std::string trim(const std::string &s) {
    size_t i = 0, j = s.size();
    while (i < j && (s[i] == ' ' || s[i] == '\t')) i++;
    while (j > i && (s[j - 1] == ' ' || s[j - 1] == '\t')) j--;
    return s.substr(i, j - i);
}

/* Order-preserving bytes of a double. */
void put_number(std::string &out, double d) {
    if (d == 0) d = 0;  /* -0 and 0 alike */
    uint64_t u;
    memcpy(&u, &d, 8);
    u = (u & 0x8000000000000000ULL) ? ~u : (u | 0x8000000000000000ULL);
    for (int k = 7; k >= 0; k--) out += (char)((u >> (k * 8)) & 0xff);
}

double hi_value(const SchemaField *f, double v) {
    /* an open-ended day range written the original way */
    if (f && f->type == dbYEARDAY && v == -1) return OPEN_OFFDATE;
    return v;
}

}  // namespace

struct Index {
    std::atomic<int> refs{1};
    std::string name;
    unsigned long serial = 0;
    long table = -1;
    unsigned long tuid = 0;              /* the table's uid: a reused view slot is another table */
    unsigned long generation = 0;
    long built = 0;                      /* rows indexed */
    std::vector<TableSide> eq;           /* equality keys, table side */
    std::vector<int> eq_string;
    int sec_kind = -1;                   /* -1 none; else PairKind of the secondary */
    TableSide sec;
    struct Block {
        std::string key;
        long start, end;
        double span;
    };
    std::vector<Block> blocks;
    std::vector<long> recs;
    std::vector<double> lo, hi;
};

namespace {

Index *index_ref(Index *x) {
    x->refs.fetch_add(1);
    return x;
}

void index_unref(Index *x) {
    if (x && x->refs.fetch_sub(1) == 1) delete x;
}

/* Reads the table side of a row. */
struct RowReader {
    Database *d;
    Table *t;
    const char *slots[MAX_SLOTS];
    long rec = -1;
    bool at(long r) {
        rec = r;
        return row_slots(d, t, r, slots) > 0;
    }
    bool num(const FieldLoc &l, double *v) {
        Value x;
        if (field_read(l, slots, &x) != 0) return false;
        /* a number cut by the end of the file is not the number */
        if (!x.isnull && field_is_cut(d, t, rec, l)) return false;
        *v = (l.f->type == dbINTEGER || l.f->type == dbYEARDAY) ? (double)x.i : x.d;
        return true;
    }
    std::string str(const FieldLoc &l) {
        Value x;
        field_read(l, slots, &x);
        return x.s;
    }
};

/* The key values of one match call. */
struct KeyValues {
    std::vector<double> a, b;
    std::vector<std::string> s;
};

bool eval_part(Database *d, Table *kt, Dbptr dbkey, const char *const *slots, KeyPart &p, bool want_string,
               double *num, std::string *str) {
    if (p.is_field) {
        Value v;
        std::string err;
        int rc = field_read(p.loc, slots, &v, &err);
        if (rc == 0 && !want_string && !v.isnull && field_is_cut(d, kt, dbkey.record, p.loc)) {
            err = "the file's last line ends inside this field (a cut write?)";
            rc = -1;
        }
        if (rc != 0) {
            elog_log(0, "dbmatches: key table %s row %ld field %s: %s\n", kt->name.c_str(), dbkey.record,
                     p.text.c_str(), err.c_str());
            return false;
        }
        if (want_string) {
            *str = v.s;
        } else if (p.loc.f->type == dbINTEGER || p.loc.f->type == dbYEARDAY) {
            *num = (double)v.i;
        } else if (p.loc.f->type == dbSTRING) {
            char *end;
            *num = strtod(v.s, &end);
            if (*end || end == v.s) {
                elog_log(0, "dbmatches: key field %s (\"%s\") is not a number\n", p.text.c_str(), v.s);
                return false;
            }
        } else {
            *num = v.d;
        }
        return true;
    }
    if (want_string) {
        char *s = nullptr;
        if (dbex_eval(dbkey, p.expr.get(), 0, &s) < 0) {
            elog_log(0, "dbmatches: cannot evaluate key expression %s\n", p.text.c_str());
            return false;
        }
        *str = s ? s : "";
        free(s);
        return true;
    }
    double v = 0;
    if (dbex_eval(dbkey, p.expr.get(), 0, &v) < 0) {
        elog_log(0, "dbmatches: cannot evaluate key expression %s\n", p.text.c_str());
        return false;
    }
    *num = v;
    return true;
}

}  // namespace

/* The matching state kept in a hook. */
struct MatchState {
    unsigned long serial = 0, kserial = 0;
    long ktable = -1, table = -1;
    unsigned long ktuid = 0, tuid = 0;
    std::vector<std::string> k1, k2;  /* the lists as given */
    std::vector<Pair> pairs;
    Index *idx = nullptr;
    /* buffers reused from call to call */
    std::vector<double> ka, kb;
    std::vector<std::string> ks;
    std::string composite;
    std::vector<long> found;
    ~MatchState() { index_unref(idx); }
};

static void free_state(void *p) { delete (MatchState *)p; }

namespace {

/* An expression is compiled for the type it is compared as (text against a
 * text field, else a number), so that its result is stored as that type
 * whatever its natural one (an integer expression gives a long). */
bool compile_part(Database *d, Table *kt, Dbptr dbkey, const std::string &text, bool as_string, KeyPart &p) {
    p.text = trim(text);
    if (field_resolve(d, kt, p.text.c_str(), &p.loc) == 1 && !p.loc.bundle) {
        p.is_field = true;
        return true;
    }
    Dbptr k = dbkey;
    k.record = dbALL;
    Expression *e = nullptr;
    if (dbex_compile(k, p.text.c_str(), &e, as_string ? dbSTRING : dbREAL) != 0) {
        elog_log(0, "dbmatches: key %s is neither a field of %s nor an expression\n", p.text.c_str(),
                 kt->name.c_str());
        return false;
    }
    p.expr.reset(e);
    return true;
}

bool table_side(Database *d, Table *t, const std::string &text, TableSide &ts) {
    std::string a, b;
    if (split_range(text, a, b)) {
        ts.range = true;
        a = trim(a);
        b = trim(b);
        if (field_resolve(d, t, a.c_str(), &ts.lo) != 1 || field_resolve(d, t, b.c_str(), &ts.hi) != 1 ||
            ts.lo.bundle || ts.hi.bundle || ts.lo.f->type == dbSTRING || ts.hi.f->type == dbSTRING) {
            elog_log(0, "dbmatches: %s is not a range of two numeric fields of table %s\n", text.c_str(),
                     t->name.c_str());
            return false;
        }
        return true;
    }
    a = trim(text);
    if (field_resolve(d, t, a.c_str(), &ts.lo) != 1 || ts.lo.bundle) {
        elog_log(0, "dbmatches: no field %s in table %s\n", a.c_str(), t->name.c_str());
        return false;
    }
    return true;
}

/* The key lists of a call: explicit, or the table's primary key fields that
 * the key record has too. */
bool make_pairs(Database *d, Table *kt, Table *t, Dbptr dbkey, Tbl **keys, Tbl **keys2, std::vector<Pair> &pairs) {
    std::vector<std::string> k1 = list_of(keys), k2 = list_of(keys2);
    if (k1.empty() && k2.empty()) {
        const SchemaTable *s = t->schema;
        if (!s) s = db_table(d, view_base_tables(d, t)[0])->schema;
        for (auto &w : split_words(s->primary)) {
            std::string a, b;
            FieldLoc l;
            if (split_range(w, a, b)) {
                bool ha = field_resolve(d, kt, a.c_str(), &l) == 1;
                bool hb = field_resolve(d, kt, b.c_str(), &l) == 1;
                if (ha && hb) {
                    k1.push_back(w);
                } else if (ha) {
                    k1.push_back(a);
                } else {
                    continue;
                }
                k2.push_back(w);
            } else if (field_resolve(d, kt, w.c_str(), &l) == 1) {
                k1.push_back(w);
                k2.push_back(w);
            }
        }
        if (k1.empty()) {
            elog_log(0, "dbmatches: table %s shares no primary key field with %s\n", t->name.c_str(),
                     kt->name.c_str());
            return false;
        }
    } else if (k2.empty()) {
        k2 = k1;
    } else if (k1.empty()) {
        k1 = k2;
    }
    if (k1.size() != k2.size()) {
        elog_log(0, "dbmatches: %zu keys against %zu table keys\n", k1.size(), k2.size());
        return false;
    }
    for (size_t i = 0; i < k1.size(); i++) {
        Pair p;
        if (!table_side(d, t, k2[i], p.tab)) return false;
        std::string a, b;
        p.string = !p.tab.range && p.tab.lo.f->type == dbSTRING;
        if (split_range(k1[i], a, b)) {
            p.key.range = true;
            if (p.string) {
                elog_log(0, "dbmatches: key range %s against the text field %s\n", k1[i].c_str(), k2[i].c_str());
                return false;
            }
            if (!compile_part(d, kt, dbkey, a, false, p.key.a) || !compile_part(d, kt, dbkey, b, false, p.key.b))
                return false;
        } else if (!compile_part(d, kt, dbkey, k1[i], p.string, p.key.a)) {
            return false;
        }
        p.kind = p.key.range ? (p.tab.range ? KR_TR : KR_TP) : (p.tab.range ? KP_TR : EQ);
        pairs.push_back(std::move(p));
    }
    return true;
}

std::string index_name_of(const std::vector<Pair> &pairs, Table *t) {
    std::string n = "dbmatches:" + t->name + ":";
    for (size_t i = 0; i < pairs.size(); i++) {
        if (i) n += ",";
        n += pairs[i].tab.lo.f->name;
        if (pairs[i].tab.range) n += std::string("::") + pairs[i].tab.hi.f->name;
    }
    return n;
}

/* Changes to a table's rows, or to the base rows of a view. */
unsigned long generation_of(Database *d, Table *t) {
    unsigned long g = t->generation.load();
    if (t->view)
        for (long b : view_base_tables(d, t)) {
            Table *bt = d->table(b);
            if (bt) g += bt->generation.load();
        }
    return g;
}

/* Whether an index was built for key lists shaped like `pairs`: the same
 * equality fields and the same first range-type key.  The name only says
 * which table fields are used, not how (a plain key and a key range against
 * the same field sort differently). */
bool index_fits(const Index *x, const std::vector<Pair> &pairs) {
    size_t e = 0;
    bool sec = false;
    for (auto &p : pairs) {
        if (p.kind == EQ) {
            if (e >= x->eq.size() || x->eq[e].lo.f != p.tab.lo.f || x->eq[e].lo.slot != p.tab.lo.slot ||
                x->eq_string[e] != (int)p.string)
                return false;
            e++;
        } else if (!sec) {
            sec = true;
            if (x->sec_kind < 0 || x->sec.range != p.tab.range || x->sec.lo.f != p.tab.lo.f ||
                x->sec.lo.slot != p.tab.lo.slot ||
                (p.tab.range && (x->sec.hi.f != p.tab.hi.f || x->sec.hi.slot != p.tab.hi.slot)))
                return false;
        }
    }
    return e == x->eq.size() && sec == (x->sec_kind >= 0);
}

std::unique_ptr<Index> build_index(Database *d, Table *t, const std::vector<Pair> &pairs, const std::string &name) {
    std::unique_ptr<Index> x(new Index);
    x->name = name;
    x->serial = d->serial;
    x->table = t->index;
    x->tuid = t->uid;
    x->generation = generation_of(d, t);
    long n = table_count(t);
    x->built = n;
    int secpair = -1;
    for (size_t i = 0; i < pairs.size(); i++) {
        if (pairs[i].kind == EQ) {
            x->eq.push_back(pairs[i].tab);
            x->eq_string.push_back(pairs[i].string);
        } else if (secpair < 0) {
            secpair = (int)i;
        }
    }
    if (secpair >= 0) {
        x->sec_kind = pairs[secpair].kind;
        x->sec = pairs[secpair].tab;
    }
    struct Ent {
        std::string key;
        double lo, hi;
        long rec;
    };
    std::vector<Ent> ents;
    ents.reserve(n);
    RowReader rr{d, t, {}};
    for (long r = 0; r < n; r++) {
        if (!rr.at(r)) continue;
        /* a row whose key text is not a number matches nothing (as when it
         * is checked one by one); read as the null it would match every
         * window of an open range */
        Ent e;
        e.rec = r;
        bool ok = true;
        for (size_t k = 0; k < x->eq.size() && ok; k++) {
            if (x->eq_string[k]) {
                e.key += rr.str(x->eq[k].lo);
                e.key += '\0';
            } else {
                double v = 0;
                ok = rr.num(x->eq[k].lo, &v);
                put_number(e.key, v);
            }
        }
        e.lo = e.hi = 0;
        if (ok && secpair >= 0) {
            ok = rr.num(x->sec.lo, &e.lo);
            e.hi = e.lo;
            if (ok && x->sec.range) {
                ok = rr.num(x->sec.hi, &e.hi);
                e.hi = hi_value(x->sec.hi.f, e.hi);
            }
        }
        if (ok) ents.push_back(std::move(e));
    }
    std::sort(ents.begin(), ents.end(), [](const Ent &a, const Ent &b) {
        int c = a.key.compare(b.key);
        if (c) return c < 0;
        if (a.lo != b.lo) return a.lo < b.lo;
        return a.rec < b.rec;
    });
    x->recs.resize(ents.size());
    x->lo.resize(ents.size());
    x->hi.resize(ents.size());
    for (size_t i = 0; i < ents.size(); i++) {
        if (i == 0 || ents[i].key != ents[i - 1].key) x->blocks.push_back({ents[i].key, (long)i, (long)i, 0.0});
        Index::Block &b = x->blocks.back();
        b.end = (long)i + 1;
        b.span = std::max(b.span, ents[i].hi - ents[i].lo);
        x->recs[i] = ents[i].rec;
        x->lo[i] = ents[i].lo;
        x->hi[i] = ents[i].hi;
    }
    return x;
}

bool pair_holds(const Pair &p, RowReader &rr, double ka, double kb, const std::string &ks) {
    if (p.string) return rr.str(p.tab.lo) == ks;
    double lo, hi;
    if (!rr.num(p.tab.lo, &lo)) return false;
    hi = lo;
    if (p.tab.range) {
        if (!rr.num(p.tab.hi, &hi)) return false;
        hi = hi_value(p.tab.hi.f, hi);
    }
    switch (p.kind) {
    case EQ:
        return lo == ka;
    case KR_TP:
        return lo >= ka && lo <= kb;
    case KP_TR:
        return ka >= lo && ka <= hi;
    case KR_TR:
        return lo <= kb && hi >= ka;
    }
    return false;
}

}  // namespace

}  // namespace hostdb

using namespace hostdb;

extern "C" void dbfree_index(void *index) { index_unref((Index *)index); }

extern "C" Arr *dbindex_arr(Dbptr dbtable) {
    Database *d = db_get(dbtable.database);
    Table *t = d ? db_table(d, dbtable.table) : nullptr;
    if (!t) {
        elog_log(0, "dbindex_arr: invalid table pointer\n");
        return nullptr;
    }
    std::lock_guard<std::mutex> lk(t->imu);
    if (!t->index_arr) t->index_arr = newarr(0);
    if (!t->index_arr) elog_log(1, "dbindex_arr: out of memory\n");
    return t->index_arr;
}

namespace {
char *index_name(Dbptr dbtable, Tbl *keys2) {
    Database *d = db_get(dbtable.database);
    Table *t = d ? db_table(d, dbtable.table) : nullptr;
    if (!t) {
        elog_log(0, "dbindex_name: invalid table pointer\n");
        return nullptr;
    }
    std::vector<std::string> k = list_of(&keys2);
    if (k.empty()) {
        const SchemaTable *s = t->schema ? t->schema : db_table(d, view_base_tables(d, t)[0])->schema;
        k = split_words(s->primary);
    }
    std::vector<Pair> pairs;
    for (auto &w : k) {
        Pair p;
        if (!table_side(d, t, w, p.tab)) return nullptr;
        pairs.push_back(std::move(p));
    }
    char *name = strdup(index_name_of(pairs, t).c_str());
    if (!name) elog_log(1, "dbindex_name: out of memory\n");
    return name;
}
}  // namespace

extern "C" char *dbindex_name(Dbptr dbtable, Tbl *keys2) {
    return host_guarded("dbindex_name", (char *)nullptr, [&] { return index_name(dbtable, keys2); });
}

namespace {

/* The index for st's pairs: the hook's own while it still fits, else the
 * table's, else a new one, which the table's array then shares (when it
 * cannot be stored there, it serves this hook alone).  Replaces st->idx. */
void ensure_index(Database *d, Table *t, MatchState *st) {
    Index *x = st->idx;
    unsigned long gen = generation_of(d, t);
    if (x && x->generation == gen && x->serial == d->serial && x->tuid == t->uid && index_fits(x, st->pairs))
        return;
    std::string name = index_name_of(st->pairs, t);
    std::lock_guard<std::mutex> lk(t->imu);
    if (!t->index_arr) t->index_arr = newarr(0);
    Index *have = t->index_arr ? (Index *)getarr(t->index_arr, name.c_str()) : nullptr;
    if (have && have->generation == gen && index_fits(have, st->pairs)) {
        x = index_ref(have);
    } else {
        std::unique_ptr<Index> built = build_index(d, t, st->pairs, name);
        if (have) {
            /* replacing a present key cannot fail */
            setarr(t->index_arr, name.c_str(), index_ref(built.get()));
            index_unref(have);
        } else if (t->index_arr) {
            int mark = elog_mark();
            if (setarr(t->index_arr, name.c_str(), built.get()) != ARR_FAILED)
                index_ref(built.get());
            else
                elog_flush(0, mark); /* not shared: the match is still whole */
        }
        x = built.release(); /* the reference of st->idx */
    }
    index_unref(st->idx);
    st->idx = x;
}

/* Puts found into *list (made when null, else emptied), all or nothing:
 * on failure the list is left empty. */
bool fill_list(Tbl **list, const std::vector<long> &found) {
    if (!*list) {
        Tbl *made = newtbl((long)found.size() + 1);
        if (!made) {
            elog_log(1, "dbmatches: cannot make the list\n");
            return false;
        }
        for (long r : found) pushtbl(made, (void *)r); /* the room is there */
        *list = made;
        return true;
    }
    while (maxtbl(*list) > 0) poptbl(*list);
    for (long r : found) {
        if (pushtbl(*list, (void *)r) < 0) {
            while (maxtbl(*list) > 0) poptbl(*list);
            elog_log(1, "dbmatches: cannot fill the list\n");
            return false;
        }
    }
    return true;
}

long matches(Dbptr dbkey, Dbptr dbtable, Tbl **keys, Tbl **keys2, Hook **hook, Tbl **list) {
    Database *kd = db_get(dbkey.database);
    Database *d = db_get(dbtable.database);
    if (!kd || !d) {
        elog_log(0, "dbmatches: database %ld is not open\n", kd ? dbtable.database : dbkey.database);
        return -1;
    }
    Table *kt = db_table(kd, dbkey.table);
    Table *t = db_table(d, dbtable.table);
    if (!kt || !t) {
        elog_log(0, "dbmatches: the %s pointer names no table\n", kt ? "table" : "key");
        return -1;
    }
    if (!list) {
        elog_log(0, "dbmatches: no list pointer\n");
        return -1;
    }
    const char *kslots[MAX_SLOTS];
    if (row_slots(kd, kt, dbkey.record, kslots) < 0) {
        elog_log(0, "dbmatches: record %ld is not a row of key table %s\n", dbkey.record, kt->name.c_str());
        return -1;
    }

    MatchState *st = hook && *hook ? (MatchState *)(*hook)->p : nullptr;
    auto same_list = [](Tbl **l, const std::vector<std::string> &v) {
        size_t k = 0;
        if (l && *l)
            for (long i = 0; i < maxtbl(*l); i++) {
                const char *s = (const char *)gettbl(*l, i);
                if (!s || !*s) continue;
                if (k >= v.size() || v[k] != s) return false;
                k++;
            }
        return k == v.size();
    };
    std::unique_ptr<MatchState> owned;
    if (!st || (*hook)->free_proc != free_state || st->serial != d->serial || st->kserial != kd->serial ||
        st->ktable != dbkey.table || st->table != dbtable.table || st->ktuid != kt->uid ||
        st->tuid != t->uid || !same_list(keys, st->k1) ||
        !same_list(keys2, st->k2)) {
        owned.reset(new MatchState);
        owned->serial = d->serial;
        owned->kserial = kd->serial;
        owned->ktable = dbkey.table;
        owned->table = dbtable.table;
        owned->ktuid = kt->uid;
        owned->tuid = t->uid;
        owned->k1 = list_of(keys);
        owned->k2 = list_of(keys2);
        if (!make_pairs(d, kt, t, dbkey, keys, keys2, owned->pairs)) return -1;
        if (hook) {
            if (!*hook) *hook = new_hook(free_state);
            if (!*hook) {
                elog_log(1, "dbmatches: cannot make a hook\n");
                return -1;
            }
            if ((*hook)->p && (*hook)->free_proc) (*hook)->free_proc((*hook)->p);
            (*hook)->p = owned.release();
            (*hook)->free_proc = free_state;
            st = (MatchState *)(*hook)->p;
        } else {
            st = owned.get();
        }
    }

    ensure_index(d, t, st);
    Index *x = st->idx;

    /* key values */
    size_t np = st->pairs.size();
    std::vector<double> &ka = st->ka, &kb = st->kb;
    std::vector<std::string> &ks = st->ks;
    ka.resize(np);
    kb.resize(np);
    ks.resize(np);
    for (size_t i = 0; i < np; i++) {
        Pair &p = st->pairs[i];
        if (!eval_part(kd, kt, dbkey, kslots, p.key.a, p.string, &ka[i], &ks[i])) return -1;
        kb[i] = ka[i];
        if (p.key.range) {
            if (!eval_part(kd, kt, dbkey, kslots, p.key.b, false, &kb[i], nullptr)) return -1;
            kb[i] = hi_value(p.key.b.is_field ? p.key.b.loc.f : nullptr, kb[i]);
        }
    }
    std::string &composite = st->composite;
    composite.clear();
    int secpair = -1;
    for (size_t i = 0; i < np; i++) {
        if (st->pairs[i].kind == EQ) {
            if (st->pairs[i].string) {
                composite += ks[i];
                composite += '\0';
            } else {
                put_number(composite, ka[i]);
            }
        } else if (secpair < 0) {
            secpair = (int)i;
        }
    }

    std::vector<long> &found = st->found;
    found.clear();
    RowReader rr{d, t, {}};
    auto others_hold = [&](long rec) {
        if (!rr.at(rec)) return false;
        for (size_t i = 0; i < np; i++) {
            if ((int)i == secpair || st->pairs[i].kind == EQ) continue;
            if (!pair_holds(st->pairs[i], rr, ka[i], kb[i], ks[i])) return false;
        }
        return true;
    };
    auto bit = std::lower_bound(x->blocks.begin(), x->blocks.end(), composite,
                                [](const Index::Block &b, const std::string &k) { return b.key < k; });
    if (bit != x->blocks.end() && bit->key == composite) {
        long s = bit->start, e = bit->end;
        if (secpair >= 0) {
            double a = ka[secpair], b = kb[secpair];
            double from = a, to = b;
            PairKind sk = st->pairs[secpair].kind;
            if (sk == KP_TR || sk == KR_TR) from = a - bit->span;
            const double *lo = x->lo.data();
            long i0 = (long)(std::lower_bound(lo + s, lo + e, from) - lo);
            long i1 = (long)(std::upper_bound(lo + s, lo + e, to) - lo);
            for (long i = i0; i < i1; i++) {
                bool ok;
                switch (st->pairs[secpair].kind) {
                case KR_TP: ok = lo[i] >= a && lo[i] <= b; break;
                case KP_TR: ok = a >= lo[i] && a <= x->hi[i]; break;
                default: ok = lo[i] <= b && x->hi[i] >= a; break;
                }
                if (ok && (np <= 1 + x->eq.size() || others_hold(x->recs[i]))) found.push_back(x->recs[i]);
            }
        } else {
            for (long i = s; i < e; i++) found.push_back(x->recs[i]);
        }
    }
    /* rows added since the build */
    long n = table_count(t);
    for (long r = x->built; r < n; r++) {
        if (!rr.at(r)) continue;
        bool ok = true;
        for (size_t i = 0; i < np && ok; i++) ok = pair_holds(st->pairs[i], rr, ka[i], kb[i], ks[i]);
        if (ok) found.push_back(r);
    }
    std::sort(found.begin(), found.end());

    if (!fill_list(list, found)) return -1;
    return (long)found.size();
}

}  // namespace

extern "C" long dbmatches(Dbptr dbkey, Dbptr dbtable, Tbl **keys, Tbl **keys2, Hook **hook, Tbl **list) {
    return host_guarded("dbmatches", -1L, [&] { return matches(dbkey, dbtable, keys, keys2, hook, list); });
}
