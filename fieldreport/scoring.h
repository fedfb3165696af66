// SPDX-License-Identifier: Apache-2.0
#pragma once
// Scoring one call record: the script it names, the texts of the direction it received, both
// scorers' figures on them, how much of the far end's text was counted, and the verdict.
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldtext.h"

namespace fieldreport {

enum class Rate { Pcer, Ccer, Tcer, Cer };
const char* rateName(Rate rate);
std::optional<Rate> rateNamed(std::string_view name);  // any case

// Pass when the rate, as printed, is below the limit (per cent).
struct Limit {
  Rate rate = Rate::Pcer;
  double percent = 1.0;
};

// One of score's counter sets.
struct Counts {
  int total = 0, correct = 0, added = 0, missed = 0, changed = 0;
};

// What the two scorers say about a reference and a received text, and the share counted.
struct Figures {
  int masterChars = 0;      // master characters score keeps (line ends and the like dropped)
  Counts pcer, ccer, tcer;  // score's plain, CM and SM sets
  double pcerRate = 0, ccerRate = 0, tcerRate = 0;
  int cerErrors = 0, cerLength = 0;
  double cerRate = 0;
  double coverage = 0;  // per cent of the master characters score counted (PCER Total)

  double rate(Rate which) const;
};

// Per cent with two decimals, as the scorers print their rates.
std::string twoDecimals(double value);
// A count with commas between thousands: 12,345.
std::string withThousands(long long n);

// Why score would refuse the texts (its 80,000-character limit), or nothing.
std::optional<std::string> scoreRefuses(std::string_view reference, std::string_view received);

// Both scorers in process: the same figures as score and cerscore give for files holding the
// reference and the received text. scoreFile, when given, receives what score writes to its
// score file: the reference annotated where characters were changed or missed ("#") and shifts
// lost ("%"), and the counts.
Figures scoreTexts(std::string_view reference, std::string_view received, std::string* scoreFile = nullptr);

// A call whose coverage is under this is incomplete, whatever its rates.
inline constexpr double kCompleteCoverage = 95.0;

enum class Verdict { Pass, Fail, Incomplete };
const char* verdictName(Verdict verdict);
Verdict verdictOf(const Figures& figures, const std::vector<Limit>& limits);

// A script and its turns.
struct Script {
  std::string path;  // where it was read
  std::vector<fieldtext::Turn> turns;
  std::string key;  // equal for scripts with the same turns, wherever they were read
  long long size = 0;
  std::string sha256;
};

// Where ttysim types the number of the call in a row ("THIS IS CALL {call} GA").
inline constexpr std::string_view kCallMark = "{call}";

// Finds and reads the script a record names, each file once: the one given for all records;
// otherwise SCRIPTUSED as written, then relative to the capture's folder, then by its file name
// in the scripts folder (also written the Windows way, C:\TESTS\SCRIPT.TXT).
class ScriptFinder {
 public:
  ScriptFinder(std::optional<std::filesystem::path> forAll, std::optional<std::filesystem::path> folder);
  // The script, or nothing with the reason in `why`.
  const Script* find(const std::string& scriptUsed, const std::filesystem::path& captureFolder,
                     std::string& why);
  // Every script file read so far.
  std::vector<std::filesystem::path> filesRead() const;
  std::vector<const Script*> scriptsRead() const;

 private:
  const Script* load(const std::filesystem::path& path, std::string& why);
  const Script* search(const std::string& scriptUsed, const std::filesystem::path& captureFolder,
                       std::string& why);
  std::optional<std::filesystem::path> forAll_, folder_;
  const Script* forAllScript_ = nullptr;
  std::string forAllWhy_;
  // What each name, from each capture folder, came to: a day's records name a few scripts.
  std::map<std::pair<std::string, std::string>, std::pair<const Script*, std::string>> searched_;
  std::map<std::string, std::unique_ptr<Script>> scripts_;  // by canonical path
  std::map<std::string, std::string> failed_;               // canonical path -> why
};

// The far end's turns for a record's DIRECTION: on an incoming call this side sent the odd turns,
// so the far end's are the even ones; on an outgoing call the reverse. Nothing for any other value.
std::optional<fieldtext::Side> farEndSide(const fieldtext::Record& record);

// The texts a record is scored on: the far end's turns as typed (lines ended by a space, or
// joined with nothing when typed by hand; "~" dropped; {call} typed as callNumber when given)
// and the text after the "RECD: " marks without the view's line-break marks; neither keeps spaces
// at its end.
struct Texts {
  std::string reference, received;
};
Texts textsOf(const fieldtext::Record& record, const Script& script, fieldtext::Side farEnd, bool handTyped,
              std::optional<int> callNumber = std::nullopt);

// The number ttysim typed for {call} in the far end's turns, read from what arrived: the digits
// after the text that comes before {call} in the script, also when they arrived in the letters
// shift (QWERTYUIOP for 1234567890). Nothing when it cannot be read.
std::optional<int> callNumberIn(std::string_view farEndText, std::string_view received);

}  // namespace fieldreport
