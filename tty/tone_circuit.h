// SPDX-License-Identifier: Apache-2.0
#pragma once
// A TTY's telephone circuit in tones: what is queued goes out as Baudot tones, what is heard is
// decoded, and we are deaf while we send (and just after), so that our own tones coming back on
// the line are never taken for the far end's. softtty and rttmodem's gateway both use it.
//
// Audio is read and played by a thread each, as a sound card needs; decoding happens on the
// owner's thread, which polls wakeFd() and then calls take(). When the sound server goes away (a
// restart, a suspend and resume), each thread opens its stream again once a second until it is
// back: the circuit stays, and what the output had not played goes again. Raw audio files and
// named pipes have no server: their end, or an error, ends the circuit.
//
// Start it only after the owner has blocked the signals it handles (see signals.h): its threads
// inherit the mask.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "audio.h"
#include "decoder.h"
#include "transmitter.h"

namespace tty {

// Where the sound streams come from, opened again after the sound server went away. One
// implementation talks to the sound server; tests use their own.
class SoundServer {
 public:
  virtual ~SoundServer() = default;
  virtual std::unique_ptr<AudioIn> openInput(const std::string& device, int rate, std::string* error) = 0;
  virtual std::unique_ptr<AudioOut> openOutput(const std::string& device, int rate, std::string* error) = 0;
};

// The desktop's sound server (openSoundInput and openSoundOutput).
SoundServer& systemSoundServer();

struct ToneCircuitConfig {
  // A device of the sound server (empty: its default), or a raw audio file or named pipe.
  std::string inputDevice, outputDevice, inputFile, outputFile;
  Tones tones;
};

class ToneCircuit {
 public:
  ToneCircuit(ToneCircuitConfig config, SoundServer& server);
  ~ToneCircuit();  // stops and joins the threads
  ToneCircuit(const ToneCircuit&) = delete;
  ToneCircuit& operator=(const ToneCircuit&) = delete;

  // Opens the sound server's streams (so that a missing device is reported at once) and starts
  // the threads; files and pipes are opened by their threads (a pipe waits for its writer).
  bool start(std::string* error);
  // Readable when take() has something.
  int wakeFd() const { return wake_[0]; }

  // Text to send as tones (the far end's text, a program's bytes).
  void queue(std::string_view bytes) { transmitter_.queue(bytes); }
  bool sending() const { return !transmitter_.idle(); }

  struct Taken {
    std::vector<Heard> heard;            // every character decoded, shifts and doubtful ones too
    std::string text;                    // what the far end typed: neither shifts nor doubtful
    std::vector<CarrierChange> carrier;  // the far end's carrier going on and off
    std::vector<Transmitter::Sent> sent;  // characters that went out as tones
    std::vector<std::string> events;     // the sound server lost and back, for the log
    bool inputEnded = false;             // a file's or pipe's input came to its end (once)
    std::string error;                   // a file or pipe failed: the circuit is over (once)
  };
  // Decodes what the input's thread captured since the last call.
  Taken take();

 private:
  double now() const;
  void captureLoop();
  void playbackLoop();
  bool pause(double seconds);  // false once stopping
  void event(const std::string& text);
  void wake(char c);

  ToneCircuitConfig config_;
  SoundServer& server_;
  Transmitter transmitter_;
  Decoder decoder_;
  std::unique_ptr<AudioIn> in_;    // the capture thread's once started
  std::unique_ptr<AudioOut> out_;  // the playback thread's once started
  std::thread capture_, playback_;
  std::atomic<bool> stop_{false};
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable stopped_;  // with mutex_
  struct Captured {
    std::vector<float> samples;
    double time = 0;  // seconds since start when the last sample was read
  };
  std::deque<Captured> captured_;     // with mutex_
  std::vector<std::string> events_;   // with mutex_
  bool inputBack_ = false;            // with mutex_: the input was opened again
  bool inputEnded_ = false;           // with mutex_
  std::string error_;                 // with mutex_
  bool endedTold_ = false, errorTold_ = false;
  bool farCarrier_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace tty
