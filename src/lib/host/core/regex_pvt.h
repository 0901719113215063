// Whole-string regular expressions, as station and channel selections and
// database expressions use them ("BH." matches "BHZ", not "XBHZ").  One
// compiler for every user of patterns in hostkit.
//
// Patterns are written in POSIX extended syntax and run on an automaton
// engine with a linear-time guarantee: compiling takes time and memory
// bounded by the pattern's length (with a fixed memory budget), and matching
// takes time linear in the text, whatever the pattern's shape.  So a filter
// typed by a user can be refused but never hangs the program.
//
// Compiled patterns are kept in a bounded cache shared by the process, keyed
// by their text: compiling a pattern seen before (a filter compiled again
// for every table or every call) costs a lookup and takes no memory.  The
// cache holds at most kRegexCacheSize patterns; the one used least recently
// makes room for a new one (objects still using it keep it alive).
#ifndef HOSTKIT_REGEX_PVT_H
#define HOSTKIT_REGEX_PVT_H

#include <cstddef>
#include <memory>
#include <string>

namespace re2 {
class RE2;
}

namespace hostkit {

enum { REGEX_OK = 0, REGEX_BAD = -1, REGEX_TOO_COMPLEX = -2 };

// A compiled whole-string pattern.  Matching is const and safe from any
// number of threads at once.
class WholeRegex {
  public:
    WholeRegex();
    ~WholeRegex();
    WholeRegex(const WholeRegex &) = delete;
    WholeRegex &operator=(const WholeRegex &) = delete;

    // Compiles `pattern`.  Returns REGEX_OK; REGEX_BAD with the reason in
    // *why (may be null) for a pattern that cannot be read; REGEX_TOO_COMPLEX
    // for one whose automaton would exceed the memory budget or whose counted
    // repetitions exceed 1000.  A failed compile leaves the object empty
    // (match() is then false).  Throws std::bad_alloc when memory runs out
    // (the object is then empty too); a pattern found in the cache needs no
    // memory.
    int compile(const char *pattern, std::string *why);

    // True when the whole of the n bytes at s match (no terminator needed).
    bool match(const char *s, size_t n) const;

  private:
    std::shared_ptr<const re2::RE2> re_;  // shared with the cache and other users
};

// Patterns the cache keeps at most.
constexpr size_t kRegexCacheSize = 64;

// Number of patterns in the cache (for tests).
size_t regex_cache_count();

// Translates a POSIX extended pattern into the engine's own syntax.  Groups
// become non-capturing, stacked quantifiers ("a+?", "()+++") nest as POSIX
// reads them, a ")" that closes nothing is a literal, "\<" and "\>" are word
// boundaries.  Back-references have no linear-time form and are refused.
// Returns false with the reason in *why.
bool regex_translate(const char *pattern, std::string &out, std::string *why);

}  // namespace hostkit

#endif
