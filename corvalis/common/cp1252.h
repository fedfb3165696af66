// SPDX-License-Identifier: Apache-2.0
#pragma once
// Windows-1252, the single-byte character set of the conversation view and the capture files.
#include <string>
#include <string_view>

namespace corvalis {

// Unicode code point of one Windows-1252 byte. The five bytes that the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value.
char32_t Cp1252ToUnicode(unsigned char byte);

// The byte for a code point, or '?' when Windows-1252 cannot hold it.
unsigned char UnicodeToCp1252(char32_t code);

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, char32_t code);

// Conversions between UTF-8 text and Windows-1252 bytes. Malformed UTF-8 bytes become '?'.
std::string Utf8ToCp1252(std::string_view utf8);
std::string Cp1252ToUtf8(std::string_view bytes);

}  // namespace corvalis
