// SPDX-License-Identifier: Apache-2.0
#pragma once
// The sending half of the device: characters the program wrote, turned into tones as the audio
// output asks for samples. Half duplex: it waits while the far end's carrier is heard, and the
// receiver is deaf while it sends and for a while after.
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tones.h"

namespace tty {

class Transmitter {
 public:
  // hold: seconds the carrier stays on after the last character, for the next one.
  explicit Transmitter(const Tones& tones, double hold = 1.0) : tones_(tones), encoder_(tones), hold_(hold) {}

  // The program wrote these bytes (called from the main thread).
  void queue(std::string_view bytes);
  // Whether the far end's carrier is heard now; while it is, nothing new is started, for at most
  // `patience` seconds (then the characters go anyway), nor until the far end, deaf for a while
  // after its own sending, can hear us.
  void farCarrier(bool on, double now);
  // The next n samples to play, tones or silence (called from the audio output's thread). `now`
  // is when the first of them will be heard.
  void fill(float* out, std::size_t n, double now);

  // The audio output failed at `now` (the sound server went away): what it had not yet played is
  // lost. The characters whose tones had not all been heard by then go back to the front of the
  // queue, and the carrier counts as off, so that they go again with a lead-in and their shift.
  void interrupt(double now);

  // Whether the receiver must not listen to what it heard at `now`: the carrier is on, or went off
  // less than `deafAfter` seconds before.
  bool deaf(double now) const;

  struct Sent {
    double time;
    char ch;
  };
  // Characters that have gone out since the last call, with when they started.
  std::vector<Sent> takeSent();
  bool idle() const;

  static constexpr double kDeafAfter = 0.3;
  static constexpr double kPatience = 10.0;

 private:
  mutable std::mutex mutex_;
  Tones tones_;
  Encoder encoder_;
  double hold_;
  std::deque<char> bytes_;
  std::vector<float> pending_;  // tones made but not yet played
  std::size_t played_ = 0;
  double lastChar_ = -1e9;  // when the carrier last carried a character
  bool carrier_ = false;
  double carrierOff_ = -1e9;  // when the carrier last went off
  bool farOn_ = false;
  double waitingSince_ = -1;  // when characters began to wait for the line
  double farOff_ = -1e9;      // when the far end's carrier was last heard going off
  std::vector<Sent> sent_;
  struct OnAir {
    double end;  // when its last sample is heard
    char ch;
  };
  std::deque<OnAir> onAir_;  // characters made into tones lately
};

}  // namespace tty
