// SPDX-License-Identifier: Apache-2.0
#pragma once
// The report's forms: a table for the terminal, a CSV file of the records, a CSV file of the
// conditions, a web page.
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

namespace fieldreport {

// What was read, the calls, the clocks, the summary by condition, and what was not scored, as
// aligned text (UTF-8). summaryOnly: what was read and the summary.
std::string terminalTable(const Report& report, bool summaryOnly = false);

// The header line of the CSV file of the records.
extern const char kCsvHeader[];

// One row per record under kCsvHeader: every record scored, and every record or file not read
// or not scored with the reason in its verdict (UTF-8, RFC 4180: CR LF line ends, fields quoted
// when they hold a comma, a quote or a line end; text that a spreadsheet would take for a
// formula starts with an apostrophe).
std::string csvText(const Report& report);

// One row per condition: the calls, the pooled rates with their intervals and the verdict; with
// times, the one-way and reply delays too.
std::string summaryCsvText(const Report& report);

// The header line of the timing CSV file.
extern const char kTimingCsvHeader[];

// One row per turn of every record whose call has times (its own or its far end's): the sides'
// counts, the reply delay, the pace, the one-way delays and what was lost at the turn's start.
std::string timingCsvText(const Report& report);

// One self-contained page: the summary, charts of the rates with their intervals and the limits,
// the spread of the calls' rates, the kinds of errors, the calls with links to their texts, what
// was read and what was not scored. chartLibrary is the chart library's script, inlined so
// that the page opens offline.
std::string htmlPage(const Report& report, std::string_view chartLibrary);

// "PCER below 1.00 % and CER below 1.00 %".
std::string limitsText(const std::vector<Limit>& limits);

// What the intervals took from the day: how errors bunch within calls and how much calls differ.
std::string dispersionText(const Report& report);

// The capture files read as sha256sum lists them ("<digest>  <path>" lines), in the order read.
std::string captureManifest(const Report& report);

// Seconds with three decimals, as the timing figures are given: 0.412.
std::string threeDecimals(double value);

// Text that starts like a formula (= + - @, or a tab or carriage return) with an apostrophe in
// front, so that a spreadsheet shows it as text.
std::string notAFormula(std::string text);

}  // namespace fieldreport
