// Parameter files: reading the line syntax documented in pf.h into nested
// Pf objects, looking names up, building them in code and writing them back.

#include "pf.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

Pf *alloc_pf(int type) {
    Pf *pf = static_cast<Pf *>(calloc(1, sizeof(Pf)));
    if (!pf) return nullptr;
    pf->type = type;
    switch (type) {
    case PFSTRING:
        pf->value.s = strdup("");
        if (!pf->value.s) goto fail;
        break;
    case PFTBL:
        pf->value.tbl = newtbl(0);
        if (!pf->value.tbl) goto fail;
        break;
    case PFFILE:
    case PFARR:
        pf->value.arr = newarr(0);
        pf->keys = newtbl(0);
        if (!pf->value.arr || !pf->keys) goto fail;
        break;
    default:
        goto fail;
    }
    return pf;
fail:
    pffree(pf);
    return nullptr;
}

Pf *string_pf(const char *s) {
    char *copy = strdup(s ? s : "");
    if (!copy) return nullptr;
    Pf *pf = static_cast<Pf *>(calloc(1, sizeof(Pf)));
    if (!pf) {
        free(copy);
        return nullptr;
    }
    pf->type = PFSTRING;
    pf->value.s = copy;
    return pf;
}

bool is_arraylike(const Pf *pf) { return pf && (pf->type == PFFILE || pf->type == PFARR); }

// Stores value under name in an array-like Pf, replacing (and freeing) an
// earlier value while keeping the name's first place.  Invariant: the keys
// list names exactly the array's entries.  On failure (-1, "pfput: out of
// memory" registered) the Pf is as it was and value stays the caller's.
int put_named(Pf *pf, const char *name, Pf *value) {
    if (!is_arraylike(pf) || !name) return -1;
    Pf *old = static_cast<Pf *>(getarr(pf->value.arr, name));
    if (old == value) return 0;  // stored again under its own name
    if (old) {
        setarr(pf->value.arr, name, value);  // replacing in place cannot fail
        pffree(old);
        return 0;
    }
    char *key = strdup(name);
    if (!key || setarr(pf->value.arr, name, value) == ARR_FAILED) {
        free(key);
        elog_log(1, "pfput: out of memory storing '%s'.\n", name);
        return -1;
    }
    if (pushtbl(pf->keys, key) < 0) {
        delarr(pf->value.arr, name);
        free(key);
        elog_log(1, "pfput: out of memory storing '%s'.\n", name);
        return -1;
    }
    return 0;
}

// A name given in code must read back as the same name: no blanks, quotes
// or '#', not empty and not a bracket.
bool writable_name(const char *name) {
    if (!name || !*name || !strcmp(name, "[") || !strcmp(name, "{")) return false;
    for (const char *c = name; *c; c++)
        if (isspace((unsigned char)*c) || *c == '"' || *c == '#') return false;
    return true;
}

int put_checked(Pf *pf, const char *name, Pf *value) {
    if (!writable_name(name)) {
        elog_log(0, "pfput: '%s' cannot be a parameter name.\n", name ? name : "(null)");
        return -1;
    }
    return put_named(pf, name, value);
}

int push_entry(Pf *tbl, Pf *value) {
    if (!tbl || tbl->type != PFTBL) return -1;
    if (pushtbl(tbl->value.tbl, value) < 0) {
        elog_log(1, "pfpush: out of memory.\n");
        return -1;
    }
    return 0;
}

// Owns a Pf until it is handed on.
struct PfFree {
    void operator()(Pf *pf) const { pffree(pf); }
};
using PfOwner = std::unique_ptr<Pf, PfFree>;

// ---------------------------------------------------------------- reading

struct Reader {
    explicit Reader(const char *src) : source(src) {}
    const char *source;  // file name or "string"
    int line = 0;
    std::string error;
};

// Removes a comment (a '#' outside double quotes) and trims.
std::string clean_line(const std::string &raw) {
    bool quoted = false;
    size_t end = raw.size();
    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        if (quoted && c == '\\' && i + 1 < raw.size()) {
            i++;
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (c == '#' && !quoted) {
            end = i;
            break;
        }
    }
    size_t b = 0;
    while (b < end && isspace((unsigned char)raw[b])) b++;
    while (end > b && isspace((unsigned char)raw[end - 1])) end--;
    return raw.substr(b, end - b);
}

// A value text: a quoted string (with \" and \\) or the text as it is.
bool parse_value(Reader &r, const std::string &text, std::string &out) {
    if (text.empty() || text[0] != '"') {
        out = text;
        return true;
    }
    out.clear();
    size_t i = 1;
    for (; i < text.size(); i++) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
            out += text[++i];
            continue;
        }
        if (c == '"') break;
        out += c;
    }
    if (i >= text.size()) {
        r.error = "unterminated quote";
        return false;
    }
    for (size_t j = i + 1; j < text.size(); j++) {
        if (!isspace((unsigned char)text[j])) {
            r.error = "text after a closing quote";
            return false;
        }
    }
    return true;
}

struct Frame {
    Pf *pf;
    int opened_at;
};

// Freeing and writing recurse through the nesting: a file may not nest
// deeper than this (real ones nest a handful of levels).
constexpr size_t kMaxDepth = 512;

void out_of_memory(const Reader &r) { elog_log(1, "pfread: out of memory reading %s.\n", r.source); }

// Reads text into a new Pf, or null with a message.  Throws std::bad_alloc
// when memory runs out (nothing is then left taken: every nested Pf belongs
// to its parent as soon as it is made, and the top to an owner).
Pf *parse_text(Reader &r, const char *text) {
    PfOwner owner(alloc_pf(PFFILE));
    if (!owner) {
        out_of_memory(r);
        return nullptr;
    }
    Pf *top = owner.get();
    std::vector<Frame> stack{{top, 0}};
    const char *p = text;
    auto fail = [&](const std::string &why) -> Pf * {
        elog_log(0, "pfread: %s line %d: %s\n", r.source, r.line, why.c_str());
        return nullptr;
    };
    auto no_memory = [&]() -> Pf * {
        out_of_memory(r);
        return nullptr;
    };
    while (*p) {
        const char *nl = strchr(p, '\n');
        size_t len = nl ? (size_t)(nl - p) : strlen(p);
        std::string raw(p, len);
        p += len + (nl ? 1 : 0);
        r.line++;
        std::string line = clean_line(raw);
        if (line.empty()) continue;
        Pf *cur = stack.back().pf;
        if (line == "]" || line == "}") {
            bool want_tbl = line == "]";
            if (stack.size() == 1 || (cur->type == PFTBL) != want_tbl)
                return fail(std::string("unexpected '") + line + "'");
            stack.pop_back();
            continue;
        }
        if (cur->type == PFTBL) {
            if (line == "[" || line == "{") {
                if (stack.size() > kMaxDepth) return fail("tables and arrays nested too deeply");
                Pf *nested = alloc_pf(line == "[" ? PFTBL : PFARR);
                if (!nested || push_entry(cur, nested) < 0) {
                    pffree(nested);
                    return no_memory();
                }
                stack.push_back({nested, r.line});
                continue;
            }
            std::string v;
            if (!parse_value(r, line, v)) return fail(r.error);
            Pf *entry = string_pf(v.c_str());
            if (!entry || push_entry(cur, entry) < 0) {
                pffree(entry);
                return no_memory();
            }
            continue;
        }
        // An array: "name value", "name [", "name {", or "name" alone.
        size_t sp = 0;
        while (sp < line.size() && !isspace((unsigned char)line[sp])) sp++;
        std::string name = line.substr(0, sp);
        if (name[0] == '"' || name == "[" || name == "{")
            return fail("a name is expected, not '" + name + "'");
        std::string rest = sp < line.size() ? clean_line(line.substr(sp)) : std::string();
        if (rest == "[" || rest == "{") {
            if (stack.size() > kMaxDepth) return fail("tables and arrays nested too deeply");
            Pf *nested = alloc_pf(rest == "[" ? PFTBL : PFARR);
            if (!nested || put_named(cur, name.c_str(), nested) < 0) {
                pffree(nested);
                return no_memory();
            }
            stack.push_back({nested, r.line});
            continue;
        }
        std::string v;
        if (!parse_value(r, rest, v)) return fail(r.error);
        Pf *val = string_pf(v.c_str());
        if (!val || put_named(cur, name.c_str(), val) < 0) {
            pffree(val);
            return no_memory();
        }
    }
    if (stack.size() > 1) {
        r.line = stack.back().opened_at;
        return fail(stack.back().pf->type == PFTBL ? "table opened here is not closed with ']'"
                                                  : "array opened here is not closed with '}'");
    }
    return owner.release();
}

// parse_text with memory running out reported as its failure.
Pf *parse_guarded(Reader &r, const char *text) {
    try {
        return parse_text(r, text);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        out_of_memory(r);
        return nullptr;
    }
}

// ---------------------------------------------------------------- writing

bool needs_quotes(const char *s) {
    if (!*s) return true;
    if (isspace((unsigned char)s[0]) || isspace((unsigned char)s[strlen(s) - 1])) return true;
    if (!strcmp(s, "[") || !strcmp(s, "{") || !strcmp(s, "]") || !strcmp(s, "}")) return true;
    return strpbrk(s, "#\"\\\n") != nullptr;
}

void write_value(std::string &out, const char *s) {
    if (!needs_quotes(s)) {
        out += s;
        return;
    }
    out += '"';
    for (const char *c = s; *c; c++) {
        if (*c == '"' || *c == '\\') out += '\\';
        if (*c == '\n') {
            out += ' ';  // a value cannot span lines
            continue;
        }
        out += *c;
    }
    out += '"';
}

void write_pf(std::string &out, const Pf *pf, int depth);

void write_entry(std::string &out, const char *name, const Pf *v, int depth) {
    std::string indent((size_t)depth * 4, ' ');
    out += indent;
    if (name) {
        out += name;
        out += ' ';
    }
    if (v->type == PFSTRING) {
        write_value(out, v->value.s);
        out += '\n';
        return;
    }
    out += v->type == PFTBL ? "[\n" : "{\n";
    write_pf(out, v, depth + 1);
    out += indent;
    out += v->type == PFTBL ? "]\n" : "}\n";
}

void write_pf(std::string &out, const Pf *pf, int depth) {
    if (pf->type == PFTBL) {
        for (long i = 0; i < maxtbl(pf->value.tbl); i++)
            write_entry(out, nullptr, static_cast<Pf *>(gettbl(pf->value.tbl, i)), depth);
    } else if (is_arraylike(pf)) {
        for (long i = 0; i < maxtbl(pf->keys); i++) {
            const char *k = static_cast<const char *>(gettbl(pf->keys, i));
            write_entry(out, k, static_cast<Pf *>(getarr(pf->value.arr, k)), depth);
        }
    }
}

Pf *lookup(Pf *pf, const char *name) {
    if (!is_arraylike(pf) || !name) return nullptr;
    return static_cast<Pf *>(getarr(pf->value.arr, name));
}

}  // namespace

extern "C" {

int pfread_string(const char *text, Pf **pf) {
    if (pf) *pf = nullptr;
    if (!text || !pf) {
        elog_log(0, "pfread: null argument.\n");
        return -1;
    }
    Reader r{"string"};
    *pf = parse_guarded(r, text);
    return *pf ? 0 : -1;
}

int pfread_file(const char *filename, Pf **pf) {
    if (pf) *pf = nullptr;
    if (!filename || !pf) {
        elog_log(0, "pfread: null argument.\n");
        return -1;
    }
    FILE *fp = fopen(filename, "rb");
    if (!fp) {
        elog_log(1, "pfread: cannot open '%s'.\n", filename);
        return -1;
    }
    std::string text;
    bool bad = false;
    try {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
        bad = ferror(fp);
    } catch (const std::bad_alloc &) {
        fclose(fp);
        errno = ENOMEM;
        elog_log(1, "pfread: out of memory reading %s.\n", filename);
        return -1;
    }
    fclose(fp);
    if (bad) {
        elog_log(1, "pfread: error reading '%s'.\n", filename);
        return -1;
    }
    // The parser works on C strings: a NUL inside the file would end it
    // early and silently, so it is refused here.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        int line = 1;
        for (size_t i = 0; i < nul; i++) line += text[i] == '\n';
        elog_log(0, "pfread: %s line %d: NUL byte in line\n", filename, line);
        return -1;
    }
    Reader r{filename};
    *pf = parse_guarded(r, text.c_str());
    return *pf ? 0 : -1;
}

}  // extern "C"

// The lists hold Pf *; calling pffree through a void (*)(void *) would be a
// call through the wrong function type.
static void pffree_entry(void *p) { pffree(static_cast<Pf *>(p)); }

extern "C" {

void pffree(Pf *pf) {
    if (!pf) return;
    switch (pf->type) {
    case PFSTRING:
        free(pf->value.s);
        break;
    case PFTBL:
        freetbl(pf->value.tbl, pffree_entry);
        break;
    case PFFILE:
    case PFARR:
        freearr(pf->value.arr, pffree_entry);
        freetbl(pf->keys, free);
        break;
    default:
        break;
    }
    free(pf);
}

int pfget(Pf *pf, const char *name, void **value) {
    Pf *v = lookup(pf, name);
    if (!v) {
        if (value) *value = nullptr;
        return 0;
    }
    if (value) *value = v->type == PFSTRING ? static_cast<void *>(v->value.s) : static_cast<void *>(v);
    return v->type == PFFILE ? PFARR : v->type;
}

char *pfget_string(Pf *pf, const char *name) {
    Pf *v = lookup(pf, name);
    return v && v->type == PFSTRING ? v->value.s : nullptr;
}

double pfget_double(Pf *pf, const char *name) {
    char *s = pfget_string(pf, name);
    if (!s) {
        elog_log(0, "pfget_double: no value '%s'.\n", name ? name : "(null)");
        return 0.0;
    }
    char *end;
    double d = fix_strtod(s, &end);
    if (end == s) {
        elog_log(0, "pfget_double: '%s' is not a number: '%s'.\n", name, s);
        return 0.0;
    }
    return d;
}

long pfget_int(Pf *pf, const char *name) {
    char *s = pfget_string(pf, name);
    if (!s) {
        elog_log(0, "pfget_int: no value '%s'.\n", name ? name : "(null)");
        return 0;
    }
    char *end;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (end == s) {
        elog_log(0, "pfget_int: '%s' is not an integer: '%s'.\n", name, s);
        return 0;
    }
    return v;
}

int pfget_boolean(Pf *pf, const char *name) {
    char *s = pfget_string(pf, name);
    if (!s) return 0;
    static const char *no[] = {"0", "n", "no", "f", "false", "off", ""};
    for (const char *w : no)
        if (!strcasecmp(s, w)) return 0;
    return 1;
}

Tbl *pfget_tbl(Pf *pf, const char *name) {
    Pf *v = lookup(pf, name);
    if (!v || v->type != PFTBL) return nullptr;
    Tbl *t = newtbl(maxtbl(v->value.tbl));
    if (!t) {
        elog_log(1, "pfget_tbl: out of memory for '%s'.\n", name);
        return nullptr;
    }
    for (long i = 0; i < maxtbl(v->value.tbl); i++) {
        Pf *e = static_cast<Pf *>(gettbl(v->value.tbl, i));
        if (e->type == PFSTRING && pushtbl(t, e->value.s) < 0) {
            freetbl(t, nullptr);
            elog_log(1, "pfget_tbl: out of memory for '%s'.\n", name);
            return nullptr;
        }
    }
    return t;
}

Arr *pfget_arr(Pf *pf, const char *name) {
    Pf *v = lookup(pf, name);
    if (!v || !is_arraylike(v)) return nullptr;
    Arr *a = newarr(0);
    if (!a) {
        elog_log(1, "pfget_arr: out of memory for '%s'.\n", name);
        return nullptr;
    }
    for (long i = 0; i < maxtbl(v->keys); i++) {
        const char *k = static_cast<const char *>(gettbl(v->keys, i));
        Pf *e = static_cast<Pf *>(getarr(v->value.arr, k));
        if (e && e->type == PFSTRING && setarr(a, k, e->value.s) == ARR_FAILED) {
            freearr(a, nullptr);
            elog_log(1, "pfget_arr: out of memory for '%s'.\n", name);
            return nullptr;
        }
    }
    return a;
}

Tbl *pfkeys(Pf *pf) {
    if (!is_arraylike(pf)) return nullptr;
    Tbl *t = duptbl(pf->keys);
    if (!t) elog_log(1, "pfkeys: out of memory.\n");
    return t;
}

Pf *pfnew(int type) {
    Pf *pf = alloc_pf(type);
    if (!pf) elog_log(1, "pfnew: out of memory.\n");
    return pf;
}

int pfput_string(Pf *pf, const char *name, const char *value) {
    Pf *v = string_pf(value);
    if (!v) {
        elog_log(1, "pfput: out of memory storing '%s'.\n", name ? name : "(null)");
        return -1;
    }
    if (put_checked(pf, name, v) < 0) {
        pffree(v);
        return -1;
    }
    return 0;
}

int pfput_double(Pf *pf, const char *name, double value) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.17g", value);
    return pfput_string(pf, name, buf);
}

int pfput(Pf *pf, const char *name, Pf *value) {
    if (!value) return -1;
    return put_checked(pf, name, value);
}

int pfpush(Pf *tbl, Pf *value) {
    if (!value) return -1;
    return push_entry(tbl, value);
}

int pfpush_string(Pf *tbl, const char *value) {
    Pf *v = string_pf(value);
    if (!v) {
        elog_log(1, "pfpush: out of memory.\n");
        return -1;
    }
    if (push_entry(tbl, v) < 0) {
        pffree(v);
        return -1;
    }
    return 0;
}

char *pf2string(Pf *pf) {
    if (!pf) return nullptr;
    char *text = nullptr;
    try {
        std::string out;
        if (pf->type == PFSTRING) {
            write_value(out, pf->value.s);
            out += '\n';
        } else {
            write_pf(out, pf, 0);
        }
        text = strdup(out.c_str());
    } catch (const std::bad_alloc &) {
        text = nullptr;
    }
    if (!text) {
        errno = ENOMEM;
        elog_log(1, "pf2string: out of memory.\n");
    }
    return text;
}

int pfwrite(FILE *fp, Pf *pf) {
    if (!fp || !pf) return -1;
    char *s = pf2string(pf);
    if (!s) return -1;
    int rc = fputs(s, fp) < 0 ? -1 : 0;
    free(s);
    return rc;
}

}  // extern "C"
