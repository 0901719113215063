// serve_params.cpp -- strict query parameters.
#include "serve_params.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "serve_views.h"

namespace velk {

namespace {

// The parameter's text as it may appear in a message: short and printable.
std::string shown(const std::string &value) {
    std::string s;
    for (char c : value.substr(0, 40)) s += (c >= 32 && c < 127) ? c : '?';
    return value.size() > 40 ? s + "..." : s;
}

}  // namespace

Params::Params(const std::vector<std::pair<std::string, std::string>> &query, const std::vector<std::string> &known) {
    for (const auto &kv : query) {
        bool ok = false;
        for (const std::string &k : known) ok = ok || k == kv.first;
        if (!ok) throw ApiError(400, "unknown parameter \"" + shown(kv.first) + "\"");
        if (!values_.emplace(kv.first, kv.second).second)
            throw ApiError(400, "parameter \"" + kv.first + "\" given more than once");
    }
}

std::string Params::text(const std::string &name) const {
    auto it = values_.find(name);
    if (it == values_.end()) throw ApiError(400, "parameter \"" + name + "\" is required");
    return it->second;
}

double Params::real(const std::string &name) const {
    std::string t = text(name);
    const char *s = t.c_str();
    char *end = nullptr;
    errno = 0;
    double v = (t.empty() || std::isspace((unsigned char)t[0])) ? NAN : std::strtod(s, &end);
    if (!end || *end || errno == ERANGE || !std::isfinite(v))
        throw ApiError(400, "parameter \"" + name + "\" is not a number: \"" + shown(t) + "\"");
    return v;
}

long Params::integer(const std::string &name, long lo, long hi) const {
    std::string t = text(name);
    const char *s = t.c_str();
    char *end = nullptr;
    errno = 0;
    long v = (t.empty() || std::isspace((unsigned char)t[0])) ? 0 : std::strtol(s, &end, 10);
    if (!end || *end || errno == ERANGE)
        throw ApiError(400, "parameter \"" + name + "\" is not a whole number: \"" + shown(t) + "\"");
    if (v < lo || v > hi)
        throw ApiError(400, "parameter \"" + name + "\" must be from " + std::to_string(lo) + " to " +
                                std::to_string(hi));
    return v;
}

long Params::integer(const std::string &name, long lo, long hi, long fallback) const {
    return has(name) ? integer(name, lo, hi) : fallback;
}

}  // namespace velk
