// SPDX-License-Identifier: Apache-2.0
// T.140 text both ways on any bytes. From the network: in pieces as packets bring it, nothing
// harms the converter, no control sequence reaches the program, and every lost-text mark shows
// as '?'. To the network: the sender cuts any text into packets within the size limit at every
// redundancy, and a receiver puts it back together exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "charset.h"
#include "t140.h"

using namespace rttmodem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = data[0] % 16 + 1;
  const int generations = data[1] % (rtt::kMaxGenerations + 1);
  const std::string_view in(reinterpret_cast<const char*>(data + 2), size - 2);

  text::FromNetwork from;
  std::string out;
  for (std::size_t at = 0; at < in.size(); at += piece) out += from.convert(in.substr(at, piece));
  if (out.find('\x1b') != std::string::npos) std::abort();
  // Marks that came whole in one piece are shown, whatever sequence they fell into.
  std::size_t marks = 0;
  const std::string mark = text::utf8(text::kLostTextMark);
  for (std::size_t at = 0; at < in.size(); at += piece) {
    const std::string_view p = in.substr(at, piece);
    for (std::size_t k = p.find(mark); k != std::string_view::npos; k = p.find(mark, k + 1)) ++marks;
  }
  std::size_t shown = 0;
  for (char c : out) shown += c == '?';
  if (shown < marks) std::abort();

  // The program's bytes as T.140, sent at a given redundancy in large packets.
  text::ToNetwork to;
  const std::string utf8 = to.convert(in);
  rtt::SenderConfig sc;
  sc.generations = generations;
  sc.keepAlives = false;
  sc.maxPayload = 200 + data[0] * 8;
  rtt::Sender sender(sc);
  sender.queue(utf8);
  rtt::Receiver receiver(sc.t140Pt, generations ? sc.redPt : -1);
  std::string back;
  std::uint64_t now = 0;
  std::uint16_t seq = 1;
  for (int i = 0; i < 100000 && !sender.idle(); ++i, now += rtt::kIntervalMs) {
    while (auto p = sender.poll(now)) {
      if (p->payload.size() > sc.maxPayload) std::abort();
      back += receiver.onPacket(seq++, p->marker, p->pt, p->payload).text;
    }
  }
  if (back != utf8) std::abort();
  return 0;
}
