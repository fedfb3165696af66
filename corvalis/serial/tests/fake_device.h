// SPDX-License-Identifier: Apache-2.0
#pragma once
// A scripted serial device for unit tests: it records every call, refuses the operations it is
// told to refuse, and raises the event batches and hang-ups a test asks for.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "comdevice.h"

namespace corvalis::testing {

class TFakeDevice : public TComDevice {
 public:
  // ---- script (any thread) ----
  void Refuse(const std::string& Operation, int Error);  // "SetCommState", "PurgeComm", ...
  void Arrive(const std::string& Bytes);                 // bytes into the receive queue
  void AddErrors(std::uint32_t Flags);                   // CE_ flags
  void SetModemStatus(std::uint32_t Status);
  void Raise(std::uint32_t Events);  // one batch for the event thread
  void HangUp();

  // ---- inspection (any thread) ----
  int Calls(const std::string& Operation) const;
  TDcb LastDcb() const;
  TCommTimeouts LastTimeouts() const;
  std::vector<std::uint32_t> Purges() const;
  std::string Written() const;
  std::uint32_t WaiterMask() const;
  int Waiters() const;
  bool IsOpen() const;
  int Opens() const;

  // ---- TComDevice ----
  int SetCommState(const TDcb& Dcb) override;
  int SetCommTimeouts(const TCommTimeouts& Timeouts) override;
  int SetupComm(std::uint32_t InQueue, std::uint32_t OutQueue) override;
  int PurgeComm(std::uint32_t Flags) override;
  int ClearCommError(std::uint32_t& Errors, std::uint32_t& InQueue) override;
  int GetCommModemStatus(std::uint32_t& Status) override;
  int Write(const char* Data, std::size_t Size, std::size_t& Done) override;
  int Read(char* Data, std::size_t Size, std::size_t& Done) override;
  std::unique_ptr<TEventWaiter> CreateEventWaiter(std::uint32_t Mask, int& Error) override;
  void LetGo() override;

 private:
  friend class TFakeSystem;
  friend class TFakeWaiter;
  int Count(const std::string& Operation);  // under the lock: counts the call, returns refusal

  mutable std::mutex Mutex_;
  std::condition_variable Changed_;
  std::map<std::string, int> Refusals_;
  std::map<std::string, int> Calls_;
  TDcb Dcb_;
  TCommTimeouts Timeouts_;
  std::vector<std::uint32_t> Purges_;
  std::string Input_;
  std::string Output_;
  std::uint32_t Errors_ = 0;
  std::uint32_t ModemStatus_ = 0;
  std::deque<std::uint32_t> Batches_;
  bool HungUp_ = false;
  std::uint32_t WaiterMask_ = 0;
  int Waiters_ = 0;
  bool Open_ = false;
  int Opens_ = 0;
};

// Ports by name; a name without a device gives ENOENT, an open device EBUSY.
class TFakeSystem : public TComSystem {
 public:
  std::shared_ptr<TFakeDevice> Add(const std::string& Name);
  std::shared_ptr<TComDevice> OpenDevice(const std::string& Name, int& Error) override;

 private:
  std::mutex Mutex_;
  std::map<std::string, std::shared_ptr<TFakeDevice>> Devices_;
};

}  // namespace corvalis::testing
