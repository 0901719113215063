// Database test fixtures: hand-made rows and table files.
#include "dbfixture.h"

#include <cstdio>
#include <cstring>

#include "db_pvt.h"
#include "rzvtest.h"

namespace dbfixture {

std::string hand_row(const char *table, const std::vector<Cell> &cells) {
    const hostdb::SchemaTable *s = hostdb::schema_table(table);
    if (!s) return "";
    std::string row(s->rowsize, ' ');
    for (int i = 0; i < s->nfields; i++) {
        const hostdb::SchemaField &f = s->fields[i];
        std::string text = i < (int)cells.size() ? cells[i].text : f.null_text;
        int shift = i < (int)cells.size() ? cells[i].shift : 0;
        if ((int)text.size() > f.width) text.resize(f.width);
        int at = shift < 0 ? f.width - (int)text.size() : shift;
        if (at + (int)text.size() > f.width) at = f.width - (int)text.size();
        memcpy(&row[f.offset + at], text.data(), text.size());
    }
    return row;
}

bool write_rows(const std::string &prefix, const char *table, const std::vector<std::string> &rows) {
    std::string text;
    for (auto &r : rows) text += r + "\n";
    return rzvtest::write_file(prefix + "." + table, text);
}

std::string wfdisc_row(const char *sta, const char *chan, double time, double endtime, long wfid, long nsamp,
                       double samprate, const char *dir, const char *dfile) {
    char buf[400];
    snprintf(buf, sizeof buf,
             "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
             "%-64.64s %-32.32s %10ld %8ld %-17.17s",
             sta, chan, time, wfid, -1L, yearday(time), endtime, nsamp, samprate, 1.0, 1.0, "-", "V", "s4", "-",
             dir, dfile, 0L, -1L, "-");
    return buf;
}

int count_messages(const std::string &text) {
    int n = 0;
    for (auto &m : rzvtest::messages())
        if (m.find(text) != std::string::npos) n++;
    return n;
}

}  // namespace dbfixture
