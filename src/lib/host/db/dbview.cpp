/*
 * dbview.cpp -- views of the database: subsets, joins, sorts and groups.
 *
 * A view's rows refer to base rows (one record per table of the view), so
 * making a view never copies row text.  Expressions and keys are compiled
 * once per call and evaluated on the row slots; joins index the right side
 * once (sorted on its keys) and search it for every left row.
 *
 * Memory running out fails a call as a whole: a view is registered as the
 * call's last step, a sorted copy made on the way is freed again when the
 * call does not finish, and the lists handed back to the caller (join keys,
 * rows without partners) are filled completely before they are handed.
 */
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "db_pvt.h"
#include "dbex_pvt.h"
#include "../core/guard_pvt.h"

using hostdb::Database;
using hostdb::Table;
using hostdb::View;

namespace {

Dbptr bad() {
    Dbptr p = dbinvalid();
    return p;
}

struct Source {
    Database *d = nullptr;
    Table *t = nullptr;
    long n = 0;
    bool group = false;
};

bool source(const char *fn, Dbptr db, Source &s) {
    s.d = hostdb::db_get(db.database);
    s.t = s.d ? hostdb::db_table(s.d, db.table) : nullptr;
    if (!s.t) {
        elog_log(0, "%s: invalid database pointer\n", fn);
        return false;
    }
    s.n = hostdb::table_count(s.t);
    s.group = s.t->view && s.t->view->kind == View::GROUP;
    return true;
}

// The slots of one row, ready for an expression.
struct RowReader {
    const char *slots[hostdb::MAX_SLOTS];
    dbex::Row row;
    bool read(Source &s, long r) {
        int n = hostdb::row_slots(s.d, s.t, r, slots);
        if (n < 0) return false;
        row.rows = slots;
        row.nrows = n;
        row.ctx = slots;
        return true;
    }
};

// A sorted copy registered on the way to a grouped view: freed again unless
// the view that owns it was registered (kept()).
struct CopyGuard {
    Database *d = nullptr;
    long table = -1;
    void set(Database *db, long t) {
        d = db;
        table = t;
    }
    void kept() { table = -1; }
    ~CopyGuard() {
        if (table >= 0) {
            Dbptr p = hostdb::make_ptr(d->id, table, dbALL, dbALL);
            dbfree(p);  // needs no memory
        }
    }
};

// Registers a view built by a call; the call's sorted copy (if any) is then
// owned by the view.  The invalid pointer (reported) on failure.
Dbptr publish(Database *d, const char *name, std::unique_ptr<View> v, CopyGuard &copy) {
    Dbptr out = hostdb::view_register(d, name, std::move(v));
    if (out.table != dbINVALID) copy.kept();
    return out;
}

// A view with the same kind of rows as s (its slots, or the same grouped
// view for a view of groups), empty.  When s is a group over a sorted copy
// that s owns (and frees with itself), the new view gets a copy of its own,
// so that it stays readable after s is freed; `copy` holds it until the new
// view is registered.  Null on failure (reported).
std::unique_ptr<View> like(const char *fn, Source &s, CopyGuard &held) {
    std::unique_ptr<View> v(new View);
    if (s.group) {
        v->kind = View::GROUP;
        v->grouped = s.t->view->grouped;
        v->keys = s.t->view->keys;
        v->type = s.t->view->type;
        if (s.t->view->owns_grouped) {
            Table *g = hostdb::db_table(s.d, s.t->view->grouped);
            if (!g || !g->view || g->view->kind != View::ROWS) {
                elog_log(0, "%s: the rows of group %s are gone\n", fn, s.t->name.c_str());
                return nullptr;
            }
            std::unique_ptr<View> copy(new View);
            copy->kind = View::ROWS;
            copy->tables = g->view->tables;
            copy->recs = g->view->recs;
            Dbptr cp = hostdb::view_register(s.d, nullptr, std::move(copy));
            if (cp.table == dbINVALID) {
                elog_log(0, "%s: cannot copy the rows of group %s\n", fn, s.t->name.c_str());
                return nullptr;
            }
            held.set(s.d, cp.table);
            v->grouped = cp.table;
            v->owns_grouped = 1;
        }
    } else {
        v->kind = View::ROWS;
        v->tables = hostdb::view_base_tables(s.d, s.t);
    }
    return v;
}

// Appends row r of s to v.
bool append_row(Source &s, long r, View &v, std::vector<long> &recs) {
    if (v.kind == View::GROUP) {
        v.ranges.push_back(s.t->view->ranges[(size_t)(2 * r)]);
        v.ranges.push_back(s.t->view->ranges[(size_t)(2 * r + 1)]);
        return true;
    }
    if (!hostdb::row_records(s.d, s.t, r, recs)) return false;
    v.recs.insert(v.recs.end(), recs.begin(), recs.end());
    return true;
}

std::vector<std::string> names_of(Tbl *list) {
    std::vector<std::string> out;
    for (long i = 0; i < maxtbl(list); ++i) {
        const char *s = static_cast<const char *>(gettbl(list, i));
        if (s) out.push_back(s);
    }
    return out;
}

// ------------------------------------------------------------ key values

// Values of sort, group and join keys: numbers, or strings kept in a pool
// (offsets, so the pool may grow while it is filled).
struct Key {
    double num = 0;
    size_t off = 0, len = 0;
};

struct KeyCol {
    std::unique_ptr<dbex::Expr> e;
    bool str = false;
    const dbex::FieldRef *field = nullptr;  // the key is this one field
};

// Reads key k of the current row into key (strings appended to pool).
void read_key(const KeyCol &k, const dbex::Row &row, std::string &pool, Key &key) {
    if (k.str) {
        dbex::Value v;
        if (k.field && !k.field->getter) {
            // a plain string field: its trimmed text, no intermediate copy
            const char *r = (k.field->slot < row.nrows) ? row.rows[k.field->slot] : nullptr;
            const char *p;
            size_t n;
            if (r) {
                p = r + k.field->offset;
                n = (size_t)k.field->width;
                while (n > 0 && *p == ' ') ++p, --n;
                while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\n')) --n;
            } else {
                p = "";
                n = 0;
            }
            if (n == 0) {
                p = k.field->null_str.data();
                n = k.field->null_str.size();
            }
            key.off = pool.size();
            key.len = n;
            pool.append(p, n);
            return;
        }
        k.e->eval(row, v);
        key.off = pool.size();
        key.len = v.str.size();
        pool.append(v.str);
        return;
    }
    double x = 0;
    k.e->eval_num(row, x);
    key.num = x;
}

int cmp_num(double a, double b) {
    if (a < b) return -1;
    if (a > b) return 1;
    if (a == b) return 0;
    // NaN sorts first, equal to itself
    bool na = std::isnan(a), nb = std::isnan(b);
    return na == nb ? 0 : na ? -1 : 1;
}

int cmp_key(bool str, const Key &a, const char *pa, const Key &b, const char *pb) {
    if (!str) return cmp_num(a.num, b.num);
    size_t m = a.len < b.len ? a.len : b.len;
    int c = memcmp(pa + a.off, pb + b.off, m);
    if (c) return c < 0 ? -1 : 1;
    return a.len < b.len ? -1 : a.len > b.len ? 1 : 0;
}

bool compile_keys(const char *fn, Source &s, const std::vector<std::string> &names, std::vector<KeyCol> &cols) {
    for (const std::string &nm : names) {
        std::string err;
        KeyCol k;
        k.e = dbex::compile_for(s.d, s.t, nm.c_str(), err);
        if (!k.e) {
            elog_log(0, "%s: %s\n", fn, err.c_str());
            return false;
        }
        k.str = k.e->type() == dbex::T_STRING;
        k.field = k.e->as_field();
        cols.push_back(std::move(k));
    }
    return true;
}

// Keys of every row of s: n * ncols values.
bool table_keys(const char *fn, Source &s, const std::vector<KeyCol> &cols, std::vector<Key> &keys,
                std::string &pool) {
    size_t nc = cols.size();
    keys.assign((size_t)s.n * nc, Key());
    RowReader rr;
    for (long r = 0; r < s.n; ++r) {
        if (!rr.read(s, r)) {
            elog_log(0, "%s: cannot read row %ld of %s\n", fn, r, s.t->name.c_str());
            return false;
        }
        for (size_t c = 0; c < nc; ++c) read_key(cols[c], rr.row, pool, keys[(size_t)r * nc + c]);
    }
    return true;
}

int cmp_rows(const std::vector<KeyCol> &cols, const std::vector<Key> &keys, const char *pool, long a, long b) {
    size_t nc = cols.size();
    for (size_t c = 0; c < nc; ++c) {
        int x = cmp_key(cols[c].str, keys[(size_t)a * nc + c], pool, keys[(size_t)b * nc + c], pool);
        if (x) return x;
    }
    return 0;
}

// Rows in key order, equal keys in their own order, by finding the distinct
// key tuples (hashing) and sorting those only: linear in the rows when they
// fall in few groups, as station-channel groupings do.
uint64_t hash_row(const std::vector<KeyCol> &cols, const std::vector<Key> &keys, const char *pool, long r) {
    uint64_t h = 1469598103934665603ULL;
    size_t nc = cols.size();
    for (size_t c = 0; c < nc; ++c) {
        const Key &k = keys[(size_t)r * nc + c];
        if (cols[c].str) {
            const unsigned char *q = reinterpret_cast<const unsigned char *>(pool + k.off);
            for (size_t i = 0; i < k.len; ++i) h = (h ^ q[i]) * 1099511628211ULL;
        } else {
            double x = k.num == 0 ? 0.0 : k.num;  // -0 equals 0
            uint64_t b = 0;
            if (!std::isnan(x)) memcpy(&b, &x, sizeof b);
            else b = 0x7ff8000000000000ULL;
            h = (h ^ b) * 1099511628211ULL;
        }
        h = (h ^ 0xff) * 1099511628211ULL;
    }
    return h ^ (h >> 29);
}

void group_order(const std::vector<KeyCol> &cols, const std::vector<Key> &keys, const char *pool, long n,
                 std::vector<long> &order) {
    std::vector<long> gid((size_t)n), rep;  // group of each row; first row of each group
    size_t cap = 16;
    while (cap < (size_t)n * 2) cap <<= 1;
    std::vector<long> table(cap, -1);  // open addressing: group ids
    std::vector<uint64_t> ghash;
    for (long r = 0; r < n; ++r) {
        uint64_t h = hash_row(cols, keys, pool, r);
        size_t i = (size_t)h & (cap - 1);
        for (;;) {
            long g = table[i];
            if (g < 0) {
                g = (long)rep.size();
                rep.push_back(r);
                ghash.push_back(h);
                table[i] = g;
                gid[(size_t)r] = g;
                break;
            }
            if (ghash[(size_t)g] == h && cmp_rows(cols, keys, pool, rep[(size_t)g], r) == 0) {
                gid[(size_t)r] = g;
                break;
            }
            i = (i + 1) & (cap - 1);
        }
    }
    std::vector<long> groups(rep.size());
    for (size_t g = 0; g < groups.size(); ++g) groups[g] = (long)g;
    std::sort(groups.begin(), groups.end(),
              [&](long a, long b) { return cmp_rows(cols, keys, pool, rep[(size_t)a], rep[(size_t)b]) < 0; });
    // counting sort of the rows by the rank of their group: stable
    std::vector<long> start(groups.size() + 1, 0), rank(groups.size());
    for (size_t k = 0; k < groups.size(); ++k) rank[(size_t)groups[k]] = (long)k;
    for (long r = 0; r < n; ++r) ++start[(size_t)rank[(size_t)gid[(size_t)r]] + 1];
    for (size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
    order.assign((size_t)n, 0);
    for (long r = 0; r < n; ++r) order[(size_t)start[(size_t)rank[(size_t)gid[(size_t)r]]]++] = r;
}

// The rows of s in key order (stable), reversed and/or made unique.
bool sorted_order(const char *fn, Source &s, const std::vector<std::string> &names, int flags,
                  std::vector<long> &order) {
    std::vector<KeyCol> cols;
    if (!compile_keys(fn, s, names, cols)) return false;
    std::vector<Key> keys;
    std::string pool;
    if (!table_keys(fn, s, cols, keys, pool)) return false;
    order.resize((size_t)s.n);
    for (long r = 0; r < s.n; ++r) order[(size_t)r] = r;
    const char *p = pool.data();
    bool rev = (flags & dbSORT_REVERSE) != 0;
    std::stable_sort(order.begin(), order.end(), [&](long a, long b) {
        int c = cmp_rows(cols, keys, p, a, b);
        return rev ? c > 0 : c < 0;
    });
    if (flags & dbSORT_UNIQUE) {
        std::vector<long> u;
        for (long r : order)
            if (u.empty() || cmp_rows(cols, keys, p, u.back(), r) != 0) u.push_back(r);
        order.swap(u);
    }
    return true;
}

// ------------------------------------------------------------ join keys

// Strings handed back to callers in key lists: kept for the process, so
// the lists are freed with freetbl(list, 0).
const char *intern(const std::string &s) {
    static std::mutex mu;
    static std::set<std::string> strings;
    std::lock_guard<std::mutex> lock(mu);
    return strings.insert(s).first->c_str();
}

bool plain_name(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!(isalnum((unsigned char)c) || c == '_' || c == '.')) return false;
    return true;
}

// "a::b" in the table's own names, qualified by the table so that a view
// of several tables reads the right part.
std::string qualify(const std::string &table, const std::string &key) {
    size_t r = key.find("::");
    auto q = [&](const std::string &part) {
        return plain_name(part) && part.find('.') == std::string::npos ? table + "." + part : part;
    };
    if (r == std::string::npos) return q(key);
    return q(key.substr(0, r)) + "::" + q(key.substr(r + 2));
}


std::vector<std::string> table_names(Database *d, Table *t) {
    std::vector<std::string> out;
    for (long i : hostdb::view_base_tables(d, t)) {
        Table *b = d->table(i);
        if (b) out.push_back(b->name);
    }
    return out;
}

bool resolvable(Source &s, const std::string &key) {
    size_t r = key.find("::");
    std::string err;
    if (r == std::string::npos) return dbex::compile_for(s.d, s.t, key.c_str(), err) != nullptr;
    return dbex::compile_for(s.d, s.t, key.substr(0, r).c_str(), err) &&
           dbex::compile_for(s.d, s.t, key.substr(r + 2).c_str(), err);
}

// Natural joins the schema's table lacks, tried after it.  Sensor epochs are
// times and site epochs days: the days of the sensor epoch overlap.
const struct {
    const char *t1, *t2, *k1, *k2;
} kMoreJoins[] = {
    {"sensor", "site", "sensor.sta;yearday(sensor.time)::yearday(sensor.endtime)", "site.sta;site.ondate::site.offdate"},
    {"origin", "gregion", "origin.grn", "gregion.grn"},
    {"origin", "sregion", "origin.srn", "sregion.srn"},
    {"stamag", "origin", "stamag.orid", "origin.orid"},
    {"stamag", "event", "stamag.evid", "event.evid"},
};

std::vector<std::string> split_at(const char *s, char sep) {
    std::vector<std::string> out;
    std::string w;
    for (const char *p = s; *p; ++p) {
        if (*p == sep) {
            out.push_back(w);
            w.clear();
        } else {
            w += *p;
        }
    }
    out.push_back(w);
    return out;
}

bool more_join_keys(const std::string &a, const std::string &b, std::vector<std::string> &x,
                    std::vector<std::string> &y) {
    for (auto &j : kMoreJoins) {
        if (a == j.t1 && b == j.t2) {
            x = split_at(j.k1, ';');
            y = split_at(j.k2, ';');
            return true;
        }
        if (a == j.t2 && b == j.t1) {
            x = split_at(j.k2, ';');
            y = split_at(j.k1, ';');
            return true;
        }
    }
    // any table with a comment id joins the remarks, from either side
    if ((a == "remark") != (b == "remark")) {
        const std::string &other = a == "remark" ? b : a;
        const hostdb::SchemaTable *st = hostdb::schema_table(other.c_str());
        if (st && hostdb::schema_field_index(st, "commid") >= 0) {
            x = {a + ".commid"};
            y = {b + ".commid"};
            return true;
        }
    }
    return false;
}

// The schema's join keys between the tables of the two sides: the first
// pair (left tables in order, right tables in order) the schema joins; else
// the primary key of a right table when the left side has all its fields.
bool infer_keys(Source &l, Source &r, std::vector<std::string> &k1, std::vector<std::string> &k2) {
    std::vector<std::string> lt = table_names(l.d, l.t), rt = table_names(r.d, r.t);
    for (const std::string &b : rt) {
        for (const std::string &a : lt) {
            std::vector<std::string> x, y;
            if (!hostdb::schema_join_keys(a.c_str(), b.c_str(), x, y) && !more_join_keys(a, b, x, y)) continue;
            if (x.size() != y.size() || x.empty()) continue;
            k1.clear();
            k2.clear();
            bool ok = true;
            for (size_t i = 0; i < x.size(); ++i) {
                k1.push_back(qualify(a, x[i]));
                k2.push_back(qualify(b, y[i]));
                ok = ok && resolvable(l, k1.back()) && resolvable(r, k2.back());
            }
            if (ok) return true;
        }
    }
    for (const std::string &b : rt) {
        const hostdb::SchemaTable *st = hostdb::schema_table(b.c_str());
        if (!st || !st->primary) continue;
        std::vector<std::string> pk = hostdb::split_words(st->primary);
        k1.clear();
        k2.clear();
        bool ok = !pk.empty();
        for (const std::string &k : pk) {
            k1.push_back(k);
            k2.push_back(qualify(b, k));
            ok = ok && resolvable(l, k) && resolvable(r, k2.back());
        }
        if (ok) return true;
    }
    return false;
}

// One side of a join key: a value, or a range lo::hi.
struct Side {
    KeyCol lo, hi;
    bool range = false;
    bool str = false;
};

bool compile_side(Source &s, const std::string &key, Side &side, std::string &err) {
    size_t r = key.find("::");
    std::string a = r == std::string::npos ? key : key.substr(0, r);
    side.range = r != std::string::npos;
    side.lo.e = dbex::compile_for(s.d, s.t, a.c_str(), err);
    if (!side.lo.e) return false;
    side.lo.str = side.lo.e->type() == dbex::T_STRING;
    side.lo.field = side.lo.e->as_field();
    if (side.range) {
        side.hi.e = dbex::compile_for(s.d, s.t, key.substr(r + 2).c_str(), err);
        if (!side.hi.e) return false;
        side.hi.str = side.hi.e->type() == dbex::T_STRING;
        side.hi.field = side.hi.e->as_field();
    }
    side.str = side.lo.str && (!side.range || side.hi.str);
    return true;
}

// A numeric key value at its field's null: an open bound of a range.
bool at_null(const KeyCol &k, const Key &v) {
    return !k.str && k.field && v.num == k.field->null_num;
}

bool null_value(const KeyCol &k, bool str, const Key &v, const char *pool) {
    if (!k.field || str != k.str) return false;
    if (k.str)
        return v.len == k.field->null_str.size() && memcmp(pool + v.off, k.field->null_str.data(), v.len) == 0;
    return v.num == k.field->null_num;
}

struct JoinKey {
    Side l, r;
    bool str = false;  // compared as strings
    bool eq = false;   // both plain: equality
};

// Key values of one row on one side: lo and hi per key.
void side_values(std::vector<JoinKey> &keys, bool left, const dbex::Row &row, std::string &pool, Key *out) {
    for (size_t i = 0; i < keys.size(); ++i) {
        Side &s = left ? keys[i].l : keys[i].r;
        bool str = keys[i].str;
        Key &lo = out[2 * i], &hi = out[2 * i + 1];
        KeyCol &clo = s.lo;
        bool saved = clo.str;
        clo.str = str;  // numeric comparison reads strings as numbers
        read_key(clo, row, pool, lo);
        clo.str = saved;
        if (s.range) {
            KeyCol &chi = s.hi;
            saved = chi.str;
            chi.str = str;
            read_key(chi, row, pool, hi);
            chi.str = saved;
            if (!str) {
                if (at_null(s.lo, lo)) lo.num = -std::numeric_limits<double>::infinity();
                // an end day of -1 (older files) is an open end as well
                if (at_null(s.hi, hi) ||
                    (s.hi.field && s.hi.field->type == dbex::T_YEARDAY && hi.num == -1))
                    hi.num = std::numeric_limits<double>::infinity();
            }
        } else {
            hi = lo;
        }
    }
}

// The right side of a join, indexed once on its key values, and the search
// for the partners of one left row.
class JoinIndex {
public:
    // Compiles the key lists and indexes every row of r.  False with a
    // message on failure.
    bool build(Source &l, Source &r, const std::vector<std::string> &k1, const std::vector<std::string> &k2) {
        keys_.resize(k1.size());
        for (size_t i = 0; i < k1.size(); ++i) {
            std::string err;
            if (!compile_side(l, k1[i], keys_[i].l, err) || !compile_side(r, k2[i], keys_[i].r, err)) {
                elog_log(0, "dbjoin: bad join key: %s\n", err.c_str());
                return false;
            }
            keys_[i].str = keys_[i].l.str && keys_[i].r.str;
            keys_[i].eq = !keys_[i].l.range && !keys_[i].r.range;
        }
        // equality keys first: they select the bucket of the index; the first
        // other key orders the bucket
        std::stable_partition(keys_.begin(), keys_.end(), [](const JoinKey &k) { return k.eq; });
        neq_ = 0;
        while (neq_ < keys_.size() && keys_[neq_].eq) ++neq_;
        nk_ = keys_.size();
        sweep_ = neq_ < nk_;
        w_ = 2 * nk_;
        rv_.assign((size_t)r.n * w_, Key());
        RowReader rr;
        for (long i = 0; i < r.n; ++i) {
            if (!rr.read(r, i)) {
                elog_log(0, "dbjoin: cannot read row %ld of %s\n", i, r.t->name.c_str());
                return false;
            }
            side_values(keys_, false, rr.row, rpool_, &rv_[(size_t)i * w_]);
        }
        const char *rp = rpool_.data();
        rnull_.assign((size_t)r.n, 0);
        idx_.reserve((size_t)r.n);
        for (long i = 0; i < r.n; ++i) {
            // a null plain key (equal to, or inside a range of, the other side)
            // joins nothing; only a range's ends are open at their nulls
            bool skip = false;
            for (size_t k = 0; k < nk_ && !skip; ++k)
                skip = !keys_[k].r.range && null_value(keys_[k].r.lo, keys_[k].str, rv_[(size_t)i * w_ + 2 * k], rp);
            if (skip)
                rnull_[(size_t)i] = 1;
            else
                idx_.push_back(i);
        }
        std::stable_sort(idx_.begin(), idx_.end(), [&](long a, long b) {
            const Key *x = &rv_[(size_t)a * w_], *y = &rv_[(size_t)b * w_];
            int c = cmp_eq(x, rp, y, rp);
            if (c) return c < 0;
            if (sweep_) return cmp_key(keys_[neq_].str, x[2 * neq_], rp, y[2 * neq_], rp) < 0;
            return false;
        });
        // within a bucket, the largest upper bound of the sweep key so far: a
        // backward scan stops once no earlier row can reach the left value
        runmax_.assign(idx_.size(), Key());
        if (sweep_) {
            for (size_t j = 0; j < idx_.size(); ++j) {
                const Key *x = &rv_[(size_t)idx_[j] * w_];
                bool newbucket = j == 0 || cmp_eq(&rv_[(size_t)idx_[j - 1] * w_], rp, x, rp) != 0;
                runmax_[j] = x[2 * neq_ + 1];
                if (!newbucket && cmp_key(keys_[neq_].str, runmax_[j - 1], rp, runmax_[j], rp) > 0)
                    runmax_[j] = runmax_[j - 1];
            }
        }
        lv_.assign(w_, Key());
        return true;
    }

    // The partners of the left row (ascending right record numbers) in
    // matches; the result tells whether the left row has a null plain key
    // (and so no partner).
    bool match(const dbex::Row &row, std::vector<long> &matches) {
        matches.clear();
        lpool_.clear();
        side_values(keys_, true, row, lpool_, lv_.data());
        const char *lp = lpool_.data(), *rp = rpool_.data();
        const Key *x = lv_.data();
        bool nullkey = false;
        for (size_t k = 0; k < nk_ && !nullkey; ++k)
            nullkey = !keys_[k].l.range && null_value(keys_[k].l.lo, keys_[k].str, x[2 * k], lp);
        if (nullkey || idx_.empty()) return nullkey;
        // the bucket of equal equality keys
        auto lo = std::lower_bound(idx_.begin(), idx_.end(), 0L,
                                   [&](long a, long) { return cmp_eq(&rv_[(size_t)a * w_], rp, x, lp) < 0; });
        auto hi = std::upper_bound(lo, idx_.end(), 0L,
                                   [&](long, long b) { return cmp_eq(x, lp, &rv_[(size_t)b * w_], rp) < 0; });
        size_t b0 = (size_t)(lo - idx_.begin()), b1 = (size_t)(hi - idx_.begin());
        auto full = [&](long j) {
            const Key *y = &rv_[(size_t)j * w_];
            for (size_t k = neq_; k < nk_; ++k) {
                bool s = keys_[k].str;
                // overlap of [xlo, xhi] and [ylo, yhi], bounds included
                if (cmp_key(s, x[2 * k], lp, y[2 * k + 1], rp) > 0) return false;
                if (cmp_key(s, y[2 * k], rp, x[2 * k + 1], lp) > 0) return false;
            }
            return true;
        };
        if (!sweep_) {
            for (size_t j = b0; j < b1; ++j) matches.push_back(idx_[j]);
        } else {
            bool s = keys_[neq_].str;
            // rows whose sweep start is not after the left end...
            size_t e = (size_t)(std::upper_bound(idx_.begin() + (long)b0, idx_.begin() + (long)b1, 0L,
                                                 [&](long, long b) {
                                                     return cmp_key(s, x[2 * neq_ + 1], lp,
                                                                    rv_[(size_t)b * w_ + 2 * neq_], rp) < 0;
                                                 }) -
                                idx_.begin());
            // ...scanned back while some row can still reach the left start
            for (size_t j = e; j > b0; --j) {
                if (cmp_key(s, runmax_[j - 1], rp, x[2 * neq_], lp) < 0) break;
                if (full(idx_[j - 1])) matches.push_back(idx_[j - 1]);
            }
        }
        std::sort(matches.begin(), matches.end());
        return false;
    }

    // True when right row j has a null plain key (joins nothing here).
    bool right_null(long j) const { return rnull_[(size_t)j] != 0; }

private:
    int cmp_eq(const Key *a, const char *pa, const Key *b, const char *pb) const {
        for (size_t k = 0; k < neq_; ++k) {
            int c = cmp_key(keys_[k].str, a[2 * k], pa, b[2 * k], pb);
            if (c) return c;
        }
        return 0;
    }

    std::vector<JoinKey> keys_;
    size_t neq_ = 0, nk_ = 0, w_ = 0;
    bool sweep_ = false;
    std::vector<Key> rv_, runmax_, lv_;
    std::string rpool_, lpool_;
    std::vector<long> idx_;
    std::vector<char> rnull_;
};

// Channel identifiers are often missing from field tables.  When a join is
// the schema's chanid join of a table with sta, chan and time (sensor,
// wfdisc, arrival) with sitechan, a row whose chanid is null on either side
// is joined instead by sta, chan and the day of its time within the
// channel's ondate::offdate (an open offdate, -1 or null, has no end).
// The channel table's base table name of a single chanid key, or "".
std::string chanid_table(Source &s, const std::string &key) {
    std::string field = key;
    size_t dot = key.find('.');
    if (dot != std::string::npos) field = key.substr(dot + 1);
    if (field != "chanid") return "";
    hostdb::FieldLoc loc;
    int mark = elog_mark();
    bool ok = hostdb::field_resolve(s.d, s.t, key.c_str(), &loc) && !loc.bundle;
    elog_flush(0, mark);
    if (!ok) return "";
    Table *b = s.d->table(loc.table);
    return b ? b->name : "";
}

bool timed_channel_table(const std::string &t) { return t == "sensor" || t == "wfdisc" || t == "arrival"; }

// Fills the fallback key lists for a join on k1/k2 when it qualifies.
bool chanid_fallback(Source &l, Source &r, const std::vector<std::string> &k1, const std::vector<std::string> &k2,
                     std::vector<std::string> &f1, std::vector<std::string> &f2) {
    if (k1.size() != 1 || k2.size() != 1) return false;
    std::string a = chanid_table(l, k1[0]), b = chanid_table(r, k2[0]);
    auto timed = [](const std::string &t) {
        return std::vector<std::string>{t + ".sta", t + ".chan", "yearday(" + t + ".time)"};
    };
    const std::vector<std::string> chan = {"sitechan.sta", "sitechan.chan", "sitechan.ondate::sitechan.offdate"};
    if (timed_channel_table(a) && b == "sitechan") {
        f1 = timed(a);
        f2 = chan;
    } else if (a == "sitechan" && timed_channel_table(b)) {
        f1 = chan;
        f2 = timed(b);
    } else {
        return false;
    }
    for (size_t i = 0; i < f1.size(); ++i)
        if (!resolvable(l, f1[i]) || !resolvable(r, f2[i])) return false;
    return true;
}

Dbptr subset(Dbptr db, const char *expr, const char *name) {
    Source s;
    if (!source("dbsubset", db, s)) return bad();
    std::string err;
    std::unique_ptr<dbex::Expr> e = dbex::compile_for(s.d, s.t, expr, err);
    if (!e) {
        elog_log(0, "dbsubset: %s\n", err.c_str());
        return bad();
    }
    CopyGuard copy;
    std::unique_ptr<View> v = like("dbsubset", s, copy);
    if (!v) return bad();
    std::vector<long> recs;
    RowReader rr;
    int mark = elog_mark();
    long failed = 0, first_failed = -1;
    for (long r = 0; r < s.n; ++r) {
        bool keep = false;
        if (!rr.read(s, r)) break;  // rows released meanwhile
        if (!e->eval_bool(rr.row, keep)) {
            // a row the expression cannot be evaluated on is left out; one
            // message says so, not one per row
            elog_flush(0, mark);
            if (failed++ == 0) first_failed = r;
            continue;
        }
        if (keep) append_row(s, r, *v, recs);
    }
    if (failed)
        elog_log(0, "dbsubset: expression '%s' could not be evaluated on %ld rows of %s (first: row %ld); they are left out\n",
                 expr, failed, s.t->name.c_str(), first_failed);
    return publish(s.d, name, std::move(v), copy);
}

Dbptr sort(Dbptr db, Tbl *fields, int flags, const char *name) {
    Source s;
    if (!source("dbsort", db, s)) return bad();
    std::vector<std::string> names = names_of(fields);
    if (names.empty()) {
        elog_log(0, "dbsort: no sort keys for %s\n", s.t->name.c_str());
        return bad();
    }
    std::vector<long> order;
    if (!sorted_order("dbsort", s, names, flags, order)) return bad();
    CopyGuard copy;
    std::unique_ptr<View> v = like("dbsort", s, copy);
    if (!v) return bad();
    std::vector<long> recs;
    for (long r : order) append_row(s, r, *v, recs);
    return publish(s.d, name, std::move(v), copy);
}

Dbptr group(Dbptr db, Tbl *fields, const char *name, long type) {
    Source s;
    if (!source("dbgroup", db, s)) return bad();
    std::vector<std::string> names = names_of(fields);
    if (names.empty()) {
        elog_log(0, "dbgroup: no grouping fields for %s\n", s.t->name.c_str());
        return bad();
    }
    if (s.group) {
        elog_log(0, "dbgroup: %s is already grouped\n", s.t->name.c_str());
        return bad();
    }
    // the group's fields are named "table.field", as a view's fields are, so
    // that both "sta" and "wfdisc.sta" read them
    std::vector<std::string> qualified;
    for (const std::string &nm : names) {
        hostdb::FieldLoc loc;
        if (!hostdb::field_resolve(s.d, s.t, nm.c_str(), &loc) || loc.bundle) {
            elog_log(0, "dbgroup: no field %s in %s\n", nm.c_str(), s.t->name.c_str());
            return bad();
        }
        Table *bt = s.d->table(loc.table);
        qualified.push_back(nm.find('.') == std::string::npos && bt ? bt->name + "." + nm : nm);
    }
    std::vector<KeyCol> cols;
    if (!compile_keys("dbgroup", s, names, cols)) return bad();
    std::vector<Key> keys;
    std::string pool;
    if (!table_keys("dbgroup", s, cols, keys, pool)) return bad();
    const char *p = pool.data();
    bool sorted = true;
    for (long r = 1; r < s.n && sorted; ++r) sorted = cmp_rows(cols, keys, p, r - 1, r) <= 0;

    long grouped = s.t->index;
    std::vector<long> order;
    CopyGuard copy;
    if (!sorted) {
        // group the rows of a sorted copy; equal keys keep their order
        group_order(cols, keys, p, s.n, order);
        CopyGuard unused;  // s is not grouped: like() makes no copy
        std::unique_ptr<View> sv = like("dbgroup", s, unused);
        if (!sv) return bad();
        std::vector<long> recs;
        for (long r : order) append_row(s, r, *sv, recs);
        Dbptr sp = hostdb::view_register(s.d, nullptr, std::move(sv));
        if (sp.table == dbINVALID) {
            elog_log(0, "dbgroup: cannot sort %s\n", s.t->name.c_str());
            return bad();
        }
        copy.set(s.d, sp.table);
        grouped = sp.table;
    } else {
        order.resize((size_t)s.n);
        for (long r = 0; r < s.n; ++r) order[(size_t)r] = r;
    }
    std::unique_ptr<View> v(new View);
    v->kind = View::GROUP;
    v->grouped = grouped;
    v->keys = qualified;
    v->type = type;
    v->owns_grouped = grouped != s.t->index;
    long first = 0;
    for (long i = 1; i <= s.n; ++i) {
        if (i == s.n || cmp_rows(cols, keys, p, order[(size_t)(i - 1)], order[(size_t)i]) != 0) {
            if (s.n > 0) {
                v->ranges.push_back(first);
                v->ranges.push_back(i);
            }
            first = i;
        }
    }
    // the sorted copy has no other holder: it goes with the view, or is
    // freed here when the view is not made
    return publish(s.d, name, std::move(v), copy);
}

// A list handed to the caller, filled whole before it is handed over.
struct OutList {
    Tbl *t = nullptr;
    explicit OutList(long n) : t(newtbl(n)) {
        if (!t) throw std::bad_alloc();
    }
    ~OutList() { freetbl(t, 0); }
    void push(const void *p) {
        if (pushtbl(t, p) < 0) throw std::bad_alloc();
    }
    Tbl *release() {
        Tbl *r = t;
        t = nullptr;
        return r;
    }
};

Dbptr join(Dbptr db1, Dbptr db2, Tbl **keys1, Tbl **keys2, int outer, Tbl **nojoin, const char *name) {
    Source l, r;
    if (!source("dbjoin", db1, l) || !source("dbjoin", db2, r)) return bad();
    if (l.group || r.group) {
        elog_log(0, "dbjoin: cannot join the grouped view %s\n", (l.group ? l.t : r.t)->name.c_str());
        return bad();
    }
    if (db1.database != db2.database) {
        elog_log(0, "dbjoin: %s and %s are in different databases\n", l.t->name.c_str(), r.t->name.c_str());
        return bad();
    }
    std::vector<std::string> k1 = keys1 ? names_of(*keys1) : std::vector<std::string>();
    std::vector<std::string> k2 = keys2 ? names_of(*keys2) : std::vector<std::string>();
    if (k1.empty() && !k2.empty()) k1 = k2;
    if (k2.empty() && !k1.empty()) k2 = k1;
    bool inferred = k1.empty();
    if (inferred) {
        if (!infer_keys(l, r, k1, k2)) {
            elog_log(0, "dbjoin: no join keys between %s and %s\n", l.t->name.c_str(), r.t->name.c_str());
            return bad();
        }
    }
    // the inferred keys are handed back with the view, when asked for
    std::unique_ptr<OutList> out1, out2;
    if (inferred && keys1 && !*keys1) {
        out1.reset(new OutList((long)k1.size()));
        for (auto &k : k1) out1->push(intern(k));
    }
    if (inferred && keys2 && !*keys2) {
        out2.reset(new OutList((long)k2.size()));
        for (auto &k : k2) out2->push(intern(k));
    }
    if (k1.size() != k2.size()) {
        elog_log(0, "dbjoin: %zu keys for %s but %zu for %s\n", k1.size(), l.t->name.c_str(), k2.size(),
                 r.t->name.c_str());
        return bad();
    }
    JoinIndex index;
    if (!index.build(l, r, k1, k2)) return bad();
    std::vector<std::string> f1, f2;
    JoinIndex fallback;
    bool use_fallback = chanid_fallback(l, r, k1, k2, f1, f2);
    if (use_fallback && !fallback.build(l, r, f1, f2)) return bad();

    std::unique_ptr<View> v(new View);
    v->kind = View::ROWS;
    v->tables = hostdb::view_base_tables(l.d, l.t);
    std::vector<long> rtables = hostdb::view_base_tables(r.d, r.t);
    size_t nl = v->tables.size(), nr = rtables.size();
    if (nl + nr > (size_t)hostdb::MAX_SLOTS) {
        elog_log(0, "dbjoin: a view of more than %d tables\n", (int)hostdb::MAX_SLOTS);
        return bad();
    }
    v->tables.insert(v->tables.end(), rtables.begin(), rtables.end());
    std::vector<long> unjoined;

    RowReader rr;
    std::vector<long> lrecs, matches, more;
    std::vector<std::vector<long>> rcache((size_t)r.n);
    for (long i = 0; i < l.n; ++i) {
        if (!rr.read(l, i)) break;
        bool nullkey = index.match(rr.row, matches);
        if (use_fallback) {
            // a null chanid on the left: every partner by sta, chan and day;
            // otherwise also the right rows whose own chanid is null
            fallback.match(rr.row, more);
            if (nullkey) {
                matches.swap(more);
            } else {
                size_t before = matches.size();
                for (long j : more)
                    if (index.right_null(j)) matches.push_back(j);
                if (matches.size() > before) std::sort(matches.begin(), matches.end());
            }
        }
        if (matches.empty() && !outer) {
            if (nojoin) unjoined.push_back(i);
            continue;
        }
        if (!hostdb::row_records(l.d, l.t, i, lrecs)) break;
        if (matches.empty()) {
            if (nojoin) unjoined.push_back(i);
            v->recs.insert(v->recs.end(), lrecs.begin(), lrecs.end());
            v->recs.insert(v->recs.end(), nr, -1L);
            continue;
        }
        for (long j : matches) {
            std::vector<long> &rc = rcache[(size_t)j];
            if (rc.empty() && !hostdb::row_records(r.d, r.t, j, rc)) continue;
            v->recs.insert(v->recs.end(), lrecs.begin(), lrecs.end());
            v->recs.insert(v->recs.end(), rc.begin(), rc.end());
        }
    }
    // the left rows without partners: in a list of the call's own, or in
    // the caller's, which has room made for them first (then filling it
    // cannot fail)
    std::unique_ptr<OutList> ownlist;
    if (nojoin && !*nojoin) {
        ownlist.reset(new OutList((long)unjoined.size()));
    } else if (nojoin) {
        long had = maxtbl(*nojoin);
        bool room = true;
        for (long k = had; k < (long)unjoined.size() && room; ++k) room = pushtbl(*nojoin, nullptr) >= 0;
        if (maxtbl(*nojoin) > had) deltbl(*nojoin, had, maxtbl(*nojoin) - 1);  // as it was
        if (!room) throw std::bad_alloc();
    }
    Dbptr out = hostdb::view_register(l.d, name, std::move(v));
    if (out.table == dbINVALID) return out;
    // nothing below can fail
    if (out1) *keys1 = out1->release();
    if (out2) *keys2 = out2->release();
    if (nojoin) {
        if (ownlist) *nojoin = ownlist->release();
        if (maxtbl(*nojoin) > 0) deltbl(*nojoin, 0, maxtbl(*nojoin) - 1);
        for (long i : unjoined) pushtbl(*nojoin, (void *)i);
    }
    return out;
}

}  // namespace

extern "C" {

Dbptr dbsubset(Dbptr db, const char *expr, const char *name) {
    return host_guarded("dbsubset", bad(), [&] { return subset(db, expr, name); });
}

Dbptr dbsort(Dbptr db, Tbl *fields, int flags, const char *name) {
    return host_guarded("dbsort", bad(), [&] { return sort(db, fields, flags, name); });
}

Dbptr dbgroup(Dbptr db, Tbl *fields, const char *name, long type) {
    return host_guarded("dbgroup", bad(), [&] { return group(db, fields, name, type); });
}

Dbptr dbjoin(Dbptr db1, Dbptr db2, Tbl **keys1, Tbl **keys2, int outer, Tbl **nojoin, const char *name) {
    return host_guarded("dbjoin", bad(), [&] { return join(db1, db2, keys1, keys2, outer, nojoin, name); });
}

}  // extern "C"
