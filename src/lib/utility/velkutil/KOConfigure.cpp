// Configurable objects: option tables, the built-in value parser, and the
// configure operations that apply parameter files and name-value lists to a
// client record, recording which options each call changed.

#include "KOConfigure.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kobase.h"

namespace {

const char *const BUILTIN_TYPES[] = {"boolean", "custom", "double", "end", "int", "string", "ptr", "uid"};

// Type parsers are kept in an Arr, whose values are data pointers.
void *parser_to_value(KO_TypeParserProc *proc) { return reinterpret_cast<void *>(proc); }
KO_TypeParserProc *value_to_parser(void *v) { return reinterpret_cast<KO_TypeParserProc *>(v); }

bool is_end(const KO_ConfigureSpec *s) { return s->type && strcmp(s->type, "end") == 0; }

const char *name_of(const KO_ConfigureSpec *s) { return s->name ? s->name : "(null)"; }

void mark_changed(KO_ConfigureSpec *s) { s->specFlags |= KO_CONFIGURE_CHANGED; }

bool empty(const char *v) { return !v || !*v; }

void free_specs(void *p) {
    KOConfigureSpecs *r = static_cast<KOConfigureSpecs *>(p);
    if (!r) return;
    free(r->class_name);
    free(r);
}

// The built-in parser of all eight built-in types.  The destination is the
// client record at the option's offset; values are moved with memcpy since a
// client record need not align them.
int KO_ParseConfigValue(KO_ConfigureSpec *spec, char *value, char *paramRec) {
    if (!spec || !spec->type) {
        ko_register_error(0, "KO_ParseConfigValue: option entry without a type.\n");
        return -1;
    }
    const char *type = spec->type;
    const char *name = name_of(spec);
    char *dest = paramRec + spec->offset;
    bool null_ok = (spec->specFlags & KO_CONFIGURE_NULL_OK) != 0;

    if (!strcmp(type, "end")) return 0;

    if (!strcmp(type, "custom")) {
        // the procedure decides where its value goes: a class may keep it
        // through the client data and have no client record at all
        if (!spec->customPtr)
            ko_die(0, "KO_ParseConfigValue: customPtr NULL for KO_CONFIGURE_CUSTOM for %s.\n", name);
        if (!spec->customPtr->parseProc)
            ko_die(0, "KO_ParseConfigValue: customPtr->parseProc NULL for KO_CONFIGURE_CUSTOM for %s.\n", name);
        if (spec->customPtr->parseProc(spec, spec->customPtr->clientData, value, paramRec, spec->offset) < 0) {
            ko_register_error(0, "KO_ParseConfigValue: KO_CONFIGURE_CUSTOM error for %s.\n", name);
            return -1;
        }
        return 0;
    }

    if (!paramRec) {
        ko_register_error(0, "KO_ParseConfigValue: no client record for %s.\n", name);
        return -1;
    }

    if (!strcmp(type, "boolean")) {
        if (null_ok && empty(value))
            ko_die(0, "KO_ParseConfigValue: Cannot set KO_CONFIGURE_NULL_OK for KO_CONFIGURE_BOOlEAN value for %s.\n",
                   name);
        int b = 0, old;
        memcpy(&old, dest, sizeof old);
        b = old;
        if (KO_ParseBoolean(value, &b) < 0) {
            ko_register_error(0, "KO_ParseConfigValue: KO_ParseBoolean() error for %s.\n", name);
            return -1;
        }
        memcpy(dest, &b, sizeof b);
        if (b != old) mark_changed(spec);
        return 0;
    }

    if (!strcmp(type, "double")) {
        if (null_ok && empty(value))
            ko_die(0, "KO_ParseConfigValue: Cannot set KO_CONFIGURE_NULL_OK for KO_CONFIGURE_DOUBLE value for %s.\n",
                   name);
        if (!value) {
            ko_register_error(0, "KO_ParseConfigValue: Cannot set NULL value for KO_CONFIGURE_DOUBLE for %s.\n",
                              name);
            return -1;
        }
        char *end = nullptr;
        double d = fix_strtod(value, &end);
        if (end == value) {
            ko_register_error(0, "KO_ParseConfigValue: Unable to parse KO_CONFIGURE_DOUBLE '%s' for %s.\n", value,
                              name);
            return -1;
        }
        double old;
        memcpy(&old, dest, sizeof old);
        memcpy(dest, &d, sizeof d);
        if (d != old || std::isnan(d) || std::isnan(old)) mark_changed(spec);
        return 0;
    }

    if (!strcmp(type, "int")) {
        if (null_ok && empty(value))
            ko_die(0, "KO_ParseConfigValue: Cannot set KO_CONFIGURE_NULL_OK for KO_CONFIGURE_INT value for %s.\n",
                   name);
        if (!value) {
            ko_register_error(0, "KO_ParseConfigValue: Cannot set NULL value for KO_CONFIGURE_INT for %s.\n", name);
            return -1;
        }
        char *end = nullptr;
        errno = 0;
        long l = strtol(value, &end, 0);
        if (end == value || *end) {
            ko_register_error(0, "KO_ParseConfigValue: Unable to parse KO_CONFIGURE_INT '%s' for %s.\n", value,
                              name);
            return -1;
        }
        if (errno == ERANGE) {
            // strtol clamps: a clamped value is not the number written
            ko_register_error(0, "KO_ParseConfigValue: KO_CONFIGURE_INT '%s' out of range for %s.\n", value, name);
            return -1;
        }
        int old;
        memcpy(&old, dest, sizeof old);
        int v = (int)(uint32_t)(unsigned long)l;  // the low 32 bits
        memcpy(dest, &v, sizeof v);
        if ((long)old != l) mark_changed(spec);
        return 0;
    }

    if (!strcmp(type, "string") || !strcmp(type, "uid") || !strcmp(type, "ptr")) {
        if (!null_ok && !value) {
            ko_register_error(0, "KO_ParseConfigValue: Cannot set NULL value if not KO_CONFIGURE_NULL_OK for %s.\n",
                              name);
            return -1;
        }
        char *old;
        memcpy(&old, dest, sizeof old);
        if (!strcmp(type, "ptr")) {
            memcpy(dest, &value, sizeof value);
            if (old != value) mark_changed(spec);
            return 0;
        }
        char *copy = nullptr;
        if (value && !(copy = strdup(value))) {
            ko_register_error(1, "KO_ParseConfigValue: strdup() error for %s.\n", name);
            return -1;
        }
        if (KO_Strcmp(old, copy)) mark_changed(spec);
        free(old);
        memcpy(dest, &copy, sizeof copy);
        return 0;
    }

    ko_register_error(0, "KO_ParseConfigValue: Unknown type '%s' for %s.\n", type, name);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------- free functions

int KO_ParseBoolean(char *value, int *boolean) {
    static const char *const yes[] = {"t", "true", "y", "yes", "on", "1"};
    static const char *const no[] = {"f", "false", "n", "no", "off", "0"};
    if (!boolean) {
        ko_register_error(0, "KO_ParseBoolean: no result pointer.\n");
        return -1;
    }
    if (empty(value)) {
        *boolean = -1;
        return 0;
    }
    for (const char *w : yes)
        if (!strcmp(value, w)) {
            *boolean = 1;
            return 0;
        }
    for (const char *w : no)
        if (!strcmp(value, w)) {
            *boolean = 0;
            return 0;
        }
    ko_register_error(0, "KO_ParseBoolean: Unrecognized value '%s'\n", value);
    return -1;
}

int KO_Strcmp(char *str1, char *str2) {
    if (!str1 && !str2) return 0;
    if (!str1 || !str2) return 1;
    return strcmp(str1, str2);
}

// ---------------------------------------------------------------- KOConfigure

KOConfigure::KOConfigure() : configure_specs_arr(nullptr), type_parsers_arr(nullptr) {
    configure_specs_arr = newarr(0);
    if (!configure_specs_arr) throw "KOCOnfigure: newarr(configure_specs_arr) error.\n";
    type_parsers_arr = newarr(0);
    if (!type_parsers_arr) {
        freearr(configure_specs_arr, 0);
        configure_specs_arr = nullptr;
        throw "KOCOnfigure: newarr(type_parsers_arr) error.\n";
    }
    // A built-in type left out would make every option of that type
    // unknown later on: an object that cannot hold them all is not made.
    for (const char *t : BUILTIN_TYPES) {
        setarr(type_parsers_arr, t, parser_to_value(KO_ParseConfigValue));
        if (getarr(type_parsers_arr, t) != parser_to_value(KO_ParseConfigValue)) {
            freearr(type_parsers_arr, 0);
            freearr(configure_specs_arr, 0);
            type_parsers_arr = configure_specs_arr = nullptr;
            throw "KOCOnfigure: setarr(type_parsers_arr) error.\n";
        }
    }
}

KOConfigure::~KOConfigure() {
    if (configure_specs_arr) freearr(configure_specs_arr, free_specs);
    if (type_parsers_arr) freearr(type_parsers_arr, 0);
}

int KOConfigure::addTypeParser(const char *type_name, KO_TypeParserProc *proc) {
    if (!type_name || !proc) {
        ko_register_error(0, "KOConfigure::addTypeParser: %s.\n", type_name ? "null parser" : "null type name");
        return -1;
    }
    setarr(type_parsers_arr, type_name, parser_to_value(proc));
    if (getarr(type_parsers_arr, type_name) != parser_to_value(proc)) {
        ko_register_error(1, "KOConfigure::addTypeParser: setarr(%s) error.\n", type_name);
        return -1;
    }
    return 0;
}

int KOConfigure::setConfigureSpecs(KO_ConfigureSpec *configureSpecs, char *paramRec, const char *class_name) {
    if (!configureSpecs) {
        ko_register_error(0, "KOConfigure::setConfigureSpecs: no option table.\n");
        return -1;
    }
    for (KO_ConfigureSpec *s = configureSpecs; !is_end(s); s++) {
        if (!s->type || !s->name) {
            ko_complain(0, "KOConfigure::setConfigureSpecs: Cannot find parser for type '%s' for name '%s'\n",
                        s->type ? s->type : "(null)", name_of(s));
            continue;
        }
        KO_TypeParserProc *parser = value_to_parser(getarr(type_parsers_arr, s->type));
        if (!parser) {
            ko_complain(0, "KOConfigure::setConfigureSpecs: Cannot find parser for type '%s' for name '%s'\n",
                        s->type, s->name);
            continue;
        }
        KOConfigureSpecs *rec = static_cast<KOConfigureSpecs *>(calloc(1, sizeof(KOConfigureSpecs)));
        if (!rec) {
            ko_register_error(1, "KOConfigure::setConfigureSpecs: malloc(KOConfigureSpecs) error.");
            return -1;
        }
        rec->configureSpec = s;
        rec->paramRec = paramRec;
        rec->typeParser = parser;
        if (class_name && !(rec->class_name = strdup(class_name))) {
            free(rec);
            ko_register_error(1, "KOConfigure::setConfigureSpecs: malloc(KOConfigureSpecs) error.");
            return -1;
        }
        void *earlier = setarr(configure_specs_arr, s->name, rec);
        if (earlier != ARR_FAILED) free_specs(earlier);
        if (earlier == ARR_FAILED || getarr(configure_specs_arr, s->name) != rec) {
            free_specs(rec);
            ko_register_error(1, "KOConfigure::setConfigureSpecs: malloc(KOConfigureSpecs) error.");
            return -1;
        }
    }
    if (configurePf(configureSpecs, nullptr, paramRec, 1) < 0) {
        ko_register_error(0, "KOConfigure::setConfigureSpecs: this->configure(default) error.");
        return -1;
    }
    return 0;
}

namespace {

// The value of a parameter-file entry for a scalar option: 0 with *value
// set, or -1 with a message naming the method when it is a table or array.
int scalar_param(Pf *params, const char *key, const char *method, char **value) {
    void *v = nullptr;
    int kind = pfget(params, key, &v);
    if (kind == PFTBL) {
        ko_register_error(0, "KOConfigure::%s: Input parameter %s is not allowed to be a table.\n", method, key);
        return -1;
    }
    if (kind == PFARR) {
        ko_register_error(0, "KOConfigure::%s: Input parameter %s is not allowed to be an array.\n", method, key);
        return -1;
    }
    *value = kind == PFSTRING ? static_cast<char *>(v) : nullptr;
    return 0;
}

}  // namespace

int KOConfigure::configurePf(KO_ConfigureSpec *specs, Pf *params, char *paramRec, int flags) {
    if (!specs) {
        ko_register_error(0, "KOConfigure::configurePf: no option table.\n");
        return -1;
    }
    for (KO_ConfigureSpec *s = specs; !is_end(s); s++) s->specFlags &= ~KO_CONFIGURE_CHANGED;
    if (flags & 1) {
        for (KO_ConfigureSpec *s = specs; !is_end(s); s++) {
            if ((s->specFlags & KO_CONFIGURE_NO_DEFAULT) || !s->type) continue;
            KO_TypeParserProc *parser = value_to_parser(getarr(type_parsers_arr, s->type));
            if (!parser) continue;
            if (parser(s, const_cast<char *>(s->defValue), paramRec) < 0) {
                ko_register_error(0, "KOConfigure::configurePf: KO_ParseConfigValue() error for default.\n");
                return -1;
            }
        }
    }
    if (!params) return 0;
    Tbl *keys = pfkeys(params);
    if (!keys) {
        // A list or a single value holds no named parameters; a named
        // collection without its names could not be read.
        if (params->type != PFFILE && params->type != PFARR) return 0;
        ko_register_error(1, "KOConfigure::configurePf: pfkeys() error.\n");
        return -1;
    }
    int unknown = 0;
    for (long i = 0; i < maxtbl(keys); i++) {
        const char *key = static_cast<const char *>(gettbl(keys, i));
        KO_ConfigureSpec *s = specs;
        while (!is_end(s) && !(s->name && !strcmp(s->name, key))) s++;
        if (is_end(s)) {
            ko_register_error(0, "KOConfigure::configurePf: Input parameter %s not in config specs.\n", key);
            unknown = 1;
            continue;
        }
        KO_TypeParserProc *parser = s->type ? value_to_parser(getarr(type_parsers_arr, s->type)) : nullptr;
        if (!parser) continue;
        char *value = nullptr;
        if (scalar_param(params, key, "configurePf", &value) < 0) {
            freetbl(keys, 0);
            return -1;
        }
        if (parser(s, value, paramRec) < 0) {
            freetbl(keys, 0);
            ko_register_error(0, "KOConfigure::configurePf: KO_ParseConfigValue() error for parameter.\n");
            return -1;
        }
    }
    freetbl(keys, 0);
    return unknown ? 2 : 0;
}

int KOConfigure::configurePf(Pf *params, int flags) {
    Tbl *names = keysarr(configure_specs_arr);
    if (!names) {
        ko_register_error(1, "KOConfigure::configurePf: keysarr() error.\n");
        return -1;
    }
    for (long i = 0; i < maxtbl(names); i++) {
        KOConfigureSpecs *r = static_cast<KOConfigureSpecs *>(getarr(configure_specs_arr, (char *)gettbl(names, i)));
        r->configureSpec->specFlags &= ~KO_CONFIGURE_CHANGED;
    }
    if (flags & 1) {
        for (long i = 0; i < maxtbl(names); i++) {
            KOConfigureSpecs *r =
                static_cast<KOConfigureSpecs *>(getarr(configure_specs_arr, (char *)gettbl(names, i)));
            if (r->configureSpec->specFlags & KO_CONFIGURE_NO_DEFAULT) continue;
            if (r->typeParser(r->configureSpec, const_cast<char *>(r->configureSpec->defValue), r->paramRec) < 0) {
                freetbl(names, 0);
                ko_register_error(0, "KOConfigure::configurePf: KO_ParseConfigValue() error for default.\n");
                return -1;
            }
        }
    }
    freetbl(names, 0);
    if (!params) return 0;
    Tbl *keys = pfkeys(params);
    if (!keys) {
        // A list or a single value holds no named parameters; a named
        // collection without its names could not be read.
        if (params->type != PFFILE && params->type != PFARR) return 0;
        ko_register_error(1, "KOConfigure::configurePf: pfkeys() error.\n");
        return -1;
    }
    int unknown = 0;
    for (long i = 0; i < maxtbl(keys); i++) {
        const char *key = static_cast<const char *>(gettbl(keys, i));
        KOConfigureSpecs *r = static_cast<KOConfigureSpecs *>(getarr(configure_specs_arr, key));
        if (!r) {
            ko_register_error(0, "KOConfigure::configurePf: Input parameter %s not in config specs.\n", key);
            unknown = 1;
            continue;
        }
        char *value = nullptr;
        if (scalar_param(params, key, "configurePf", &value) < 0) {
            freetbl(keys, 0);
            return -1;
        }
        if (r->typeParser(r->configureSpec, value, r->paramRec) < 0) {
            freetbl(keys, 0);
            ko_register_error(0, "KOConfigure::configurePf: KO_ParseConfigValue() error for parameter.\n");
            return -1;
        }
    }
    freetbl(keys, 0);
    return unknown ? 2 : 0;
}

int KOConfigure::configureVarargs(char *key1, va_list args) {
    // every option starts unchanged (a walk of the options needs no memory)
    applyarr(
        configure_specs_arr,
        [](const char *, void *value, void *) -> int {
            static_cast<KOConfigureSpecs *>(value)->configureSpec->specFlags &= ~KO_CONFIGURE_CHANGED;
            return 0;
        },
        nullptr);
    if (!key1) return 0;
    int unknown = 0;
    for (char *key = key1; key; key = va_arg(args, char *)) {
        char *value = va_arg(args, char *);
        KOConfigureSpecs *r = static_cast<KOConfigureSpecs *>(getarr(configure_specs_arr, key));
        if (!r) {
            ko_register_error(0, "KOConfigure::configureVarargs: Input parameter %s not in config specs.\n", key);
            unknown = 1;
            continue;
        }
        if (r->typeParser(r->configureSpec, value, r->paramRec) < 0) {
            ko_register_error(0, "KOConfigure::configureVarargs: KO_ParseConfigValue() error for parameter.\n");
            return -1;
        }
    }
    return unknown ? 2 : 0;
}

int KOConfigure::configure(Pf *params) {
    int rc = configurePf(params, 0);
    if (rc < 0) ko_register_error(0, "KOConfigure::configure: KO_ConfigurePf() error.");
    return rc;
}

int KOConfigure::configure(char *key1, ...) {
    va_list ap;
    va_start(ap, key1);
    int rc = configureVarargs(key1, ap);
    va_end(ap);
    if (rc < 0) ko_register_error(0, "KOConfigure::configure: KO_ConfigureVarargs() error.");
    return rc;
}

int KOConfigure::configure(const char *key1, ...) {
    va_list ap;
    va_start(ap, key1);
    int rc = configureVarargs(const_cast<char *>(key1), ap);
    va_end(ap);
    if (rc < 0) ko_register_error(0, "KOConfigure::configure: KO_ConfigureVarargs() error.");
    return rc;
}

int KOConfigure::vconfigure(char *key1, va_list args) {
    va_list ap;
    va_copy(ap, args);
    int rc = configureVarargs(key1, ap);
    va_end(ap);
    if (rc < 0) ko_register_error(0, "KOConfigure::vconfigure: KO_ConfigureVarargs() error.");
    return rc;
}
