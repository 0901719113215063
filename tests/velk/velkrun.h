// Running the velk program from a test: its exit status, standard output
// and standard error.  Header only: every .cpp in this folder is a test
// program of its own.
#ifndef VELK_TEST_VELKRUN_H
#define VELK_TEST_VELKRUN_H

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "rzvtest.h"

namespace velktest {

struct Result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
};

inline std::string quote(const std::string &word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline int sh(const std::string &cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline bool have_tool(const std::string &name) { return sh("command -v " + name + " >/dev/null 2>&1") == 0; }

// Runs VELK_BIN with the arguments (each one word) in `dir`, standard error
// not a terminal.
inline Result velk(const std::vector<std::string> &args, const std::string &dir) {
    std::string cmd = "cd " + quote(dir) + " && " + quote(VELK_BIN);
    for (const std::string &a : args) cmd += " " + quote(a);
    cmd += " >" + quote(dir + "/.out") + " 2>" + quote(dir + "/.err") + " </dev/null";
    Result r;
    r.status = sh(cmd);
    r.out = rzvtest::read_file(dir + "/.out");
    r.err = rzvtest::read_file(dir + "/.err");
    return r;
}

}  // namespace velktest

#endif
