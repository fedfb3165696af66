// fieldtext: the texts the demo scores. Writes to standard output
//   fieldtext turns SCRIPT odd|even      the side's turns as typed (lines ended by a space, no ~)
//   fieldtext capture FILE send|recd     what one speaker said in the file's last call record
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
      "       fieldtext capture CAPTUREFILE send|recd\n",
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
  if (argc != 4) return usage();
  const std::string what = argv[1], path = argv[2], which = argv[3];
  std::string bytes;
  if (what != "turns" && what != "capture") return usage();
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
  } else {
    if (which != "send" && which != "recd") return usage();
    auto conversation = fieldtext::lastConversation(bytes);
    if (!conversation) {
      std::fprintf(stderr, "fieldtext: %s holds no complete call record\n", path.c_str());
      return 1;
    }
    text = fieldtext::speakerText(*conversation, which == "send" ? "SEND: " : "RECD: ");
  }
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.flush();
  return std::cout ? 0 : 1;
}
