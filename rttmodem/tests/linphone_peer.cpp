// SPDX-License-Identifier: Apache-2.0
// A real-time text endpoint on another SIP and RTP stack (liblinphone), for interoperability
// tests only. It speaks UTF-8 on its standard streams: what it reads is typed to the far end a
// character at a time, what the far end types is written out; its events go to standard error.
//
//   linphone_peer DIR --listen            answer the first call (with text)
//   linphone_peer DIR --call URI          call URI (with text)
//   [--loss P]                            drop P % of the packets it sends (its own simulator)
//   [--verbose]                           the library's messages on standard error
//   [--library-numbers]                   keep the library's own text payload type numbers (by
//                                         default it takes rttmodem's, 98 and 100)
//   [--pace CPS]                          type the input at CPS characters a second, as a person
//                                         does; then a form feed in the input is a pause of 2.5 s
//                                         and text between SO and SI (0x0E, 0x0F) goes at once,
//                                         as a paste (none of the three is typed)
//   [--text-log FILE]                     each character typed and shown, as wire trace lines of
//                                         the far side (typed|shown SECONDS far "TEXT"), SECONDS
//                                         on the monotonic clock a trace's origin is given in
// With its default, proxy-less configuration it calls an address directly (--call) as well as
// answering (--listen).
// The end of its input ends the call; the end of the call ends the program.
#include <fcntl.h>
#include <linphone/core.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "wire_trace.h"

namespace {

int textOut = 1;  // the far end's text; the library's own messages go to standard error
LinphoneCore* core = nullptr;
LinphoneCall* currentCall = nullptr;
LinphoneChatMessage* typing = nullptr;
bool done = false;
std::string pending;  // UTF-8 read and not yet typed (before the text stream was up, or paced)
double pace = 0;      // characters a second; 0: as it comes
using Clock = std::chrono::steady_clock;
Clock::time_point nextKey{};  // when the next character may be typed (with a pace)
FILE* textLog = nullptr;

std::string utf8(char32_t c) {
  char out[5] = {};
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
  } else if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6)), out[1] = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12)), out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out[0] = static_cast<char>(0xF0 | (c >> 18)), out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F)), out[3] = static_cast<char>(0x80 | (c & 0x3F));
  }
  return std::string(out, std::strlen(out));
}

void logText(const char* kind, char32_t c) {
  if (!textLog) return;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
  std::fprintf(textLog, "%s %s far %s\n", kind, rttmodem::trace::seconds(us).c_str(),
               rttmodem::trace::quote(utf8(c)).c_str());
  std::fflush(textLog);
}

void type(char32_t c) {
  linphone_chat_message_put_char(typing, c);
  logText("typed", c);
}

void put(char32_t c) {
  logText("shown", c);
  const std::string out = utf8(c);
  (void)!::write(textOut, out.data(), out.size());
}

// The length of the UTF-8 character that starts with b.
std::size_t lengthOf(unsigned char b) { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

char32_t decode(const std::string& s, std::size_t i, std::size_t len) {
  const auto b = static_cast<unsigned char>(s[i]);
  char32_t c = len == 1 ? b : b & (0x3F >> (len - 1));
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return c;
}

// Types what is due of the input with a pace: one character each 1/pace s, a pause at a form
// feed, a paste (SO ... SI) at once.
void typePaced() {
  while (typing && !pending.empty() && Clock::now() >= nextKey) {
    if (pending[0] == '\f') {
      pending.erase(0, 1);
      nextKey = Clock::now() + std::chrono::milliseconds(2500);
      return;
    }
    if (pending[0] == '\x0E') {
      const std::size_t end = pending.find('\x0F');
      if (end == std::string::npos) return;  // the rest of the paste comes with the next read
      for (std::size_t i = 1; i < end; i += lengthOf(static_cast<unsigned char>(pending[i])))
        type(decode(pending, i, lengthOf(static_cast<unsigned char>(pending[i]))));
      pending.erase(0, end + 1);
      nextKey = Clock::now() + std::chrono::microseconds(static_cast<long>(1e6 / pace));
      return;
    }
    const std::size_t len = lengthOf(static_cast<unsigned char>(pending[0]));
    if (len > pending.size()) return;
    type(decode(pending, 0, len));
    pending.erase(0, len);
    nextKey = Clock::now() + std::chrono::microseconds(static_cast<long>(1e6 / pace));
  }
}

void sendPending() {
  if (!typing) return;
  if (pace > 0) return typePaced();
  std::size_t i = 0;
  while (i < pending.size()) {
    const std::size_t len = lengthOf(static_cast<unsigned char>(pending[i]));
    if (i + len > pending.size()) break;  // the rest of a character comes with the next read
    type(decode(pending, i, len));
    i += len;
  }
  pending.erase(0, i);
}

void onComposing(LinphoneCore*, LinphoneChatRoom* room) {
  if (const uint32_t c = linphone_chat_room_get_char(room)) put(c);
}

void onRoomComposing(LinphoneChatRoom* room, const LinphoneAddress*, bool_t) {
  onComposing(nullptr, room);
}

void onCallState(LinphoneCore* lc, LinphoneCall* call, LinphoneCallState state, const char* message) {
  std::fprintf(stderr, "peer state %s (%s)\n", linphone_call_state_to_string(state), message ? message : "");
  if (state == LinphoneCallStateIncomingReceived) {
    currentCall = call;
    LinphoneCallParams* params = linphone_core_create_call_params(lc, call);
    linphone_call_params_enable_realtime_text(params, TRUE);
    linphone_call_accept_with_params(call, params);
    linphone_call_params_unref(params);
  } else if (state == LinphoneCallStateStreamsRunning && !typing) {
    LinphoneChatRoom* room = linphone_call_get_chat_room(call);
    const bool rtt = linphone_call_params_realtime_text_enabled(linphone_call_get_current_params(call));
    std::fprintf(stderr, "peer connected text=%s\n", rtt ? "yes" : "no");
    LinphoneChatRoomCbs* roomCbs = linphone_factory_create_chat_room_cbs(linphone_factory_get());
    linphone_chat_room_cbs_set_is_composing_received(roomCbs, onRoomComposing);
    linphone_chat_room_add_callbacks(room, roomCbs);
    linphone_chat_room_cbs_unref(roomCbs);
    typing = linphone_chat_room_create_empty_message(room);
    sendPending();
  } else if (state == LinphoneCallStateEnd || state == LinphoneCallStateError ||
             state == LinphoneCallStateReleased) {
    if (call == currentCall) done = true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: linphone_peer DIR (--listen | --call URI) [--loss P]\n");
    return 1;
  }
  textOut = dup(1);
  dup2(2, 1);
  const std::string dir = argv[1];
  std::string callUri;
  float loss = 0;
  bool libraryNumbers = false;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--call") && i + 1 < argc) callUri = argv[++i];
    if (!std::strcmp(argv[i], "--library-numbers")) libraryNumbers = true;
    if (!std::strcmp(argv[i], "--pace") && i + 1 < argc) pace = std::strtod(argv[++i], nullptr);
    if (!std::strcmp(argv[i], "--text-log") && i + 1 < argc) {
      textLog = std::fopen(argv[++i], "w");
      if (!textLog) {
        std::fprintf(stderr, "peer cannot write %s\n", argv[i]);
        return 1;
      }
    }
    if (!std::strcmp(argv[i], "--loss") && i + 1 < argc) loss = std::strtof(argv[++i], nullptr);
    if (!std::strcmp(argv[i], "--verbose"))
      linphone_logging_service_set_log_level(linphone_logging_service_get(), LinphoneLogLevelMessage);
  }
  LinphoneFactory* factory = linphone_factory_get();
  linphone_factory_set_data_dir(factory, dir.c_str());
  linphone_factory_set_config_dir(factory, dir.c_str());
  LinphoneCoreCbs* cbs = linphone_factory_create_core_cbs(factory);
  linphone_core_cbs_set_call_state_changed(cbs, onCallState);
  linphone_core_cbs_set_is_composing_received(cbs, onComposing);
  const std::string config = dir + "/linphonerc";
  core = linphone_factory_create_core_3(factory, config.c_str(), nullptr, nullptr);
  linphone_core_add_callbacks(core, cbs);
  linphone_core_set_use_files(core, TRUE);  // no sound card: silence both ways
  linphone_core_enable_realtime_text(core, TRUE);
  linphone_core_set_user_agent(core, "linphone_peer", "1");
  LinphoneTransports* transports = linphone_factory_create_transports(factory);
  linphone_transports_set_udp_port(transports, LC_SIP_TRANSPORT_RANDOM);
  linphone_transports_set_tcp_port(transports, LC_SIP_TRANSPORT_DISABLED);
  linphone_transports_set_tls_port(transports, LC_SIP_TRANSPORT_DISABLED);
  linphone_core_set_transports(core, transports);
  linphone_transports_unref(transports);
  // Media on ports the system picks: with the library's fixed default ports, two peers on one
  // machine (tests run side by side) would take each other's text.
  linphone_core_set_audio_port(core, -1);
  linphone_core_set_video_port(core, -1);
  linphone_core_set_text_port(core, -1);
  // The same numbers as rttmodem's offer (unless --library-numbers): with others, this library
  // sends plain T.140 under the red number.
  bctbx_list_t* text = linphone_core_get_text_payload_types(core);
  for (bctbx_list_t* it = text; it; it = bctbx_list_next(it)) {
    auto* pt = static_cast<LinphonePayloadType*>(bctbx_list_get_data(it));
    const std::string mime = linphone_payload_type_get_mime_type(pt);
    if (mime == "t140" && !libraryNumbers) linphone_payload_type_set_number(pt, 98);
    if (mime == "red" && !libraryNumbers) linphone_payload_type_set_number(pt, 100);
    std::fprintf(stderr, "peer text payload %s %d\n", mime.c_str(), linphone_payload_type_get_number(pt));
  }
  linphone_core_set_text_payload_types(core, text);
  bctbx_list_free_with_data(text, reinterpret_cast<bctbx_list_free_func>(linphone_payload_type_unref));
  if (loss > 0) {
    OrtpNetworkSimulatorParams sim{};
    sim.enabled = TRUE;
    sim.loss_rate = loss;
    sim.rtp_only = TRUE;
    sim.mode = OrtpNetworkSimulatorOutbound;
    linphone_core_set_network_simulator_params(core, &sim);
  }
  linphone_core_start(core);
  LinphoneTransports* used = linphone_core_get_transports_used(core);
  std::fprintf(stderr, "peer ready port=%d\n", linphone_transports_get_udp_port(used));
  linphone_transports_unref(used);

  if (!callUri.empty()) {
    LinphoneCallParams* params = linphone_core_create_call_params(core, nullptr);
    linphone_call_params_enable_realtime_text(params, TRUE);
    currentCall = linphone_core_invite_with_params(core, callUri.c_str(), params);
    linphone_call_params_unref(params);
    if (!currentCall) {
      std::fprintf(stderr, "peer cannot call %s\n", callUri.c_str());
      return 1;
    }
  }
  fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
  bool inputOpen = true, hungUp = false;
  std::optional<Clock::time_point> lastTyped;
  while (!done) {
    linphone_core_iterate(core);  // the library's own loop: it wants a turn every few milliseconds
    // Characters the callbacks did not take (they do not always come for the first ones).
    if (typing && currentCall) {
      if (const uint32_t c = linphone_chat_room_get_char(linphone_call_get_chat_room(currentCall))) put(c);
    }
    if (pace > 0) typePaced();
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, inputOpen ? 1 : 0, 10) > 0) {
      char buf[1024];
      ssize_t n = ::read(0, buf, sizeof buf);
      if (n > 0) {
        pending.append(buf, static_cast<std::size_t>(n));
        sendPending();
      } else if (n == 0) {
        inputOpen = false;
      }
    }
    // The end of the input hangs up once what it held is typed (a paced input takes its time) and
    // has had a second to go out: the library's BYE does not wait for the text still to be sent.
    if (!inputOpen && !lastTyped && (pending.empty() || !typing)) lastTyped = Clock::now();
    if (lastTyped && !hungUp && (!typing || Clock::now() - *lastTyped >= std::chrono::seconds(1))) {
      hungUp = true;
      if (currentCall)
        linphone_call_terminate(currentCall);
      else
        done = true;
    }
  }
  std::fprintf(stderr, "peer ended\n");
  if (typing) linphone_chat_message_unref(typing);
  if (textLog) std::fclose(textLog);
  linphone_core_stop(core);
  linphone_core_unref(core);
  linphone_core_cbs_unref(cbs);
  return 0;
}
