#pragma once
// The command line of the console rttmodem.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loss.h"
#include "t140.h"

namespace rttmodem::console {

enum class Mode { Listen, Dial, Help, Version };

struct Options {
  Mode mode = Mode::Listen;
  std::string host = "127.0.0.1";
  int sipPort = 0;  // --listen PORT, or --port with --dial
  std::string dialUri;
  std::string user = "rttmodem";
  std::string registerUri;  // the account's address of record, sip:user@registrar[:port]
  std::string authUser;     // default: the user of registerUri
  std::string password;     // from --password-file or RTTMODEM_PASSWORD
  int generations = 2;
  std::optional<rtt::LossSpec> loss;
  std::uint64_t seed = 1;
  double pace = 0;  // characters a second from standard input; 0: as they come
  int calls = 1;    // --listen: calls to take before exiting; 0: no end
  int answerTimeout = 60;
  int refuse = 0;         // --listen: refuse calls with this SIP status
  bool noAnswer = false;  // --listen: let calls ring
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;
};

// args excludes the program name; passwordFromEnv is RTTMODEM_PASSWORD, if set.
ParseResult parseOptions(const std::vector<std::string>& args,
                         const std::optional<std::string>& passwordFromEnv);
std::string usageText();

// The registrar of an address of record: sip:alice@example.org:5060 -> sip:example.org:5060. The
// user part goes in userOut. Nothing when it is not a sip: URI with a user and a host.
std::optional<std::string> registrarOf(const std::string& aor, std::string* userOut);

}  // namespace rttmodem::console
