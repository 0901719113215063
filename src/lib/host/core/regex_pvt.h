// Whole-string regular expressions, as station and channel selections and
// database expressions use them ("BH." matches "BHZ", not "XBHZ").  One
// compiler for every user of patterns in hostkit.
//
// Patterns are written in POSIX extended syntax and run on an automaton
// engine with a linear-time guarantee: compiling takes time and memory
// bounded by the pattern's length (with a fixed memory budget), and matching
// takes time linear in the text, whatever the pattern's shape.  So a filter
// typed by a user can be refused but never hangs the program.
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
    // (match() is then false).
    int compile(const char *pattern, std::string *why);

    // True when the whole of the n bytes at s match (no terminator needed).
    bool match(const char *s, size_t n) const;

  private:
    std::unique_ptr<re2::RE2> re_;
};

// Translates a POSIX extended pattern into the engine's own syntax.  Groups
// become non-capturing, stacked quantifiers ("a+?", "()+++") nest as POSIX
// reads them, a ")" that closes nothing is a literal, "\<" and "\>" are word
// boundaries.  Back-references have no linear-time form and are refused.
// Returns false with the reason in *why.
bool regex_translate(const char *pattern, std::string &out, std::string *why);

}  // namespace hostkit

#endif
