// SPDX-License-Identifier: Apache-2.0
#pragma once
// SHA-256 (FIPS 180-4), so that a report names the exact files its figures came from.
#include <string>
#include <string_view>

namespace fieldreport {

// The digest of the bytes as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string sha256Hex(std::string_view bytes);

}  // namespace fieldreport
