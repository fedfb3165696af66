// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading capture files and the texts a field test is scored on: the call records of a capture
// file, a side's turns of a script as they are typed, and what one speaker said in a call.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fieldtext {

// A turn is a run of non-empty lines; turns are numbered from 1. Lines end in CR LF or LF.
using Turn = std::vector<std::string>;
std::vector<Turn> readTurns(std::string_view script);

// Whether turn n (from 1) belongs to the odd side or the even side.
enum class Side { Odd, Even };

// What the side's turns become when typed on a TTY: every line followed by lineEnd, each
// pause (~) typing nothing. lineEnd is a space when the program or ttysim sends a script; the
// typing window shows a turn's lines joined with nothing between them.
std::string sideText(const std::vector<Turn>& turns, Side side, std::string_view lineEnd = " ");

// One call record of a capture file: the rule line, "Started at", the conversation, "Ended at
// ... (N seconds)" and the value lines through SCRIPTUSED.
struct Record {
  int number = 0;                 // from 1 within its file
  std::string started;            // the text after "Started at "
  std::string ended;              // the text after "Ended at ", the call's length included
  std::optional<double> seconds;  // that length, when it can be read
  std::string conversation;       // the view's text, lines joined by CR LF
  std::vector<std::pair<std::string, std::string>> values;  // "KEY: value" lines, in order

  // The value of the first line with this key; nothing when the record has no such line.
  const std::string* value(std::string_view key) const;
};

// A record that cannot be read whole, such as one broken off by a full disk, with what was read
// of it: the lines up to where it breaks off (a value line cut short is left out).
struct BrokenRecord {
  int number = 0;
  std::string reason;
  Record partial;
  bool started = false;            // it has its "Started at" line
  bool conversationWhole = false;  // it reached its "Ended at" line
};

struct Capture {
  std::vector<Record> records;
  std::vector<BrokenRecord> broken;
  std::string problem;   // why the file as a whole is no capture file; empty when it is one
  std::string encoding;  // how the file was read when not as the program writes it, such as "UTF-8"
};

// Every record of a capture file. The program writes Windows-1252 with lines ended by CR LF; LF
// or CR alone end lines too, and a file re-saved by an editor as UTF-8 (with or without its
// byte-order mark) or UTF-16 is read as the same text (characters the code page lacks become
// "?"). Records are numbered in file order, the broken ones included; reading goes on after a
// broken record. A record broken off in the middle of a line runs into the next one's rule line:
// a line ending in the rule line, followed by a "Started at" line, is split there.
Capture readCapture(std::string_view bytes);

// The bytes as Windows-1252 text and how they were read ("" when they already were).
std::string asCp1252(std::string_view bytes, std::string& encoding);

// The conversation of the last call record in a capture file; nothing when the file holds no
// record or its last one is broken.
std::optional<std::string> lastConversation(std::string_view capture);

// A value of the last call record, such as "TURBOCODEDETECTED"; nothing when it has no such line.
std::optional<std::string> lastRecordValue(std::string_view capture, std::string_view key);

// The text after one speaker's marks ("SEND: " or "RECD: ") in a conversation, in order, with
// the view's marks for received CR and LF (and a modem's automatic line breaks) left out.
std::string speakerText(std::string_view conversation, std::string_view mark);

// What arrived at the far end without line ends: the program breaks long lines on a modem with
// CR LF (or CR) of its own, which are not part of the script's text.
std::string withoutLineEnds(std::string_view received);

// The text without the spaces at its end: the program trims the last line of a call, so the
// texts compared keep none there.
std::string withoutTrailingSpaces(std::string text);

// Windows-1252 bytes as UTF-8, for terminals, CSV and web pages.
std::string cp1252ToUtf8(std::string_view bytes);

}  // namespace fieldtext
