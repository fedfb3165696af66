// SPDX-License-Identifier: Apache-2.0
#include "journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "call/conversation_text.h"
#include "records/call_times.h"
#include "records/calllog.h"

namespace corvalis {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFormatLine = "corvalis-journal 1";
constexpr const char* kSuffix = ".journal";

// The values a record carries, by the names the journal gives them.
struct TValueField {
  const char* Name;
  std::string TWindowSettings::*Field;
};
constexpr TValueField kValueFields[] = {
    {"TestType", &TWindowSettings::TestType},
    {"CallDirection", &TWindowSettings::CallDirection},
    {"Signal", &TWindowSettings::Signal},
    {"UserName", &TWindowSettings::UserName},
    {"Location", &TWindowSettings::Location},
    {"NetworkInfo", &TWindowSettings::NetworkInfo},
    {"LogDirectory", &TWindowSettings::LogDirectory},
    {"ScriptFileName", &TWindowSettings::ScriptFileName},
    {"DeviceType", &TWindowSettings::DeviceType},
    {"Port", &TWindowSettings::Port},
    {"DialNumber", &TWindowSettings::DialNumber},
    {"CableID", &TWindowSettings::CableID},
    {"PhoneModel", &TWindowSettings::PhoneModel},
    {"PhoneTech", &TWindowSettings::PhoneTech},
    {"ComputerID", &TWindowSettings::ComputerID},
    {"CustomSignal", &TWindowSettings::CustomSignal},
};

int WriteAll(int fd, const char* p, std::size_t n, std::size_t& done) {
  done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(w);
  }
  return 0;
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::optional<std::int64_t> Number(std::string_view text) {
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::string Folder(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the file holds, at Offset, the start of a record that began at Started ("Started at ..."):
// a save that went through before the program could remove its journal.
bool RecordAt(const std::string& path, std::uint64_t offset, const std::string& started) {
  const std::string expected = std::string(64, '=') + "\r\n" + started + "\r\n";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string got(expected.size(), '\0');
  ssize_t n;
  do n = ::pread(fd, got.data(), got.size(), static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == static_cast<ssize_t>(expected.size()) && got == expected;
}

std::uint64_t SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace

std::string JournalFolder() {
  if (const char* dir = std::getenv("CORVALIS_STATE_DIR"); dir && *dir) return std::string(dir) + "/journal";
  std::string state;
  // A relative XDG_STATE_HOME is ignored, as the base directory convention asks.
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/')
    state = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    state = std::string(home) + "/.local/state";
  else
    state = "/tmp";
  return state + "/corvalis/journal";
}

std::string JournalEscape(std::string_view bytes) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  }
  return out;
}

std::string JournalUnescape(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && digit(text[i + 2]) >= 0 &&
               digit(text[i + 3]) >= 0) {
      out += static_cast<char>(digit(text[i + 2]) * 16 + digit(text[i + 3]));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::int64_t JournalTime(TDateTime moment) {
  return std::chrono::duration_cast<std::chrono::microseconds>(moment.time_since_epoch()).count();
}

TDateTime FromJournalTime(std::int64_t micros) {
  return TDateTime(std::chrono::duration_cast<TDateTime::duration>(std::chrono::microseconds(micros)));
}

// ---- writing -----------------------------------------------------------------------------------

TCallJournal::~TCallJournal() {
  Close();
}

int TCallJournal::Create(const std::string& folder, TDateTime start) {
  Close();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return ec.value();
  // Named after the call's start and this process; made under a hidden name and locked before it
  // gets its own, so that no instance starting up meanwhile takes it for one left behind.
  std::time_t t = std::chrono::system_clock::to_time_t(start);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  // Numbered within the process, so that no call's journal takes the name of one just removed.
  static std::atomic<unsigned> made{0};
  const std::string base =
      std::string(stamp) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
  for (int n = 0; n < 100; ++n) {
    const std::string name = base + (n ? "." + std::to_string(n) : std::string()) + kSuffix;
    const std::string path = folder + "/" + name;
    const std::string hidden = folder + "/." + name + ".tmp";
    if (::access(path.c_str(), F_OK) == 0) continue;
    int fd = ::open(hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(hidden.c_str());
      return err;
    }
    const std::string head = std::string(kFormatLine) + "\npid " + std::to_string(::getpid()) + "\nstarted " +
                             std::to_string(JournalTime(start)) + "\n";
    std::size_t done = 0;
    int err = WriteAll(fd, head.data(), head.size(), done);
    if (err == 0 && ::fdatasync(fd) != 0) err = errno;
    if (err == 0 && ::link(hidden.c_str(), path.c_str()) != 0) err = errno;
    ::unlink(hidden.c_str());
    if (err == EEXIST) {
      ::close(fd);
      continue;
    }
    if (err != 0) {
      ::close(fd);
      return err;
    }
    SyncFolder(folder);
    fd_ = fd;
    path_ = path;
    pending_.clear();
    capture_.clear();
    conversation_.clear();
    values_ = {};
    valuesWritten_ = false;
    torn_ = false;
    unsynced_ = false;
    turbo_ = false;
    collisions_ = 0;
    return 0;
  }
  return EEXIST;
}

void TCallJournal::Line(std::string_view keyword, const std::string& value) {
  pending_.append(keyword);
  pending_ += ' ';
  pending_ += value;
  pending_ += '\n';
}

void TCallJournal::AddLine(std::string_view keyword, std::string_view value) {
  Line(keyword, JournalEscape(value));
}

void TCallJournal::SetCapture(const std::string& path) {
  if (path == capture_) return;
  capture_ = path;
  Line("capture", JournalEscape(path));
}

void TCallJournal::SetValue(const char* name, const std::string& value) {
  Line("value", std::string(name) + " " + JournalEscape(value));
}

void TCallJournal::SetValues(const TWindowSettings& settings) {
  for (const TValueField& f : kValueFields)
    if (!valuesWritten_ || settings.*f.Field != values_.*f.Field) SetValue(f.Name, settings.*f.Field);
  values_ = settings;
  valuesWritten_ = true;
}

void TCallJournal::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  conversation_.append(bytes);
  // Appends one after another make one line until it is written.
  const std::string escaped = JournalEscape(bytes);
  if (pending_.size() >= 6 && pending_.ends_with('\n')) {
    std::size_t lineStart = pending_.rfind('\n', pending_.size() - 2);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    if (pending_.compare(lineStart, 5, "text ") == 0) {
      pending_.insert(pending_.size() - 1, escaped);
      return;
    }
  }
  Line("text", escaped);
}

void TCallJournal::SetConversation(const std::string& text) {
  if (text == conversation_) return;
  const auto diverge = std::mismatch(text.begin(), text.end(), conversation_.begin(), conversation_.end());
  const std::size_t common = static_cast<std::size_t>(diverge.first - text.begin());
  if (common < conversation_.size()) {
    conversation_.resize(common);
    Line("cut", std::to_string(common));
  }
  Append(std::string_view(text).substr(common));
}

void TCallJournal::SetTurbo(bool turbo) {
  if (turbo == turbo_) return;
  turbo_ = turbo;
  Line("turbo", turbo ? "1" : "0");
}

void TCallJournal::SetCollisions(std::int64_t count) {
  if (count == collisions_) return;
  collisions_ = count;
  Line("collisions", std::to_string(count));
}

void TCallJournal::At(TDateTime now) {
  Line("at", std::to_string(JournalTime(now)));
}

void TCallJournal::Ended(TDateTime now) {
  Line("ended", std::to_string(JournalTime(now)));
}

void TCallJournal::Saving(const std::string& path, std::uint64_t sizeBefore) {
  Line("saving", JournalEscape(path) + " " + std::to_string(sizeBefore));
}

int TCallJournal::Flush(bool sync) {
  if (fd_ < 0) return EBADF;
  if (!pending_.empty()) {
    // After a write that stopped inside a line, a raw control byte marks that line as torn (readers
    // skip it) before the lines are written again whole.
    if (torn_) pending_.insert(0, "\x01\n");
    std::size_t done = 0;
    const int err = WriteAll(fd_, pending_.data(), pending_.size(), done);
    if (err != 0) {
      const std::size_t lineStart = done > 0 ? pending_.rfind('\n', done - 1) : std::string::npos;
      const std::size_t complete = lineStart == std::string::npos ? 0 : lineStart + 1;
      torn_ = done > complete || (torn_ && done == 0);
      pending_.erase(0, complete);
      if (torn_ && pending_.starts_with("\x01\n")) pending_.erase(0, 2);
      return err;
    }
    torn_ = false;
    pending_.clear();
    unsynced_ = true;
  }
  // Only what was written since the last sync goes to the disk: a finished call waiting hours to be
  // saved does not sync every second.
  if (sync && unsynced_) {
    if (::fdatasync(fd_) != 0) return errno;
    unsynced_ = false;
  }
  return 0;
}

int TCallJournal::Remove() {
  if (fd_ < 0) return 0;
  const int err = ::unlink(path_.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  ::close(fd_);
  fd_ = -1;
  pending_.clear();
  if (err == 0) SyncFolder(Folder(path_));
  return err;
}

void TCallJournal::Close() {
  if (fd_ < 0) return;
  Flush(true);
  ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

// ---- reading -----------------------------------------------------------------------------------

TJournalContents ParseJournal(std::string_view text) {
  TJournalContents j;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) break;  // torn: the write never finished
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    // Writers escape every control byte: a line holding one was torn by a failed write.
    if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
      continue;
    if (key == "started") {
      if (auto v = Number(rest)) {
        j.Start = FromJournalTime(*v);
        j.HasCall = true;
      }
    } else if (key == "pid") {
      if (auto v = Number(rest)) j.Pid = static_cast<long>(*v);
    } else if (key == "capture") {
      j.Capture = JournalUnescape(rest);
    } else if (key == "value") {
      const std::size_t sep = rest.find(' ');
      const std::string_view name = rest.substr(0, sep);
      const std::string value =
          JournalUnescape(sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1));
      for (const TValueField& f : kValueFields)
        if (name == f.Name) j.Values.*f.Field = value;
    } else if (key == "text") {
      j.Conversation += JournalUnescape(rest);
    } else if (key == "cut") {
      if (auto v = Number(rest); v && *v >= 0 && static_cast<std::uint64_t>(*v) < j.Conversation.size())
        j.Conversation.resize(static_cast<std::size_t>(*v));
    } else if (key == "turbo") {
      j.Turbo = rest == "1";
    } else if (key == "collisions") {
      if (auto v = Number(rest)) j.Collisions = *v;
    } else if (key == "chars") {
      ParseJournalChars(rest, j.Times);
    } else if (key == "at") {
      if (auto v = Number(rest)) j.LastWrite = FromJournalTime(*v);
    } else if (key == "ended") {
      if (auto v = Number(rest)) j.End = FromJournalTime(*v);
    } else if (key == "saving") {
      const std::size_t sep = rest.rfind(' ');
      if (sep != std::string_view::npos)
        if (auto v = Number(rest.substr(sep + 1)); v && *v >= 0)
          j.Saving = std::make_pair(JournalUnescape(rest.substr(0, sep)), static_cast<std::uint64_t>(*v));
    }
  }
  return j;
}

std::vector<std::string> RecoveredRecord(const TJournalContents& j) {
  TCallRecordInput record;
  record.settings = &j.Values;
  record.conversation = TrimConversationEnd(j.Conversation);
  record.startTime = j.Start;
  record.endTime = j.End ? *j.End : j.LastWrite ? std::max(*j.LastWrite, j.Start) : j.Start;
  record.turboDetected = j.Turbo;
  record.scriptCompleted = false;
  return BuildCallRecord(record);
}

namespace {

// Appends the record to Path, saying so in the journal first: should the program end between the
// two, the next start finds the record there and does not write it again.
void SaveRecovered(int fd, const std::string& journal, const std::string& path, const std::string& record) {
  if (path.find('\0') != std::string::npos)
    throw TCaptureFileError("Invalid filename (" + path + ")", path, EINVAL);
  const std::string line = "saving " + JournalEscape(path) + " " + std::to_string(SizeOf(path)) + "\n";
  std::size_t done = 0;
  if (int err = WriteAll(fd, line.data(), line.size(), done); err != 0 || ::fdatasync(fd) != 0)
    throw TFileError(FileErrorText(err ? err : errno) + " (" + journal + ")", journal, err ? err : errno);
  AppendLineToFile(path, record);
}

TRecovery RecoverOne(const std::string& path, const std::string& fallbackFolder) {
  TRecovery r;
  r.Journal = path;
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    r.Error = std::strerror(errno);
    return r;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    r.Result = TRecovery::Outcome::InUse;
    return r;
  }
  // Another instance may have recovered it while this one waited for the lock: the name has gone,
  // or leads to another file.
  struct stat held {
  }, named{};
  if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
      held.st_dev != named.st_dev) {
    r.Result = TRecovery::Outcome::InUse;
    return r;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.Error = std::strerror(errno);
      return r;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  r.Contents = ParseJournal(text);
  const TJournalContents& j = r.Contents;
  r.Capture = j.Capture;
  if (!j.HasCall) {
    ::unlink(path.c_str());
    r.Result = TRecovery::Outcome::Empty;
    return r;
  }
  const std::string started = "Started at " + FormatCaptureDateTime(j.Start);
  // The times follow their record; a journal without any (an older program's) recovers as before.
  auto saveTimes = [&r, &j] {
    if (!j.Times.empty()) r.TimingError = SaveRecordTimes(r.Capture, RecordTimesOf(j.Start, j.Times), true);
  };
  if (j.Saving && RecordAt(j.Saving->first, j.Saving->second, started)) {
    r.Capture = j.Saving->first;
    saveTimes();
    ::unlink(path.c_str());
    SyncFolder(Folder(path));
    r.Result = TRecovery::Outcome::AlreadySaved;
    return r;
  }
  const std::string record = JoinLines(RecoveredRecord(j));
  std::vector<std::string> targets;
  // The computer ID is part of the name: it must not lead the record into another folder.
  if (!j.Capture.empty() && j.Values.ComputerID.find('/') == std::string::npos) targets.push_back(j.Capture);
  if (!fallbackFolder.empty() && !j.Capture.empty() && j.Values.ComputerID.find('/') == std::string::npos) {
    std::string dir = fallbackFolder;
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const std::string other = (dir == "/" ? "" : dir) + "/" + BaseName(j.Capture);
    if (other != j.Capture) targets.push_back(other);
  }
  if (targets.empty()) {
    r.Error = "Invalid filename (" + j.Capture + ")";
    return r;
  }
  for (const std::string& target : targets) {
    try {
      SaveRecovered(fd, path, target, record);
      r.Capture = target;
      r.Error.clear();
      saveTimes();
      ::unlink(path.c_str());
      SyncFolder(Folder(path));
      r.Result = TRecovery::Outcome::Recovered;
      return r;
    } catch (const TFileError& e) {
      if (r.Error.empty())
        r.Error = std::string(e.what()) +
                  (e.SystemError() ? std::string(": ") + std::strerror(e.SystemError()) : "");
    }
  }
  return r;
}

}  // namespace

std::vector<TRecovery> RecoverJournals(const std::string& folder, const std::string& fallbackFolder) {
  std::vector<TRecovery> results;
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return results;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() > std::strlen(kSuffix) && name.ends_with(kSuffix) && name[0] != '.')
      names.push_back(name);
    // A journal being made that nobody holds: its maker ended before it had a name. Nothing of
    // a call is in it yet.
    if (name[0] == '.' && name.ends_with(std::string(kSuffix) + ".tmp")) {
      const std::string hidden = folder + "/" + name;
      int fd = ::open(hidden.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(hidden.c_str());
      if (fd >= 0) ::close(fd);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) results.push_back(RecoverOne(folder + "/" + name, fallbackFolder));
  return results;
}

}  // namespace corvalis
