// SPDX-License-Identifier: Apache-2.0
// The settings file reader on any bytes as the key file: nothing crashes, a file that cannot be read
// is kept byte for byte before it is written over, and after a save every value reads back as written
// while the values not written read as they did before.
//
// Input: three bytes choose which of the 21 settings values are written, one byte where the key file
// ends; then the key file's bytes and the text of the values written (pieces separated by 0x01).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "records/registry.h"
#include "records/settings_store.h"

namespace {

namespace fs = std::filesystem;
using corvalis::records::Registry;
using corvalis::records::RegistryError;
using corvalis::records::RootKey;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

// A registry folder for this process, in memory when the machine has one. libFuzzer ends without
// running exit handlers: each input removes its folder, and the folders of runs that failed are
// removed here.
const fs::path& root() {
  static const fs::path dir = [] {
    fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(base, ec)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("registry_fuzz.", 0) != 0) continue;
      const long pid = std::strtol(name.c_str() + 14, nullptr, 10);
      if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(e.path(), ec);
    }
    fs::path d = base / ("registry_fuzz." + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// Text as the window gives it: UTF-8 (bytes that are not become '?').
std::string asUtf8(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (ok && len > 1) {
      // No overlong forms, surrogates or code points beyond U+10FFFF.
      char32_t v = c & (0x7F >> len);
      for (size_t k = 1; k < len; ++k) v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = v >= kMin[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF);
    }
    if (ok) {
      out.append(s, i, len);
      i += len;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

// Each value as a string, or nothing when reading it raises.
std::vector<std::optional<std::string>> readAll(Registry& reg, bool opened) {
  std::vector<std::optional<std::string>> values;
  for (const auto& v : corvalis::records::kSettingsValues) {
    if (!opened) {
      values.emplace_back(std::string());
      continue;
    }
    try {
      values.emplace_back(reg.readString(v.name));
    } catch (const RegistryError&) {
      values.emplace_back(std::nullopt);
    }
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint32_t mask = data[0] | std::uint32_t{data[1]} << 8 | std::uint32_t{data[2]} << 16;
  const std::string rest(reinterpret_cast<const char*>(data + 4), size - 4);
  const size_t split = rest.empty() ? 0 : data[3] * rest.size() / 255;
  const std::string fileBytes = rest.substr(0, split);
  std::vector<std::string> pieces{""};
  for (char c : rest.substr(split)) {
    if (c == '\x01')
      pieces.emplace_back();
    else
      pieces.back() += c;
  }

  const fs::path keyDir = root() / "HKEY_LOCAL_MACHINE/Software/Marrowfield/Orrin";
  fs::create_directories(keyDir);
  const fs::path keyFile = keyDir / "Corvalis.reg";
  std::ofstream(keyFile, std::ios::binary) << fileBytes;

  Registry reg(RootKey::LocalMachine, root());
  const bool opened = reg.openKey(corvalis::records::kSettingsKey, false);
  const bool unreadable = reg.problem().kind == corvalis::records::RegistryProblem::Kind::NoHeader;
  if (opened == unreadable) fail("a key file opened and reported unreadable, or neither");
  const auto before = readAll(reg, opened);

  std::vector<std::pair<std::string, std::string>> written;
  for (size_t i = 0; i < corvalis::records::kSettingsValues.size(); ++i) {
    if (mask >> i & 1) {
      written.emplace_back(corvalis::records::kSettingsValues[i].name, asUtf8(pieces[i % pieces.size()]));
    }
  }
  if (!reg.openKey(corvalis::records::kSettingsKey, true)) fail("the key cannot be opened for writing");
  try {
    reg.writeStrings(written);
  } catch (const RegistryError& e) {
    fail(std::string("write failed: ") + e.what());
  }
  reg.closeKey();
  if (unreadable && !written.empty()) {
    std::ifstream kept(reg.keptAside(), std::ios::binary);
    std::string keptBytes((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    if (reg.keptAside().empty() || keptBytes != fileBytes) fail("the unreadable file was not kept as it was");
  }

  Registry again(RootKey::LocalMachine, root());
  const bool reopened = again.openKey(corvalis::records::kSettingsKey, false);
  if (!written.empty() && !reopened) fail("the written key file cannot be read");
  const auto after = readAll(again, reopened);
  for (size_t i = 0, w = 0; i < after.size(); ++i) {
    std::optional<std::string> expected = before[i];
    if (mask >> i & 1) {
      const std::string& text = written[w++].second;
      expected = text.substr(0, text.find('\0'));  // a string ends at its first zero
    }
    if (after[i] != expected) {
      fail(std::string("value '") + std::string(corvalis::records::kSettingsValues[i].name) + "' reads \"" +
           after[i].value_or("<error>") + "\" instead of \"" + expected.value_or("<error>") + "\"");
    }
  }
  fs::remove_all(root());  // nothing left behind when the run ends
  return 0;
}
