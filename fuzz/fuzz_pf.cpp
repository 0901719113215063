// Arbitrary text as a parameter file: read, walk, write back and read again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pf.h"

static void walk(Pf *pf, int depth) {
    if (!pf || depth > 64) return;
    if (pf->type == PFTBL) {
        for (long i = 0; i < maxtbl(pf->value.tbl); i++) walk((Pf *)gettbl(pf->value.tbl, i), depth + 1);
        return;
    }
    Tbl *keys = pfkeys(pf);
    for (long i = 0; i < maxtbl(keys); i++) {
        const char *k = (const char *)gettbl(keys, i);
        void *v;
        int kind = pfget(pf, k, &v);
        if (kind == PFSTRING) {
            pfget_double(pf, k);
        } else if (kind == PFTBL || kind == PFARR) {
            Tbl *t = pfget_tbl(pf, k);
            freetbl(t, nullptr);
            Arr *a = pfget_arr(pf, k);
            freearr(a, nullptr);
            walk((Pf *)v, depth + 1);
        }
    }
    freetbl(keys, nullptr);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();  // the string form stops at a NUL, as C callers do
    Pf *pf = nullptr;
    if (pfread_string(text.c_str(), &pf) == 0) {
        walk(pf, 0);
        char *out = pf2string(pf);
        Pf *again = nullptr;
        if (pfread_string(out, &again) != 0) abort();  // what we write, we read
        char *out2 = pf2string(again);
        if (strcmp(out, out2) != 0) abort();
        free(out);
        free(out2);
        pffree(again);
        pffree(pf);
    }
    elog_clear_register(0);
    return 0;
}
