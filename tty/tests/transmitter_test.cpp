// SPDX-License-Identifier: Apache-2.0
// Half duplex: the receiver is deaf to our own tones and for a while after; nothing new is sent
// while the far end is heard, for a while.
#include "transmitter.h"

#include <gtest/gtest.h>

#include <vector>

#include "decoder.h"

namespace tty {
namespace {

TEST(Transmitter, DeafWhileSendingAndJustAfterAndSendsWhatItWasGiven) {
  Tones t;
  Transmitter tx(t, 0.5);
  Decoder far(t);
  EXPECT_FALSE(tx.deaf(0));
  tx.queue("HI 5\x1b");  // ESC has no Baudot form and is not sent
  double now = 0;
  double lastDeaf = -1;
  std::vector<float> block(160);
  for (int i = 0; i < 200; ++i, now += 0.02) {  // four seconds in 20 ms blocks
    tx.fill(block.data(), block.size(), now);
    far.feed(block);
    if (tx.deaf(now)) lastDeaf = now;
  }
  far.flush();
  std::string heard;
  for (const Heard& h : far.take()) {
    if (!h.shift) heard += h.ch;
  }
  EXPECT_EQ(heard, "HI 5");
  // The carrier: lead-in, 6 codes of 7.5 bits, then held 0.5 s; deaf 0.3 s more.
  const double off = t.leadIn + 6 * 7.5 / t.baud + 0.5;
  EXPECT_NEAR(lastDeaf, off + Transmitter::kDeafAfter, 0.05);
  EXPECT_FALSE(tx.deaf(now));
  EXPECT_TRUE(tx.idle());
  auto sent = tx.takeSent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].ch, 'H');
}

TEST(Transmitter, WaitsWhileTheFarEndIsHeardButNotForever) {
  Tones t;
  Transmitter tx(t);
  std::vector<float> block(160);
  auto loud = [&] {
    float peak = 0;
    for (float x : block) peak = std::max(peak, std::abs(x));
    return peak > 0;
  };
  tx.farCarrier(true, 0);
  tx.queue("A");
  double now = 0;
  for (; now < 1; now += 0.02) {
    tx.fill(block.data(), block.size(), now);
    EXPECT_FALSE(loud()) << now;
  }
  // The far end's carrier goes; we wait until it can hear us again.
  tx.farCarrier(false, now);
  const double off = now;
  bool started = false;
  for (; now < off + 1 && !started; now += 0.02) {
    tx.fill(block.data(), block.size(), now);
    started = loud();
  }
  EXPECT_TRUE(started);
  EXPECT_NEAR(now - off, Transmitter::kDeafAfter, 0.05);
  // A far carrier that never ends does not silence us for good.
  Transmitter stuck(t);
  stuck.farCarrier(true, 0);
  stuck.queue("B");
  bool sent = false;
  for (now = 0; now < Transmitter::kPatience + 0.5 && !sent; now += 0.02) {
    stuck.fill(block.data(), block.size(), now);
    sent = loud();
  }
  EXPECT_TRUE(sent);
  EXPECT_GT(now, Transmitter::kPatience);
}

}  // namespace
}  // namespace tty
