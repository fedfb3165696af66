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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

#include "common/conversation_text.h"
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

std::atomic<TJournalDataSync> dataSync{nullptr};

int DataSync(int fd) {
  const TJournalDataSync sync = dataSync.load();
  if (sync) return sync(fd) == 0 ? 0 : errno;
  return ::fdatasync(fd) == 0 ? 0 : errno;
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

TCallJournal::TCallJournal() = default;

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
    // The head and the new name reach the storage with the journal's first sync (Flush): a call's
    // start does not wait for slow storage. A head lost to a power cut leaves a journal that holds
    // no call, which the next start removes.
    int err = WriteAll(fd, head.data(), head.size(), done);
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
    fd_ = fd;
    path_ = path;
    pending_.clear();
    capture_.clear();
    conversation_.clear();
    values_ = {};
    valuesWritten_ = false;
    torn_ = false;
    unsynced_ = true;
    folderUnsynced_ = true;
    turbo_ = false;
    scriptCompleted_ = false;
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

void TCallJournal::SetScriptCompleted(bool completed) {
  if (completed == scriptCompleted_) return;
  scriptCompleted_ = completed;
  Line("script", completed ? "1" : "0");
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

// Syncs the journal's file on a thread of its own whenever asked; requests made while a sync runs
// are served by one more sync after it.
class TCallJournal::TSyncThread {
 public:
  // Syncs the file Fd; the first sync also syncs Folder, which holds the file's name.
  TSyncThread(int fd, std::string folder) : fd_(fd), folder_(std::move(folder)), thread_([this] { Run(); }) {}
  // Waits for a sync under way, then ends the thread.
  ~TSyncThread() {
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Request() {
    {
      std::lock_guard lock(m_);
      requested_ = true;
    }
    cv_.notify_all();
  }
  // Until every sync asked for has been made.
  void Wait() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [this] { return !requested_ && !busy_; });
  }
  // The errno of the last sync that failed since the last call, once; 0 when none did.
  int TakeError() {
    std::lock_guard lock(m_);
    return std::exchange(error_, 0);
  }

 private:
  void Run() {
    std::unique_lock lock(m_);
    for (;;) {
      cv_.wait(lock, [this] { return requested_ || stop_; });
      if (!requested_) return;
      requested_ = false;
      busy_ = true;
      lock.unlock();
      const int err = DataSync(fd_);
      if (err == 0 && !folder_.empty()) SyncFolder(std::exchange(folder_, std::string()));
      lock.lock();
      busy_ = false;
      if (err != 0) error_ = err;
      cv_.notify_all();
    }
  }

  const int fd_;
  std::string folder_;  // the sync thread's own once it runs
  std::mutex m_;
  std::condition_variable cv_;
  bool requested_ = false;
  bool busy_ = false;
  bool stop_ = false;
  int error_ = 0;
  std::thread thread_;  // last: it starts when everything above is made
};

void SetJournalDataSync(TJournalDataSync sync) {
  dataSync.store(sync);
}

int TCallJournal::Flush(TJournalSync sync) {
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
  // A sync on the journal's thread that failed leaves its lines to be synced again.
  if (syncer_) {
    if (sync == TJournalSync::Now) syncer_->Wait();
    if (const int err = syncer_->TakeError(); err != 0) {
      unsynced_ = true;
      if (sync != TJournalSync::Now) return err;
    }
  }
  // Only what was written since the last sync goes to the disk: a finished call waiting hours to be
  // saved does not sync every second.
  if (sync == TJournalSync::None || !unsynced_) return 0;
  if (sync == TJournalSync::Later) {
    if (!syncer_) {
      syncer_ = std::make_unique<TSyncThread>(fd_, folderUnsynced_ ? Folder(path_) : std::string());
      folderUnsynced_ = false;
    }
    syncer_->Request();
    unsynced_ = false;
    return 0;
  }
  if (const int err = DataSync(fd_); err != 0) return err;
  if (std::exchange(folderUnsynced_, false)) SyncFolder(Folder(path_));
  unsynced_ = false;
  return 0;
}

void TCallJournal::StopSyncThread() {
  syncer_.reset();
}

int TCallJournal::Remove() {
  if (fd_ < 0) return 0;
  StopSyncThread();
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
  StopSyncThread();
  ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

// ---- reading -----------------------------------------------------------------------------------

TJournalContents ParseJournal(std::string_view text) {
  TJournalContents j;
  std::size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) break;  // torn: the write never finished
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const bool firstLine = std::exchange(first, false);
    // Writers escape every control byte: a line ending in 01 is one a failed write tore and marked;
    // a control byte anywhere else is damage.
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20; };
    if (line.ends_with('\x01') && std::none_of(line.begin(), line.end() - 1, control)) continue;
    if (std::any_of(line.begin(), line.end(), control)) {
      j.Damaged = true;
      continue;
    }
    if (firstLine) {
      if (line != kFormatLine) j.Damaged = true;
      if (line.starts_with("corvalis-journal ")) continue;
    }
    const std::size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    bool used = true;
    if (key == "started") {
      if (auto v = Number(rest)) {
        j.Start = FromJournalTime(*v);
        j.HasCall = true;
      } else {
        used = false;
      }
    } else if (key == "pid") {
      if (auto v = Number(rest))
        j.Pid = static_cast<long>(*v);
      else
        used = false;
    } else if (key == "capture") {
      j.Capture = JournalUnescape(rest);
    } else if (key == "value") {
      const std::size_t sep = rest.find(' ');
      const std::string_view name = rest.substr(0, sep);
      const std::string value =
          JournalUnescape(sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1));
      used = false;
      for (const TValueField& f : kValueFields)
        if (name == f.Name) {
          j.Values.*f.Field = value;
          used = true;
        }
    } else if (key == "text") {
      j.Conversation += JournalUnescape(rest);
    } else if (key == "cut") {
      if (auto v = Number(rest); v && *v >= 0) {
        if (static_cast<std::uint64_t>(*v) < j.Conversation.size())
          j.Conversation.resize(static_cast<std::size_t>(*v));
      } else {
        used = false;
      }
    } else if (key == "turbo") {
      j.Turbo = rest == "1";
      used = rest == "0" || rest == "1";
    } else if (key == "script") {
      j.ScriptCompleted = rest == "1";
      used = rest == "0" || rest == "1";
    } else if (key == "collisions") {
      if (auto v = Number(rest))
        j.Collisions = *v;
      else
        used = false;
    } else if (key == "chars") {
      ParseJournalChars(rest, j.Times);
    } else if (key == "at") {
      if (auto v = Number(rest))
        j.LastWrite = FromJournalTime(*v);
      else
        used = false;
    } else if (key == "ended") {
      if (auto v = Number(rest))
        j.End = FromJournalTime(*v);
      else
        used = false;
    } else if (key == "saving") {
      const std::size_t sep = rest.rfind(' ');
      used = false;
      if (sep != std::string_view::npos)
        if (auto v = Number(rest.substr(sep + 1)); v && *v >= 0) {
          j.Saving = std::make_pair(JournalUnescape(rest.substr(0, sep)), static_cast<std::uint64_t>(*v));
          used = true;
        }
    } else {
      used = false;
    }
    if (!used) j.Damaged = true;
  }
  if (first) j.Damaged = !text.empty();  // not one whole line
  return j;
}

std::vector<std::string> RecoveredRecord(const TJournalContents& j) {
  TCallRecordInput record;
  record.settings = &j.Values;
  record.conversation = TrimConversationEnd(j.Conversation);
  record.startTime = j.Start;
  record.endTime = j.End ? *j.End : j.LastWrite ? std::max(*j.LastWrite, j.Start) : j.Start;
  record.turboDetected = j.Turbo;
  record.scriptCompleted = j.ScriptCompleted;
  return BuildCallRecord(record);
}

namespace {

// The start of a call from its journal's name ("20011018-140507-4242-1.journal", UTC), for a journal
// whose "started" line did not survive.
std::optional<TDateTime> StartFromName(const std::string& name) {
  if (name.size() < 15 || name[8] != '-') return std::nullopt;
  int v[14];
  for (int i = 0, at = 0; i < 14; ++i, ++at) {
    if (at == 8) ++at;
    if (name[at] < '0' || name[at] > '9') return std::nullopt;
    v[i] = name[at] - '0';
  }
  auto two = [&v](int i) { return v[i] * 10 + v[i + 1]; };
  std::tm utc{};
  utc.tm_year = v[0] * 1000 + v[1] * 100 + two(2) - 1900;
  utc.tm_mon = two(4) - 1;
  utc.tm_mday = two(6);
  utc.tm_hour = two(8);
  utc.tm_min = two(10);
  utc.tm_sec = two(12);
  if (utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 || utc.tm_min > 59 ||
      utc.tm_sec > 60)
    return std::nullopt;
  return std::chrono::system_clock::from_time_t(::timegm(&utc));
}

// A path with its symbolic links followed and "." and ".." gone, as far as it exists; empty when it
// cannot be resolved.
std::string Resolved(const std::string& path) {
  std::error_code ec;
  fs::path r = fs::weakly_canonical(path, ec);
  if (ec) return {};
  std::string s = r.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// "1018-1405-LAB1.TXT": the name a capture file has.
bool CaptureName(const std::string& name) {
  auto digits = [&name](std::size_t at) {
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(at),
                       name.begin() + static_cast<std::ptrdiff_t>(at + 4),
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  return name.size() > 14 && digits(0) && name[4] == '-' && digits(5) && name[9] == '-' &&
         name.ends_with(".TXT") && name.find('/') == std::string::npos;
}

// The files a journal's record may go to, resolved: its own capture file when that is in the capture
// folder, else the file of the same name in the capture folder. Empty, with Why said, when there is
// none.
std::vector<std::string> Targets(const std::string& capture, const std::string& captureFolder,
                                 std::string& why) {
  std::vector<std::string> targets;
  if (capture.empty()) {
    why = "it names no capture file";
    return targets;
  }
  if (capture.front() != '/' || capture.find('\0') != std::string::npos) {
    why = "its capture file " + capture + " is not a full path";
    return targets;
  }
  const std::string folder =
      captureFolder.empty() || captureFolder.front() != '/' ? std::string() : Resolved(captureFolder);
  if (folder.empty()) {
    why = "no capture folder is set";
    return targets;
  }
  const std::string own = Resolved(capture);
  const std::string prefix = folder == "/" ? folder : folder + "/";
  // A capture file is right in its folder, under a capture file's name.
  const bool inside = own.size() > prefix.size() && own.starts_with(prefix) &&
                      own.find('/', prefix.size()) == std::string::npos && CaptureName(BaseName(own));
  if (inside) targets.push_back(own);
  const std::string name = BaseName(capture);
  if (CaptureName(name)) {
    const std::string same = prefix + name;
    if (same != own) targets.push_back(same);
  }
  if (targets.empty()) why = "its capture file " + capture + " is not in the capture folder " + captureFolder;
  return targets;
}

// What is there, when it is there, is a regular file (not a FIFO, a device, a folder, or a link to
// nowhere): a record can be appended to it without waiting for anybody.
bool RegularOrAbsent(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

// What a capture file holds at Offset of the record a journal becomes (Record, its line end
// included): nothing of it, all of it (its start, its conversation and as many lines after as the
// record has, the last being its own), or its beginning only (a save cut short). Last: nothing
// follows the record.
enum class TSaved { None, Whole, Torn };
TSaved SavedAt(const std::string& path, std::uint64_t offset, const std::vector<std::string>& lines,
               const std::string& record, bool& last) {
  last = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return TSaved::None;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) <= offset) {
    ::close(fd);
    return TSaved::None;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, record.size() * 2 + 65536));
  std::string tail(want, '\0');
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::pread(fd, tail.data() + got, want - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  tail.resize(got);
  // Its "Started at" line is compared by its place only: written under another time zone or locale,
  // it reads otherwise, and the record is the same.
  const std::string header = lines[0] + "\r\nStarted at ";
  const std::string rule = "\r\n" + lines[0] + "\r\n";
  last = offset + got == size && tail.find(rule, std::min(header.size(), tail.size())) == std::string::npos;
  if (tail.size() < header.size())
    return !tail.empty() && header.starts_with(tail) ? TSaved::Torn : TSaved::None;
  if (!tail.starts_with(header)) return TSaved::None;
  const std::size_t startedEnd = tail.find("\r\n", header.size());
  if (startedEnd == std::string::npos) return TSaved::Torn;
  // The conversation and "Ended at ", then the lines after it up to the record's last.
  const std::size_t recordStartedEnd = lines[0].size() + 2 + lines[1].size();
  const std::size_t head = 4 + lines[3].size() + 4 + std::strlen("Ended at ");
  std::size_t ends = 0;
  for (std::size_t at = record.find("\r\n", recordStartedEnd + head); at != std::string::npos;
       at = record.find("\r\n", at + 2))
    ++ends;
  if (tail.compare(startedEnd, head, record, recordStartedEnd, head) != 0) return TSaved::Torn;
  std::size_t end = startedEnd + head;
  for (std::size_t n = 0; n < ends; ++n) {
    const std::size_t at = tail.find("\r\n", end);
    if (at == std::string::npos) return TSaved::Torn;
    end = at + 2;
  }
  const std::string lastLines = "\r\n" + lines[lines.size() - 2] + "\r\n\r\n";
  return std::string_view(tail).substr(0, end).ends_with(lastLines) ? TSaved::Whole : TSaved::Torn;
}

// Appends the record to Path (cut back to CutTo bytes first, when not negative), saying so in the
// journal first: should the program end between the two, the next start finds the record there and
// does not write it again.
void SaveRecovered(int fd, const std::string& journal, const std::string& path, const std::string& record,
                   std::int64_t cutTo) {
  const std::uint64_t before = cutTo >= 0 ? static_cast<std::uint64_t>(cutTo) : SizeOf(path);
  const std::string line = "saving " + JournalEscape(path) + " " + std::to_string(before) + "\n";
  std::size_t done = 0;
  int err = WriteAll(fd, line.data(), line.size(), done);
  if (err == 0) err = DataSync(fd);
  if (err != 0) throw TFileError(FileErrorText(err) + " (" + journal + ")", journal, err);
  AppendLineToRegularFile(path, record, cutTo);
}

// Moves the journal aside under its name and Suffix, kept for the lab to look at; when it cannot be
// moved, it stays for the next start.
void SetAside(TRecovery& r, const char* suffix, const std::string& why) {
  const std::string to = r.Journal + suffix;
  r.Error = why;
  if (::rename(r.Journal.c_str(), to.c_str()) == 0) {
    SyncFolder(Folder(r.Journal));
    r.SetAside = to;
    if (r.Result == TRecovery::Outcome::Failed) r.Result = TRecovery::Outcome::SetAside;
  } else {
    // One whose record was made says so in its "saving" line: the next start does not make it again.
    r.Error = why + "; it cannot be set aside: " + std::string(std::strerror(errno));
  }
}

// Opens a journal to recover it without waiting on it; one of ours that was made read-only is made
// writable again. -1 with errno set when it cannot be.
int OpenJournal(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 || (errno != EACCES && errno != EPERM)) return fd;
  const int denied = errno;
  int ro = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (ro >= 0 && ::fstat(ro, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
      ::fchmod(ro, 0600) == 0) {
    ::close(ro);
    return ::open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  }
  if (ro >= 0) ::close(ro);
  errno = denied;
  return -1;
}

// Opens, locks and checks the journal at path for its recovery: the descriptor, or -1 with r saying
// why it is not recovered now (gone, in use, another user's, not a regular file).
int TakeJournal(const std::string& path, TRecovery& r, struct stat& held) {
  int fd = OpenJournal(path);
  if (fd < 0) {
    const int err = errno;
    // Another instance recovered it since the folder was read.
    if (err == ENOENT) {
      r.Result = TRecovery::Outcome::Gone;
    } else if (err == EACCES || err == EPERM) {
      // Another user's: it cannot be recovered, nor taken for this user's, whatever happens.
      int ro = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      const bool locked = ro >= 0 && ::flock(ro, LOCK_EX | LOCK_NB) != 0;
      if (ro >= 0) ::close(ro);
      if (locked)
        r.Result = TRecovery::Outcome::InUse;
      else
        SetAside(r, ".refused", "it cannot be written (" + std::string(std::strerror(err)) + ")");
    } else {
      r.Error = std::strerror(err);
    }
    return -1;
  }
  struct stat named {};
  if (::fstat(fd, &held) == 0 && !S_ISREG(held.st_mode)) {
    SetAside(r, ".damaged", "it is not a regular file");
    ::close(fd);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    r.Result = TRecovery::Outcome::InUse;
    ::close(fd);
    return -1;
  }
  // Another instance may have recovered it while this one waited for the lock: the name has gone,
  // or leads to another file.
  if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
      held.st_dev != named.st_dev) {
    r.Result = TRecovery::Outcome::Gone;
    ::close(fd);
    return -1;
  }
  return fd;
}

// The whole journal, read from its start; false with r.Error when a read failed.
bool ReadJournal(int fd, std::string& text, TRecovery& r) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.Error = std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// Writes the record of the journal read into r: where the journal's capture path and the capture
// folder allow, completing a save that was cut short, or finding it whole already; the journal
// goes (or is set aside when damaged) once its record is there.
void WriteRecovered(TRecovery& r, int fd, const std::string& path, const std::string& captureFolder) {
  TJournalContents& j = r.Contents;
  std::string why;
  std::vector<std::string> targets = Targets(j.Capture, captureFolder, why);
  if (targets.empty()) {
    if (captureFolder.empty() || captureFolder.front() != '/' || Resolved(captureFolder).empty())
      r.Error = why;  // the lab's setting, not the journal: it stays for a start that has one
    else
      SetAside(r, ".refused", why);
    return;
  }
  for (const std::string& target : targets)
    if (!RegularOrAbsent(target)) {
      SetAside(r, ".refused", target + " is not a regular file");
      return;
    }
  // The journal's damaged lines are kept aside once its record is made; an intact one goes.
  auto done = [&r, &j, &path](const std::string& capture, TRecovery::Outcome outcome) {
    r.Capture = capture;
    r.Error.clear();
    if (!j.Times.empty()) r.TimingError = SaveRecordTimes(capture, RecordTimesOf(j.Start, j.Times), true);
    r.Result = outcome;
    if (j.Damaged) {
      SetAside(r, ".damaged", "it is damaged");
      return;
    }
    ::unlink(path.c_str());
    SyncFolder(Folder(path));
  };
  const std::vector<std::string> lines = RecoveredRecord(j);
  const std::string record = JoinLines(lines);
  std::int64_t cutTo = -1;
  if (j.Saving) {
    const std::string saving = Resolved(j.Saving->first);
    if (std::find(targets.begin(), targets.end(), saving) != targets.end()) {
      bool last = false;
      switch (SavedAt(saving, j.Saving->second, lines, record + "\r\n", last)) {
        case TSaved::Whole:
          done(saving, TRecovery::Outcome::AlreadySaved);
          return;
        case TSaved::Torn:
          // Its record is completed where it was cut short; one followed by others is written again
          // after them.
          targets.erase(std::find(targets.begin(), targets.end(), saving));
          targets.insert(targets.begin(), saving);
          if (last) cutTo = static_cast<std::int64_t>(j.Saving->second);
          break;
        case TSaved::None:
          break;
      }
    }
  }
  for (const std::string& target : targets) {
    try {
      SaveRecovered(fd, path, target, record, target == targets.front() ? cutTo : -1);
      done(target, TRecovery::Outcome::Recovered);
      return;
    } catch (const TFileError& e) {
      if (r.Error.empty())
        r.Error = std::string(e.what()) +
                  (e.SystemError() ? std::string(": ") + std::strerror(e.SystemError()) : "");
    }
  }
}

TRecovery RecoverOne(const std::string& path, const std::string& captureFolder) {
  TRecovery r;
  r.Journal = path;
  struct stat held {};
  const int fd = TakeJournal(path, r, held);
  if (fd < 0) return r;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  std::string text;
  if (!ReadJournal(fd, text, r)) return r;
  r.Read = true;
  r.Contents = ParseJournal(text);
  TJournalContents& j = r.Contents;
  r.Capture = j.Capture;
  // Nothing said and nowhere to go (the program ended as the call began): no call to keep.
  if (j.Conversation.empty() && j.Capture.empty() && j.Times.empty()) {
    if (j.Damaged) {
      SetAside(r, ".damaged", "it is damaged and holds no call that can be read");
      return r;
    }
    ::unlink(path.c_str());
    SyncFolder(Folder(path));
    r.Result = TRecovery::Outcome::Empty;
    return r;
  }
  // A damaged head: the call started when the journal's name says, else at its first word.
  if (!j.HasCall) {
    if (auto start = StartFromName(BaseName(path)))
      j.Start = *start;
    else if (j.LastWrite || j.End)
      j.Start = j.End && (!j.LastWrite || *j.End < *j.LastWrite) ? *j.End : *j.LastWrite;
    else
      j.Start =
          TDateTime(std::chrono::duration_cast<TDateTime::duration>(std::chrono::seconds(held.st_mtime)));
  }
  WriteRecovered(r, fd, path, captureFolder);
  return r;
}

}  // namespace

std::vector<TRecovery> RecoverJournals(const std::string& folder, const std::string& captureFolder) {
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
      int fd = ::open(hidden.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(hidden.c_str());
      if (fd >= 0) ::close(fd);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) results.push_back(RecoverOne(folder + "/" + name, captureFolder));
  return results;
}

}  // namespace corvalis
