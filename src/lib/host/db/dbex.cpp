/*
 * dbex.cpp -- the database expression language: lexer, parser, compiled
 * tree and evaluator.
 *
 * The language: numbers, quoted strings, field names (also "table.field"),
 * + - * / %, unary minus, comparisons (string comparison when both sides are
 * strings, numeric otherwise), && || !, "=~ /re/" and "!~ /re/" (POSIX
 * extended, whole string), parentheses, the usual math functions, and
 * yearday(t)/epoch(yyyyddd) between times and day numbers, and
 * ptime(distance, depth)/stime(distance, depth): first-arrival P and S
 * travel times (seconds; degrees, km; iasp91).  Every
 * node has a type fixed at compile time, so evaluation is a walk over a
 * small array with no dynamic typing and no allocation.  Field names are
 * resolved to row offsets once, when compiling.
 */
#include "dbex_pvt.h"
#include "regex_pvt.h"

#include "tt.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <forward_list>

#include "stock.h"

namespace dbex {

namespace {

enum Kind : unsigned char { K_NUM, K_STR, K_BOOL };

enum Op : unsigned char {
    LIT_NUM, LIT_STR, FIELD, NEG, NOT, ADD, SUB, MUL, DIV, MOD, AND, OR,
    CMP_NUM, CMP_STR, MATCH, CALL
};

enum Cmp : unsigned char { C_EQ, C_NE, C_LT, C_LE, C_GT, C_GE };

enum Func : unsigned char {
    F_ABS, F_SQRT, F_EXP, F_LOG, F_LOG10, F_SIN, F_COS, F_TAN, F_ASIN, F_ACOS,
    F_ATAN, F_ATAN2, F_FLOOR, F_CEIL, F_MIN, F_MAX, F_POW, F_PTIME, F_STIME, F_YEARDAY, F_EPOCH
};

struct FuncDef {
    const char *name;
    Func fn;
    int minargs, maxargs;  // maxargs -1: any number
    bool travel;           // needs the travel-time model
};

const FuncDef kFuncs[] = {
    {"abs", F_ABS, 1, 1, false},     {"sqrt", F_SQRT, 1, 1, false},
    {"exp", F_EXP, 1, 1, false},     {"log", F_LOG, 1, 1, false},
    {"log10", F_LOG10, 1, 1, false}, {"sin", F_SIN, 1, 1, false},
    {"cos", F_COS, 1, 1, false},     {"tan", F_TAN, 1, 1, false},
    {"asin", F_ASIN, 1, 1, false},   {"acos", F_ACOS, 1, 1, false},
    {"atan", F_ATAN, 1, 1, false},   {"atan2", F_ATAN2, 2, 2, false},
    {"floor", F_FLOOR, 1, 1, false}, {"ceil", F_CEIL, 1, 1, false},
    {"min", F_MIN, 1, -1, false},    {"max", F_MAX, 1, -1, false},
    {"pow", F_POW, 2, 2, false},     {"ptime", F_PTIME, 2, 2, true},
    {"stime", F_STIME, 2, 2, true},
    {"yearday", F_YEARDAY, 1, 1, false}, {"epoch", F_EPOCH, 1, 1, false},
};

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long)doe - 719468;
}

bool leap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// yyyyddd of an epoch time; -1 for times no calendar reaches.
double epoch_to_yearday(double t) {
    if (!(std::fabs(t) < 1e13)) return -1;
    long days = (long)std::floor(t / 86400.0);
    long z = days + 719468;
    long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long y = (long)yoe + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    unsigned m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    long jday = days - days_from_civil(y, 1, 1) + 1;
    return (double)(y * 1000 + jday);
}

// Start of the day of a yyyyddd number.
double yearday_to_epoch(double yd) {
    if (!(std::fabs(yd) < 1e10)) return NAN;
    long v = (long)yd;
    long y = v / 1000, d = v % 1000;
    if (d < 1 || d > (leap(y) ? 366 : 365)) return NAN;
    return (double)(days_from_civil(y, 1, 1) + d - 1) * 86400.0;
}

// First arrivals in iasp91 from the host's travel-time calculator (each
// thread keeps its own model tables there).
bool iasp91_first(char phase, double delta, double depth, double *seconds) {
    double t = phase == 'P' ? tt_ptime(delta, depth) : tt_stime(delta, depth);
    if (!(t >= 0)) return false;
    *seconds = t;
    return true;
}

std::atomic<TravelTimeFn> g_travel{iasp91_first};

struct SV {
    const char *p;
    size_t n;
};

inline void trim(const char *&p, size_t &n) {
    while (n > 0 && (*p == ' ' || *p == '\t')) {
        ++p;
        --n;
    }
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t' || p[n - 1] == '\n' || p[n - 1] == '\0')) --n;
}


const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

double parse_number(const char *p, size_t n, double null_value) {
    trim(p, n);
    if (n == 0) return null_value;
    // Fast path: [sign] digits [. digits] with a mantissa below 2^53 and at
    // most 22 decimals; the quotient of two exact doubles is correctly
    // rounded, so this equals strtod's result.
    size_t i = 0;
    bool neg = false;
    if (p[0] == '-' || p[0] == '+') {
        neg = p[0] == '-';
        i = 1;
    }
    uint64_t m = 0;
    int ndig = 0, frac = 0;
    bool dot = false, anydig = false, fast = i < n;
    for (; i < n && fast; ++i) {
        char c = p[i];
        if (c >= '0' && c <= '9') {
            anydig = true;
            if (ndig < 18) {
                m = m * 10 + (uint64_t)(c - '0');
                if (m || dot) ++ndig;
                if (dot) ++frac;
            } else {
                fast = false;
            }
        } else if (c == '.' && !dot) {
            dot = true;
        } else {
            fast = false;
        }
    }
    if (fast && anydig && m < (1ULL << 53) && frac <= 22) {
        double v = (double)m / kPow10[frac];
        return neg ? -v : v;
    }
    char buf[128];
    std::string big;
    const char *s;
    if (n < sizeof buf) {
        memcpy(buf, p, n);
        buf[n] = 0;
        s = buf;
    } else {
        big.assign(p, n);
        s = big.c_str();
    }
    char *end = nullptr;
    double v = strtod(s, &end);
    // text that is not wholly a number reads as the null, as the row reader has it
    if (end != s + n) return null_value;
    return v;
}

std::string format_number(double v, bool integer) {
    char buf[64];
    if (integer && std::fabs(v) < 9.2e18) {
        snprintf(buf, sizeof buf, "%lld", (long long)v);
        return buf;
    }
    for (int prec = 15; prec <= 17; ++prec) {
        snprintf(buf, sizeof buf, "%.*g", prec, v);
        if (strtod(buf, nullptr) == v) break;
    }
    return buf;
}

void set_travel_time(TravelTimeFn fn) { g_travel.store(fn); }
TravelTimeFn travel_time() { return g_travel.load(); }

struct Expr::Node {
    Op op = LIT_NUM;
    Kind kind = K_NUM;
    bool isint = false;
    unsigned char sub = 0;  // comparison or function code
    int a = -1, b = -1;
    int depth = 1;  // of the subtree
    std::vector<int> args;
    double num = 0;
    std::string str;
    int field = -1;
    int re = -1;
    bool negate = false;  // !~
};

// ------------------------------------------------------------------ parser

namespace {

enum Tok { T_END, T_NUM, T_STR, T_IDENT, T_OP, T_LP, T_RP, T_COMMA, T_BAD };

struct Token {
    Tok kind = T_END;
    std::string text;
    size_t pos = 0;
    double num = 0;
    bool isint = false;
};

}  // namespace

class Parser {
public:
    Parser(const char *text, Resolver &r, Expr &e) : s_(text), r_(r), e_(e) {}

    bool run(std::string &err) {
        if (!next()) return fail(err);
        int root = parse_or();
        if (root < 0) return fail(err);
        if (tok_.kind != T_END) {
            set_error(tok_.pos, "unexpected '" + tok_.text + "'");
            return fail(err);
        }
        e_.root_ = root;
        return true;
    }

private:
    const char *s_;
    Resolver &r_;
    Expr &e_;
    size_t i_ = 0;
    Token tok_;
    std::string msg_;
    size_t errpos_ = 0;

    bool fail(std::string &err) {
        err = "expression '" + std::string(s_) + "': " + msg_ + " at position " +
              std::to_string(errpos_ + 1);
        return false;
    }
    int set_error(size_t pos, const std::string &m) {
        if (msg_.empty()) {
            msg_ = m;
            errpos_ = pos;
        }
        return -1;
    }

    static bool ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
    static bool ident_char(char c) { return ident_start(c) || (c >= '0' && c <= '9'); }

    bool next() {
        while (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r') ++i_;
        tok_ = Token();
        tok_.pos = i_;
        char c = s_[i_];
        if (c == 0) {
            tok_.kind = T_END;
            tok_.text = "end";
            return true;
        }
        if ((c >= '0' && c <= '9') || (c == '.' && s_[i_ + 1] >= '0' && s_[i_ + 1] <= '9')) {
            const char *start = s_ + i_;
            char *end = nullptr;
            errno = 0;
            double v = strtod(start, &end);
            size_t len = (size_t)(end - start);
            std::string t(start, len);
            // hexadecimal and infinities are not numbers of this language
            if (t.find_first_of("xXnN") != std::string::npos) {
                len = strspn(start, "0123456789");
                t.assign(start, len);
                v = strtod(t.c_str(), nullptr);
            }
            tok_.kind = T_NUM;
            tok_.num = v;
            tok_.isint = t.find_first_of(".eE") == std::string::npos && std::fabs(v) < 9e15;
            tok_.text = t;
            i_ += len;
            if (ident_char(s_[i_])) {
                set_error(i_, "bad number");
                return false;
            }
            return true;
        }
        if (c == '"' || c == '\'') {
            std::string out;
            size_t j = i_ + 1;
            while (s_[j] && s_[j] != c) {
                if (s_[j] == '\\' && s_[j + 1]) {
                    char d = s_[j + 1];
                    out += d == 'n' ? '\n' : d == 't' ? '\t' : d;
                    j += 2;
                } else {
                    out += s_[j++];
                }
            }
            if (!s_[j]) {
                set_error(i_, "unterminated string");
                return false;
            }
            tok_.kind = T_STR;
            tok_.text = out;
            i_ = j + 1;
            return true;
        }
        if (ident_start(c)) {
            size_t j = i_;
            while (ident_char(s_[j])) ++j;
            while (s_[j] == '.' && ident_start(s_[j + 1])) {
                ++j;
                while (ident_char(s_[j])) ++j;
            }
            tok_.kind = T_IDENT;
            tok_.text.assign(s_ + i_, j - i_);
            i_ = j;
            return true;
        }
        if (c == '(') return single(T_LP);
        if (c == ')') return single(T_RP);
        if (c == ',') return single(T_COMMA);
        static const char *two[] = {"&&", "||", "==", "!=", "<=", ">=", "=~", "!~"};
        for (const char *t : two) {
            if (c == t[0] && s_[i_ + 1] == t[1]) {
                tok_.kind = T_OP;
                tok_.text = t;
                i_ += 2;
                return true;
            }
        }
        if (strchr("+-*/%<>!", c)) return single(T_OP);
        if (c == '=') {  // a lone '=' is taken as equality
            tok_.kind = T_OP;
            tok_.text = "==";
            ++i_;
            return true;
        }
        tok_.text.assign(1, c);
        set_error(i_, std::string("unexpected character '") + c + "'");
        return false;
    }

    bool single(Tok k) {
        tok_.kind = k;
        tok_.text.assign(1, s_[i_]);
        ++i_;
        return true;
    }

    bool is_op(const char *op) const { return tok_.kind == T_OP && tok_.text == op; }

    // Evaluation recurses over the tree, so its depth is bounded.
    enum { MAX_DEPTH = 400, MAX_NEST = 150 };
    int nest_ = 0;

    int add(Expr::Node n) {
        int d = 0;
        if (n.a >= 0) d = std::max(d, node(n.a).depth);
        if (n.b >= 0) d = std::max(d, node(n.b).depth);
        for (int x : n.args) d = std::max(d, node(x).depth);
        n.depth = d + 1;
        if (n.depth > MAX_DEPTH) return set_error(tok_.pos, "expression too deeply nested");
        e_.nodes_.push_back(std::move(n));
        return (int)e_.nodes_.size() - 1;
    }

    struct Nest {
        Parser &p;
        explicit Nest(Parser &q) : p(q) { ++p.nest_; }
        ~Nest() { --p.nest_; }
        bool too_deep() const { return p.nest_ > MAX_NEST; }
    };
    Expr::Node &node(int i) { return e_.nodes_[(size_t)i]; }

    int parse_or() {
        int l = parse_and();
        while (l >= 0 && is_op("||")) {
            if (!next()) return -1;
            int r = parse_and();
            if (r < 0) return -1;
            Expr::Node n;
            n.op = OR;
            n.kind = K_BOOL;
            n.a = l;
            n.b = r;
            l = add(std::move(n));
        }
        return l;
    }

    int parse_and() {
        int l = parse_not();
        while (l >= 0 && is_op("&&")) {
            if (!next()) return -1;
            int r = parse_not();
            if (r < 0) return -1;
            Expr::Node n;
            n.op = AND;
            n.kind = K_BOOL;
            n.a = l;
            n.b = r;
            l = add(std::move(n));
        }
        return l;
    }

    // '!' binds looser than comparisons: "!sta =~ /A.*/" negates the match.
    int parse_not() {
        Nest nest(*this);
        if (nest.too_deep()) return set_error(tok_.pos, "expression too deeply nested");
        if (is_op("!")) {
            if (!next()) return -1;
            int a = parse_not();
            if (a < 0) return -1;
            Expr::Node n;
            n.op = NOT;
            n.kind = K_BOOL;
            n.a = a;
            return add(std::move(n));
        }
        return parse_cmp();
    }

    int parse_cmp() {
        int l = parse_add();
        if (l < 0) return -1;
        if (is_op("=~") || is_op("!~")) {
            bool negate = tok_.text == "!~";
            size_t oppos = tok_.pos;
            // the pattern follows: /re/ (\/ for a slash) or a quoted string;
            // any other escape is the pattern's own and is kept whole, so
            // that /a\\/ ends after the escaped backslash
            while (s_[i_] == ' ' || s_[i_] == '\t') ++i_;
            std::string re;
            size_t repos = i_;
            if (s_[i_] == '/') {
                size_t j = i_ + 1;
                while (s_[j] && s_[j] != '/') {
                    if (s_[j] == '\\' && s_[j + 1] == '/') {
                        re += '/';
                        j += 2;
                    } else if (s_[j] == '\\' && s_[j + 1]) {
                        re += s_[j];
                        re += s_[j + 1];
                        j += 2;
                    } else {
                        re += s_[j++];
                    }
                }
                if (!s_[j]) return set_error(repos, "unterminated regular expression");
                i_ = j + 1;
                if (!next()) return -1;
            } else {
                if (!next()) return -1;
                if (tok_.kind != T_STR) return set_error(repos, "regular expression expected after '" +
                                                                    std::string(negate ? "!~" : "=~") + "'");
                re = tok_.text;
                if (!next()) return -1;
            }
            std::unique_ptr<hostkit::WholeRegex> rx(new hostkit::WholeRegex);
            std::string why;
            int rc = rx->compile(re.c_str(), &why);
            if (rc != hostkit::REGEX_OK) {
                if (rc == hostkit::REGEX_TOO_COMPLEX)
                    return set_error(repos, "regular expression /" + re + "/ is too complex");
                return set_error(repos, "bad regular expression /" + re + "/: " + why);
            }
            // the expression owns its patterns from here (room first, so
            // that handing it over cannot fail)
            e_.regexes_.reserve(e_.regexes_.size() + 1);
            e_.regexes_.push_back(rx.release());
            (void)oppos;
            Expr::Node n;
            n.op = MATCH;
            n.kind = K_BOOL;
            n.a = l;
            n.re = (int)e_.regexes_.size() - 1;
            n.negate = negate;
            n.str = re;
            return add(std::move(n));
        }
        static const struct {
            const char *op;
            Cmp c;
        } cmps[] = {{"==", C_EQ}, {"!=", C_NE}, {"<", C_LT}, {"<=", C_LE}, {">", C_GT}, {">=", C_GE}};
        for (auto &c : cmps) {
            if (is_op(c.op)) {
                if (!next()) return -1;
                int r = parse_add();
                if (r < 0) return -1;
                Expr::Node n;
                n.kind = K_BOOL;
                n.sub = c.c;
                n.a = l;
                n.b = r;
                n.op = (node(l).kind == K_STR && node(r).kind == K_STR) ? CMP_STR : CMP_NUM;
                return add(std::move(n));
            }
        }
        return l;
    }

    int arith(Op op, int l, int r) {
        Expr::Node n;
        n.op = op;
        n.kind = K_NUM;
        n.a = l;
        n.b = r;
        n.isint = op != DIV && num_int(l) && num_int(r);
        return add(std::move(n));
    }

    bool num_int(int i) {
        const Expr::Node &n = node(i);
        return n.kind == K_BOOL || (n.kind == K_NUM && n.isint);
    }

    int parse_add() {
        int l = parse_mul();
        while (l >= 0 && (is_op("+") || is_op("-"))) {
            Op op = tok_.text == "+" ? ADD : SUB;
            if (!next()) return -1;
            int r = parse_mul();
            if (r < 0) return -1;
            l = arith(op, l, r);
        }
        return l;
    }

    int parse_mul() {
        int l = parse_unary();
        while (l >= 0 && (is_op("*") || is_op("/") || is_op("%"))) {
            Op op = tok_.text == "*" ? MUL : tok_.text == "/" ? DIV : MOD;
            if (!next()) return -1;
            int r = parse_unary();
            if (r < 0) return -1;
            l = arith(op, l, r);
        }
        return l;
    }

    int parse_unary() {
        Nest nest(*this);
        if (nest.too_deep()) return set_error(tok_.pos, "expression too deeply nested");
        if (is_op("-") || is_op("+")) {
            bool minus = tok_.text == "-";
            if (!next()) return -1;
            int a = parse_unary();
            if (a < 0) return -1;
            if (!minus) return a;
            Expr::Node n;
            n.op = NEG;
            n.kind = K_NUM;
            n.a = a;
            n.isint = num_int(a);
            return add(std::move(n));
        }
        if (is_op("!")) return parse_not();
        return parse_primary();
    }

    int parse_primary() {
        Token t = tok_;
        switch (t.kind) {
        case T_NUM: {
            if (!next()) return -1;
            Expr::Node n;
            n.op = LIT_NUM;
            n.kind = K_NUM;
            n.num = t.num;
            n.isint = t.isint;
            return add(std::move(n));
        }
        case T_STR: {
            if (!next()) return -1;
            Expr::Node n;
            n.op = LIT_STR;
            n.kind = K_STR;
            n.str = t.text;
            return add(std::move(n));
        }
        case T_LP: {
            if (!next()) return -1;
            int a = parse_or();
            if (a < 0) return -1;
            if (tok_.kind != T_RP) return set_error(tok_.pos, "')' expected");
            if (!next()) return -1;
            return a;
        }
        case T_IDENT: {
            if (!next()) return -1;
            if (tok_.kind == T_LP) return parse_call(t);
            FieldRef ref;
            std::string err;
            int rc = r_.resolve(t.text, ref, err);
            if (rc == 0) return set_error(t.pos, "unknown field '" + t.text + "'");
            if (rc < 0) return set_error(t.pos, err.empty() ? "cannot read field '" + t.text + "'" : err);
            ref.name = t.text;
            e_.fields_.push_back(ref);
            Expr::Node n;
            n.op = FIELD;
            n.field = (int)e_.fields_.size() - 1;
            n.kind = ref.type == T_STRING ? K_STR : K_NUM;
            n.isint = ref.type == T_INTEGER || ref.type == T_YEARDAY || ref.type == T_BOOLEAN;
            return add(std::move(n));
        }
        case T_END:
            return set_error(t.pos, "unexpected end of expression");
        default:
            return set_error(t.pos, "unexpected '" + t.text + "'");
        }
    }

    int parse_call(const Token &name) {
        const FuncDef *def = nullptr;
        for (const FuncDef &f : kFuncs)
            if (name.text == f.name) def = &f;
        if (!def || (def->travel && !travel_time()))
            return set_error(name.pos, "unknown function '" + name.text + "'");
        if (!next()) return -1;  // past '('
        std::vector<int> args;
        if (tok_.kind != T_RP) {
            for (;;) {
                int a = parse_or();
                if (a < 0) return -1;
                args.push_back(a);
                if (tok_.kind == T_COMMA) {
                    if (!next()) return -1;
                    continue;
                }
                break;
            }
        }
        if (tok_.kind != T_RP) return set_error(tok_.pos, "')' or ',' expected");
        int na = (int)args.size();
        if (na < def->minargs || (def->maxargs >= 0 && na > def->maxargs))
            return set_error(name.pos, "wrong number of arguments to " + name.text + "()");
        if (!next()) return -1;
        Expr::Node n;
        n.op = CALL;
        n.kind = K_NUM;
        n.sub = def->fn;
        n.args = args;
        bool allint = true;
        for (int a : args) allint = allint && num_int(a);
        n.isint = def->fn == F_FLOOR || def->fn == F_CEIL || def->fn == F_YEARDAY ||
                  ((def->fn == F_ABS || def->fn == F_MIN || def->fn == F_MAX) && allint);
        return add(std::move(n));
    }
};

// ------------------------------------------------------------------ evaluation

namespace {

struct Eval {
    const Expr::Node *nodes;
    const FieldRef *fields;
    const hostkit::WholeRegex *const *regexes;
    const Row &row;
    bool ok = true;
    std::forward_list<std::string> scratch;  // texts made while evaluating (rare); stable addresses

    Eval(const Expr::Node *n, const FieldRef *f, const hostkit::WholeRegex *const *r, const Row &rw)
        : nodes(n), fields(f), regexes(r), row(rw) {}

    SV field_text(const FieldRef &f) {
        if (f.getter) {
            scratch.emplace_front();
            std::string &s = scratch.front();
            if (!f.getter->text(row.ctx, s)) {
                s = f.type == T_STRING ? f.null_str : format_number(f.null_num, f.type != T_REAL && f.type != T_TIME);
            }
            const char *p = s.data();
            size_t n = s.size();
            trim(p, n);
            return {p, n};
        }
        const char *r = (f.slot >= 0 && f.slot < row.nrows) ? row.rows[f.slot] : nullptr;
        if (!r) return null_text(f);
        const char *p = r + f.offset;
        size_t n = (size_t)f.width;
        trim(p, n);
        if (n == 0) return null_text(f);
        return {p, n};
    }

    SV null_text(const FieldRef &f) {
        if (f.type == T_STRING || !f.null_str.empty()) return {f.null_str.data(), f.null_str.size()};
        scratch.push_front(format_number(f.null_num, f.type != T_REAL && f.type != T_TIME));
        return {scratch.front().data(), scratch.front().size()};
    }

    double field_num(const FieldRef &f) {
        if (f.getter) {
            SV t = field_text(f);
            return parse_number(t.p, t.n, f.null_num);
        }
        const char *r = (f.slot >= 0 && f.slot < row.nrows) ? row.rows[f.slot] : nullptr;
        if (!r) return f.null_num;
        return parse_number(r + f.offset, (size_t)f.width, f.null_num);
    }

    SV str(int i) {
        const Expr::Node &n = nodes[i];
        switch (n.op) {
        case LIT_STR:
            return {n.str.data(), n.str.size()};
        case FIELD:
            return field_text(fields[n.field]);
        default:
            break;
        }
        if (n.kind == K_BOOL) return b(i) ? SV{"1", 1} : SV{"0", 1};
        scratch.push_front(format_number(num(i), n.isint));
        return {scratch.front().data(), scratch.front().size()};
    }

    bool b(int i) {
        const Expr::Node &n = nodes[i];
        switch (n.op) {
        case AND:
            return b(n.a) && b(n.b);
        case OR:
            return b(n.a) || b(n.b);
        case NOT:
            return !b(n.a);
        case CMP_NUM: {
            double x = num(n.a), y = num(n.b);
            switch (n.sub) {
            case C_EQ: return x == y;
            case C_NE: return x != y;
            case C_LT: return x < y;
            case C_LE: return x <= y;
            case C_GT: return x > y;
            default: return x >= y;
            }
        }
        case CMP_STR: {
            SV x = str(n.a), y = str(n.b);
            size_t m = x.n < y.n ? x.n : y.n;
            int c = memcmp(x.p, y.p, m);
            if (c == 0) c = x.n < y.n ? -1 : x.n > y.n ? 1 : 0;
            switch (n.sub) {
            case C_EQ: return c == 0;
            case C_NE: return c != 0;
            case C_LT: return c < 0;
            case C_LE: return c <= 0;
            case C_GT: return c > 0;
            default: return c >= 0;
            }
        }
        case MATCH: {
            SV s = str(n.a);
            return match(regexes[n.re], s) != n.negate;
        }
        default:
            break;
        }
        if (n.kind == K_STR) {
            SV s = str(i);
            return s.n > 0;
        }
        return num(i) != 0;
    }

    static bool match(const hostkit::WholeRegex *rx, SV s) { return rx->match(s.p, s.n); }

    double num(int i) {
        const Expr::Node &n = nodes[i];
        switch (n.op) {
        case LIT_NUM:
            return n.num;
        case LIT_STR: {
            return parse_number(n.str.data(), n.str.size(), 0);
        }
        case FIELD: {
            const FieldRef &f = fields[n.field];
            if (f.type == T_STRING) {
                SV t = field_text(f);
                return parse_number(t.p, t.n, 0);
            }
            return field_num(f);
        }
        case NEG:
            return -num(n.a);
        case ADD:
            return num(n.a) + num(n.b);
        case SUB:
            return num(n.a) - num(n.b);
        case MUL:
            return num(n.a) * num(n.b);
        case DIV:
            return num(n.a) / num(n.b);
        case MOD: {
            double x = num(n.a), y = num(n.b);
            return std::fmod(x, y);
        }
        case CALL:
            return call(n);
        default:
            return b(i) ? 1.0 : 0.0;
        }
    }

    double call(const Expr::Node &n) {
        double x = num(n.args[0]);
        switch (n.sub) {
        case F_ABS: return std::fabs(x);
        case F_SQRT: return std::sqrt(x);
        case F_EXP: return std::exp(x);
        case F_LOG: return std::log(x);
        case F_LOG10: return std::log10(x);
        case F_SIN: return std::sin(x);
        case F_COS: return std::cos(x);
        case F_TAN: return std::tan(x);
        case F_ASIN: return std::asin(x);
        case F_ACOS: return std::acos(x);
        case F_ATAN: return std::atan(x);
        case F_ATAN2: return std::atan2(x, num(n.args[1]));
        case F_FLOOR: return std::floor(x);
        case F_CEIL: return std::ceil(x);
        case F_POW: return std::pow(x, num(n.args[1]));
        case F_YEARDAY: return epoch_to_yearday(x);
        case F_EPOCH: return yearday_to_epoch(x);
        case F_MIN:
        case F_MAX: {
            for (size_t k = 1; k < n.args.size(); ++k) {
                double y = num(n.args[k]);
                if (n.sub == F_MIN ? y < x : y > x) x = y;
            }
            return x;
        }
        case F_PTIME:
        case F_STIME: {
            double depth = num(n.args[1]), t = 0;
            TravelTimeFn fn = travel_time();
            if (!fn || !fn(n.sub == F_PTIME ? 'P' : 'S', x, depth, &t)) {
                ok = false;
                return NAN;
            }
            return t;
        }
        }
        return NAN;
    }
};

}  // namespace

Expr::Expr() = default;

Expr::~Expr() {
    for (hostkit::WholeRegex *r : regexes_) delete r;
}

int Expr::type() const {
    const Node &n = nodes_[(size_t)root_];
    if (n.kind == K_BOOL) return T_BOOLEAN;
    if (n.kind == K_STR) return T_STRING;
    return n.isint ? T_INTEGER : T_REAL;
}

const FieldRef *Expr::as_field() const {
    const Node &n = nodes_[(size_t)root_];
    return n.op == FIELD ? &fields_[(size_t)n.field] : nullptr;
}

bool Expr::eval_bool(const Row &row, bool &out) const {
    Eval e(nodes_.data(), fields_.data(), regexes_.data(), row);
    out = e.b(root_);
    return e.ok;
}

bool Expr::eval_num(const Row &row, double &out) const {
    Eval e(nodes_.data(), fields_.data(), regexes_.data(), row);
    out = e.num(root_);
    return e.ok;
}

bool Expr::eval(const Row &row, Value &out) const {
    Eval e(nodes_.data(), fields_.data(), regexes_.data(), row);
    const Node &n = nodes_[(size_t)root_];
    out.type = type();
    out.str.clear();
    out.num = 0;
    if (n.kind == K_STR) {
        SV s = e.str(root_);
        out.str.assign(s.p, s.n);
    } else if (n.kind == K_BOOL) {
        out.num = e.b(root_) ? 1 : 0;
    } else {
        out.num = e.num(root_);
    }
    return e.ok;
}

std::unique_ptr<Expr> compile(const char *text, Resolver &resolver, std::string &err) {
    if (!text) {
        err = "expression (null): no expression";
        return nullptr;
    }
    std::unique_ptr<Expr> e(new Expr());
    e->text_ = text;
    Parser p(text, resolver, *e);
    if (!p.run(err)) return nullptr;
    return e;
}

}  // namespace dbex
