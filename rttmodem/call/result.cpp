// SPDX-License-Identifier: Apache-2.0
#include "result.h"

namespace rttmodem::call {

std::string resultLine(ModemResult r) {
  switch (r) {
    case ModemResult::Busy:
      return "BUSY";
    case ModemResult::NoAnswer:
      return "NO ANSWER";
    case ModemResult::NoCarrier:
      break;
  }
  return "NO CARRIER";
}

ModemResult resultForFailure(int status) {
  switch (status) {
    case 486:
    case 600:
    case 603:
      return ModemResult::Busy;
    case 408:
    case 480:
    case 487:
      return ModemResult::NoAnswer;
    default:
      return ModemResult::NoCarrier;
  }
}

}  // namespace rttmodem::call
