// Fuzz target for the whole-string pattern compiler: any text either compiles
// or is refused with a reason, within bounded time and memory, and a compiled
// pattern matches texts of any bytes without faults.  The first line of the
// input is the pattern, the rest the texts to match.
#include <cstddef>
#include <cstdint>
#include <string>

#include "regex_pvt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t nl = in.find('\n');
    std::string pattern = in.substr(0, nl);
    if (pattern.find('\0') != std::string::npos) return 0;
    hostkit::WholeRegex re;
    std::string why;
    int rc = re.compile(pattern.c_str(), &why);
    if (rc != hostkit::REGEX_OK) {
        if (why.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    std::string rest = nl == std::string::npos ? std::string() : in.substr(nl + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('\n', start);
        if (end == std::string::npos) end = rest.size();
        re.match(rest.data() + start, end - start);
        start = end + 1;
    }
    return 0;
}
