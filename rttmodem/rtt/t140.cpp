// SPDX-License-Identifier: Apache-2.0
#include "t140.h"

#include <algorithm>

#include "charset.h"

namespace rttmodem::rtt {

std::optional<RedPayload> parseRed(std::string_view p, std::string* error) {
  RedPayload red;
  std::size_t at = 0;
  std::vector<std::size_t> lengths;
  // Headers: 4 bytes for each redundant block (F=1), then 1 byte for the primary (F=0).
  for (;;) {
    if (at >= p.size()) {
      *error = "red payload ends inside its headers";
      return std::nullopt;
    }
    const auto b0 = static_cast<unsigned char>(p[at]);
    if (!(b0 & 0x80)) {
      red.primaryPt = b0 & 0x7F;
      ++at;
      break;
    }
    if (at + 4 > p.size()) {
      *error = "red payload ends inside its headers";
      return std::nullopt;
    }
    const auto b1 = static_cast<unsigned char>(p[at + 1]), b2 = static_cast<unsigned char>(p[at + 2]),
               b3 = static_cast<unsigned char>(p[at + 3]);
    RedBlock block;
    block.pt = b0 & 0x7F;
    block.tsOffset = static_cast<std::uint16_t>((b1 << 6) | (b2 >> 2));
    lengths.push_back(((b2 & 0x03) << 8) | b3);
    red.redundant.push_back(std::move(block));
    at += 4;
  }
  for (std::size_t i = 0; i < red.redundant.size(); ++i) {
    if (at + lengths[i] > p.size()) {
      *error = "red block longer than the payload";
      return std::nullopt;
    }
    red.redundant[i].data.assign(p.substr(at, lengths[i]));
    at += lengths[i];
  }
  red.primary.assign(p.substr(at));
  return red;
}

std::string buildRed(const RedPayload& red) {
  std::string out;
  for (const RedBlock& b : red.redundant) {
    const std::size_t len = std::min<std::size_t>(b.data.size(), 1023);
    const unsigned ts = std::min<unsigned>(b.tsOffset, 0x3FFF);
    out += static_cast<char>(0x80 | (b.pt & 0x7F));
    out += static_cast<char>(ts >> 6);
    out += static_cast<char>(((ts & 0x3F) << 2) | (len >> 8));
    out += static_cast<char>(len & 0xFF);
  }
  out += static_cast<char>(red.primaryPt & 0x7F);
  for (const RedBlock& b : red.redundant) out.append(b.data, 0, std::min<std::size_t>(b.data.size(), 1023));
  out += red.primary;
  return out;
}

Sender::Sender(SenderConfig config) : config_(config) {
  config_.generations = std::clamp(config_.generations, 0, kMaxGenerations);
}

void Sender::renegotiate(std::uint8_t t140Pt, std::uint8_t redPt, int generations) {
  config_.t140Pt = t140Pt;
  config_.redPt = redPt;
  config_.generations = std::clamp(generations, 0, kMaxGenerations);
  while (static_cast<int>(history_.size()) > config_.generations) history_.pop_front();
  redundancyLeft_ = std::min(redundancyLeft_, config_.generations);
}

std::size_t Sender::blockLimit() const {
  // With g generations a packet holds g + 1 blocks of at most this size, 4 header bytes for each
  // redundant block and 1 for the primary.
  const std::size_t g = static_cast<std::size_t>(config_.generations);
  const std::size_t headers = g == 0 ? 0 : 4 * g + 1;
  const std::size_t room = config_.maxPayload > headers ? config_.maxPayload - headers : 1;
  return std::max<std::size_t>(1, std::min(kMaxBlock, room / (g + 1)));
}

std::size_t Sender::packetsPending() const {
  std::size_t packets = (pending_.size() + blockLimit() - 1) / blockLimit();
  if (config_.cps > 0) {
    const std::size_t perPacket = std::max<std::size_t>(1, static_cast<std::size_t>(config_.cps) * kIntervalMs / 1000);
    packets = std::max(packets, (text::countCodePoints(pending_) + perPacket - 1) / perPacket);
  }
  return packets;
}

void Sender::queue(std::string_view text) {
  pending_ += text;
}

std::optional<std::uint64_t> Sender::nextDue() const {
  if (!lastSentMs_) return config_.keepAlives || !idle() ? std::optional<std::uint64_t>(0) : std::nullopt;
  if (!idle()) return *lastSentMs_ + kIntervalMs;
  if (!config_.keepAlives) return std::nullopt;
  return *lastSentMs_ + (lastWasKeepAlive_ ? kKeepAliveMs : kFirstKeepAliveMs);
}

std::optional<OutPacket> Sender::poll(std::uint64_t nowMs) {
  const auto due = nextDue();
  if (!due || nowMs < *due) return std::nullopt;
  // Nothing to send but a keep-alive: an empty block (with empty generations), which moves the
  // sequence on so that the far end can tell whether what came before it arrived.
  lastWasKeepAlive_ = idle();
  // The first packet after a quiet spell (a whole interval with nothing to send) carries the
  // marker bit; its redundant generations are empty, since everything before it was sent with all
  // its generations already.
  const bool afterQuiet = redundancyLeft_ == 0 && (!lastSentMs_ || nowMs > *lastSentMs_ + kIntervalMs);
  if (afterQuiet) history_.clear();

  // A character longer than the limit (never, with a sane limit) still goes whole.
  std::size_t cut = text::wholeCharacterPrefix(pending_, blockLimit());
  if (config_.cps > 0) {
    // At most cps characters a second: packets are at least an interval apart.
    const std::size_t allowed = std::max<std::size_t>(1, static_cast<std::size_t>(config_.cps) * kIntervalMs / 1000);
    std::size_t at = 0, n = 0;
    while (at < cut && n < allowed) {
      ++at;
      while (at < cut && (static_cast<unsigned char>(pending_[at]) & 0xC0) == 0x80) ++at;
      ++n;
    }
    cut = at;
  }
  std::string primary = pending_.substr(0, cut);
  pending_.erase(0, cut);

  OutPacket pkt;
  pkt.marker = afterQuiet;
  pkt.timestamp = config_.timestampBase + static_cast<std::uint32_t>(nowMs);
  pkt.characters = text::countCodePoints(primary);
  if (config_.generations == 0) {
    pkt.pt = config_.t140Pt;
    pkt.payload = primary;
  } else {
    RedPayload red;
    red.primaryPt = config_.t140Pt;
    // Always as many redundant blocks as generations, empty where nothing was sent.
    const int missing = config_.generations - static_cast<int>(history_.size());
    for (int i = 0; i < missing; ++i) red.redundant.push_back({config_.t140Pt, 0, {}});
    for (const Sent& s : history_) {
      const std::uint32_t age = pkt.timestamp - s.timestamp;
      red.redundant.push_back(
          {config_.t140Pt, static_cast<std::uint16_t>(std::min<std::uint32_t>(age, 0x3FFF)), s.data});
    }
    red.primary = primary;
    pkt.pt = config_.redPt;
    pkt.payload = buildRed(red);
    history_.push_back({pkt.timestamp, primary});
    while (static_cast<int>(history_.size()) > config_.generations) history_.pop_front();
  }
  if (!primary.empty()) {
    redundancyLeft_ = config_.generations;
  } else if (redundancyLeft_ > 0) {
    --redundancyLeft_;
  }
  lastSentMs_ = nowMs;
  return pkt;
}

Receiver::Receiver(int t140Pt, int redPt) : t140Pt_(t140Pt), redPt_(redPt) {}

void Receiver::renegotiate(int t140Pt, int redPt) {
  t140Pt_ = t140Pt;
  redPt_ = redPt;
}

Received Receiver::onPacket(std::uint16_t seq, bool marker, std::uint8_t pt, std::string_view payload,
                            std::optional<std::uint32_t> ssrc) {
  Received r;
  RedPayload red;
  if (redPt_ >= 0 && pt == redPt_) {
    auto parsed = parseRed(payload, &r.error);
    if (!parsed) return r;
    red = std::move(*parsed);
    if (red.primaryPt != t140Pt_) {
      r.error = "red payload's primary block is not T.140";
      return r;
    }
  } else if (pt == t140Pt_) {
    red.primary.assign(payload);
  } else {
    r.error = "payload type not negotiated";
    return r;
  }
  const std::string kMark = text::utf8(text::kLostTextMark);
  const int generations = static_cast<int>(red.redundant.size());
  auto redundantText = [&](int k) -> const std::string* {  // the block for packet seq - k
    if (k < 1 || k > generations) return nullptr;
    const RedBlock& b = red.redundant[generations - k];
    return b.pt == t140Pt_ ? &b.data : nullptr;
  };

  if (ssrc && ssrc_ && *ssrc != *ssrc_ && previous_ && previous_->ssrc == *ssrc) {
    // The stream before: a latecomer of it, or that source back again. Its numbers go on.
    Stream present{*ssrc_, lastSeq_};
    lastSeq_ = previous_->lastSeq;
    previous_ = present;
  } else if (lastSeq_ && ssrc && ssrc_ && *ssrc != *ssrc_) {
    previous_ = Stream{*ssrc_, lastSeq_};
    lastSeq_.reset();  // another source: its sequence numbers are its own
    r.restarted = true;
  } else if (lastSeq_) {
    const std::uint16_t back = static_cast<std::uint16_t>(*lastSeq_ - seq);
    if (back != 0 && back < 0x8000 && back > kReorderWindow) {
      lastSeq_.reset();  // too far back to be a latecomer: the sender began its sequence again
      r.restarted = true;
    }
  }
  if (ssrc) ssrc_ = ssrc;
  if (!lastSeq_) {
    // The first packet of a stream. Without the marker bit it may not be the sender's first:
    // what its redundancy holds is recovered text, and unless the oldest generation is empty (so
    // the sender had been quiet before it), text older than the redundancy may be gone. Plain
    // T.140 has nothing to tell by (many senders leave the marker off their first packet), so
    // it is taken as it comes.
    if (!marker) {
      const std::string* oldest = redundantText(generations);
      if (generations > 0 && oldest && !oldest->empty()) {
        r.text += kMark;
        ++r.marks;
        ++r.lost;
      }
      for (int k = generations; k >= 1; --k) {
        const std::string* t = redundantText(k);
        if (t && !t->empty()) {
          r.text += *t;
          ++r.lost;
          ++r.recovered;
        }
      }
    }
  } else {
    const std::uint16_t step = static_cast<std::uint16_t>(seq - *lastSeq_);
    if (step == 0 || step >= 0x8000) {
      r.duplicate = true;  // already delivered, or recovered from a later packet's redundancy
      return r;
    }
    const int missing = step - 1;
    r.lost = missing;
    bool marked = false;
    for (int k = missing; k >= 1; --k) {  // oldest missing packet first
      if (const std::string* t = redundantText(k)) {
        r.text += *t;
        ++r.recovered;
      } else if (!marked) {
        r.text += kMark;  // one mark for each run of packets that nothing can fill
        ++r.marks;
        marked = true;
      }
    }
  }
  lastSeq_ = seq;
  r.text += red.primary;
  return r;
}

}  // namespace rttmodem::rtt
