// Fixtures shared by the tests: scratch directories and reading the error
// register.
#ifndef RZV_TEST_SUPPORT_H
#define RZV_TEST_SUPPORT_H

#include <string>
#include <vector>

namespace rzvtest {

// A fresh directory under the build tree (or /tmp), removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The messages of the calling thread's error register, in order.
std::vector<std::string> messages();
// The register's messages joined into one string.
std::string all_messages();
// True when some message contains text.
bool has_message(const std::string &text);

// Writes text to a file, replacing it; returns false on failure.
bool write_file(const std::string &path, const std::string &text);
// Reads a whole file ("" if it cannot be read).
std::string read_file(const std::string &path);

}  // namespace rzvtest

#endif
