/*
 * dbex_pvt.h -- the database expression engine, inside the host layer.
 *
 * An expression is compiled once against a field resolver, which turns the
 * field names of the text into places in a row (which row of the evaluation
 * context, byte offset, width, type, null value).  Evaluation then reads the
 * fixed-width row text directly: no lookup by name, no allocation per row.
 * The public dbex_* calls wrap this with a resolver over a table or a view.
 */
#ifndef HOSTKIT_DBEX_PVT_H
#define HOSTKIT_DBEX_PVT_H

#include "regex_pvt.h"

#include <memory>
#include <string>
#include <vector>

namespace dbex {

// Value type codes, shared with the public result codes.
enum {
    T_UNKNOWN = 0,
    T_BOOLEAN = 1,
    T_INTEGER = 2,
    T_REAL = 3,
    T_TIME = 4,
    T_YEARDAY = 5,
    T_STRING = 6
};

// Where one field of a view lives.  Text fields are read from the row text
// of row `slot` of the evaluation context; a getter serves fields that are
// not laid out as text (or that need the database to read).
class FieldGetter {
public:
    virtual ~FieldGetter() = default;
    // Text of the field for the context's row; false means null.
    virtual bool text(const void *ctx, std::string &out) const = 0;
};

struct FieldRef {
    std::string name;        // as written in the expression
    int slot = 0;            // which row of the context
    long offset = 0;         // byte offset of the field in the row text
    long width = 0;          // field width
    int type = T_STRING;     // schema type (T_*)
    double null_num = 0;     // null value of a numeric field
    std::string null_str;    // null text of a string field ("-")
    std::shared_ptr<FieldGetter> getter;  // non-null: read through it
};

class Resolver {
public:
    virtual ~Resolver() = default;
    // 1 found (ref filled), 0 no such field, -1 another error (err set).
    virtual int resolve(const std::string &name, FieldRef &ref, std::string &err) = 0;
};

// The rows an evaluation reads: rows[slot] is the row text of that part of
// the view, or null where an outer join found no partner (null values).
struct Row {
    const char *const *rows = nullptr;
    int nrows = 0;
    const void *ctx = nullptr;  // handed to field getters
};

// A result.
struct Value {
    int type = T_UNKNOWN;    // T_BOOLEAN, T_INTEGER, T_REAL or T_STRING
    double num = 0;
    std::string str;
};

// Travel-time hook for ptime/stime: seconds of the first P (phase 'P') or
// S ('S') arrival at a distance in degrees from a source at a depth in km;
// returns false when there is none.  The host's iasp91 calculator by
// default; with a null hook the compiler does not know the two functions.
typedef bool (*TravelTimeFn)(char phase, double delta_deg, double depth_km, double *seconds);
void set_travel_time(TravelTimeFn fn);
TravelTimeFn travel_time();

class Expr;

// Compiles text.  On failure returns null and sets err to a message naming
// the expression and the position (1-based character) of the fault.
std::unique_ptr<Expr> compile(const char *text, Resolver &resolver, std::string &err);

class Expr {
public:
    ~Expr();
    // Natural type of the result (T_BOOLEAN, T_INTEGER, T_REAL, T_STRING).
    int type() const;
    const std::string &text() const { return text_; }
    const std::vector<FieldRef> &fields() const { return fields_; }
    // The field when the whole expression is one field name, else null.
    const FieldRef *as_field() const;

    // Fast paths.  Each returns false only when a field getter failed.
    bool eval_bool(const Row &row, bool &out) const;
    bool eval_num(const Row &row, double &out) const;
    bool eval(const Row &row, Value &out) const;

    struct Node;

private:
    friend class Parser;
    friend std::unique_ptr<Expr> compile(const char *, Resolver &, std::string &);
    Expr();
    std::string text_;
    std::vector<Node> nodes_;
    std::vector<FieldRef> fields_;
    std::vector<hostkit::WholeRegex *> regexes_;
    int root_ = -1;
};

// Compiles text against a table or view of the database engine: field
// names resolve through the engine's field table.
}  // namespace dbex
namespace hostdb {
struct Database;
struct Table;
}  // namespace hostdb
namespace dbex {
std::unique_ptr<Expr> compile_for(hostdb::Database *d, hostdb::Table *t, const char *text, std::string &err);

// Formats a number the way string results show it: integers plainly,
// reals with the fewest digits that read back to the same value.
std::string format_number(double v, bool integer);

// Reads a numeric field text (blanks around it allowed) exactly as strtod
// would; empty text, or text that is not wholly a number, is null_value.
double parse_number(const char *p, size_t n, double null_value);

}  // namespace dbex

#endif
