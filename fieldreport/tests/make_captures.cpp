// SPDX-License-Identifier: Apache-2.0
// make_captures DIR [CALLS [SEED]]: a made-up day of field tests, for trying fieldreport and for the
// pictures in the documentation: DIR/scripts and DIR/captures (every other call at both ends).
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "capture_maker.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fputs("usage: make_captures DIR [CALLS [SEED]]\n", stderr);
    return 1;
  }
  capture_maker::DayOptions options;
  if (argc > 2) options.calls = std::atoi(argv[2]);
  if (argc > 3) options.seed = std::strtoull(argv[3], nullptr, 10);
  try {
    const auto files = capture_maker::writeDay(argv[1], options);
    std::printf("%zu capture files in %s/captures\n", files.size(), argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_captures: %s\n", e.what());
    return 1;
  }
  return 0;
}
