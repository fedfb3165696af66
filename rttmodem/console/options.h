// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command line of the console rttmodem.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "impair.h"
#include "loss.h"
#include "t140.h"

namespace rttmodem::console {

enum class Mode { Listen, Dial, Help, Version };

// What is on this side of the calls: the console (standard input and output), a TTY modem on a
// pseudo-terminal for a program to drive with AT commands (--port), or the circuit side of a
// gateway: a TTY on a serial port (--tty-serial) or Baudot tones (--tty-audio).
enum class Front { Console, Modem, Serial, Audio };

struct Options {
  Mode mode = Mode::Listen;
  Front front = Front::Console;
  std::string host = "127.0.0.1";
  int sipPort = 0;  // --listen PORT, or --sip-port
  std::string dialUri;
  std::string user = "rttmodem";
  std::string registerUri;  // the account's address of record, sip:user@registrar[:port]
  std::string authUser;     // default: the user of registerUri
  std::string password;     // from --password-file or RTTMODEM_PASSWORD
  bool acceptDirect = false;  // --register: also take calls that do not come through the registrar
  int generations = 2;
  std::optional<rtt::LossPattern> loss;
  rtt::Impairments impair;  // --delay, --jitter, --reorder, --duplicate, --ssrc-change
  int reinvite = 0;         // --reinvite S: a re-INVITE S seconds into each call
  int hold = 0;             // --hold S: audio on hold S seconds into each call, off 5 s later
  int addText = 0;          // --add-text S: our calls offer audio alone and add text S seconds in
  bool textOnly = false;    // --text-only: our calls offer text alone
  std::uint64_t seed = 1;
  double pace = 0;  // characters a second from standard input; 0: as they come
  int calls = 1;    // --listen: calls to take before exiting; 0: no end
  int answerTimeout = 60;
  int refuse = 0;         // --listen: refuse calls with this SIP status
  bool noAnswer = false;  // --listen: let calls ring
  std::string traceDir;   // --trace-dir: a wire trace of each call there
  // The modem (--port COMn): its link in the port folder, and where a number dialled without a
  // host is called (host[:port]; empty: the registrar's, or refused).
  std::string port, portDir, dialHost;
  std::string connectText = "CONNECT TTY";
  // The gateway's circuit: a serial device (a path, or COMn in the port folder), or tones
  // through sound devices (empty: the defaults) or raw audio files and named pipes.
  std::string serialDevice;
  std::string inputDevice, outputDevice, inputFile, outputFile;
  double baud = 45.45;
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;
};

// args excludes the program name; passwordFromEnv is RTTMODEM_PASSWORD and portDirFromEnv
// CORVALIS_PORT_DIR, if set.
ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& passwordFromEnv,
                         const std::optional<std::string>& portDirFromEnv = std::nullopt);

// The SIP URI a modem's dial string calls: a sip: URI as it is, user@host as sip:user@host, and a
// number (digits, spaces, dashes and the tone/pulse letters left out) at dialHost. Nothing when
// the string holds nothing to call, or a number but no dialHost.
std::optional<std::string> dialTarget(std::string_view dialString, const std::string& dialHost);
std::string usageText();

// The registrar of an address of record: sip:alice@example.org:5060 -> sip:example.org:5060. The
// user part goes in userOut. Nothing when it is not a sip: URI with a user and a host.
std::optional<std::string> registrarOf(const std::string& aor, std::string* userOut);

}  // namespace rttmodem::console
