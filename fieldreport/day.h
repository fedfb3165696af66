// SPDX-License-Identifier: Apache-2.0
#pragma once
// One run of fieldreport over a day's capture files, from the files named to the report the
// outputs are made from. The steps, in order: find and read the captures with their timing
// files; gather the records (broken ones take their conditions from the nearest whole record);
// settle each record's date (the file names, else the computer's other files, tell the order of
// day and month); count a record read twice once; pair the two ends of each call; score them;
// write the texts (--texts); add the times of the characters; judge and summarize.
//
// Errors: what cannot be read or scored is said in the report (skipped, notes), never passed
// over. What makes the run useless (an output folder missing, an output that is one of the
// inputs, a script named that cannot be read) throws DayError before anything is written but
// the texts folder's marker. Problems writing texts are printed on standard error and make
// status() 1; what could not be read is printed there too.
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "report.h"
#include "timing_figures.h"

namespace fieldreport {

// What the command line asks of a run (summaryOnly is the terminal table's alone).
struct DayOptions {
  std::vector<std::string> inputs;  // capture files and folders
  std::optional<std::filesystem::path> script, scripts, csv, summaryCsv, html, texts, timingCsv;
  double delayLimit = 1.0;
  bool handTyped = false, summaryOnly = false;
  std::vector<std::string> by = {"TYPE", "DEVICE", "SIGNAL"};
  std::vector<Limit> limits;
  ClockOffsets clocks;
  unsigned jobs = 1;
  std::string commandLine, version;  // as the report shows them
};

// A problem that stops the run; what() is the message, without the program's name.
struct DayError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Day {
 public:
  explicit Day(const DayOptions& options);  // kept as a copy
  ~Day();
  Day(const Day&) = delete;
  Day& operator=(const Day&) = delete;

  // Every step; throws DayError.
  void run();
  // The report, complete after run(). Its records point at the scripts the Day read: it is valid
  // while the Day lives.
  Report& report();
  // 0 when every record was read and scored, 2 when some were not, 1 when a text could not be written.
  int status() const;

 private:
  struct Steps;
  std::unique_ptr<Steps> steps;
};

// A file's bytes, or why they cannot be read.
bool readWhole(const std::filesystem::path& path, std::string& bytes, std::string& why);

}  // namespace fieldreport
