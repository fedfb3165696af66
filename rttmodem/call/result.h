// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a call's end reads for the program driving the modem: the result line a modem gives when a
// call it placed fails, or when a call that was up ends.
#include <string>

namespace rttmodem::call {

enum class ModemResult { NoCarrier, Busy, NoAnswer };

std::string resultLine(ModemResult r);  // "NO CARRIER", "BUSY", "NO ANSWER"

// The result for the final SIP status of a call we placed that did not come up. 0: no status
// (the request timed out, the address could not be reached).
//   486 Busy Here, 600 Busy Everywhere, 603 Decline -> BUSY (the far end is there and will not talk)
//   408 Request Timeout, 480 Temporarily Unavailable, 487 Request Terminated -> NO ANSWER
//   anything else, and no status at all -> NO CARRIER
ModemResult resultForFailure(int status);

}  // namespace rttmodem::call
