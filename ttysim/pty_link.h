#pragma once
// A pseudo-terminal whose device is linked as COMn in the port folder, the way the program finds
// its serial ports. The link goes away with the object.
#include <memory>
#include <string>

namespace ttysim {

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

 private:
  PtyLink() = default;
  int master_ = -1;
  std::string device_, link_, dir_;
};

}  // namespace ttysim
