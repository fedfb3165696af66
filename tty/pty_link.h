// SPDX-License-Identifier: Apache-2.0
#pragma once
// A pseudo-terminal whose device is linked as COMn in the port folder, the way the program finds
// its serial ports. The link goes away with the object.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tty {

// The link name of a port given as COMn or comn, n from 1 to 16 without a leading zero: "COMn".
// Nothing for anything else.
std::optional<std::string> portLinkName(std::string_view text);

// A value of the ready line that announces the link (link=..., device=...): spaces and
// backslashes escaped so that the fields split on spaces.
std::string readyField(std::string_view value);

class PtyLink {
 public:
  // Makes the folder when missing. Fails, with the reason in *error, when the name is taken by
  // anything but a stale link to a device that no longer exists.
  static std::unique_ptr<PtyLink> create(const std::string& dir, const std::string& name, std::string* error);
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  int masterFd() const { return master_; }
  const std::string& devicePath() const { return device_; }
  const std::string& linkPath() const { return link_; }
  const std::string& dir() const { return dir_; }
  // Removes the link if it still points to our device. Safe to call more than once.
  void removeLink();
  // Writes pending bytes to the program until all have gone or the master is full, and erases
  // what went. Each chunk written is first handed to sent, which stops the writing by returning
  // false (the chunk stays pending). When the program has closed its side the rest is dropped:
  // the hang-up shows at the next poll. False when sent stopped, or with the reason in *error when
  // the master refuses the bytes.
  bool writePending(std::string& pending, std::string* error,
                    const std::function<bool(std::string_view chunk)>& sent = {}) const;

 private:
  PtyLink() = default;
  int master_ = -1;
  std::string device_, link_, dir_;
};

}  // namespace tty
