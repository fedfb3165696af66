#pragma once
// The report's three forms: a table for the terminal, a CSV file of the records, a web page.
#include <string>
#include <string_view>

#include "report.h"

namespace fieldreport {

// The calls, the summary by condition and what was not scored, as aligned text (UTF-8).
std::string terminalTable(const Report& report);

// The header line of the CSV file.
extern const char kCsvHeader[];

// One row per scored record under kCsvHeader (UTF-8, RFC 4180: CR LF line ends, fields quoted
// when they hold a comma, a quote or a line end).
std::string csvText(const Report& report);

// One self-contained page: the summary, charts of the rates with their intervals, the spread of
// per-call rates, the kinds of errors, the calls and what was not scored. chartLibrary is the
// chart library's script, inlined so that the page opens offline.
std::string htmlPage(const Report& report, std::string_view chartLibrary);

}  // namespace fieldreport
