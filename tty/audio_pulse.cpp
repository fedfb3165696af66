// SPDX-License-Identifier: Apache-2.0
// Live audio through the sound server: PulseAudio, or PipeWire through its PulseAudio service
// (the default on Debian desktops). The simple API does the streams; the listing needs a context.
#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <vector>

#include "audio.h"
#include "wav.h"

namespace tty {
namespace {

std::string reason(int err, const std::string& device) {
  if (err == PA_ERR_CONNECTIONREFUSED || err == PA_ERR_INVALIDSERVER || err == PA_ERR_ACCESS) {
    return std::string("no sound server (") + pa_strerror(err) +
           "): live audio needs PulseAudio or PipeWire's PulseAudio service running for this user";
  }
  if (err == PA_ERR_NOENTITY) return "no sound device '" + device + "' (see softtty --list-devices)";
  if (err == PA_ERR_BUSY) return "the sound device '" + device + "' is busy";
  return std::string("cannot open the sound device") + (device.empty() ? "" : " '" + device + "'") + ": " +
         pa_strerror(err);
}

pa_simple* open(pa_stream_direction_t dir, const std::string& device, int rate, std::string* error) {
  pa_sample_spec format{PA_SAMPLE_S16LE, static_cast<uint32_t>(rate), 1};
  // Short buffers: the receiver must know when our own tones stop being heard.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(rate / 10 * 2);  // 100 ms of playback
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(rate / 50 * 2);  // 20 ms of capture
  int err = 0;
  pa_simple* s = pa_simple_new(nullptr, "softtty", dir, device.empty() ? nullptr : device.c_str(),
                               dir == PA_STREAM_PLAYBACK ? "TTY tones sent" : "TTY tones heard", &format,
                               nullptr, &attr, &err);
  if (!s) *error = reason(err, device);
  return s;
}

class PulseOut : public AudioOut {
 public:
  explicit PulseOut(pa_simple* s) : s_(s) {}
  ~PulseOut() override { pa_simple_free(s_); }
  bool write(const float* samples, std::size_t n, std::string* error) override {
    std::vector<short> pcm(n);
    for (std::size_t i = 0; i < n; ++i) pcm[i] = tty::toPcm(samples[i]);
    int err = 0;
    if (pa_simple_write(s_, pcm.data(), n * sizeof(short), &err) < 0) {
      *error = std::string("the sound output failed: ") + pa_strerror(err);
      return false;
    }
    return true;
  }
  bool drain(std::string* error) override {
    int err = 0;
    if (pa_simple_drain(s_, &err) < 0) {
      *error = std::string("the sound output failed: ") + pa_strerror(err);
      return false;
    }
    return true;
  }
  double latency() override {
    int err = 0;
    pa_usec_t us = pa_simple_get_latency(s_, &err);
    return us == static_cast<pa_usec_t>(-1) ? 0.1 : static_cast<double>(us) / 1e6;
  }

 private:
  pa_simple* s_;
};

class PulseIn : public AudioIn {
 public:
  explicit PulseIn(pa_simple* s) : s_(s) {}
  ~PulseIn() override { pa_simple_free(s_); }
  long read(float* samples, std::size_t n, std::string* error) override {
    std::vector<short> pcm(n);
    int err = 0;
    if (pa_simple_read(s_, pcm.data(), n * sizeof(short), &err) < 0) {
      *error = std::string("the sound input failed: ") + pa_strerror(err);
      return kFailed;
    }
    for (std::size_t i = 0; i < n; ++i) samples[i] = static_cast<float>(pcm[i]) / 32768.0f;
    return static_cast<long>(n);
  }

 private:
  pa_simple* s_;
};

struct Listing {
  std::string text;
  int pending = 2;
};

}  // namespace

std::unique_ptr<AudioOut> openSoundOutput(const std::string& device, int rate, std::string* error) {
  pa_simple* s = open(PA_STREAM_PLAYBACK, device, rate, error);
  return s ? std::make_unique<PulseOut>(s) : nullptr;
}

std::unique_ptr<AudioIn> openSoundInput(const std::string& device, int rate, std::string* error) {
  pa_simple* s = open(PA_STREAM_RECORD, device, rate, error);
  return s ? std::make_unique<PulseIn>(s) : nullptr;
}

bool listSoundDevices(std::string* text, std::string* error) {
  pa_mainloop* loop = pa_mainloop_new();
  pa_context* ctx = pa_context_new(pa_mainloop_get_api(loop), "softtty");
  Listing listing;
  bool ok = false;
  if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOFLAGS, nullptr) >= 0) {
    for (;;) {
      pa_context_state_t st = pa_context_get_state(ctx);
      if (st == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(st) || pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
    }
  }
  if (pa_context_get_state(ctx) == PA_CONTEXT_READY) {
    listing.text = "Inputs (--input-device):\n";
    std::string outputs = "Outputs (--output-device):\n";
    pa_operation* a = pa_context_get_source_info_list(
        ctx,
        [](pa_context*, const pa_source_info* i, int eol, void* data) {
          auto* l = static_cast<Listing*>(data);
          if (eol) {
            --l->pending;
          } else {
            // A monitor hears what an output plays: a loopback that can be listened to.
            l->text += std::string("  ") + i->name + "  (" + (i->description ? i->description : "") +
                       (i->monitor_of_sink != PA_INVALID_INDEX ? "; what an output plays" : "") + ")\n";
          }
        },
        &listing);
    while (listing.pending == 2 && pa_mainloop_iterate(loop, 1, nullptr) >= 0) {
    }
    listing.text += outputs;
    pa_operation* b = pa_context_get_sink_info_list(
        ctx,
        [](pa_context*, const pa_sink_info* i, int eol, void* data) {
          auto* l = static_cast<Listing*>(data);
          if (eol) {
            --l->pending;
          } else {
            l->text += std::string("  ") + i->name + "  (" + (i->description ? i->description : "") + ")\n";
          }
        },
        &listing);
    while (listing.pending == 1 && pa_mainloop_iterate(loop, 1, nullptr) >= 0) {
    }
    if (a) pa_operation_unref(a);
    if (b) pa_operation_unref(b);
    ok = listing.pending == 0;
    *text = listing.text;
  }
  if (!ok) *error = reason(pa_context_errno(ctx), "");
  pa_context_disconnect(ctx);
  pa_context_unref(ctx);
  pa_mainloop_free(loop);
  return ok;
}

}  // namespace tty
