// SPDX-License-Identifier: Apache-2.0
// rttmodem's session descriptions and dial strings on any bytes: parsed without harm, and a
// description that parses and carries usable text gets an answer that parses again and settles
// the same text line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sdp.h"
#include "uri.h"

using namespace rttmodem::sip;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string why;
  if (checkDialUri(text, &why)) {
    // An address we call has a host.
    if (hostOf(text).empty()) std::abort();
  } else if (why.empty()) {
    std::abort();  // a refusal always says why
  }
  (void)portOf(text);
  std::string error;
  auto sdp = parseSdp(text, &error);
  if (!sdp) {
    if (error.empty()) std::abort();
    return 0;
  }
  LocalMedia local;
  local.address = "127.0.0.1";
  local.audioPort = 20000;
  local.textPort = 20002;
  std::string answer;
  if (auto n = answerOffer(*sdp, local, &answer, &error)) {
    auto again = parseSdp(answer, &error);
    if (!again || again->media.size() != sdp->media.size()) std::abort();
    if (n->textPort <= 0 || n->sendT140Pt < 0 || n->layout.size() != sdp->media.size()) std::abort();
  }
  // The same bytes as an answer to our offer, and to an offer of the same layout.
  if (auto n = readAnswer(*sdp, local, &error)) {
    if (n->textPort <= 0) std::abort();
  }
  std::vector<std::string> layout;
  for (const SdpMedia& m : sdp->media) layout.push_back(m.type);
  if (!parseSdp(buildOffer(local, layout), &error)) std::abort();
  return 0;
}
