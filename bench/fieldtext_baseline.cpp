// SPDX-License-Identifier: Apache-2.0
// fieldtext: the helper a lab script used before fieldreport, one text per run, kept as the
// benchmark's baseline. Writes to standard output without trailing spaces (the program trims the
// last line of a call, so neither text keeps them):
//   fieldtext turns SCRIPT odd|even      the side's turns as typed (lines ended by a space, no ~)
//   fieldtext capture FILE send|recd     what one speaker said in the file's last call record
//   fieldtext line FILE                  a received text without its line ends
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "fieldtext.h"

namespace {

int usage() {
  std::fputs(
      "usage: fieldtext turns SCRIPT odd|even\n"
      "       fieldtext capture CAPTUREFILE send|recd\n"
      "       fieldtext line RECEIVEDFILE\n",
      stderr);
  return 1;
}

bool readWhole(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string what = argv[1], path = argv[2], which = argc > 3 ? argv[3] : "";
  if (argc != (what == "line" ? 3 : 4)) return usage();
  if (what != "turns" && what != "capture" && what != "line") return usage();
  std::string bytes;
  if (!readWhole(path, bytes)) {
    std::fprintf(stderr, "fieldtext: cannot read %s\n", path.c_str());
    return 1;
  }
  std::string text;
  if (what == "turns") {
    if (which != "odd" && which != "even") return usage();
    auto turns = fieldtext::readTurns(bytes);
    if (turns.empty()) {
      std::fprintf(stderr, "fieldtext: %s has no turns\n", path.c_str());
      return 1;
    }
    text = fieldtext::sideText(turns, which == "odd" ? fieldtext::Side::Odd : fieldtext::Side::Even);
  } else if (what == "line") {
    text = fieldtext::withoutLineEnds(bytes);
  } else {
    if (which != "send" && which != "recd") return usage();
    auto conversation = fieldtext::lastConversation(bytes);
    if (!conversation) {
      std::fprintf(stderr, "fieldtext: %s holds no complete call record\n", path.c_str());
      return 1;
    }
    text = fieldtext::speakerText(*conversation, which == "send" ? "SEND: " : "RECD: ");
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.flush();
  return std::cout ? 0 : 1;
}
