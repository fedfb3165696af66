// SPDX-License-Identifier: Apache-2.0
#include "record.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "capture/capture.h"
#include "capture/dates.h"

namespace ttysim {
namespace {

constexpr char kCrMark = static_cast<char>(177);  // the view's mark for a CR
constexpr char kLfMark = static_cast<char>(178);  // and for a LF
constexpr char kBsMark = static_cast<char>(183);  // and for a backspace

std::tm localMoment(long long epochSeconds) {
  const std::time_t t = static_cast<std::time_t>(epochSeconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

long long floorDiv(long long a, long long b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

std::string appendTo(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return "cannot write " + path + ": " + std::strerror(errno);
  std::string_view rest = bytes;
  std::string why;
  while (!rest.empty() && why.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) why = "cannot write " + path + ": " + std::strerror(errno);
    if (n > 0) rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (why.empty() && fsync(fd) != 0) why = "cannot write " + path + ": " + std::strerror(errno);
  if (::close(fd) != 0 && why.empty()) why = "cannot write " + path + ": " + std::strerror(errno);
  return why;
}

}  // namespace

bool isRecordValueKey(const std::string& key) {
  for (const char* k : {"TYPE", "SIGNAL", "CABLEID", "PHONEMODEL", "PHONETECH", "USERNAME", "LOCATION",
                        "NETWORKINFO", "DEVICE", "PORT", "DIAL#", "SCRIPTUSED"})
    if (key == k) return true;
  return false;
}

std::string recordDate(long long epochSeconds) {
  const std::tm tm = localMoment(epochSeconds);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100);
  std::string date = text;
  if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) return date;
  std::snprintf(text, sizeof text, " %02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return date + text;
}

std::string filePrefix(long long epochSeconds) { return capture::filePrefix(localMoment(epochSeconds)); }

FarEndRecord::FarEndRecord(RecordConfig config, long long wallMsAtZero)
    : config_(std::move(config)), wallMsAtZero_(wallMsAtZero) {}

long long FarEndRecord::wallMs(Seconds at) const {
  return wallMsAtZero_ + std::llround((at + config_.clockShift) * 1000.0);
}

void FarEndRecord::callUp(Seconds at, bool turbo) {
  up_ = at;
  turbo_ = turbo;
  chars_.clear();
}

void FarEndRecord::add(bool sent, char c, Seconds at) {
  if (up_) chars_.push_back({at, sent, c});
}

std::string FarEndRecord::value(const std::string& key, const std::string& otherwise) const {
  for (auto it = config_.values.rbegin(); it != config_.values.rend(); ++it)
    if (it->first == key) return it->second;
  return otherwise;
}

// The conversation as the far end's view shows it: a paragraph for each run of one side's
// characters, marked SEND or RECD, line breaks and backspaces as their marks, and other control
// codes not shown.
std::string FarEndRecord::conversation() const {
  std::vector<LineChar> chars = chars_;
  std::stable_sort(chars.begin(), chars.end(),
                   [](const LineChar& a, const LineChar& b) { return a.at < b.at; });
  std::string text;
  std::optional<bool> speaker;  // the side of the open paragraph
  for (const LineChar& lc : chars) {
    char shown = lc.c;
    if (lc.c == '\r') {
      shown = kCrMark;
    } else if (lc.c == '\n') {
      shown = kLfMark;
    } else if (lc.c == '\b') {
      shown = kBsMark;
    } else if (static_cast<unsigned char>(lc.c) < 32 || lc.c == 127) {
      continue;
    }
    if (speaker != lc.sent) {
      if (speaker) text += "\r\n\r\n";
      text += lc.sent ? "SEND: " : "RECD: ";
      speaker = lc.sent;
    }
    text += shown;
  }
  // The program trims the spaces at the end of the call's last line.
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string FarEndRecord::recordText(Seconds end, bool scriptCompleted) const {
  const Seconds start = up_.value_or(end);
  const long long startMs = wallMs(start), endMs = wallMs(end);
  char seconds[48];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(endMs - startMs) / 1000.0);
  capture::CallValues v;
  v.computerId = config_.computerId;
  v.type = value("TYPE", capture::kLandlineDirect);
  v.direction = config_.direction;
  v.signal = value("SIGNAL", "Strong");
  v.cableId = value("CABLEID", "");
  v.phoneModel = value("PHONEMODEL", "");
  v.phoneTech = value("PHONETECH", "");
  v.userName = value("USERNAME", "far end");
  v.location = value("LOCATION", "ttysim");
  v.networkInfo = value("NETWORKINFO", "ttysim");
  v.device = value("DEVICE", "ttysim");
  v.port = value("PORT", config_.port);
  v.turboDetected = turbo_;
  v.dialNumber = value("DIAL#", "");
  v.scriptCompleted = scriptCompleted;
  v.scriptUsed = value("SCRIPTUSED", config_.scriptPath);
  capture::Record record;
  record.started = recordDate(floorDiv(startMs, 1000));
  record.conversation = conversation();
  record.ended = capture::endedText(recordDate(floorDiv(endMs, 1000)), seconds);
  record.values = capture::valueLines(v);
  return capture::recordBytes(record);
}

std::string FarEndRecord::callEnded(Seconds at, bool scriptCompleted) {
  if (!up_) return "";
  const long long startMs = wallMs(*up_);
  const std::string record = recordText(at, scriptCompleted);
  timing::RecordTimes times;
  times.started = recordDate(floorDiv(startMs, 1000));
  times.startMs = startMs;
  for (const LineChar& lc : chars_)
    times.chars.push_back({lc.sent ? timing::Direction::Sent : timing::Direction::Received,
                           std::llround((lc.at - *up_) * 1000.0), static_cast<unsigned char>(lc.c)});
  up_.reset();
  chars_.clear();

  const std::string folder =
      config_.folder.empty() || config_.folder.back() == '/' ? config_.folder : config_.folder + "/";
  capturePath_ = folder + capture::fileName(filePrefix(floorDiv(startMs, 1000)), config_.computerId);
  timingPath_ = timing::timingPathFor(capturePath_);
  std::string why = appendTo(capturePath_, record);
  if (why.empty()) why = timing::appendRecord(timingPath_, times);
  return why;
}

}  // namespace ttysim
