// SPDX-License-Identifier: Apache-2.0
#include "report.h"

#include <algorithm>
#include <cstdio>

namespace softtty {

std::string codeName(const Heard& h) {
  if (h.shift) return h.code == 27 ? "FIGS" : "LTRS";
  switch (h.ch) {
    case ' ':
      return "SP";
    case '\r':
      return "CR";
    case '\n':
      return "LF";
    case '\b':
      return "BS";
    case '\a':
      return "BEL";
    default:
      return std::string(1, h.ch);
  }
}

std::string reportHeader() {
  return "    time  char  code  conf  level   freq    SNR    bit\n"
         "       s                   dBFS     Hz     dB     ms\n";
}

std::string reportLine(const Heard& h) {
  char buf[128];
  // A doubtful code is marked with a question mark after its name: it was not printed.
  std::snprintf(buf, sizeof buf, "%8.3f  %-4s  %4d  %4.2f  %5.1f  %+5.1f  %5.1f  %5.2f\n", h.time,
                (codeName(h) + (h.doubtful ? "?" : "")).c_str(), h.code, h.confidence, h.levelDb,
                h.freqErrorHz, h.snrDb, h.bitMs);
  return buf;
}

std::string reportCarrier(const CarrierChange& c) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%8.3f  carrier %s\n", c.time, c.on ? "on" : "off");
  return buf;
}

void Summary::add(const Heard& h) {
  if (h.doubtful) {
    ++doubtful_;
    return;
  }
  (h.shift ? shifts_ : chars_)++;
  confidence_ += h.confidence;
  lowestConfidence_ = std::min(lowestConfidence_, h.confidence);
  level_ += h.levelDb;
  freq_ += h.freqErrorHz;
  snr_ += h.snrDb;
  lowestSnr_ = std::min(lowestSnr_, h.snrDb);
  bitMs_ += h.bitMs;
}

void Summary::addCarrier(const CarrierChange& c) {
  if (c.on) {
    carrierSince_ = c.time;
  } else if (carrierSince_ >= 0) {
    carrierTime_ += c.time - carrierSince_;
    carrierSince_ = -1;
  }
}

std::string Summary::text(double seconds, long rejected) const {
  char doubt[96] = "";
  if (doubtful_ > 0)
    std::snprintf(doubt, sizeof doubt, "; %ld doubtful code%s not printed (confidence below %.2f)", doubtful_,
                  doubtful_ == 1 ? "" : "s", kDoubt);
  const long n = chars_ + shifts_;
  double carrier = carrierTime_ + (carrierSince_ >= 0 ? std::max(0.0, seconds - carrierSince_) : 0);
  char buf[512];
  if (n == 0) {
    std::snprintf(buf, sizeof buf, "nothing heard in %.1f s of audio (carrier %.1f s, %ld frames rejected)%s",
                  seconds, carrier, rejected, doubt);
    return buf;
  }
  std::snprintf(
      buf, sizeof buf,
      "%ld characters and %ld shift codes in %.1f s of audio (carrier %.1f s); confidence %.2f mean, "
      "%.2f lowest; level %.1f dBFS; frequency error %+.1f Hz; SNR %.1f dB mean, %.1f dB lowest; "
      "bit %.2f ms; %ld frames rejected%s",
      chars_, shifts_, seconds, carrier, confidence_ / n, lowestConfidence_, level_ / n, freq_ / n, snr_ / n,
      lowestSnr_, bitMs_ / n, rejected, doubt);
  return buf;
}

}  // namespace softtty
