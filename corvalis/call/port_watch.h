// SPDX-License-Identifier: Apache-2.0
#pragma once
// The port's device, watched: a device that goes (it hangs up, its name leads nowhere or to
// another device) is said once and the port closed; a port whose device is not there is tried
// once a second and opened when the device comes back. What a call does about it is the owner's
// (OnGone, OnBack).
//
// Errors: Open() passes on the port's error (EComPort) after watching for a device that is not
// there; Check() never throws for a device that is still away or unusable (it says the latter once).
#include <functional>
#include <string>

#include "common/settings_record.h"
#include "serial/comport.h"

namespace corvalis {

class TPortWatch {
 public:
  struct TEnvironment {
    std::function<TDateTime()> Now;                   // the wall clock, for how long it was away
    std::function<void(const std::string&)> Log;      // one line for the tester's log
    std::function<void(const std::string&)> OnGone;   // the device has gone (the port's name): end
                                                      // what it was doing; the port is closed after
    std::function<void()> OnBack;                     // opened again: set it up afresh
    std::function<void()> ClosePort;                  // closes the port, its errors the owner's
  };

  TPortWatch(TComPort& Port, TComSystem& System, TEnvironment Environment)
      : Port(Port), System(System), Env(std::move(Environment)) {}

  // Opens the port; a device not there (yet) is watched for and the error passed on.
  void Open();
  // The port has just opened: what its name leads to now, to tell a device replaced later.
  void Opened();
  // The device behind the port has gone (SystemError: why, or 0; How: what found it out).
  void Gone(int SystemError, const std::string& How);
  // Once a second: is the open port's device still the one behind its name, and is a device that
  // went back (then the port is opened and OnBack runs)?
  void Check();

  bool Watched() const { return watched_; }
  // The port's name as a path, with where its link leads.
  std::string PathText(const std::string& Name) const;

 private:
  TComPort& Port;
  TComSystem& System;
  TEnvironment Env;
  bool watched_ = false;
  bool missing_ = false;  // watched since it could not be opened, not since it went
  int watchError_ = 0;
  TDateTime goneAt_{};
  std::string device_;    // what the port's name led to when it was opened
  std::string openedAs_;  // and its path then, links followed
};

}  // namespace corvalis
