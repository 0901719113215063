// Fuzz target: the response-file reader, and evaluation of whatever it
// accepts, must never crash or hang on any input.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "response.h"
#include "stock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!fp) return 0;
    Response *r = nullptr;
    if (read_response(fp, &r) == 0) {
        const double freqs[] = {0.0, 1e-3, 0.5, 1.0, 7.3, 50.0, 1e3, -2.0};
        for (double f : freqs) {
            double re = 0, im = 0;
            eval_response(r, f, &re, &im);
        }
        free_response(r);
    } else if (r) {
        __builtin_trap();  // a failed read must not hand out a response
    }
    fclose(fp);
    elog_clear_register(0);
    return 0;
}
