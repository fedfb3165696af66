// SPDX-License-Identifier: Apache-2.0
#include "fake_device.h"

#include <cerrno>
#include <cstring>

namespace corvalis::testing {

class TFakeWaiter : public TEventWaiter {
 public:
  explicit TFakeWaiter(TFakeDevice& Device) : Device_(Device) {}
  ~TFakeWaiter() override {
    std::lock_guard lock(Device_.Mutex_);
    --Device_.Waiters_;
  }

  TWaitResult Wait(std::uint32_t& Events) override {
    std::unique_lock lock(Device_.Mutex_);
    Device_.Changed_.wait(
        lock, [&] { return Stopped_ || !Device_.Batches_.empty() || (Device_.HungUp_ && !HangUpSeen_); });
    if (Stopped_) return TWaitResult::Stopped;
    if (!Device_.Batches_.empty()) {
      Events = Device_.Batches_.front();
      Device_.Batches_.pop_front();
      return TWaitResult::Events;
    }
    HangUpSeen_ = true;
    return TWaitResult::HungUp;
  }

  void WaitForStop() override {
    std::unique_lock lock(Device_.Mutex_);
    Device_.Changed_.wait(lock, [&] { return Stopped_; });
  }

  void Stop() override {
    {
      std::lock_guard lock(Device_.Mutex_);
      Stopped_ = true;
    }
    Device_.Changed_.notify_all();
  }

 private:
  TFakeDevice& Device_;
  bool Stopped_ = false;
  bool HangUpSeen_ = false;
};

int TFakeDevice::Count(const std::string& Operation) {
  ++Calls_[Operation];
  auto it = Refusals_.find(Operation);
  return it == Refusals_.end() ? 0 : it->second;
}

void TFakeDevice::Refuse(const std::string& Operation, int Error) {
  std::lock_guard lock(Mutex_);
  if (Error == 0)
    Refusals_.erase(Operation);
  else
    Refusals_[Operation] = Error;
}

void TFakeDevice::Arrive(const std::string& Bytes) {
  std::lock_guard lock(Mutex_);
  Input_ += Bytes;
}

void TFakeDevice::AddErrors(std::uint32_t Flags) {
  std::lock_guard lock(Mutex_);
  Errors_ |= Flags;
}

void TFakeDevice::SetModemStatus(std::uint32_t Status) {
  std::lock_guard lock(Mutex_);
  ModemStatus_ = Status;
}

void TFakeDevice::Raise(std::uint32_t Events) {
  {
    std::lock_guard lock(Mutex_);
    Batches_.push_back(Events);
  }
  Changed_.notify_all();
}

void TFakeDevice::HangUp() {
  {
    std::lock_guard lock(Mutex_);
    HungUp_ = true;
  }
  Changed_.notify_all();
}

int TFakeDevice::Calls(const std::string& Operation) const {
  std::lock_guard lock(Mutex_);
  auto it = Calls_.find(Operation);
  return it == Calls_.end() ? 0 : it->second;
}

TDcb TFakeDevice::LastDcb() const {
  std::lock_guard lock(Mutex_);
  return Dcb_;
}

TCommTimeouts TFakeDevice::LastTimeouts() const {
  std::lock_guard lock(Mutex_);
  return Timeouts_;
}

std::vector<std::uint32_t> TFakeDevice::Purges() const {
  std::lock_guard lock(Mutex_);
  return Purges_;
}

std::string TFakeDevice::Written() const {
  std::lock_guard lock(Mutex_);
  return Output_;
}

std::uint32_t TFakeDevice::WaiterMask() const {
  std::lock_guard lock(Mutex_);
  return WaiterMask_;
}

int TFakeDevice::Waiters() const {
  std::lock_guard lock(Mutex_);
  return Waiters_;
}

bool TFakeDevice::IsOpen() const {
  std::lock_guard lock(Mutex_);
  return Open_;
}

int TFakeDevice::Opens() const {
  std::lock_guard lock(Mutex_);
  return Opens_;
}

int TFakeDevice::SetCommState(const TDcb& Dcb) {
  std::lock_guard lock(Mutex_);
  if (int r = Count("SetCommState")) return r;
  Dcb_ = Dcb;
  return 0;
}

int TFakeDevice::SetCommTimeouts(const TCommTimeouts& Timeouts) {
  std::lock_guard lock(Mutex_);
  if (int r = Count("SetCommTimeouts")) return r;
  Timeouts_ = Timeouts;
  return 0;
}

int TFakeDevice::SetupComm(std::uint32_t, std::uint32_t) {
  std::lock_guard lock(Mutex_);
  return Count("SetupComm");
}

int TFakeDevice::PurgeComm(std::uint32_t Flags) {
  std::lock_guard lock(Mutex_);
  if (int r = Count("PurgeComm")) return r;
  Purges_.push_back(Flags);
  return 0;
}

int TFakeDevice::ClearCommError(std::uint32_t& Errors, std::uint32_t& InQueue) {
  std::lock_guard lock(Mutex_);
  if (int r = Count("ClearCommError")) return r;
  Errors = Errors_;
  Errors_ = 0;
  InQueue = static_cast<std::uint32_t>(Input_.size());
  return 0;
}

int TFakeDevice::GetCommModemStatus(std::uint32_t& Status) {
  std::lock_guard lock(Mutex_);
  if (int r = Count("GetCommModemStatus")) return r;
  Status = ModemStatus_;
  return 0;
}

int TFakeDevice::Write(const char* Data, std::size_t Size, std::size_t& Done) {
  std::lock_guard lock(Mutex_);
  Done = 0;
  if (int r = Count("Write")) return r;
  Output_.append(Data, Size);
  Done = Size;
  return 0;
}

int TFakeDevice::Read(char* Data, std::size_t Size, std::size_t& Done) {
  std::lock_guard lock(Mutex_);
  Done = 0;
  if (int r = Count("Read")) return r;
  Done = std::min(Size, Input_.size());
  std::memcpy(Data, Input_.data(), Done);
  Input_.erase(0, Done);
  return 0;
}

std::unique_ptr<TEventWaiter> TFakeDevice::CreateEventWaiter(std::uint32_t Mask, int& Error) {
  std::lock_guard lock(Mutex_);
  if ((Error = Count("CreateEventWaiter")) != 0) return nullptr;
  WaiterMask_ = Mask;
  ++Waiters_;
  return std::make_unique<TFakeWaiter>(*this);
}

void TFakeDevice::LetGo() {
  std::lock_guard lock(Mutex_);
  Count("LetGo");
  Open_ = false;
}

std::shared_ptr<TFakeDevice> TFakeSystem::Add(const std::string& Name) {
  std::lock_guard lock(Mutex_);
  auto device = std::make_shared<TFakeDevice>();
  Devices_[Name] = device;
  return device;
}

std::shared_ptr<TComDevice> TFakeSystem::OpenDevice(const std::string& Name, int& Error) {
  std::lock_guard lock(Mutex_);
  auto it = Devices_.find(Name);
  if (it == Devices_.end()) {
    Error = ENOENT;
    return nullptr;
  }
  std::shared_ptr<TFakeDevice> device = it->second;
  {
    std::lock_guard deviceLock(device->Mutex_);
    if (device->Open_) {
      Error = EBUSY;
      return nullptr;
    }
    device->Open_ = true;
    ++device->Opens_;
  }
  // The handle keeps the device alive; dropping the last handle closes it (unless it was let
  // go before and opened again since).
  const int generation = device->Opens_;
  return std::shared_ptr<TComDevice>(device.get(), [device, generation](TComDevice*) {
    std::lock_guard deviceLock(device->Mutex_);
    if (device->Opens_ == generation) device->Open_ = false;
  });
}

}  // namespace corvalis::testing
