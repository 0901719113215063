// Arbitrary bytes as a "fap"/"fap2" response file, read by both plot-vector
// families.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "kovector.h"
#include "kovector2.h"

static const std::string &scratch() {
    static const std::string path = "/tmp/fuzz_vecresp_" + std::to_string(getpid());
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *fp = fopen(scratch().c_str(), "wb");
    if (!fp) return 0;
    fwrite(data, 1, size, fp);
    fclose(fp);
    int err = 0;
    char h[64];
    KOVector2 *v = kovector2_create_response_fap((char *)scratch().c_str(), nullptr, h, &err);
    if ((v == nullptr) != (err != 0)) __builtin_trap();
    int nx2 = v ? v->nx : -1;
    if (v) kovector2_free(h);
    KOVector *w = kovector_create_response_fap((char *)scratch().c_str(), nullptr, h, &err);
    if ((w == nullptr) != (err != 0)) __builtin_trap();
    if (v && w && w->nx > nx2) __builtin_trap();
    if (w) kovector_free(h);
    elog_clear_register(0);
    return 0;
}
