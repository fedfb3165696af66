// SPDX-License-Identifier: Apache-2.0
// fieldreport's capture reader on fuzzed files: it never fails on any bytes, every record is
// either read whole or reported broken under its own number, and a record read whole, written out
// again as corvalis and ttysim write records (the capture library), reads back the same. The dates
// of records are read too, in both orders of day and month and as the file's name would order them.
//
// Input: the bytes of a capture file. Inputs that hold no rule line are mostly made into one by
// putting one in front, so that most of the time goes into records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "capture/capture.h"
#include "fieldtext.h"
#include "moments.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "%s\ninput (%zu bytes)\n", what, input.size());
  std::abort();
}

// A record as corvalis and ttysim write it.
std::string written(const fieldtext::Record& r) { return capture::recordBytes(r); }

bool validUtf8(const std::string& s, bool* multibyte = nullptr) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    if (multibyte && n > 1) *multibyte = true;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (size > 0 && data[0] % 4 != 0 && input.find(std::string(64, '=')) == std::string::npos)
    input = std::string(64, '=') + "\r\n" + input.substr(1);

  const fieldtext::Capture capture = fieldtext::readCapture(input);
  std::set<int> numbers;
  for (const auto& r : capture.records) numbers.insert(r.number);
  for (const auto& b : capture.broken) {
    numbers.insert(b.number);
    if (b.reason.empty()) fail("a broken record without a reason", input);
  }
  const std::size_t count = capture.records.size() + capture.broken.size();
  if (numbers.size() != count ||
      (count > 0 && (*numbers.begin() != 1 || *numbers.rbegin() != static_cast<int>(count))))
    fail("record numbers are not 1 to the number of records", input);
  if (count == 0 && capture.problem.empty()) fail("no record and no problem", input);
  if (count > 0 && !capture.problem.empty()) fail("records and a problem", input);

  for (const auto& r : capture.records) {
    if (r.values.empty() || r.values.back().first != "SCRIPTUSED")
      fail("a record not ending at SCRIPTUSED", input);
    // Written out, a record of Windows-1252 bytes that happen to make UTF-8 would be read as that.
    bool multibyte = false;
    if (validUtf8(written(r), &multibyte) && multibyte) continue;
    const fieldtext::Capture again = fieldtext::readCapture(written(r));
    if (again.records.size() != 1 || !again.broken.empty())
      fail("a record written out does not read back", input);
    const fieldtext::Record& back = again.records[0];
    if (back.started != r.started || back.ended != r.ended || back.conversation != r.conversation ||
        back.values != r.values || back.seconds != r.seconds)
      fail("a record written out reads back different", input);
    const std::string received = fieldtext::speakerText(r.conversation, "RECD: ");
    if (received.find('\xB1') != std::string::npos || received.find('\xB2') != std::string::npos)
      fail("line-break marks left in a speaker's text", input);
    if (!validUtf8(fieldtext::cp1252ToUtf8(r.conversation))) fail("invalid UTF-8", input);
    for (auto order : {fieldreport::DateOrder::Unknown, fieldreport::DateOrder::MonthFirst,
                       fieldreport::DateOrder::DayFirst})
      (void)fieldreport::parseMoment(r.started, order);
    (void)fieldreport::orderFromName(r.started, {10, 18});
    (void)fieldreport::ambiguousDate(r.started);
  }
  return 0;
}
