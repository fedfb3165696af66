#pragma once
// softtty as a device: a TTY on a pseudo-terminal, sending what the program writes as tones and
// writing what it hears to the program.
#include "options.h"

namespace softtty {

int runDevice(const Options& o);

}  // namespace softtty
