// Fuzz target for the database expression compiler: any text either compiles
// or is refused with a message, and a compiled expression evaluates against a
// row (and against a missing row) without faults.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dbex_pvt.h"

namespace {

struct Fields : dbex::Resolver {
    int resolve(const std::string &name, dbex::FieldRef &ref, std::string &) override {
        static const struct {
            const char *name;
            long off, width;
            int type;
            double null_num;
            const char *null_str;
        } f[] = {{"sta", 0, 6, dbex::T_STRING, 0, "-"},
                 {"chan", 7, 8, dbex::T_STRING, 0, "-"},
                 {"time", 16, 17, dbex::T_TIME, -9999999999.999, ""},
                 {"nsamp", 34, 8, dbex::T_INTEGER, -1, ""}};
        for (auto &x : f) {
            if (name == x.name || name == std::string("wfdisc.") + x.name) {
                ref.slot = 0;
                ref.offset = x.off;
                ref.width = x.width;
                ref.type = x.type;
                ref.null_num = x.null_num;
                ref.null_str = x.null_str;
                return 1;
            }
        }
        return 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    Fields fields;
    std::string err;
    std::unique_ptr<dbex::Expr> e = dbex::compile(text.c_str(), fields, err);
    if (!e) {
        if (err.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    static const char row[] = "ABC    BHZ       1262304000.00000   360000";
    const char *rows[1] = {row};
    dbex::Row r;
    r.rows = rows;
    r.nrows = 1;
    dbex::Value v;
    e->eval(r, v);
    rows[0] = nullptr;
    e->eval(r, v);
    return 0;
}
