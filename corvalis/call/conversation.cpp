// SPDX-License-Identifier: Apache-2.0
#include "call/conversation.h"

namespace corvalis {

void TConversation::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  text_ += bytes;
  Tell(TChange::Appended, bytes);
}

void TConversation::Replace(std::string text) {
  text_ = std::move(text);
  Tell(TChange::Replaced, text_);
}

void TConversation::Type(char key) {
  const auto byte = static_cast<unsigned char>(key);
  if (key == '\r') return Append("\r\n");
  if (key == '\b') {
    if (text_.empty()) return;
    const std::size_t n = text_.ends_with("\r\n") ? 2 : 1;
    const std::string gone = text_.substr(text_.size() - n);
    text_.resize(text_.size() - n);
    return Tell(TChange::Erased, gone);
  }
  if (byte < 32 || byte == 127) return;
  Append(std::string_view(&key, 1));
}

}  // namespace corvalis
