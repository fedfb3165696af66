// SPDX-License-Identifier: Apache-2.0
#include "calllog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/capture.h"
#include "capture/dates.h"
#include "common/cp1252.h"

namespace corvalis {

namespace {

[[noreturn]] void Fail(int err, const std::string& path) {
  throw TCaptureFileError(FileErrorText(err) + " (" + path + ")", path, err);
}

}  // namespace

std::string FileErrorText(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return "File not found";
    case EACCES:
    case EPERM:
    case EROFS:
      return "File access denied";
    case ENOSPC:
    case EDQUOT:
      return "Disk full";
    case EINVAL:
    case ENAMETOOLONG:
    case EISDIR:
      return "Invalid filename";
    default:
      return "I/O error " + std::to_string(err);
  }
}

std::string MakeFilePrefix(const std::tm& local) { return capture::filePrefix(local); }

std::string CapturePath(const std::string& logDirectory, const std::string& filePrefix,
                        const std::string& computerID) {
  std::string dir = logDirectory;
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir + "/" + capture::fileName(filePrefix, computerID);
}

namespace {

// Local time of a moment, and whether it is exactly midnight.
std::tm LocalTime(TDateTime moment, bool& midnight) {
  using namespace std::chrono;
  std::time_t t = system_clock::to_time_t(time_point_cast<system_clock::duration>(moment));
  // to_time_t may round; step back to the second that holds the moment.
  if (system_clock::from_time_t(t) > moment) --t;
  auto subSecond = moment - system_clock::from_time_t(t);
  std::tm local{};
  localtime_r(&t, &local);
  midnight = local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0 && subSecond.count() == 0;
  return local;
}

std::string Strftime(const char* format, const std::tm& local) {
  char buf[256];
  size_t n = std::strftime(buf, sizeof buf, format, &local);
  return std::string(buf, n);
}

}  // namespace

std::string FormatCaptureDateTime(TDateTime moment) {
  bool midnight = false;
  std::tm local = LocalTime(moment, midnight);
  return Utf8ToCp1252(Strftime(midnight ? "%x" : "%x %X", local));
}

std::string FormatClockDateTime(TDateTime moment) {
  bool midnight = false;
  return Strftime("%x %X", LocalTime(moment, midnight));
}

std::string CallLengthText(TDateTime start, TDateTime end) {
  long long us = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
  bool negative = us < 0;
  unsigned long long mag =
      negative ? static_cast<unsigned long long>(-us) : static_cast<unsigned long long>(us);
  unsigned long long tenths = (mag + 50000) / 100000;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%llu.%llu", negative && tenths ? "-" : "", tenths / 10, tenths % 10);
  return buf;
}

std::vector<std::string> BuildCallRecord(const TCallRecordInput& in) {
  const TWindowSettings& s = *in.settings;
  capture::CallValues v;
  v.computerId = Utf8ToCp1252(s.ComputerID);
  v.type = Utf8ToCp1252(s.TestType);
  v.direction = Utf8ToCp1252(s.CallDirection);
  v.signal = Utf8ToCp1252(s.Signal == "Other" ? s.CustomSignal : s.Signal);
  v.cableId = Utf8ToCp1252(s.CableID);
  v.phoneModel = Utf8ToCp1252(s.PhoneModel);
  v.phoneTech = Utf8ToCp1252(s.PhoneTech);
  v.userName = Utf8ToCp1252(s.UserName);
  v.location = Utf8ToCp1252(s.Location);
  v.networkInfo = Utf8ToCp1252(s.NetworkInfo);
  v.device = Utf8ToCp1252(s.DeviceType);
  v.port = Utf8ToCp1252(s.Port);
  v.turboDetected = in.turboDetected;
  v.dialNumber = Utf8ToCp1252(s.DialNumber);
  v.scriptCompleted = in.scriptCompleted;
  v.scriptUsed = Utf8ToCp1252(s.ScriptFileName);
  capture::Record record;
  record.started = FormatCaptureDateTime(in.startTime);
  record.conversation = in.conversation;
  record.ended = capture::endedText(FormatCaptureDateTime(in.endTime), CallLengthText(in.startTime, in.endTime));
  record.values = capture::valueLines(v);
  return capture::recordLines(record);
}

namespace {

// Appends as AppendLineToFile does. With RegularOnly, the open never waits (a FIFO or a device
// without a reader is refused, not waited on) and only a regular file is written, after being cut
// back to CutTo bytes when CutTo is not negative.
void Append(const std::string& path, const std::string& bytes, bool regularOnly, std::int64_t cutTo) {
  if (path.find('\0') != std::string::npos) Fail(EINVAL, path);
  const int extra = regularOnly ? O_NONBLOCK : 0;
  auto openFile = [&path, extra](int flags) {
    int fd;
    do {
      fd = ::open(path.c_str(), flags | extra | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
  };
  bool created = false;
  int fd = openFile(O_WRONLY | O_APPEND);
  // Made by this call only when absent, so that a failure removes only a file of its own; made by
  // another process (an instance saving into the same minute's file) in the meantime, it is opened.
  for (int tries = 0; fd < 0 && errno == ENOENT && tries < 100; ++tries) {
    fd = openFile(O_WRONLY | O_APPEND | O_CREAT | O_EXCL);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = openFile(O_WRONLY | O_APPEND);
  }
  if (fd < 0 && regularOnly && errno == ENXIO)
    throw TCaptureFileError("Not a regular file (" + path + ")", path);
  if (fd < 0) Fail(errno, path);
  struct stat st {};
  off_t before = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
  if (regularOnly && before < 0) {
    ::close(fd);
    throw TCaptureFileError("Not a regular file (" + path + ")", path);
  }
  if (regularOnly && cutTo >= 0 && cutTo < before) {
    if (::ftruncate(fd, static_cast<off_t>(cutTo)) != 0) {
      const int err = errno;
      ::close(fd);
      Fail(err, path);
    }
    before = static_cast<off_t>(cutTo);
  }
  std::string data = bytes + "\r\n";
  const char* p = data.data();
  size_t left = data.size();
  int err = 0;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (err == 0 && before >= 0 && ::fsync(fd) != 0) err = errno;
  // Leave the file as it was: no half-written record, no empty file of our own.
  if (err != 0 && before >= 0 && ::ftruncate(fd, before) != 0) err = err ? err : errno;
  if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  if (err != 0) {
    if (created) ::unlink(path.c_str());
    Fail(err, path);
  }
}

}  // namespace

void AppendLineToFile(const std::string& path, const std::string& bytes) {
  Append(path, bytes, false, -1);
}

void AppendLineToRegularFile(const std::string& path, const std::string& bytes, std::int64_t cutTo) {
  Append(path, bytes, true, cutTo);
}

}  // namespace corvalis
