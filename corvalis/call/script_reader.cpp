// SPDX-License-Identifier: Apache-2.0
#include "call/script_reader.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "records/calllog.h"

namespace corvalis {

namespace {

// A script file that cannot be opened or read, with the runtime's message.
class TScriptFileError : public TFileError {
 public:
  using TFileError::TFileError;
};

}  // namespace

bool TScriptReader::IsScriptFile(const std::string& Name) {
  std::error_code ec;
  return !Name.empty() && std::filesystem::is_regular_file(Name, ec);
}

std::uint16_t TScriptReader::CountTurns(const std::string& Name) {
  if (!IsScriptFile(Name)) return 0;
  std::ifstream file(Name, std::ios::in | std::ios::binary);
  std::string line;
  bool afterEmpty = true;  // the first line counts as following an empty one
  unsigned turns = 0;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && afterEmpty) ++turns;
    afterEmpty = line.empty();
  }
  return static_cast<std::uint16_t>(std::min(turns, 65535u));
}

void TScriptReader::Open(const std::string& Name) {
  std::error_code ec;
  auto status = std::filesystem::status(Name, ec);
  if (Name.empty() || !std::filesystem::exists(status))
    throw TScriptFileError(FileErrorText(ENOENT), Name, ENOENT);
  if (!std::filesystem::is_regular_file(status))
    throw TScriptFileError(FileErrorText(EACCES), Name, std::filesystem::is_directory(status) ? EISDIR : 0);
  file_.close();
  file_.clear();
  errno = 0;
  file_.open(Name, std::ios::in | std::ios::binary);
  const int err = errno ? errno : EACCES;
  if (!file_.is_open()) throw TScriptFileError(FileErrorText(err), Name, err);
  open_ = true;
}

void TScriptReader::Close() {
  if (open_) file_.close();
  open_ = false;
}

bool TScriptReader::AtEnd() {
  return !open_ || !file_.is_open() || file_.peek() == std::ifstream::traits_type::eof();
}

TScriptLine TScriptReader::Read(bool SkipOdd, bool SkipEven) {
  TScriptLine line;
  if (!std::getline(file_, line.Text) && file_.bad()) throw TScriptFileError("Disk read error");
  if (!line.Text.empty() && line.Text.back() == '\r') line.Text.pop_back();
  if (line.Text.size() > kLongLine && !longLineWarned_) {
    longLineWarned_ = true;
    line.FirstLongLine = true;
  }
  if (!line.Text.empty() && atTurnStart_) {
    atTurnStart_ = false;
    ++turnNumber_;
    line.NewTurn = true;
  }
  if (line.Text.empty()) {
    atTurnStart_ = true;
    turnHasMore_ = false;
    line.TurnEnded = true;
  }
  // The other side's turns are read past, the empty line that closes them too.
  const bool odd = turnNumber_ % 2 != 0;
  if ((odd && SkipOdd) || (!odd && SkipEven)) {
    line.Text.clear();
    line.TurnEnded = false;
  }
  if (!line.Text.empty()) {
    atTurnStart_ = false;
    turnHasMore_ = true;
  }
  return line;
}

void TScriptReader::Rewind() {
  Close();
  turnNumber_ = 0;
  atTurnStart_ = true;
  turnHasMore_ = false;
}

}  // namespace corvalis
