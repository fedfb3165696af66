#include "modem_front.h"

#include <cstdio>

namespace rttmodem {

int runModem(const console::Options&, void (*)(const std::string&)) {
  std::fprintf(stderr, "rttmodem: the modem is not built yet\n");
  return 1;
}

}  // namespace rttmodem
