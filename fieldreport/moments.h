// SPDX-License-Identifier: Apache-2.0
#pragma once
// The moments a record gives ("Started at", "Ended at") as seconds on a common scale, read by
// the capture library (capture/dates.h), under the names fieldreport has always used.
#include "capture/dates.h"

namespace fieldreport {

using capture::ambiguousDate;
using capture::DateOrder;
using capture::MonthDay;
using capture::monthDayOfName;
using capture::orderFromName;
using capture::parseMoment;

}  // namespace fieldreport
