// SPDX-License-Identifier: Apache-2.0
#include "uri.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>

namespace rttmodem::sip {
namespace {

constexpr std::size_t kMaxUri = 256;

bool isHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// A user part of letters, digits, the unreserved marks and a few others a number may hold;
// percent escapes for the rest.
bool goodUser(std::string_view u) {
  if (u.empty()) return false;
  for (std::size_t i = 0; i < u.size(); ++i) {
    const char c = u[i];
    if (std::isalnum(static_cast<unsigned char>(c))) continue;
    if (std::string_view("-_.!~*'()&=+$,").find(c) != std::string_view::npos) continue;
    if (c == '%' && i + 2 < u.size() && isHex(u[i + 1]) && isHex(u[i + 2])) {
      i += 2;
      continue;
    }
    return false;
  }
  return true;
}

bool allDigitsAndDots(std::string_view h) {
  for (char c : h)
    if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
  return true;
}

bool goodHost(std::string_view h, std::string* why) {
  if (h.empty()) {
    *why = "no host";
    return false;
  }
  if (h.front() == '[') {
    if (h.back() != ']') {
      *why = "an IPv6 address without its closing bracket";
      return false;
    }
    const std::string a(h.substr(1, h.size() - 2));
    unsigned char buf[16];
    if (inet_pton(AF_INET6, a.c_str(), buf) != 1) {
      *why = "not an IPv6 address: " + a;
      return false;
    }
    return true;
  }
  if (allDigitsAndDots(h)) {
    const std::string a(h);
    unsigned char buf[4];
    if (inet_pton(AF_INET, a.c_str(), buf) != 1) {
      *why = "not an IPv4 address: " + a;
      return false;
    }
    return true;
  }
  // A host name: labels of letters, digits and hyphens.
  std::size_t label = 0;
  for (std::size_t i = 0; i <= h.size(); ++i) {
    if (i == h.size() || h[i] == '.') {
      if (label == 0 || label > 63 || h[i - 1] == '-') {
        *why = "not a host name: " + std::string(h);
        return false;
      }
      label = 0;
      continue;
    }
    const char c = h[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && !(c == '-' && label > 0)) {
      *why = "not a host name: " + std::string(h);
      return false;
    }
    ++label;
  }
  return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

bool checkDialUri(std::string_view uri, std::string* why) {
  if (uri.size() > kMaxUri) {
    *why = "longer than " + std::to_string(kMaxUri) + " characters";
    return false;
  }
  if (uri.substr(0, 4) != "sip:") {
    *why = "not a sip: address";
    return false;
  }
  std::string_view rest = uri.substr(4);
  const std::size_t q = rest.find('?');
  if (q != std::string_view::npos) {
    *why = "headers in the address ('?') are not taken";
    return false;
  }
  const std::size_t semi = rest.find(';');
  std::string_view params = semi == std::string_view::npos ? std::string_view() : rest.substr(semi);
  rest = rest.substr(0, semi);
  const std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view user = rest.substr(0, at);
    if (user.find(':') != std::string_view::npos) {
      *why = "a password in the address is not taken";
      return false;
    }
    if (!goodUser(user)) {
      *why = "the user part '" + std::string(user) + "' holds characters an address cannot";
      return false;
    }
    rest = rest.substr(at + 1);
  }
  std::string_view host = rest;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      *why = "an IPv6 address without its closing bracket";
      return false;
    }
    host = rest.substr(0, close + 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') {
        *why = "text after the host";
        return false;
      }
      port = rest.substr(close + 2);
      if (port.empty()) port = "x";
    }
  } else if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (port.empty()) port = "x";
  }
  if (!goodHost(host, why)) return false;
  if (!port.empty()) {
    int p = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (ec != std::errc() || end != port.data() + port.size() || p < 1 || p > 65535) {
      *why = "the port must be from 1 to 65535, not '" + std::string(port) + "'";
      return false;
    }
  }
  if (!params.empty() && !equalsNoCase(params, ";transport=udp") && !equalsNoCase(params, ";transport=tcp")) {
    *why = "parameters other than ;transport=udp or ;transport=tcp are not taken";
    return false;
  }
  return true;
}

std::string hostOf(std::string_view uri) {
  if (uri.substr(0, 4) != "sip:") return {};
  std::string_view rest = uri.substr(4);
  rest = rest.substr(0, rest.find_first_of(";?"));
  const std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    return close == std::string_view::npos ? std::string() : std::string(rest.substr(1, close - 1));
  }
  return std::string(rest.substr(0, rest.find(':')));
}

int portOf(std::string_view uri) {
  if (uri.substr(0, 4) != "sip:") return 5060;
  std::string_view rest = uri.substr(4);
  rest = rest.substr(0, rest.find_first_of(";?"));
  const std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    rest = close == std::string_view::npos ? std::string_view() : rest.substr(close + 1);
  }
  const std::size_t colon = rest.rfind(':');
  int port = 5060;
  if (colon != std::string_view::npos) {
    auto [p, ec] = std::from_chars(rest.data() + colon + 1, rest.data() + rest.size(), port);
    if (ec != std::errc() || port < 1 || port > 65535) port = 5060;
  }
  return port;
}

}  // namespace rttmodem::sip
