// Arbitrary lines as the rows of a parameter-file point table, read by both
// plot-vector families.
#include <cstdint>
#include <cstring>
#include <string>

#include "kovector.h"
#include "kovector2.h"
#include "pf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    Pf *pf = pfnew(PFFILE);
    Pf *tbl = pfnew(PFTBL);
    if (!pf || !tbl) return 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        pfpush_string(tbl, line.c_str());
        start = end + 1;
    }
    pfput(pf, "pts", tbl);
    int err = 0;
    char h[64];
    KOVector2 *v = kovector2_create_from_pf(pf, (char *)"pts", nullptr, h, &err);
    if ((v == nullptr) != (err != 0)) __builtin_trap();
    int nx2 = v ? v->nx : -1, ny2 = v ? v->ny : -1;
    if (v) kovector2_free(h);
    KOVector *w = kovector_create_from_pf(pf, (char *)"pts", nullptr, h, &err);
    if ((w == nullptr) != (err != 0)) __builtin_trap();
    if (v && w && (nx2 != w->nx || ny2 != w->ny)) __builtin_trap();
    if (w) kovector_free(h);
    pffree(pf);
    elog_clear_register(0);
    return 0;
}
