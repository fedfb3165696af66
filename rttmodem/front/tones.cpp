// SPDX-License-Identifier: Apache-2.0
// A TTY on a phone line: its Baudot tones heard and played through the tty library's tone
// circuit (the same as softtty's), over a sound card or raw audio files and named pipes. The
// circuit's threads read and play the audio; decoding and everything else happens in the loop's
// thread, woken through the circuit's descriptor. A sound server that restarts is waited for;
// only a file's or pipe's end, or its failure, ends the circuit.
#include <string>

#include "circuit.h"
#include "libre.h"
#include "tone_circuit.h"

namespace rttmodem::front {
namespace {

class Tones : public Circuit {
 public:
  Tones(const AudioConfig& c, Handlers h) : h_(std::move(h)), circuit_(toneConfig(c), tty::systemSoundServer()) {}
  ~Tones() override { watch_.reset(); }

  bool start(std::string* error) {
    if (!circuit_.start(error)) return false;
    watch_ = std::make_unique<net::FdWatch>(circuit_.wakeFd(), [this] { hear(); });
    return true;
  }

  void write(std::string_view bytes) override { circuit_.queue(bytes); }
  bool sending() const override { return !done_ && circuit_.sending(); }

 private:
  static tty::ToneCircuitConfig toneConfig(const AudioConfig& c) {
    tty::ToneCircuitConfig t;
    t.inputDevice = c.inputDevice;
    t.outputDevice = c.outputDevice;
    t.inputFile = c.inputFile;
    t.outputFile = c.outputFile;
    t.tones.baud = c.baud;
    return t;
  }

  void hear() {
    tty::ToneCircuit::Taken t = circuit_.take();
    if (h_.log) {
      for (const std::string& e : t.events) h_.log(e);
      for (const tty::CarrierChange& c : t.carrier) h_.log(c.on ? "carrier on" : "carrier off");
    }
    if (!t.text.empty() && h_.typed) h_.typed(t.text);
    if (done_) return;
    if (!t.error.empty() || t.inputEnded) {
      done_ = true;
      if (h_.ended) h_.ended(t.error.empty() ? "the audio input ended" : t.error);
    }
  }

  Handlers h_;
  tty::ToneCircuit circuit_;
  std::unique_ptr<net::FdWatch> watch_;
  bool done_ = false;
};

}  // namespace

std::unique_ptr<Circuit> openTones(const AudioConfig& config, Circuit::Handlers handlers, std::string* error) {
  auto t = std::make_unique<Tones>(config, std::move(handlers));
  if (!t->start(error)) return nullptr;
  return t;
}

}  // namespace rttmodem::front
