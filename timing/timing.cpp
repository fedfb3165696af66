// SPDX-License-Identifier: Apache-2.0
#include "timing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>

namespace timing {
namespace {

constexpr std::string_view kTimingEnding = ".timing.csv";

bool endsWithNoCase(std::string_view s, std::string_view ending) {
  if (s.size() < ending.size()) return false;
  return std::equal(
      ending.begin(), ending.end(), s.end() - static_cast<std::ptrdiff_t>(ending.size()), [](char a, char b) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return lower(a) == lower(b);
      });
}

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Writes all bytes, going on after a short write.
std::string writeAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return systemError("cannot write", path);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return "";
}

// Opens path for appending: made with the header when missing or empty; a torn last line
// ended; a file of something else refused.
std::string openForAppend(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return systemError("cannot open", path);
  auto fail = [&](std::string why) {
    ::close(fd);
    fd = -1;
    return why;
  };
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(systemError("cannot read", path));
  if (st.st_size == 0) {
    const std::string why = writeAll(fd, std::string(kHeader) + "\n", path);
    return why.empty() ? why : fail(why);
  }
  std::string first(kHeader.size() + 1, '\0');
  const ssize_t n = pread(fd, first.data(), first.size(), 0);
  if (n < static_cast<ssize_t>(kHeader.size()) ||
      std::string_view(first).substr(0, kHeader.size()) != kHeader)
    return fail(path + " is not a timing file (it does not begin with \"" + std::string(kHeader) + "\")");
  char last = '\n';
  if (pread(fd, &last, 1, st.st_size - 1) != 1) return fail(systemError("cannot read", path));
  if (last != '\n') {
    const std::string why = writeAll(fd, "\n", path);
    if (!why.empty()) return fail(why);
  }
  return "";
}

bool hexDigit(char c, int& v) {
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  } else {
    return false;
  }
  return true;
}

template <typename T>
bool parseNumber(std::string_view s, T& out) {
  const char* begin = s.data();
  if (!s.empty() && s[0] == '+') return false;
  auto [end, ec] = std::from_chars(begin, begin + s.size(), out);
  return !s.empty() && ec == std::errc() && end == begin + s.size();
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t comma = line.find(',');
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

}  // namespace

const char* directionName(Direction direction) {
  return direction == Direction::Sent ? "sent" : "received";
}

std::string timingPathFor(std::string_view capturePath) {
  std::string_view stem = capturePath;
  if (endsWithNoCase(stem, ".TXT")) stem.remove_suffix(4);
  return std::string(stem) + std::string(kTimingEnding);
}

bool isTimingName(std::string_view path) {
  return endsWithNoCase(path, kTimingEnding);
}

std::string escapeField(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto u = static_cast<unsigned char>(bytes[i]);
    const bool edge = i == 0 || i + 1 == bytes.size();
    const bool plain = u >= 0x20 && u < 0x7F && u != '\\' && u != ',' && u != '"' && !(edge && u == ' ') &&
                       !(i == 0 && (u == '=' || u == '+' || u == '-' || u == '@'));
    if (plain) {
      out += static_cast<char>(u);
    } else {
      static const char* hex = "0123456789ABCDEF";
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  }
  return out;
}

std::optional<std::string> unescapeField(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    int hi = 0, lo = 0;
    if (i + 4 > field.size()) return std::nullopt;
    if (field[i + 1] != 'x' || !hexDigit(field[i + 2], hi) || !hexDigit(field[i + 3], lo))
      return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 3;
  }
  return out;
}

std::string formatLine(std::string_view started, long long startMs, const CharTime& c) {
  std::string line = escapeField(started);
  line += ',';
  line += std::to_string(startMs);
  line += ',';
  line += directionName(c.direction);
  line += ',';
  line += std::to_string(c.ms);
  line += ',';
  line += std::to_string(static_cast<int>(c.code));
  line += ',';
  line += escapeField(std::string(1, static_cast<char>(c.code)));
  line += '\n';
  return line;
}

std::string formatRecord(const RecordTimes& times) {
  std::string text;
  for (const CharTime& c : times.chars) text += formatLine(times.started, times.startMs, c);
  return text;
}

std::string appendRecord(const std::string& path, const RecordTimes& times) {
  const bool existed = ::access(path.c_str(), F_OK) == 0;
  int fd = -1;
  std::string why = openForAppend(path, fd);
  if (!why.empty()) return why;
  // A record written in part (a full disk) is taken back out, and a file made for it goes again:
  // a reader would take its lines for all the record's times.
  struct stat st {};
  const off_t before = fstat(fd, &st) == 0 ? st.st_size : -1;
  why = writeAll(fd, formatRecord(times), path);
  if (why.empty() && fsync(fd) != 0) why = systemError("cannot write", path);
  if (!why.empty() && before >= 0 && ftruncate(fd, before) == 0) fsync(fd);
  if (::close(fd) != 0 && why.empty()) why = systemError("cannot write", path);
  if (!why.empty() && !existed) ::unlink(path.c_str());
  return why;
}

Writer::~Writer() {
  if (fd_ >= 0) ::close(fd_);
}

std::string Writer::open(const std::string& path) {
  close();
  path_ = path;
  return openForAppend(path, fd_);
}

std::string Writer::append(std::string_view started, long long startMs, const CharTime& c) {
  if (fd_ < 0) return "the timing file " + path_ + " is not open";
  return writeAll(fd_, formatLine(started, startMs, c), path_);
}

std::string Writer::close() {
  if (fd_ < 0) return "";
  std::string why;
  if (fsync(fd_) != 0) why = systemError("cannot write", path_);
  if (::close(fd_) != 0 && why.empty()) why = systemError("cannot write", path_);
  fd_ = -1;
  return why;
}

TimingFile readTimingFile(std::string_view bytes) {
  TimingFile file;
  struct Columns {
    int started = -1, startMs = -1, direction = -1, ms = -1, code = -1, ch = -1;
    std::size_t count = 0;
  };
  std::optional<Columns> columns;
  std::map<std::pair<std::string, long long>, std::size_t> index;  // record -> position in file.records

  auto readHeader = [](std::string_view line) -> std::optional<Columns> {
    Columns c;
    const auto names = splitFields(line);
    c.count = names.size();
    for (std::size_t i = 0; i < names.size(); ++i) {
      const int at = static_cast<int>(i);
      if (names[i] == "started") c.started = at;
      if (names[i] == "start_ms") c.startMs = at;
      if (names[i] == "direction") c.direction = at;
      if (names[i] == "ms") c.ms = at;
      if (names[i] == "code") c.code = at;
      if (names[i] == "char") c.ch = at;
    }
    if (c.started < 0 || c.startMs < 0 || c.direction < 0 || c.ms < 0 || c.code < 0) return std::nullopt;
    return c;
  };

  std::size_t from = 0;
  while (from < bytes.size()) {
    const std::size_t end = bytes.find('\n', from);
    if (end == std::string_view::npos) {
      ++file.badLines;  // broken off: even when its fields read, its last one may be cut short
      break;
    }
    std::string_view line = bytes.substr(from, end - from);
    from = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    // The header names its columns (again further down where two files were joined); a data
    // line never holds all of those names.
    if (auto header = readHeader(line)) {
      columns = header;
      continue;
    }
    if (!columns) {
      file.problem = "not a timing file (its first line is not \"" + std::string(kHeader) + "\")";
      return file;
    }
    const auto fields = splitFields(line);
    if (fields.size() != columns->count) {
      ++file.badLines;
      continue;
    }
    auto field = [&](int i) { return fields[static_cast<std::size_t>(i)]; };
    const auto started = unescapeField(field(columns->started));
    long long startMs = 0, ms = 0;
    int code = -1;
    CharTime c;
    const std::string_view direction = field(columns->direction);
    bool ok = started && parseNumber(field(columns->startMs), startMs) &&
              parseNumber(field(columns->ms), ms) && parseNumber(field(columns->code), code) && code >= 0 &&
              code <= 255 && (direction == "sent" || direction == "received");
    if (ok && columns->ch >= 0) {
      const auto ch = unescapeField(field(columns->ch));
      ok = ch && ch->size() == 1 && static_cast<unsigned char>((*ch)[0]) == code;
    }
    if (!ok) {
      ++file.badLines;
      continue;
    }
    c.direction = direction == "sent" ? Direction::Sent : Direction::Received;
    c.ms = ms;
    c.code = static_cast<unsigned char>(code);
    auto [it, added] = index.try_emplace({*started, startMs}, file.records.size());
    if (added) file.records.push_back({*started, startMs, {}});
    file.records[it->second].chars.push_back(c);
  }
  if (!columns && file.problem.empty() && file.records.empty() && file.badLines == 0)
    file.problem = "empty file";
  return file;
}

}  // namespace timing
