// SPDX-License-Identifier: Apache-2.0
#pragma once
// The capture file's call record: one record written as bytes, and the records of a file read
// back. Every program that writes or reads a record does it here, so a new value line is one edit.
//
//   ================================================================    the rule line (64 "=")
//   Started at 10/18/01 14:05:07
//                                                                        an empty line
//   SEND: HELLO GA                                                       the conversation: the view's
//                                                                        text, paragraphs of one
//   RECD: HI GA                                                          speaker joined by CR LF
//                                                                        an empty line
//   Ended at 10/18/01 14:07:12 (125.3 seconds)
//   COMPUTERID: LAB1                                                     the value lines, KEY: value,
//   ...                                                                  in valueLines() order
//   SCRIPTUSED: script1.txt
//                                                                        an empty line
//
// Texts in a Record are Windows-1252 bytes, as in the file. Date texts are the writer's to make
// (corvalis writes its locale's short date and long time, ttysim the C locale's); the writer
// takes them as given, and dates.h reads any of those forms.
//
// Errors: nothing here does I/O or throws. Writing cannot fail. Reading takes any bytes: what
// cannot be read is said in the result (Capture::problem for the file as a whole,
// BrokenRecord::reason for one record), never by an exception.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace capture {

// The rule line that opens every record.
inline const std::string kRule(64, '=');

// The TYPE texts of calls over a landline: such a record has no signal, cable or phone.
inline constexpr const char* kLandlineDirect = "Landline Calls (Direct connection)";
inline constexpr const char* kLandlineAcoustic = "Landline Calls (Acoustic)";
// The DIRECTION of a call this end placed: a modem's record then says the number it dialled.
inline constexpr const char* kOutgoingCall = "Outgoing Call";
bool isLandline(std::string_view type);
// The DEVICE texts of the modems (driven with AT commands; they dial).
bool isModemDevice(std::string_view device);

// One call record, as its lines hold it.
struct Record {
  int number = 0;                 // from 1 within its file (the reader's; the writer ignores it)
  std::string started;            // the text after "Started at "
  std::string ended;              // the text after "Ended at ", the call's length included
  std::optional<double> seconds;  // that length, when it can be read (the reader's)
  std::string conversation;       // the view's text, lines joined by CR LF
  std::vector<std::pair<std::string, std::string>> values;  // "KEY: value" lines, in order

  // The value of the first line with this key; nothing when the record has no such line.
  const std::string* value(std::string_view key) const;
};

// The values a tester gives a call, in Windows-1252.
struct CallValues {
  std::string computerId, type, direction;
  std::string signal, cableId, phoneModel, phoneTech;  // left out of a landline call's record
  std::string userName, location, networkInfo, device, port;
  bool turboDetected = false;
  std::string dialNumber;  // written for an outgoing call on a modem only
  bool scriptCompleted = false;
  std::string scriptUsed;
};

// The value lines of a record in the file's order: a landline call's SIGNAL, CABLEID, PHONEMODEL
// and PHONETECH say "N/A", and DIAL# is there for an outgoing call on a modem only.
std::vector<std::pair<std::string, std::string>> valueLines(const CallValues& values);

// The "Ended at" text: the date and the call's length in seconds, "10/18/01 14:07:12 (125.3 seconds)".
std::string endedText(std::string_view date, std::string_view seconds);

// The record's lines without their line ends (the last one is the empty line after SCRIPTUSED),
// and the record as appended to a file: every line ended by CR LF.
std::vector<std::string> recordLines(const Record& record);
std::string recordBytes(const Record& record);

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

// Lines without their ends; a last line without an end counts too. Lines end in CR LF or LF; in
// text with no LF at all (saved with the old Macintosh line ends), in CR.
std::vector<std::string_view> splitLines(std::string_view text);

}  // namespace capture
