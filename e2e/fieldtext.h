#pragma once
// Texts for scoring a field test: this side's or the far end's turns of a script, as they are
// typed, and what one speaker said in the last call record of a capture file.
#include <optional>
#include <string>
#include <string_view>
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

// Each call record of a capture file (or of several files read one after another), from its
// rule line up to the next, in order; lastConversation and lastRecordValue read one of them.
std::vector<std::string> records(std::string_view capture);

// The conversation of the last call record in a capture file (Windows-1252 bytes, CR LF
// lines); nothing when the file holds no complete record.
std::optional<std::string> lastConversation(std::string_view capture);

// The text after one speaker's marks ("SEND: " or "RECD: ") in a conversation, in order, with
// the view's marks for received CR and LF (and a modem's automatic line breaks) left out.
std::string speakerText(std::string_view conversation, std::string_view mark);

// What arrived at the far end without line ends: the program breaks long lines on a modem with
// CR LF (or CR) of its own, which are not part of the script's text.
std::string withoutLineEnds(std::string_view received);

// A value of the last call record, such as "TURBOCODEDETECTED"; nothing when it has no such line.
std::optional<std::string> lastRecordValue(std::string_view capture, std::string_view key);

}  // namespace fieldtext
