// SPDX-License-Identifier: Apache-2.0
#pragma once
// Bytes as one line of a log: printable ASCII as it is, a backslash doubled, CR and LF as \r
// and \n, every other byte as \xHH.
#include <cstdio>
#include <string>
#include <string_view>

namespace tty {

inline std::string escaped(std::string_view s) {
  std::string r;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      r += "\\\\";
    } else if (c == '\r') {
      r += "\\r";
    } else if (c == '\n') {
      r += "\\n";
    } else if (u >= 32 && u < 127) {
      r += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      r += buf;
    }
  }
  return r;
}

}  // namespace tty
