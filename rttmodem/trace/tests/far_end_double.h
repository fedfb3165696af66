// SPDX-License-Identifier: Apache-2.0
#pragma once
// A far end of our own, as the wire traces of its calls: a sender of real-time text (red or plain
// T.140, its interval, clock, marker bits and opening byte order mark as set) and the SIP answers of
// a phone, each of which can carry one of the faults seen in real phones and gateways. Three calls
// make its day: a call with text and audio (typing, a paste, idle spells, audio held and resumed,
// a session refresh), a call that starts without text and adds it, and a call of text alone.
#include <string>
#include <vector>

#include "wire_trace.h"

namespace rttmodem::trace::testing {

struct Faults {
  bool redNotSent = false;         // red negotiated, plain T.140 sent
  bool twoStreams = false;         // each text sent twice: red on one SSRC, plain T.140 on another
  bool fixedLevel2Answer = false;  // the answer claims two generations whatever was offered (we offer one)
  bool noMarkerAfterIdle = false;  // only the first packet has the marker bit
  int intervalMs = 300;
  int clockHz = 1000;
  bool noOpeningBom = false;        // the stream opens with an empty keep-alive instead
  bool refuseMixedOffers = false;   // 488 to an offer with text beside audio
  bool textLostAfterReinvite = false;  // the stream dies after a session refresh
  bool textStoppedByHold = false;      // no text while audio is held
  bool repeatsAfterReinvite = false;   // after a re-INVITE the last text is sent again as new text
  bool invalidUtf8 = false;            // a Latin-1 byte in its text
  bool floods = false;                 // pastes faster than the cps allows
  bool garbledRedundancy = false;      // a redundant generation that is not the earlier text
};

// The far end's day: one trace per call.
std::vector<Trace> farEndDay(const Faults& faults);

}  // namespace rttmodem::trace::testing
