// Fixtures for database tests: table files written as a field user would
// write them, and small databases built with the engine's own writers.
#ifndef RZV_DBFIXTURE_H
#define RZV_DBFIXTURE_H

#include <string>
#include <vector>

#include "db.h"

namespace dbfixture {

// One field of a hand-written row: its value text and where it sits in its
// column (left-justified, right-justified or at a given column offset).
struct Cell {
    std::string text;
    int shift = 0;  // blanks before the text inside the column; -1: right-justified
};

// Builds a row of `table` from cells in field order; fields beyond the cells
// get their null.  Values are placed inside their columns as the cells say.
std::string hand_row(const char *table, const std::vector<Cell> &cells);

// Writes rows (each gets a newline) to the file of `table` of database
// `prefix`.
bool write_rows(const std::string &prefix, const char *table, const std::vector<std::string> &rows);

// A wfdisc row text with the engine's formats (for bulk generation).
std::string wfdisc_row(const char *sta, const char *chan, double time, double endtime, long wfid,
                       long nsamp = 1000, double samprate = 40.0, const char *dir = "wf",
                       const char *dfile = "x.w");

// Number of messages in the register that contain text.
int count_messages(const std::string &text);

}  // namespace dbfixture

#endif
