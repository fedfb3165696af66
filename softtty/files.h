// SPDX-License-Identifier: Apache-2.0
#pragma once
// softtty's file modes: text to tones (--encode) and tones to text (--decode).
#include "options.h"

namespace softtty {

// Each returns the exit status; messages go to standard error.
int runEncode(const Options& o);
int runDecode(const Options& o);

}  // namespace softtty
