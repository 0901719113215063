/*
 * dbex_db.cpp -- database expressions on tables and views: dbex_compile,
 * dbex_eval, dbex_evalstr, dbex_free.
 *
 * Field names resolve through the engine's field table of the table or view
 * the expression is compiled for; evaluation reads the slots of one row.
 */
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db_pvt.h"
#include "dbex_pvt.h"
#include "guard_pvt.h"

using hostdb::Database;
using hostdb::FieldLoc;
using hostdb::Table;

struct Expression {
    std::unique_ptr<dbex::Expr> e;
    long database = -1;
    long table = -1;
    unsigned long uid = 0;  // the table's uid: a reused view slot is another table
    int type = 0;  // the result type asked for at compile time (0: natural)
    // the layout of each base table when the field offsets were taken: a
    // table read again in another layout since makes them wrong
    std::vector<std::pair<hostdb::Table *, const hostdb::SchemaTable *>> layouts;
};

namespace {

const double kTimeNull = -9999999999.999;  // what the engine reads for a null load date

int ex_type(int schema_type) {
    switch (schema_type) {
    case dbINTEGER: return dbex::T_INTEGER;
    case dbYEARDAY: return dbex::T_YEARDAY;
    case dbREAL: return dbex::T_REAL;
    case dbTIME: return dbex::T_TIME;
    case dbDATE: return dbex::T_TIME;
    case dbBOOLEAN: return dbex::T_BOOLEAN;
    default: return dbex::T_STRING;
    }
}

// Fields whose text is not their value (load dates) read through the engine,
// nulls included: a load date that is "-" or unreadable is the engine's null
// time, as dbgetv gives it, not the schema's text null.
class EngineGetter : public dbex::FieldGetter {
public:
    explicit EngineGetter(const FieldLoc &loc) : loc_(loc) {}
    bool text(const void *ctx, std::string &out) const override {
        hostdb::Value v;
        hostdb::field_read(loc_, static_cast<const char *const *>(ctx), &v);
        out = dbex::format_number(v.d, false);
        return true;
    }

private:
    FieldLoc loc_;
};

class EngineResolver : public dbex::Resolver {
public:
    EngineResolver(Database *d, Table *t) : d_(d), t_(t) {}
    int resolve(const std::string &name, dbex::FieldRef &ref, std::string &err) override {
        FieldLoc loc;
        if (!hostdb::field_resolve(d_, t_, name.c_str(), &loc)) return 0;
        if (loc.bundle || !loc.f) {
            err = "field '" + name + "' cannot be used in an expression";
            return -1;
        }
        ref.slot = loc.slot;
        ref.offset = loc.f->offset;
        ref.width = loc.f->width;
        ref.type = ex_type(loc.f->type);
        ref.null_num = loc.f->null_num;
        ref.null_str = loc.f->type == dbSTRING || loc.f->type == dbPOINTER ? loc.f->null_text : "";
        if (loc.f->type == dbDATE) {
            ref.getter = std::make_shared<EngineGetter>(loc);
            ref.null_num = kTimeNull;
        }
        return 1;
    }

private:
    Database *d_;
    Table *t_;
};

class NoFields : public dbex::Resolver {
public:
    int resolve(const std::string &, dbex::FieldRef &, std::string &) override { return 0; }
};

bool lookup(Dbptr db, Database *&d, Table *&t) {
    d = hostdb::db_get(db.database);
    t = d ? hostdb::db_table(d, db.table) : nullptr;
    return t != nullptr;
}

bool known_type(int type) {
    return type == 0 || type == dbBOOLEAN || type == dbINTEGER || type == dbREAL || type == dbTIME ||
           type == dbYEARDAY || type == dbSTRING;
}

// Stores a value as the type asked for; false (with a message) when it has
// no such value.
bool store(const char *fn, const dbex::Expr &e, const dbex::Value &v, int type, void *result) {
    if (type == 0) type = v.type;
    double num = v.num;
    if (v.type == dbex::T_STRING && type != dbSTRING) num = dbex::parse_number(v.str.data(), v.str.size(), 0);
    switch (type) {
    case dbREAL:
    case dbTIME:
        *static_cast<double *>(result) = num;
        return true;
    case dbBOOLEAN:
        if (v.type == dbex::T_STRING)
            *static_cast<long *>(result) = !v.str.empty();
        else
            *static_cast<long *>(result) = num != 0;
        return true;
    case dbINTEGER:
    case dbYEARDAY:
        if (!(std::fabs(num) < 9.2e18)) {
            elog_log(0, "%s: expression '%s' has no integer value\n", fn, e.text().c_str());
            return false;
        }
        *static_cast<long *>(result) = (long)num;
        return true;
    case dbSTRING: {
        std::string s = v.type == dbex::T_STRING ? v.str : dbex::format_number(num, v.type != dbex::T_REAL);
        char *out = static_cast<char *>(malloc(s.size() + 1));
        if (!out) {
            elog_log(1, "%s: malloc() error.\n", fn);
            return false;
        }
        memcpy(out, s.c_str(), s.size() + 1);
        *static_cast<char **>(result) = out;
        return true;
    }
    default:
        elog_log(0, "%s: unknown result type %d\n", fn, type);
        return false;
    }
}

int eval_row(const char *fn, Dbptr db, Expression *ex, void *result) {
    dbex::Value v;
    if (ex->e->fields().empty()) {
        // no field: a constant (or travel-time) expression needs no row
        dbex::Row none;
        if (!ex->e->eval(none, v)) {
            elog_log(0, "%s: cannot evaluate expression '%s'\n", fn, ex->e->text().c_str());
            return -1;
        }
        if (!store(fn, *ex->e, v, ex->type, result)) return -1;
        return ex->type ? ex->type : v.type;
    }
    Database *d;
    Table *t;
    if (!lookup(db, d, t)) {
        elog_log(0, "%s: invalid database pointer\n", fn);
        return -1;
    }
    if (db.database != ex->database || db.table != ex->table || t->uid != ex->uid) {
        elog_log(0, "%s: expression '%s' was compiled for another table\n", fn, ex->e->text().c_str());
        return -1;
    }
    for (const auto &l : ex->layouts) {
        if (__atomic_load_n(&l.first->schema, __ATOMIC_ACQUIRE) != l.second) {
            elog_log(0,
                     "%s: table %s was read again in another layout since expression '%s' was compiled; "
                     "compile it again\n",
                     fn, l.first->name.c_str(), ex->e->text().c_str());
            return -1;
        }
    }
    const char *slots[hostdb::MAX_SLOTS];
    int n = hostdb::row_slots(d, t, db.record, slots);
    if (n < 0) {
        elog_log(0, "%s: no row %ld in %s for expression '%s'\n", fn, db.record, t->name.c_str(),
                 ex->e->text().c_str());
        return -1;
    }
    dbex::Row row;
    row.rows = slots;
    row.nrows = n;
    row.ctx = slots;
    if (!ex->e->eval(row, v)) {
        elog_log(0, "%s: cannot evaluate expression '%s'\n", fn, ex->e->text().c_str());
        return -1;
    }
    if (!store(fn, *ex->e, v, ex->type, result)) return -1;
    return ex->type ? ex->type : v.type;
}

// setflag: the expression names one field; *result (of the compiled type)
// is written into it, converted to the field's own type (dbputv reads its
// value by the field's type, so it must be handed exactly that).
int assign_row(Dbptr db, Expression *ex, void *result) {
    const dbex::FieldRef *f = ex->e->as_field();
    if (!f) {
        elog_log(0, "dbex_eval: expression '%s' is not a field name and cannot be assigned\n",
                 ex->e->text().c_str());
        return -1;
    }
    const char *name = f->name.c_str();
    Database *d;
    Table *t;
    FieldLoc loc;
    if (!lookup(db, d, t) || !hostdb::field_resolve(d, t, name, &loc) || loc.bundle || !loc.f) {
        elog_log(0, "dbex_eval: no field %s to assign in the row's table\n", name);
        return -1;
    }
    int type = ex->type ? ex->type : ex->e->type();
    // the value as the caller handed it
    double num = 0;
    const char *str = nullptr;
    std::string numtext;
    switch (type) {
    case dbREAL:
    case dbTIME:
        num = *static_cast<double *>(result);
        numtext = dbex::format_number(num, false);
        break;
    case dbSTRING:
        str = *static_cast<char **>(result);
        if (!str) {
            elog_log(0, "dbex_eval: no text to assign to field %s\n", name);
            return -1;
        }
        break;
    default:
        num = (double)*static_cast<long *>(result);
        numtext = std::to_string(*static_cast<long *>(result));
        break;
    }
    if (str && loc.f->type != dbSTRING) {
        // text into a number field: a number, or empty or "-" for the null
        size_t n = strlen(str);
        const char *p = str;
        while (n && *p == ' ') ++p, --n;
        while (n && p[n - 1] == ' ') --n;
        if (n == 0 || (n == 1 && *p == '-')) {
            num = loc.f->null_num;
        } else {
            num = dbex::parse_number(p, n, NAN);
            if (std::isnan(num)) {
                elog_log(0, "dbex_eval: \"%s\" is not a number for field %s\n", str, name);
                return -1;
            }
        }
    }
    int rc;
    switch (loc.f->type) {
    case dbSTRING:
        rc = dbputv(db, nullptr, name, str ? str : numtext.c_str(), nullptr);
        break;
    case dbINTEGER:
    case dbYEARDAY:
        if (!(std::fabs(num) < 9.2e18)) {
            elog_log(0, "dbex_eval: %g has no integer value for field %s\n", num, name);
            return -1;
        }
        rc = dbputv(db, nullptr, name, (long)num, nullptr);
        break;
    case dbREAL:
    case dbTIME:
    case dbDATE:
        rc = dbputv(db, nullptr, name, num, nullptr);
        break;
    default:
        elog_log(0, "dbex_eval: field %s cannot be assigned from an expression\n", name);
        return -1;
    }
    if (rc < 0) {
        elog_log(0, "dbex_eval: cannot assign field %s\n", name);
        return -1;
    }
    return type;
}

}  // namespace

namespace dbex {

std::unique_ptr<Expr> compile_for(hostdb::Database *d, hostdb::Table *t, const char *text, std::string &err) {
    EngineResolver r(d, t);
    return compile(text, r, err);
}

}  // namespace dbex

extern "C" {

namespace {

int compile_expression(Dbptr db, const char *expr, Expression **expression, int type) {
    Database *d;
    Table *t;
    // without a table only expressions of no field compile
    NoFields none;
    bool table = lookup(db, d, t);
    if (!known_type(type)) {
        elog_log(0, "dbex_compile: unknown result type %d for expression '%s'\n", type, expr ? expr : "(null)");
        return -1;
    }
    std::string err;
    std::unique_ptr<dbex::Expr> e = table ? dbex::compile_for(d, t, expr, err) : dbex::compile(expr, none, err);
    if (!e) {
        elog_log(0, "dbex_compile: %s\n", err.c_str());
        return -1;
    }
    // built whole, then handed over
    std::unique_ptr<Expression> x(new Expression);
    x->e = std::move(e);
    x->database = table ? db.database : -1;
    x->table = table ? db.table : -1;
    x->uid = table ? t->uid : 0;
    if (table)
        for (long b : hostdb::view_base_tables(d, t)) {
            Table *bt = hostdb::db_table(d, b);
            if (bt) x->layouts.emplace_back(bt, __atomic_load_n(&bt->schema, __ATOMIC_ACQUIRE));
        }
    x->type = type;
    *expression = x.release();
    return 0;
}

}  // namespace

int dbex_compile(Dbptr db, const char *expr, Expression **expression, int type) {
    if (!expression) {
        elog_log(0, "dbex_compile: no place for the compiled expression\n");
        return -1;
    }
    *expression = nullptr;
    return host_guarded("dbex_compile", -1, [&] { return compile_expression(db, expr, expression, type); });
}

int dbex_eval(Dbptr db, Expression *expression, int setflag, void *result) {
    if (!expression || !result) {
        elog_log(0, "dbex_eval: no expression or no place for the result\n");
        return -1;
    }
    return host_guarded("dbex_eval", -1, [&] {
        if (setflag) return assign_row(db, expression, result);
        return eval_row("dbex_eval", db, expression, result);
    });
}

int dbex_evalstr(Dbptr db, const char *expr, int type, void *result) {
    if (!result) {
        elog_log(0, "dbex_evalstr: no place for the result of '%s'\n", expr ? expr : "(null)");
        return -1;
    }
    Expression *x = nullptr;
    if (dbex_compile(db, expr, &x, type) < 0) {
        elog_log(0, "dbex_evalstr: cannot compile '%s'\n", expr ? expr : "(null)");
        return -1;
    }
    std::unique_ptr<Expression> owner(x);
    return host_guarded("dbex_evalstr", -1, [&] { return eval_row("dbex_evalstr", db, x, result); });
}

int dbex_free(Expression *expression) {
    delete expression;
    return 0;
}

}  // extern "C"
