// serve_params.h -- the strict reading of a request's query parameters:
// only the names a route knows, each at most once, numbers written whole
// (no blanks, no trailing text, finite, in range).  A refusal is an
// ApiError 400 naming the parameter.
#ifndef VELK_SERVE_PARAMS_H
#define VELK_SERVE_PARAMS_H

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velk {

class Params {
public:
    // The query's name-value pairs, in order (a name may repeat here).
    // Refuses names outside `known` and repeated names.
    Params(const std::vector<std::pair<std::string, std::string>> &query, const std::vector<std::string> &known);

    bool has(const std::string &name) const { return values_.count(name) != 0; }
    // The text of a required parameter.
    std::string text(const std::string &name) const;
    // A finite number (epoch seconds and the like).
    double real(const std::string &name) const;
    // A whole number from lo to hi; `fallback` when absent and not required.
    long integer(const std::string &name, long lo, long hi) const;
    long integer(const std::string &name, long lo, long hi, long fallback) const;

private:
    std::map<std::string, std::string> values_;
};

}  // namespace velk

#endif
