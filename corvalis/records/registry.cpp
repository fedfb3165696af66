// SPDX-License-Identifier: Apache-2.0
#include "records/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "common/cp1252.h"

namespace corvalis::records {

namespace fs = std::filesystem;

namespace {

// ---- text encodings ----

// Decodes one UTF-8 sequence at pos; nothing when the bytes there are not valid UTF-8.
std::optional<char32_t> nextUtf8(std::string_view s, size_t& pos) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(pos);
  int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || pos + len > s.size()) return std::nullopt;
  char32_t v = len == 1 ? c : c & (0x7F >> len);
  for (int i = 1; i < len; ++i) {
    if ((b(pos + i) & 0xC0) != 0x80) return std::nullopt;
    v = (v << 6) | (b(pos + i) & 0x3F);
  }
  static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return std::nullopt;
  pos += len;
  return v;
}

bool isValidUtf8(std::string_view s) {
  for (size_t pos = 0; pos < s.size();) {
    if (!nextUtf8(s, pos)) return false;
  }
  return true;
}

// 8-bit text as UTF-8: kept when it already is UTF-8, otherwise taken as the Windows code page.
std::string eightBitToUtf8(std::string_view s) {
  // Files exported with the 8-bit notation are in the Windows Western code page.
  return isValidUtf8(s) ? std::string(s) : Cp1252ToUtf8(s);
}

// UTF-16 code units to UTF-8, stopping at a zero unit; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  auto unit = [&](size_t i) -> char16_t {
    auto lo = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 1 : 0)]);
    auto hi = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 0 : 1)]);
    return static_cast<char16_t>(hi << 8 | lo);
  };
  std::string out;
  size_t n = bytes.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    char16_t u = unit(i);
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < n && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

// UTF-8 text to UTF-16LE bytes with the terminating zero, as string data is stored.
std::string utf8ToUtf16le(std::string_view s) {
  std::string out;
  auto put = [&](char32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  for (size_t pos = 0; pos < s.size();) {
    char32_t c = 0xFFFD;  // for a byte that is not UTF-8
    if (auto v = nextUtf8(s, pos)) {
      c = *v;
    } else {
      ++pos;
    }
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  put(0);
  return out;
}

// A whole file as UTF-8 text: a byte order mark selects UTF-16 or UTF-8; without one the bytes are
// UTF-8 when valid, otherwise the Windows code page.
std::string decodeFile(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return eightBitToUtf8(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE")) return utf16ToUtf8(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return utf16ToUtf8(bytes.substr(2), true);
  return eightBitToUtf8(bytes);
}

// Text data of hex(1)/hex(2) values: UTF-16LE as exported in Unicode (even length, ending in a zero
// unit or with every high byte zero), otherwise 8-bit text ending at its first zero.
std::string textFromData(std::string_view data) {
  bool utf16 = data.size() % 2 == 0 && !data.empty();
  if (utf16 && !data.ends_with(std::string_view("\0\0", 2))) {
    for (size_t i = 1; i < data.size(); i += 2) utf16 = utf16 && data[i] == '\0';
  }
  if (utf16) return utf16ToUtf8(data, false);
  return eightBitToUtf8(data.substr(0, data.find('\0')));
}

// ---- small string helpers ----

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

bool istartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

bool isSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (isSpace(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (isSpace(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// Reads a quoted string starting at s[pos] == '"'; pos ends after the closing quote. "\\" and "\"" are
// escapes; a backslash before anything else is kept as written (hand-typed Windows paths).
std::optional<std::string> unquote(std::string_view s, size_t& pos) {
  std::string out;
  for (size_t i = pos + 1; i < s.size(); ++i) {
    if (s[i] == '"') {
      pos = i + 1;
      return out;
    }
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) ++i;
    out += s[i];
  }
  return std::nullopt;
}

// ---- the key file's lines ----

enum class LineKind { Other, Header, Section, Value };

struct Line {
  LineKind kind = LineKind::Other;
  std::vector<std::string> raw;  // physical lines as read, without line ends
  bool ours = false;             // a section of the open key, or a value in one
  std::string name;              // value name as stored
  ValueKind valueKind = ValueKind::Other;
  std::string text;       // text of string values
  std::string why;        // why the data is not a string (for the log)
  size_t lineNumber = 0;  // of the first physical line, from 1; 0 for lines added here
  bool rewrite = false;   // written from name and text instead of raw
  bool cutOff = false;    // hex data whose last line, the file's last, ends in a backslash
};

struct ParsedData {
  ValueKind kind = ValueKind::Other;
  std::string text;
  std::string why;  // for any kind but String, ExpandString and Absent
};

ParsedData notAString(std::string why) {
  return {ValueKind::Other, {}, std::move(why)};
}

Line plainLine(std::string text) {
  Line line;
  line.raw.push_back(std::move(text));
  return line;
}

// hex: data (no type digits) or hex(n): data.
ParsedData parseHexData(std::optional<std::string_view> typeDigits, std::string_view list) {
  ParsedData bad = notAString("hex data that is not a list of two-digit hex numbers");
  unsigned long type = 3;  // "hex:" is binary
  if (typeDigits) {
    type = 0;
    if (typeDigits->empty() || typeDigits->size() > 8)
      return notAString("a hex(n) type that is no hex number");
    for (char c : *typeDigits) {
      if (hexDigit(c) < 0) return notAString("a hex(n) type that is no hex number");
      type = type * 16 + static_cast<unsigned long>(hexDigit(c));
    }
  }
  std::string bytes;
  list = trim(list);
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view item = trim(list.substr(0, comma));
    if (item.empty() || item.size() > 2 || hexDigit(item[0]) < 0 || hexDigit(item.back()) < 0) return bad;
    bytes +=
        static_cast<char>(item.size() == 1 ? hexDigit(item[0]) : hexDigit(item[0]) * 16 + hexDigit(item[1]));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
    if (trim(list).empty()) return bad;  // a trailing comma
  }
  switch (type) {
    case 1:
      return {ValueKind::String, textFromData(bytes), {}};
    case 2:
      return {ValueKind::ExpandString, textFromData(bytes), {}};
    case 3:
      return {ValueKind::Binary, {}, "binary data (hex:), not a string"};
    case 4:
      if (bytes.size() == 4) return {ValueKind::DWord, {}, "a dword value, not a string"};
      return notAString("a dword value that is not 4 bytes long");
    default:
      return notAString("data of type " + std::to_string(type) + ", not a string");
  }
}

// The data after "=": "text", dword:, hex:, hex(n): or "-" (deleted).
ParsedData parseData(std::string_view data) {
  data = trim(data);
  if (data == "-") return {ValueKind::Absent, {}, {}};
  if (data.starts_with('"')) {
    size_t pos = 0;
    auto text = unquote(data, pos);
    if (!text && data.size() >= 3 && data.ends_with("\\\"")) {
      // A hand-typed Windows path such as "c:\": the backslash that ends the line is the path's
      // own, and the quote after it closes the string.
      std::string mended(data.substr(0, data.size() - 1));
      mended += "\\\"";
      pos = 0;
      text = unquote(mended, pos);
      if (text) return {ValueKind::String, *text, {}};
    }
    if (!text) return notAString("no closing quote");
    if (!trim(data.substr(pos)).empty()) return notAString("text after the closing quote");
    return {ValueKind::String, *text, {}};
  }
  if (istartsWith(data, "dword:")) {
    std::string_view digits = data.substr(6);
    bool ok = !digits.empty() && digits.size() <= 8 &&
              std::all_of(digits.begin(), digits.end(), [](char c) { return hexDigit(c) >= 0; });
    if (!ok) return notAString("dword data that is not 1 to 8 hex digits");
    return {ValueKind::DWord, {}, "a dword value, not a string"};
  }
  if (istartsWith(data, "hex:")) return parseHexData(std::nullopt, data.substr(4));
  if (istartsWith(data, "hex(")) {
    size_t close = data.find("):");
    if (close == std::string_view::npos) return notAString("hex( without its closing \"):\"");
    return parseHexData(data.substr(4, close - 4), data.substr(close + 2));
  }
  if (data.empty()) return notAString("no data after \"=\"");
  return notAString("data that is neither quoted nor dword:, hex: or hex(n):");
}

// Reads `"name"=` or `@=` at the start of a value line; pos ends after "=".
std::optional<std::string> valueName(std::string_view line, size_t& pos) {
  std::string name;
  if (line.starts_with('@')) {
    pos = 1;
  } else {
    pos = 0;
    auto n = unquote(line, pos);
    if (!n) return std::nullopt;
    name = *n;
  }
  while (pos < line.size() && isSpace(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return std::nullopt;
  ++pos;
  return name;
}

bool isHeaderLine(std::string_view trimmed) {
  return trimmed == "REGEDIT4" || trimmed == "Windows Registry Editor Version 5.00";
}

// Whether text is a registry export: its first line that is not blank is one of the two headers. A file
// with nothing in it counts as an empty export.
bool isRegistryExport(std::string_view text) {
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string_view t = trim(text.substr(start, end - start));
    if (!t.empty()) return isHeaderLine(t);
    start = end + 1;
  }
  return true;
}

bool endsWithContinuation(std::string_view physical) {
  return trim(physical).ends_with('\\');
}

class KeyDocument {
 public:
  // sectionNames: the section names that stand for the open key, the first being the one written.
  KeyDocument(std::string_view text, std::vector<std::string> sectionNames)
      : sectionNames_(std::move(sectionNames)) {
    std::vector<std::string> physical;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view l = text.substr(start, end - start);
      if (l.ends_with('\r')) l.remove_suffix(1);
      physical.emplace_back(l);
      start = end + 1;
    }
    bool headerLooked = false;
    bool inOurs = false;
    for (size_t i = 0; i < physical.size(); ++i) {
      Line line;
      line.raw.push_back(physical[i]);
      line.lineNumber = i + 1;
      std::string_view t = trim(physical[i]);
      if (!headerLooked && !t.empty()) {
        headerLooked = true;
        if (isHeaderLine(t)) {
          line.kind = LineKind::Header;
          lines_.push_back(std::move(line));
          continue;
        }
      }
      if (t.starts_with('[') && t.ends_with(']')) {
        line.kind = LineKind::Section;
        line.ours = isOurSection(t.substr(1, t.size() - 2));
        inOurs = line.ours;
      } else if (inOurs && (t.starts_with('"') || t.starts_with('@'))) {
        size_t pos = 0;
        if (auto name = valueName(t, pos)) {
          std::string joined(t.substr(pos));
          if (istartsWith(trim(joined), "hex") && endsWithContinuation(joined)) {
            // Long hex data goes on over lines ending in a backslash; at the end of the file it
            // goes on over nothing, as it would over a blank line.
            joined = trim(joined);
            while (joined.ends_with('\\')) {
              while (joined.ends_with('\\')) joined.pop_back();  // one continuation, however written
              if (i + 1 == physical.size()) {
                line.cutOff = true;
                break;
              }
              line.raw.push_back(physical[++i]);
              joined += trim(physical[i]);
            }
          }
          ParsedData data = parseData(joined);
          line.kind = LineKind::Value;
          line.ours = true;
          line.name = std::move(*name);
          line.valueKind = data.kind;
          line.text = std::move(data.text);
          line.why = std::move(data.why);
        }
      }
      lines_.push_back(std::move(line));
    }
    if (lines_.empty() || lines_.front().kind != LineKind::Header) {
      Line header = plainLine("REGEDIT4");
      header.kind = LineKind::Header;
      lines_.insert(lines_.begin(), {header, plainLine("")});
    }
  }

  // The last definition of a value counts, as on an import.
  const Line* find(std::string_view name) const {
    const Line* found = nullptr;
    for (const Line& l : lines_) {
      if (l.kind == LineKind::Value && l.ours && iequals(l.name, name)) found = &l;
    }
    return found;
  }

  // Sets a string value everywhere it is defined, or adds it to the key's section. Returns whether
  // anything changed.
  bool set(std::string_view name, std::string_view text) {
    text = text.substr(0, text.find('\0'));  // a string ends at its first zero
    bool found = false, changed = false;
    for (Line& l : lines_) {
      if (l.kind != LineKind::Value || !l.ours || !iequals(l.name, name)) continue;
      found = true;
      if (l.valueKind != ValueKind::String || l.text != text) {
        l.valueKind = ValueKind::String;
        l.text = text;
        l.rewrite = true;
        changed = true;
      }
    }
    if (found) return changed;
    Line value;
    value.kind = LineKind::Value;
    value.ours = true;
    value.name = name;
    value.valueKind = ValueKind::String;
    value.text = text;
    value.rewrite = true;
    // The position first: finding it may add the key's section, which moves the lines.
    const size_t at = insertPosition();
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(value));
    return true;
  }

  std::string text() const {
    std::string out;
    for (size_t i = 0; i < lines_.size(); ++i) {
      const Line& l = lines_[i];
      if (l.rewrite) {
        out += format(l) + '\n';
      } else {
        for (const std::string& r : l.raw) out += r + '\n';
        // Hex data cut off by the end of the file still ends in a backslash: a blank line keeps
        // the lines written after it from being read as more of its data.
        if (l.cutOff && i + 1 < lines_.size()) out += '\n';
      }
    }
    return out;
  }

 private:
  bool isOurSection(std::string_view name) const {
    return std::any_of(sectionNames_.begin(), sectionNames_.end(),
                       [&](const std::string& s) { return iequals(s, name); });
  }

  // After the last value of the key's last section; a new section goes at the end of the file.
  size_t insertPosition() {
    size_t section = lines_.size();
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].kind == LineKind::Section && lines_[i].ours) section = i;
    }
    if (section == lines_.size()) {
      if (!trim(lines_.back().raw.back()).empty()) lines_.push_back(plainLine(""));
      Line header = plainLine("[" + sectionNames_.front() + "]");
      header.kind = LineKind::Section;
      header.ours = true;
      lines_.push_back(std::move(header));
      lines_.push_back(plainLine(""));
      return lines_.size() - 1;
    }
    size_t pos = section + 1;
    for (size_t i = pos; i < lines_.size() && lines_[i].kind != LineKind::Section; ++i) {
      if (lines_[i].kind == LineKind::Value) pos = i + 1;
    }
    return pos;
  }

  // A string that cannot stand on one quoted line goes in the hex notation of REG_SZ.
  static std::string format(const Line& l) {
    std::string head = l.name.empty() ? "@=" : quote(l.name) + "=";
    if (l.text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos) return head + quote(l.text);
    std::string out = head + "hex(1):";
    std::string data = utf8ToUtf16le(l.text);
    size_t column = out.size();
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
      std::string item{kDigits[static_cast<unsigned char>(data[i]) >> 4],
                       kDigits[static_cast<unsigned char>(data[i]) & 15]};
      if (i + 1 < data.size()) item += ',';
      if (column + item.size() > 79) {
        out += "\\\n  ";
        column = 2;
      }
      out += item;
      column += item.size();
    }
    return out;
  }

  std::vector<std::string> sectionNames_;
  std::vector<Line> lines_;
};

// ---- files ----

enum class ReadResult { Ok, Missing, Failed };

// On failure *err holds the system's error number.
ReadResult readWholeFile(const fs::path& path, std::string& out, int* err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  *err = fd < 0 ? errno : 0;
  if (fd < 0) return *err == ENOENT ? ReadResult::Missing : ReadResult::Failed;
  out.clear();
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = errno;
      ::close(fd);
      return ReadResult::Failed;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ReadResult::Ok;
}

// Writes all of bytes to fd unless err is already set, flushes them to disk and closes fd. Returns
// the first error number met, or 0.
int writeSyncClose(int fd, std::string_view bytes, int err) {
  for (size_t done = 0; err == 0 && done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n == 0) err = EIO;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  return err;
}

// Replaces a file atomically: a temporary file beside it, written in full and flushed to disk, is
// renamed over it. The old file is untouched on any failure. A symbolic link is followed, so the link
// stays; a file without write permission is refused. Returns 0 or the system's error number.
int replaceFile(const fs::path& path, std::string_view bytes) {
  static std::atomic<unsigned> counter{0};
  fs::path target = path;
  std::error_code ec;
  if (fs::is_symlink(target, ec)) {
    fs::path real = fs::canonical(target, ec);
    if (!ec) target = real;
  }
  struct stat st {};
  bool existed = ::stat(target.c_str(), &st) == 0;
  if (existed && ::access(target.c_str(), W_OK) != 0) return errno;
  fs::path dir = target.parent_path();
  fs::path temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = dir / ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                  std::to_string(counter++) + ".tmp");
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  int err = existed && ::fchmod(fd, st.st_mode & 07777) != 0 ? errno : 0;
  err = writeSyncClose(fd, bytes, err);
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return err;
  }
  // Make the rename itself durable; the new file is in place whatever this says.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return 0;
}

// Writes bytes to a new file (never over an existing one) and flushes them to disk. Returns 0 or the
// system's error number; the new file is removed again on failure.
int writeNewFile(const fs::path& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = writeSyncClose(fd, bytes, 0);
  if (err != 0) ::unlink(path.c_str());
  return err;
}

// An existing entry of dir named `name`, compared without regard to case when there is no exact match.
std::optional<fs::path> findEntry(const fs::path& dir, const std::string& name, bool wantDir) {
  std::error_code ec;
  auto fits = [&](const fs::path& p) { return wantDir ? fs::is_directory(p, ec) : fs::exists(p, ec); };
  if (fits(dir / name)) return dir / name;
  std::vector<fs::path> matches;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (iequals(it->path().filename().string(), name) && fits(it->path())) matches.push_back(it->path());
  }
  if (matches.empty()) return std::nullopt;
  std::sort(matches.begin(), matches.end());
  return matches.front();
}

RegistryError failedToSet(std::string_view name, const fs::path& path = {}, int err = 0) {
  return RegistryError("Failed to set data for '" + std::string(name) + "'", path, err);
}

// The first folder on the way to path (from the top) that exists as something other than a folder.
std::optional<fs::path> firstNonFolder(const fs::path& path) {
  fs::path prefix;
  std::error_code ec;
  for (const fs::path& part : path) {
    prefix /= part;
    fs::file_status st = fs::status(prefix, ec);
    if (!fs::exists(st)) return std::nullopt;
    if (!fs::is_directory(st)) return prefix;
  }
  return std::nullopt;
}

}  // namespace

namespace {
// "<file><suffix>", then "<file><suffix>.1", ".2", ...: the n-th name of a kept copy.
fs::path copyName(const fs::path& file, std::string_view suffix, int n) {
  fs::path name = file;
  name += suffix;
  if (n > 0) name += "." + std::to_string(n);
  return name;
}

// The first of those names that is free.
fs::path freeCopyName(const fs::path& file, std::string_view suffix) {
  std::error_code ec;
  int n = 0;
  while (n < 10000 && fs::exists(fs::symlink_status(copyName(file, suffix, n), ec))) ++n;
  return copyName(file, suffix, n);
}

// An existing copy among those names that holds exactly these bytes; empty when there is none.
fs::path identicalCopy(const fs::path& file, std::string_view suffix, std::string_view bytes) {
  std::error_code ec;
  for (int n = 0; n < 10000; ++n) {
    fs::path name = copyName(file, suffix, n);
    if (!fs::exists(fs::symlink_status(name, ec))) break;
    std::string kept;
    int err = 0;
    if (fs::file_size(name, ec) == bytes.size() && !ec && readWholeFile(name, kept, &err) == ReadResult::Ok &&
        kept == bytes)
      return name;
  }
  return {};
}

// Whether two definitions of a value hold the same (absent counts as one value).
bool sameValue(const Line* a, const Line* b) {
  ValueKind ka = a ? a->valueKind : ValueKind::Absent;
  ValueKind kb = b ? b->valueKind : ValueKind::Absent;
  if (ka != kb) return false;
  if (ka == ValueKind::Absent) return true;
  if (ka == ValueKind::String || ka == ValueKind::ExpandString) return a->text == b->text;
  return a->raw == b->raw;
}
}  // namespace

fs::path unreadableCopyPath(const fs::path& file) {
  return freeCopyName(file, ".unreadable");
}

fs::path editedCopyPath(const fs::path& file) {
  return freeCopyName(file, ".edited");
}

std::string_view rootKeyName(RootKey root) {
  switch (root) {
    case RootKey::ClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case RootKey::CurrentUser:
      return "HKEY_CURRENT_USER";
    case RootKey::LocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case RootKey::Users:
      return "HKEY_USERS";
    case RootKey::CurrentConfig:
      return "HKEY_CURRENT_CONFIG";
  }
  return "HKEY_LOCAL_MACHINE";
}

Registry::Registry(RootKey root) : Registry(root, defaultRegistryDir()) {}

Registry::Registry(RootKey root, fs::path rootDir) : root_(root), rootDir_(std::move(rootDir)) {}

fs::path Registry::defaultRegistryDir() {
  if (const char* dir = std::getenv("CORVALIS_REGISTRY_DIR"); dir && *dir) return dir;
  // A relative XDG_CONFIG_HOME is ignored, as the base directory convention asks.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    return fs::path(xdg) / "corvalis" / "registry";
  }
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return {};
  return fs::path(home) / ".config" / "corvalis" / "registry";
}

std::optional<Registry::KeyPath> Registry::parsePath(std::string_view path) const {
  KeyPath key;
  if (path.starts_with('\\')) {
    path.remove_prefix(1);
  } else if (open_) {
    key = current_;
  }
  if (path.ends_with('\\')) path.remove_suffix(1);
  while (!path.empty()) {
    size_t cut = path.find('\\');
    std::string_view part = path.substr(0, cut);
    // Each part becomes a file name: no empty parts, no "." or "..", no "/" or zero byte.
    if (part.empty() || part == "." || part == ".." || part.size() > 250 ||
        part.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
      return std::nullopt;
    }
    key.parts.emplace_back(part);
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  if (key.parts.empty()) return std::nullopt;
  return key;
}

std::string Registry::fullKeyName(const KeyPath& key) const {
  std::string name(rootKeyName(root_));
  for (const std::string& part : key.parts) name += "\\" + part;
  return name;
}

std::optional<fs::path> Registry::locate(const KeyPath& key, bool create, bool* exists,
                                         RegistryProblem* problem) const {
  *exists = false;
  *problem = {};
  if (rootDir_.empty()) return std::nullopt;
  std::error_code ec;
  auto fail = [&](RegistryProblem::Kind kind, const fs::path& path, int err) {
    *problem = {kind, path, err};
    return std::nullopt;
  };
  // The root folder, or a folder above it, may be a file.
  if (auto blocker = firstNonFolder(rootDir_))
    return fail(RegistryProblem::Kind::NotAFolder, *blocker, ENOTDIR);
  if (create) fs::create_directories(rootDir_, ec);
  if (ec) return fail(RegistryProblem::Kind::CannotCreate, rootDir_, ec.value());
  std::vector<std::string> folders{std::string(rootKeyName(root_))};
  folders.insert(folders.end(), key.parts.begin(), key.parts.end() - 1);
  fs::path dir = rootDir_;
  for (const std::string& folder : folders) {
    if (auto found = findEntry(dir, folder, true)) {
      dir = *found;
    } else if (auto other = findEntry(dir, folder, false)) {
      return fail(RegistryProblem::Kind::NotAFolder, *other, ENOTDIR);
    } else if (!create) {
      return std::nullopt;
    } else if (fs::create_directory(dir / folder, ec), !ec) {
      dir /= folder;
    } else {
      return fail(RegistryProblem::Kind::CannotCreate, dir / folder, ec.value());
    }
  }
  const std::string& last = key.parts.back();
  if (auto file = findEntry(dir, last + ".reg", false)) {
    if (fs::is_directory(*file, ec)) return fail(RegistryProblem::Kind::NotAFile, *file, EISDIR);
    *exists = true;
    return file;
  }
  // A key with subkeys but no values has only its folder.
  fs::path file = dir / (last + ".reg");
  if (auto folder = findEntry(dir, last, true)) {
    *exists = true;
    file = dir / (folder->filename().string() + ".reg");
  }
  if (!*exists && !create) return std::nullopt;
  return file;
}

bool Registry::openKey(std::string_view path, bool canCreate) {
  auto key = parsePath(path);
  closeKey();
  problem_ = {};
  if (!key) return false;
  bool exists = false;
  auto file = locate(*key, canCreate, &exists, &problem_);
  if (!file) return false;
  std::string bytes;
  int err = 0;
  if (readWholeFile(*file, bytes, &err) == ReadResult::Failed) {
    problem_ = {RegistryProblem::Kind::CannotRead, *file, err};
    return false;
  }
  std::string text = decodeFile(bytes);
  if (!isRegistryExport(text)) {
    problem_ = {RegistryProblem::Kind::NoHeader, *file, 0};
    if (!canCreate) return false;
    text.clear();  // nothing in it can be read; the first write keeps it aside
  }
  open_ = true;
  current_ = std::move(*key);
  file_ = std::move(*file);
  snapshot_ = std::move(text);
  return true;
}

void Registry::closeKey() {
  open_ = false;
  current_ = {};
  file_.clear();
  snapshot_.clear();
}

std::string Registry::currentKeyName() const {
  return open_ ? fullKeyName(current_) : std::string();
}

bool Registry::keyExists(std::string_view path) const {
  auto key = parsePath(path);
  bool exists = false;
  RegistryProblem problem;
  return key && locate(*key, false, &exists, &problem) && exists;
}

fs::path Registry::keyFile(std::string_view path) const {
  auto key = parsePath(path);
  if (!key || rootDir_.empty()) return {};
  bool exists = false;
  RegistryProblem problem;
  if (auto file = locate(*key, false, &exists, &problem)) return *file;
  fs::path file = rootDir_ / rootKeyName(root_);
  for (const std::string& part : key->parts) file /= part;
  return file.replace_filename(key->parts.back() + ".reg");
}

namespace {
// The section names that stand for a key: its own, and for HKEY_LOCAL_MACHINE\Software\... also the one
// that 64-bit Windows gives a 32-bit program's key (Software\WOW6432Node\...), so an export from there reads.
std::vector<std::string> sectionNamesFor(std::string_view root, const std::vector<std::string>& parts) {
  std::string name(root);
  for (const std::string& p : parts) name += "\\" + p;
  std::vector<std::string> names{name};
  if (root == "HKEY_LOCAL_MACHINE" && parts.size() > 1 && iequals(parts[0], "Software")) {
    std::string wow = std::string(root) + "\\" + parts[0] + "\\WOW6432Node";
    for (size_t i = 1; i < parts.size(); ++i) wow += "\\" + parts[i];
    names.push_back(wow);
  }
  return names;
}
}  // namespace

ValueKind Registry::valueKind(std::string_view name) const {
  if (!open_) return ValueKind::Absent;
  KeyDocument doc(snapshot_, sectionNamesFor(rootKeyName(root_), current_.parts));
  const Line* line = doc.find(name);
  return line ? line->valueKind : ValueKind::Absent;
}

std::string Registry::readString(std::string_view name) const {
  if (!open_) return {};
  KeyDocument doc(snapshot_, sectionNamesFor(rootKeyName(root_), current_.parts));
  const Line* line = doc.find(name);
  if (!line || line->valueKind == ValueKind::Absent) return {};
  if (line->valueKind != ValueKind::String && line->valueKind != ValueKind::ExpandString) {
    throw RegistryError("Invalid data type for '" + std::string(name) + "'", file_, 0,
                        "line " + std::to_string(line->lineNumber) + ": " + line->why);
  }
  return line->text;
}

void Registry::writeString(std::string_view name, std::string_view value) {
  writeStrings({{std::string(name), std::string(value)}});
}

void Registry::writeStrings(const std::vector<std::pair<std::string, std::string>>& values,
                            const std::string* knownText) {
  keptAside_.clear();
  overwrittenEdits_.clear();
  keptEarlier_ = false;
  if (values.empty()) return;
  if (!open_) throw failedToSet(values.front().first, problem_.path, problem_.systemError);
  for (const auto& [name, value] : values) {
    // A name has no escape for line breaks or a zero byte.
    if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) throw failedToSet(name);
  }
  // Start from the file as it is now, so changes made since the key was opened are kept.
  std::string bytes;
  int err = 0;
  if (readWholeFile(file_, bytes, &err) == ReadResult::Failed)
    throw failedToSet(values.front().first, file_, err);
  std::string current = decodeFile(bytes);
  // A file that is no registry export is not written into: the values go into a fresh file, and the
  // old one is kept beside it.
  const bool keep = !isRegistryExport(current);
  if (keep) current.clear();
  const std::vector<std::string> sections = sectionNamesFor(rootKeyName(root_), current_.parts);
  KeyDocument doc(current, sections);
  // Values someone else changed since the caller's last read or write, which this write goes over.
  std::vector<std::string> overwritten;
  if (knownText && !keep && !bytes.empty()) {
    KeyDocument known(*knownText, sections);
    for (const auto& [name, value] : values) {
      const Line* now = doc.find(name);
      if (sameValue(now, known.find(name))) continue;
      const std::string_view written = std::string_view(value).substr(0, value.find('\0'));
      if (now && now->valueKind == ValueKind::String && now->text == written) continue;  // the same edit
      overwritten.push_back(now ? now->name : name);
    }
  }
  const std::string* firstChanged = nullptr;
  for (const auto& [name, value] : values) {
    if (doc.set(name, value) && !firstChanged) firstChanged = &name;
  }
  if (!firstChanged) {
    snapshot_ = std::move(current);
    return;
  }
  std::string text = doc.text();
  // The file as found is kept before it is replaced: one that cannot be read, or one whose edits
  // would be written over. The same edits found again (a second save that fails, a tool putting the
  // same file back) are not kept twice.
  fs::path copy;
  bool madeCopy = false;
  if (keep) {
    copy = unreadableCopyPath(file_);
  } else if (!overwritten.empty()) {
    copy = identicalCopy(file_, ".edited", bytes);
    keptEarlier_ = !copy.empty();
    if (copy.empty()) copy = editedCopyPath(file_);
  }
  if (!copy.empty() && !keptEarlier_) {
    if (int e = writeNewFile(copy, bytes)) throw failedToSet(*firstChanged, copy, e);
    madeCopy = true;
  }
  if (int e = replaceFile(file_, text)) {
    if (madeCopy) ::unlink(copy.c_str());
    keptEarlier_ = false;
    throw failedToSet(*firstChanged, file_, e);
  }
  keptAside_ = std::move(copy);
  keptAsideWhy_ = keep ? KeptAsideWhy::Unreadable : KeptAsideWhy::EditedElsewhere;
  overwrittenEdits_ = std::move(overwritten);
  snapshot_ = std::move(text);
}

}  // namespace corvalis::records
