// Arbitrary text as a parameter file configuring an object with one option of
// every built-in type; then its lines as a name-value list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KOConfigure.h"

namespace {

struct Record {
    int flag;
    int count;
    double gain;
    char *label;
    char *id;
    void *ptr;
};

class Target : public KOConfigure {
public:
    Record r{};
    KO_ConfigureSpec specs[7] = {
        {"boolean", "flag", "yes", offsetof(Record, flag), 0, nullptr},
        {"int", "count", "1", offsetof(Record, count), 0, nullptr},
        {"double", "gain", "1.5", offsetof(Record, gain), KO_CONFIGURE_NO_DEFAULT, nullptr},
        {"string", "label", "x", offsetof(Record, label), 0, nullptr},
        {"uid", "id", nullptr, offsetof(Record, id), KO_CONFIGURE_NULL_OK, nullptr},
        {"ptr", "ptr", nullptr, offsetof(Record, ptr), KO_CONFIGURE_NULL_OK, nullptr},
        {"end", nullptr, nullptr, 0, 0, nullptr},
    };
    Target() { setConfigureSpecs(specs, (char *)&r, "Target"); }
    ~Target() {
        free(r.label);
        free(r.id);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();
    Target t;
    Pf *pf = nullptr;
    if (pfread_string(text.c_str(), &pf) == 0) {
        t.configure(pf);
        t.configurePf(t.specs, pf, (char *)&t.r, 1);
        pffree(pf);
    }
    // each line "name value" as a pair of a name-value list
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size() && words.size() < 8) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        size_t sp = line.find(' ');
        words.push_back(line.substr(0, sp));
        words.push_back(sp == std::string::npos ? "" : line.substr(sp + 1));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    while (words.size() < 8) words.push_back("");
    // names may be unknown; values never null here (a null int would be refused)
    t.configure(words[0].c_str(), words[1].c_str(), words[2].c_str(), words[3].c_str(), words[4].c_str(),
                words[5].c_str(), words[6].c_str(), words[7].c_str(), (char *)0);
    int b;
    KO_ParseBoolean((char *)text.c_str(), &b);
    elog_clear_register(0);
    return 0;
}
