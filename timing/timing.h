// SPDX-License-Identifier: Apache-2.0
#pragma once
// The timing file of a capture file: when each character of its call records was sent and
// received, in milliseconds from the call's start, one character a line (docs/timing.md).
//
//   started,start_ms,direction,ms,code,char
//   12/08/26 15:56:26,1796745386123,sent,10112,72,H
//
// It lies beside its capture file (1208-1556-LAB1.TXT -> 1208-1556-LAB1.timing.csv) and is
// appended to record by record; a record's lines are found by its "Started at" text. The file is
// plain CSV that never needs quoting, so a spreadsheet, pandas or a line-by-line script reads it.
// A line broken off by a crash is never taken for a whole one: the reader drops a last line
// without its line end and any line that does not read whole, and the writer ends such a line
// before it appends.
// Errors: nothing here throws. Reading takes any bytes and says what it could not read in its
// result (problem, badLines); writing returns "" or the reason, with the file as it was.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace timing {

enum class Direction { Sent, Received };
const char* directionName(Direction direction);  // "sent", "received"

// One character on the line.
struct CharTime {
  Direction direction = Direction::Sent;
  long long ms = 0;        // from the call's start, on this computer's monotonic clock
  unsigned char code = 0;  // the byte as written to or read from the port (Windows-1252)
};

// The times of one call record.
struct RecordTimes {
  std::string started;    // the record's "Started at" text, without "Started at "
  long long startMs = 0;  // the call's start on this computer's clock: ms since 1970 (UTC)
  std::vector<CharTime> chars;
};

// The header line, without its line end. Readers find columns by name, so columns added later
// go anywhere; these are always there.
inline constexpr std::string_view kHeader = "started,start_ms,direction,ms,code,char";

// The timing file of a capture file: its name with a ".TXT" ending (any case) replaced by
// ".timing.csv" (another name gets ".timing.csv" added).
std::string timingPathFor(std::string_view capturePath);
// Whether a file name is a timing file's (ends in ".timing.csv", any case).
bool isTimingName(std::string_view path);

// A text field as written: bytes outside printable ASCII, and the backslash, comma and double
// quote, as \xNN (two upper-case hex digits); a first character that a spreadsheet would take
// for a formula (= + - @) and a space at either end too. Nothing needs CSV quoting.
std::string escapeField(std::string_view bytes);
// The bytes of a field; nothing when an escape is malformed.
std::optional<std::string> unescapeField(std::string_view field);

// One line of the file, with its line end.
std::string formatLine(std::string_view started, long long startMs, const CharTime& c);
// All lines of a record.
std::string formatRecord(const RecordTimes& times);

// Appends the lines of a record to the timing file at path, made with its header when it does
// not exist (or is empty). A last line left without its line end (a crash) is ended first, so
// the new lines are read whole. The lines go in one write and are synced to the disk. A file
// that does not begin with the header is left alone (an error). Returns "" or the reason.
std::string appendRecord(const std::string& path, const RecordTimes& times);

// Appends line by line as a call goes on, for a writer that must lose nothing when it is
// killed: each line goes in one write of its own.
class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer();
  // Opens path for appending as appendRecord does. Returns "" or the reason.
  std::string open(const std::string& path);
  std::string append(std::string_view started, long long startMs, const CharTime& c);
  std::string close();  // also syncs to the disk
  bool isOpen() const { return fd_ >= 0; }

 private:
  std::string write(std::string_view bytes);
  int fd_ = -1;
  std::string path_;
};

// What a timing file holds.
struct TimingFile {
  std::vector<RecordTimes> records;  // in the order their first lines appear
  int badLines = 0;                  // lines that do not read whole, a torn last line included
  std::string problem;               // why nothing could be read (no header); empty otherwise
};

// Reads a timing file: the lines of each record (the same started text and start_ms) gathered
// in file order. A line whose fields do not read (too few or too many, a number that is not one,
// a char that is not the code's) is counted in badLines and skipped; so is a last line without
// its line end. A header line again further down (two files joined) is skipped. Lines end in LF
// or CR LF.
TimingFile readTimingFile(std::string_view bytes);

}  // namespace timing
