#include "rzvtest.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "stock.h"

namespace rzvtest {

TempDir::TempDir() {
    const char *base = getenv("RZV_TEST_TMP");
    std::string root = base && *base ? base : "/tmp";
    std::filesystem::create_directories(root);
    std::string tmpl = root + "/rzvXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (int i = 0; i < elog_count(); i++) out.emplace_back(elog_message(i));
    return out;
}

std::string all_messages() {
    std::string s;
    for (auto &m : messages()) s += m;
    return s;
}

bool has_message(const std::string &text) {
    for (auto &m : messages())
        if (m.find(text) != std::string::npos) return true;
    return false;
}

bool write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return bool(f);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace rzvtest
