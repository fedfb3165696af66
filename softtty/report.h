// SPDX-License-Identifier: Apache-2.0
#pragma once
// What --decode says on standard error: a line per code heard, carrier changes, and a summary.
#include <string>
#include <vector>

#include "decoder.h"

namespace softtty {

using namespace tty;  // softtty is the FSK modem of the tty library with a sound card and a port

std::string reportHeader();
std::string reportLine(const Heard& h);
std::string reportCarrier(const CarrierChange& c);

class Summary {
 public:
  void add(const Heard& h);
  void addCarrier(const CarrierChange& c);
  // The summary line, for audio of `seconds` with `rejected` frames thrown away. Doubtful codes
  // are counted apart, and only they.
  std::string text(double seconds, long rejected) const;

 private:
  long chars_ = 0, shifts_ = 0, doubtful_ = 0;
  double confidence_ = 0, lowestConfidence_ = 1;
  double level_ = 0, freq_ = 0, snr_ = 0, lowestSnr_ = 1e9, bitMs_ = 0;
  double carrierSince_ = -1, carrierTime_ = 0;
};

// How a code shows in the report: the character, or a name for shifts and controls.
std::string codeName(const Heard& h);

}  // namespace softtty
