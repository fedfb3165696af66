#include "device.h"

#include <cstdio>

namespace softtty {

int runDevice(const Options&) {
  std::fprintf(stderr, "softtty: device mode is not built yet\n");
  return 1;
}

}  // namespace softtty
