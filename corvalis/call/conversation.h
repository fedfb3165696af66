// SPDX-License-Identifier: Apache-2.0
#pragma once
// The call's conversation: the text that receiving and sending write, that the view shows, that
// the journal follows and that saving puts into the capture record. A Windows-1252 byte string
// whose lines are separated by CR LF (see conversation_text.h for its marks).
//
// The conversation is the one copy of the text: the view draws what it is told here and is never
// read back. A key the tester types into the view is applied here, at the end of the text, as it
// went down the line; where the view's caret stood does not matter.
//
// Errors: none; every edit applies (Backspace on an empty text changes nothing).
#include <functional>
#include <string>
#include <string_view>

namespace corvalis {

class TConversation {
 public:
  enum class TChange {
    Appended,  // bytes were added at the end
    Erased,    // the last character went (bytes: what went; CR LF counts as one character)
    Replaced,  // the whole text was set anew
  };
  // What changed; bytes are valid only during the call.
  using TListener = std::function<void(TChange change, std::string_view bytes)>;

  const std::string& Text() const { return text_; }

  void Append(std::string_view bytes);
  void Replace(std::string text);
  void Clear() { Replace(std::string()); }

  // A key typed by the tester, applied as an editor with its caret at the end applies it: Enter
  // ('\r') adds a line break, Backspace ('\b') takes the last character (a line break as one),
  // other control codes change nothing, a character is added.
  void Type(char key);

  // The one listener told of each change after it is made (the window: its view and journal).
  void SetListener(TListener listener) { listener_ = std::move(listener); }

 private:
  void Tell(TChange change, std::string_view bytes) const {
    if (listener_) listener_(change, bytes);
  }
  std::string text_;
  TListener listener_;
};

}  // namespace corvalis
