// SPDX-License-Identifier: Apache-2.0
#pragma once
// The texts a field test is scored on: the call records of a capture file, a side's turns of a
// script as they are typed, and what one speaker said in a call.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/capture.h"

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

// The capture file's records, read by the capture library (capture/capture.h), under the names
// fieldreport has always used.
using capture::BrokenRecord;
using capture::Capture;
using capture::Record;
using capture::asCp1252;
using capture::lastConversation;
using capture::lastRecordValue;
using capture::readCapture;

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
