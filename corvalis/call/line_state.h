// SPDX-License-Identifier: Apache-2.0
#pragma once
// The line to the far end as this side knows it. Three things are told from it: whether the line
// counts as up (Send a line, the automatic hang-up's count, a RING answered by itself), whether a
// modem's CONNECT is awaited (what arrives meanwhile is not the far end's), and whether this side
// has hung up in this call (nothing more of the call goes to the line or comes from it).
//
//   state        up   awaiting  hung up
//   Down         -      -         -
//   HungUp       -      -        yes
//   Awaiting     -     yes        -      a modem answering, up once its CONNECT is taken
//   UpAwaiting  yes    yes        -      a modem dialling (or answering with the line up)
//   Up          yes     -         -
//
//   Dial          -> UpAwaiting (a modem), Up (a TTY, which has no CONNECT)
//   Answer        -> Awaiting or UpAwaiting (a modem, as up as before); Down or Up (a TTY)
//   StopAwaiting  UpAwaiting -> Up, Awaiting -> Down (the modem's CONNECT; a device back afresh)
//   ComesUp       Down, HungUp -> Up; Awaiting -> UpAwaiting (a connection taken, a call begun)
//   GoesDown      Up -> Down; UpAwaiting -> Awaiting (the call closed)
//   NoConnection  any but HungUp -> Down (a dial or answer failed, a device gone or changed)
//   HangUp        any -> HungUp (this side hung up, or the call was ended for it)
//   EndHangUp     HungUp -> Down (a dial or answer begins)
//
// Any other step leaves the state as it is.
#include <cstdint>

namespace corvalis {

class TLineState {
 public:
  enum class Value : std::uint8_t { Down, HungUp, Awaiting, UpAwaiting, Up };

  Value Now() const { return value_; }

  void Dial(bool Modem) { value_ = Modem ? Value::UpAwaiting : Value::Up; }
  void Answer(bool Modem) {
    const bool up = OnLine();
    value_ = Modem ? (up ? Value::UpAwaiting : Value::Awaiting) : (up ? Value::Up : Value::Down);
  }
  void StopAwaiting() {
    if (value_ == Value::UpAwaiting) value_ = Value::Up;
    if (value_ == Value::Awaiting) value_ = Value::Down;
  }
  void ComesUp() {
    if (value_ == Value::Awaiting) value_ = Value::UpAwaiting;
    if (value_ == Value::Down || value_ == Value::HungUp) value_ = Value::Up;
  }
  void GoesDown() {
    if (value_ == Value::UpAwaiting) value_ = Value::Awaiting;
    if (value_ == Value::Up) value_ = Value::Down;
  }
  void NoConnection() {
    if (value_ != Value::HungUp) value_ = Value::Down;
  }
  void HangUp() { value_ = Value::HungUp; }
  void EndHangUp() {
    if (value_ == Value::HungUp) value_ = Value::Down;
  }
  void Reset() { value_ = Value::Down; }

  bool OnLine() const { return value_ == Value::Up || value_ == Value::UpAwaiting; }
  bool AwaitingConnect() const { return value_ == Value::Awaiting || value_ == Value::UpAwaiting; }
  bool HungUp() const { return value_ == Value::HungUp; }

 private:
  Value value_ = Value::Down;
};

}  // namespace corvalis
