// SPDX-License-Identifier: Apache-2.0
#include "pacing.h"

#include <algorithm>
#include <cctype>

namespace ttysim {

void Typist::start(std::string text, double charsPerSecond, Seconds now) {
  text_ = std::move(text);
  pos_ = 0;
  slot_ = 1.0 / charsPerSecond;
  due_ = now;
}

std::optional<Seconds> Typist::nextDue() const {
  if (!busy()) return std::nullopt;
  return due_;
}

std::optional<std::string> Typist::poll(Seconds now) {
  if (!busy() || now < due_) return std::nullopt;
  char c = text_[pos_++];
  due_ = std::max(due_ + slot_, now);
  if (c == '~') return std::string();
  return std::string(1, c);
}

void TurnDetector::hear(char c, Seconds now) {
  ++heard_;
  last_ = now;
  if (c == ' ' || c == '\r' || c == '\n') return;
  tail_ += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (tail_.size() > 2) tail_.erase(0, tail_.size() - 2);
}

void TurnDetector::reset() {
  heard_ = 0;
  tail_.clear();
}

bool TurnDetector::endsWithSign() const {
  return tail_ == "GA" || tail_ == "SK";
}

bool TurnDetector::turnOver(Seconds now) const {
  if (heard_ == 0) return false;
  return (endsWithSign() && now >= last_ + quiet_) || now >= last_ + giveUp_;
}

std::optional<Seconds> TurnDetector::nextCheck() const {
  if (heard_ == 0) return std::nullopt;
  return last_ + (endsWithSign() ? std::min(quiet_, giveUp_) : giveUp_);
}

}  // namespace ttysim
