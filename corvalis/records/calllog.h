// SPDX-License-Identifier: Apache-2.0
#pragma once
// Capture files: the name of the file a call goes into and the call record appended to it.
// Errors: a file that cannot be written raises TFileError (TCaptureFileError for the capture),
// with nothing half-written left behind; the journal (journal.h) returns errno values instead,
// since a call goes on when its journal cannot be written.
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/settings_record.h"
#include "capture/capture.h"

namespace corvalis {

inline constexpr const char* kLandlineDirect = capture::kLandlineDirect;
inline constexpr const char* kLandlineAcoustic = capture::kLandlineAcoustic;
inline constexpr const char* kOutgoingCall = capture::kOutgoingCall;

// The short text shown for a failed file operation ("File not found", "File access denied",
// "Disk full", ...), by the system's error number.
std::string FileErrorText(int err);

// Month, day, "-", hour, minute of a local time, two digits each: "1018-1405".
std::string MakeFilePrefix(const std::tm& local);

// LogDirectory less one trailing "/", then "/", the prefix, "-", the computer ID, ".TXT".
std::string CapturePath(const std::string& logDirectory, const std::string& filePrefix,
                        const std::string& computerID);

// Local date and time in the locale's short date and long time forms, as a capture file
// shows them (date alone at exactly midnight). Bytes in Windows-1252.
std::string FormatCaptureDateTime(TDateTime moment);

// Local date and time in the locale's short date and long time forms, in UTF-8, for the
// window's clock.
std::string FormatClockDateTime(TDateTime moment);

// The length of a call in seconds, one decimal, always with a full stop: "125.3".
std::string CallLengthText(TDateTime start, TDateTime end);

struct TCallRecordInput {
  const TWindowSettings* settings = nullptr;
  std::string conversation;  // the view's text (Windows-1252), already trimmed
  TDateTime startTime{};
  TDateTime endTime{};
  bool turboDetected = false;
  bool scriptCompleted = false;
};

// The lines of one call record, in Windows-1252 and without line ends (capture::recordLines of the
// settings' values, the dates in this locale's forms).
std::vector<std::string> BuildCallRecord(const TCallRecordInput& input);

// A file that cannot be read or written: the message is what the tester is shown; the path and the
// system's error number (0 when unknown) are for the log.
class TFileError : public std::runtime_error {
 public:
  explicit TFileError(const std::string& Message, std::string Path = {}, int SystemError = 0)
      : std::runtime_error(Message), path_(std::move(Path)), systemError_(SystemError) {}
  const std::string& Path() const { return path_; }
  int SystemError() const { return systemError_; }

 private:
  std::string path_;
  int systemError_;
};

// A capture file that cannot be written; the message says why and names the file.
class TCaptureFileError : public TFileError {
 public:
  using TFileError::TFileError;
};

// Appends bytes and CR LF to a file, creating it when absent, and flushes them to disk.
// On failure the file is cut back to its former length (nothing half-written stays) and
// TCaptureFileError is thrown.
void AppendLineToFile(const std::string& path, const std::string& bytes);

// The same for a file named by something this program did not write itself (a journal left
// behind): the open never waits, anything but a regular file is refused ("Not a regular file"), and
// with CutTo not negative the file is first cut back to that many bytes (a torn record of the same
// call at its end).
void AppendLineToRegularFile(const std::string& path, const std::string& bytes, std::int64_t cutTo = -1);

}  // namespace corvalis
