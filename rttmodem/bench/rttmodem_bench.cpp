// SPDX-License-Identifier: Apache-2.0
// rttmodem's figures: how much text is lost at 5, 10 and 20 % packet loss with 0, 1 and 2
// redundant generations, and how long a character takes from one end to the other on loopback.
//
// The loss grid runs the program's own sender and receiver in simulated time (typing at ten
// characters a second in turns with pauses, each packet lost at random), so thousands of
// characters a condition take no wall time. The latency runs two of the program's call controllers
// over real SIP and RTP on loopback. Exits 1 when any loss went unmarked or text arrived wrong.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "charset.h"
#include "controller.h"
#include "libre.h"
#include "loss.h"
#include "t140.h"

using namespace rttmodem;

namespace {

const std::string kMark = text::utf8(text::kLostTextMark);

struct Outcome {
  long sent = 0, delivered = 0, marks = 0, packets = 0, packetsLost = 0, recovered = 0;
  bool marked = true;  // every stretch of lost text has a mark
};

Outcome runCondition(int generations, double percent, std::uint64_t seed, int characters) {
  // Turns of 60 characters typed at 10 a second, 3 s apart.
  std::string typed;
  for (int w = 0; static_cast<int>(typed.size()) < characters; ++w) typed += "w" + std::to_string(w) + " ";
  typed.resize(static_cast<std::size_t>(characters));
  rtt::Sender sender({generations, 98, 100, 0, true});
  rtt::Receiver receiver(98, generations ? 100 : -1);
  rtt::LossModel loss({percent, 0}, seed);
  Outcome o;
  std::string got;
  std::vector<std::size_t> charsIn;  // new characters in each packet sent, by number
  std::size_t next = 0;
  std::uint64_t pauseUntil = 0;
  bool finished = false;
  long lastArrived = -1;
  for (std::uint64_t now = 0; !finished; now += 100) {
    if (now >= pauseUntil && next < typed.size()) {
      sender.queue(typed.substr(next++, 1));
      if (next % 60 == 0) pauseUntil = now + 3000;
    }
    const bool allSent = next == typed.size() && sender.idle();
    if (auto p = sender.poll(now)) {
      const long number = static_cast<long>(charsIn.size());
      charsIn.push_back(p->characters);
      ++o.packets;
      if (loss.drop()) continue;
      rtt::Received r = receiver.onPacket(static_cast<std::uint16_t>(number), p->marker, p->pt, p->payload);
      got += r.text;
      o.marks += r.marks;
      o.packetsLost += r.lost;
      o.recovered += r.recovered;
      // Packets missing before this one and beyond its redundancy: if any carried text, the
      // receiver must have shown a mark.
      bool textBeyond = false;
      for (long k = lastArrived + 1; k < number - generations; ++k)
        textBeyond = textBeyond || charsIn[static_cast<std::size_t>(k)] > 0;
      if (textBeyond && r.marks == 0) o.marked = false;
      lastArrived = number;
      finished = allSent;  // the call goes on until a packet after the text arrives
    }
  }
  o.sent = static_cast<long>(typed.size());
  std::string delivered = got;
  for (std::size_t at; (at = delivered.find(kMark)) != std::string::npos;) delivered.erase(at, kMark.size());
  o.delivered = static_cast<long>(delivered.size());
  return o;
}

int lossGrid() {
  int status = 0;
  std::printf(
      "Text loss (simulated time, 10 characters a second in turns of 60; 10 seeds x 6,000 characters a "
      "condition; independent losses)\n");
  std::printf("  %-6s %-11s %8s %8s %10s %10s %8s %8s  %s\n", "loss", "generations", "packets", "lost",
              "recovered", "text lost", "marks", "chars", "every loss marked");
  for (double percent : {5.0, 10.0, 20.0}) {
    for (int g : {0, 1, 2}) {
      Outcome sum;
      bool allMarked = true;
      for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        Outcome o = runCondition(g, percent, seed, 6000);
        sum.sent += o.sent, sum.delivered += o.delivered, sum.marks += o.marks, sum.packets += o.packets;
        sum.packetsLost += o.packetsLost, sum.recovered += o.recovered;
        allMarked = allMarked && o.marked;
      }
      const double textLost =
          100.0 * static_cast<double>(sum.sent - sum.delivered) / static_cast<double>(sum.sent);
      std::printf("  %4.0f %%  %-11d %8ld %8ld %10ld %9.3f%% %8ld %8ld  %s\n", percent, g, sum.packets,
                  sum.packetsLost, sum.recovered, textLost, sum.marks, sum.sent, allMarked ? "yes" : "NO");
      if (!allMarked) status = 1;
    }
  }
  return status;
}

int latency() {
  net::Loop loop;
  std::vector<double> latencies;
  std::vector<std::chrono::steady_clock::time_point> sentAt;
  std::string received;
  const int kChars = 150;
  int status = 0;
  call::Controller::Callbacks aCb, bCb;
  std::unique_ptr<call::Controller> a, b;
  aCb.event = [&](call::Event e, const call::CallInfo&) {
    if (e == call::Event::Incoming) a->answer();
  };
  aCb.text = [&](std::string_view bytes) {
    for (char c : bytes) {
      (void)c;
      const std::size_t k = received.size();
      received += c;
      if (k < sentAt.size())
        latencies.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sentAt[k]).count());
    }
    if (static_cast<int>(received.size()) >= kChars) loop.stop();
  };
  net::Timer typist, guard;
  std::mt19937 rng(1);
  std::function<void()> typeOne = [&] {
    sentAt.push_back(std::chrono::steady_clock::now());
    b->sendText(std::string(1, static_cast<char>('a' + sentAt.size() % 26)));
    if (static_cast<int>(sentAt.size()) < kChars)
      typist.start(std::uniform_int_distribution<int>(40, 260)(rng),
                   typeOne);  // 6.7 characters a second on average
  };
  bCb.event = [&](call::Event e, const call::CallInfo&) {
    if (e == call::Event::Connected) typist.start(500, typeOne);
    if (e != call::Event::Connected && e != call::Event::Ringing) loop.stop();
  };
  a = std::make_unique<call::Controller>(call::ControllerConfig{}, aCb);
  b = std::make_unique<call::Controller>(call::ControllerConfig{}, bCb);
  std::string error;
  if (!a->start(&error) || !b->start(&error)) {
    std::fprintf(stderr, "rttmodem_bench: %s\n", error.c_str());
    return 1;
  }
  b->dial(a->contact());
  guard.start(120000, [&] { loop.stop(); });
  loop.run();
  std::string expected;
  for (std::size_t k = 1; k <= sentAt.size(); ++k) expected += static_cast<char>('a' + k % 26);
  if (received != expected.substr(0, received.size()) || static_cast<int>(received.size()) < kChars) {
    std::printf("  latency run: text arrived wrong or incomplete (%zu of %d characters)\n", received.size(),
                kChars);
    status = 1;
  }
  b->hangUp();
  guard.start(100, [&] { loop.stop(); });  // lets the BYE go
  loop.run();
  std::sort(latencies.begin(), latencies.end());
  if (latencies.empty()) return 1;
  double mean = 0;
  for (double l : latencies) mean += l;
  mean /= static_cast<double>(latencies.size());
  auto pct = [&](double p) {
    return latencies[static_cast<std::size_t>(p * static_cast<double>(latencies.size() - 1))];
  };
  std::printf(
      "\nCharacter latency end to end on loopback (%zu characters typed at random moments, 300 ms "
      "interval)\n",
      latencies.size());
  std::printf("  mean %.0f ms, median %.0f ms, 95th percentile %.0f ms, min %.0f ms, max %.0f ms\n", mean,
              pct(0.5), pct(0.95), latencies.front(), latencies.back());
  return status;
}

}  // namespace

int main() {
  int status = lossGrid();
  status |= latency();
  return status;
}
