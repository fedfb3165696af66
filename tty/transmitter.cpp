// SPDX-License-Identifier: Apache-2.0
#include "transmitter.h"

#include <algorithm>

#include "baudot.h"

namespace tty {

void Transmitter::queue(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  for (char c : bytes) {
    // Characters with no Baudot form are not sent.
    if (tty::baudot::encode(static_cast<unsigned char>(c), tones_.figures)) bytes_.push_back(c);
  }
}

void Transmitter::farCarrier(bool on, double now) {
  std::lock_guard lock(mutex_);
  if (!on && farOn_) farOff_ = now;
  farOn_ = on;
}

bool Transmitter::deaf(double now) const {
  std::lock_guard lock(mutex_);
  return carrier_ || now < carrierOff_ + kDeafAfter;
}

void Transmitter::interrupt(double now) {
  std::lock_guard lock(mutex_);
  for (auto it = onAir_.rbegin(); it != onAir_.rend(); ++it) {
    if (it->end > now) bytes_.push_front(it->ch);
  }
  onAir_.clear();
  pending_.clear();
  played_ = 0;
  encoder_.carrierOff();
  if (carrier_) carrierOff_ = now;
  carrier_ = false;
}

bool Transmitter::idle() const {
  std::lock_guard lock(mutex_);
  return bytes_.empty() && !carrier_;
}

std::vector<Transmitter::Sent> Transmitter::takeSent() {
  std::lock_guard lock(mutex_);
  std::vector<Sent> out;
  out.swap(sent_);
  return out;
}

void Transmitter::fill(float* out, std::size_t n, double now) {
  std::lock_guard lock(mutex_);
  const double dt = 1.0 / tones_.rate;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = now + static_cast<double>(i) * dt;
    if (played_ == pending_.size()) {
      pending_.clear();
      played_ = 0;
      // A new transmission waits while the far end is sending (half duplex), up to a limit, and
      // until the far end, deaf after its own sending, can hear us again.
      if (bytes_.empty() || carrier_) {
        waitingSince_ = -1;
      } else if (waitingSince_ < 0) {
        waitingSince_ = t;
      }
      const bool mayStart = carrier_ || (!farOn_ && t >= farOff_ + kDeafAfter) ||
                            (waitingSince_ >= 0 && t - waitingSince_ > kPatience);
      if (!bytes_.empty() && mayStart) {
        const char c = bytes_.front();
        bytes_.pop_front();
        const bool wasOn = encoder_.carrier();
        encoder_.put(static_cast<unsigned char>(c), pending_);
        // The character starts after the lead-in when the carrier was off.
        sent_.push_back({t + (wasOn ? 0 : tones_.leadIn), c});
        onAir_.push_back({t + static_cast<double>(pending_.size()) * dt, c});
        while (onAir_.size() > 1 && onAir_.front().end < t - 2) onAir_.pop_front();
        carrier_ = true;
        lastChar_ = t + static_cast<double>(pending_.size()) * dt;
      } else if (carrier_ && t < lastChar_ + hold_) {
        encoder_.hold(0.02, pending_);  // the carrier held, a little at a time
      } else if (carrier_) {
        encoder_.carrierOff();
        carrier_ = false;
        carrierOff_ = t;
      }
    }
    out[i] = played_ < pending_.size() ? pending_[played_++] : 0.0f;
  }
}

}  // namespace tty
