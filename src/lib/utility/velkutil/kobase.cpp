// Shared by every family: error reporting into the host error register, the
// process-wide names of objects, and the handle-tag registry.

#include "kobase.h"
#include "koregistry_pvt.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {

void ko_register_error(int flag, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    velog_log(flag, format, ap);
    va_end(ap);
}

void ko_complain(int flag, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    velog_complain(flag, format, ap);
    va_end(ap);
}

void ko_die(int flag, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    velog_die(flag, format, ap);
}

void ko_clear_register(int flag) { elog_clear_register(flag); }

}  // extern "C"

// ------------------------------------------------------------ object names

static Arr *KO_NamesArr = nullptr;
static Arr *KO_ObjectsArr = nullptr;

static void release_name(KO_Name *rec) {
    free(rec->name);
    free(rec->class_name);
    free(rec);
}

static void object_key(const void *obj, char *key, size_t n) {
    snprintf(key, n, "%lu", (unsigned long)(uintptr_t)obj);
}

extern "C" {

int KO_SetName(char *name, char *class_name, void *obj) {
    if (!KO_NamesArr && !(KO_NamesArr = newarr(0))) return -1;
    if (!KO_ObjectsArr && !(KO_ObjectsArr = newarr(0))) return -1;
    if (!name || !class_name) return -1;
    if (getarr(KO_NamesArr, name)) return -1;
    char key[32];
    object_key(obj, key, sizeof key);
    if (getarr(KO_ObjectsArr, key)) return -1;
    KO_Name *rec = static_cast<KO_Name *>(calloc(1, sizeof(KO_Name)));
    if (!rec) return -1;
    rec->name = strdup(name);
    rec->class_name = strdup(class_name);
    if (!rec->name || !rec->class_name) {
        release_name(rec);
        return -1;
    }
    rec->obj = obj;
    // Both entries or neither: a name found under one array only would
    // answer differently depending on which way it is looked up.
    if (setarr(KO_NamesArr, name, rec) == ARR_FAILED) {
        release_name(rec);
        return -1;
    }
    if (setarr(KO_ObjectsArr, key, rec) == ARR_FAILED) {
        delarr(KO_NamesArr, name);
        release_name(rec);
        return -1;
    }
    return 0;
}

void *KO_GetObject(char *name, char *class_name) {
    if (!KO_NamesArr || !name) return nullptr;
    KO_Name *rec = static_cast<KO_Name *>(getarr(KO_NamesArr, name));
    if (!rec) return nullptr;
    if (class_name) strcpy(class_name, rec->class_name);
    return rec->obj;
}

char *KO_GetName(void *object, char *class_name) {
    static char empty[] = "";
    if (!KO_ObjectsArr) return empty;
    char key[32];
    object_key(object, key, sizeof key);
    KO_Name *rec = static_cast<KO_Name *>(getarr(KO_ObjectsArr, key));
    if (!rec) return empty;
    if (class_name) strcpy(class_name, rec->class_name);
    return rec->name;
}

}  // extern "C"

// ------------------------------------------------------------ handle tags

int KORegistry::ensure(const char *fname, int flag) {
    if (arr_) return 0;
    arr_ = newarr(0);
    if (!arr_) {
        elog_log(flag, "%s: newarr() error.\n", fname);
        return -1;
    }
    return 0;
}

int KORegistry::add(const char *fname, void *obj, char *handle) {
    if (ensure(fname) < 0) return -1;
    char tag[64];
    long value = counting_ == COUNT_THEN_INCREMENT ? counter_++ : ++counter_;
    // The family patterns say "%d"; the counter is printed whole so that a
    // long-running program never wraps round to a tag still in use.
    // (Built in place: registering allocates nothing but the entry itself.)
    char pattern[48];
    const char *at = strstr(prefix_, "%d");
    if (at && (size_t)(at - prefix_) + strlen(at) + 2 < sizeof pattern)
        snprintf(pattern, sizeof pattern, "%.*s%%ld%s", (int)(at - prefix_), prefix_, at + 2);
    else
        snprintf(pattern, sizeof pattern, "%s", prefix_);
    snprintf(tag, sizeof tag, pattern, value);
    // The tag is spent either way: tags are never issued twice.
    if (setarr(arr_, tag, obj) == ARR_FAILED) {
        elog_log(1, "%s: setarr() error.\n", fname);
        if (handle) handle[0] = '\0';
        return -1;
    }
    if (handle) strcpy(handle, tag);
    return 0;
}

bool KORegistry::ident_ok(const void *obj) const {
    if (!ident_ || !ident_width_) return true;
    return strncmp(static_cast<const char *>(obj), ident_, ident_width_) == 0;
}

void *KORegistry::get(const char *fname, const char *handle, const char *plural) const {
    if (!arr_) {
        elog_log(0, "%s: No %s defined", fname, plural ? plural : plural_);
        return nullptr;
    }
    void *obj = handle ? getarr(arr_, handle) : nullptr;
    if (!obj) {
        elog_log(0, "%s: Cannot find %s", fname, handle ? handle : "(null)");
        return nullptr;
    }
    if (!ident_ok(obj)) {
        elog_log(0, "%s: Wrong ident for %s", fname, handle);
        return nullptr;
    }
    return obj;
}

void *KORegistry::find(const char *handle) const {
    if (!arr_ || !handle) return nullptr;
    void *obj = getarr(arr_, handle);
    return obj && ident_ok(obj) ? obj : nullptr;
}

void *KORegistry::remove(const char *handle) {
    if (!arr_ || !handle) return nullptr;
    return delarr(arr_, handle);
}

// Walks the entries in place: removing must work when memory has run out,
// since the caller frees the object right after (a key list that could not
// be made would leave the entry pointing at freed memory).
int KORegistry::remove_object(const void *obj) {
    if (!arr_) return -1;
    struct Search {
        const void *obj;
        const char *key;
    } search = {obj, nullptr};
    applyarr(
        arr_,
        [](const char *key, void *value, void *priv) -> int {
            auto *s = static_cast<Search *>(priv);
            if (value != s->obj) return 0;
            s->key = key;
            return 1;
        },
        &search);
    if (!search.key) return -1;
    delarr(arr_, search.key);  // the array's own key: no copy, nothing to allocate
    return 0;
}

int KORegistry::free_strict(const char *fname, const char *handle, void (*release)(void *), const char *plural) {
    void *obj = get(fname, handle, plural);
    if (!obj) return -1;
    remove(handle);
    if (release) release(obj);
    return 0;
}

int KORegistry::free_silent(const char *fname, const char *handle, void (*release)(void *)) {
    int mark = elog_mark();
    void *obj = get(fname, handle);
    elog_flush(0, mark);
    if (!obj) return 0;
    remove(handle);
    if (release) release(obj);
    return 0;
}

int KORegistry::free_by_label(const char *label, const char *(*label_of)(const void *), void (*release)(void *)) {
    if (!arr_ || !label) return 0;
    for (;;) {
        Tbl *keys = keysarr(arr_);
        bool freed = false;
        for (long i = 0; i < maxtbl(keys); i++) {
            const char *k = static_cast<const char *>(gettbl(keys, i));
            void *obj = getarr(arr_, k);
            const char *l = obj ? label_of(obj) : nullptr;
            if (l && strcmp(l, label) == 0) {
                delarr(arr_, k);
                if (release) release(obj);
                freed = true;
                break;
            }
        }
        freetbl(keys, nullptr);
        if (!freed) return 0;
    }
}
