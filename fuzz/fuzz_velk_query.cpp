// Fuzzes what "velk serve" does with a request's query before any view is
// touched: the strict parameter reading (names, repeats, numbers) and the
// column reduction over the window and width that came from it.  Input: a
// query string "name=value&...".
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "serve_params.h"
#include "serve_reduce.h"
#include "serve_views.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text((const char *)data, size);
    std::vector<std::pair<std::string, std::string>> query;
    size_t at = 0;
    while (at <= text.size()) {
        size_t amp = text.find('&', at);
        if (amp == std::string::npos) amp = text.size();
        std::string part = text.substr(at, amp - at);
        size_t eq = part.find('=');
        query.emplace_back(part.substr(0, eq), eq == std::string::npos ? "" : part.substr(eq + 1));
        at = amp + 1;
    }
    try {
        velk::Params p(query, {"t0", "t1", "width", "sta"});
        double t0 = p.has("t0") ? p.real("t0") : 0, t1 = p.has("t1") ? p.real("t1") : 10;
        long width = p.integer("width", 1, 4096, 100);
        if (p.has("sta")) p.text("sta");
        // Samples around the window at a rate that keeps the run short.
        double span = t1 - t0;
        if (!std::isfinite(span) || span <= 0 || span > 1e12) return 0;
        std::vector<float> v(257);
        for (size_t k = 0; k < v.size(); k++) v[k] = (float)((k * 37) % 101) - 50;
        velk::SampleRun run{t0 - span / 4, span / 200, v.data(), (long)v.size()};
        velk::ColumnEnvelope e = velk::reduce_columns({run}, t0, t1, (int)width);
        for (size_t c = 0; c < e.has.size(); c++)
            if (e.has[c] && !(e.lo[c] <= e.hi[c])) __builtin_trap();
        velk::envelope_json(e);
    } catch (const velk::ApiError &) {
    }
    return 0;
}
