// Whole-string POSIX extended regular expressions, as station and channel
// selections and database expressions use them ("BH." matches "BHZ", not
// "XBHZ").  One compiler for every user of patterns in hostkit.
#ifndef HOSTKIT_REGEX_PVT_H
#define HOSTKIT_REGEX_PVT_H

#include <regex.h>
#include <string>

namespace hostkit {

enum { REGEX_OK = 0, REGEX_BAD = -1, REGEX_TOO_COMPLEX = -2 };

// Compiles `pattern` anchored at both ends (REG_EXTENDED | REG_NOSUB).  The
// pattern is first compiled as written, so an unbalanced ")" is refused
// rather than matching prefixes once wrapped; patterns whose automaton would
// take seconds and gigabytes to build are refused as too complex.  On
// REGEX_BAD, *why (may be null) receives regcomp's reason.  On success the
// caller regfree()s *re.
int regcomp_whole(regex_t *re, const char *pattern, std::string *why);

}  // namespace hostkit

#endif
