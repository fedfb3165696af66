// SPDX-License-Identifier: Apache-2.0
// Test helper: holds the port COM5 open (through CORVALIS_PORT_DIR) until it is killed.
// Prints "open" once it holds it, or the error text when it cannot.
#include <unistd.h>

#include <cstdio>

#include "comport.h"

int main() {
  corvalis::TComPort port;
  port.SetPortNum("COM5");
  port.SetEvents(corvalis::TEvents{});
  try {
    port.Open();
  } catch (const corvalis::EComPort& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
  std::printf("open\n");
  std::fflush(stdout);
  for (;;) pause();
}
