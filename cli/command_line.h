// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command lines of the kit's console programs: "--name value", "--name=value", short and old
// names for an option, flags, and the words that are no option. Each option has a handler that
// takes its value and returns what is wrong with it (empty when nothing is); the walk stops at the
// first problem.
// Errors: nothing here throws for what a user types; every problem is a message returned to the
// program, which says it and chooses the exit status.
#include <charconv>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kit::cli {

// A word the table cannot take, before any value is looked at.
struct Problem {
  enum class Kind {
    Unknown,       // a word that looks like an option and is none
    Unexpected,    // a word that is no option, where none is taken
    NeedsValue,    // the option is the last word and has no value
    TakesNoValue,  // a flag given as --flag=value
  };
  Kind kind;
  std::string name;  // the option's name (its long name for a short one); the word for Unexpected
  std::string word;  // the word as given
};

// "unknown option 'X'", "unexpected argument 'X'", "X needs a value", "X takes no value".
std::string message(const Problem& p);

class OptionTable {
 public:
  using ValueHandler = std::function<std::string(const std::string& name, const std::string& value)>;
  using FlagHandler = std::function<std::string(const std::string& name)>;
  using WordHandler = std::function<std::string(const std::string& word)>;

  // An option with a value, such as "--port COM1" or "--port=COM1".
  OptionTable& value(const std::string& name, ValueHandler handler);
  // An option with a value that is kept as given.
  OptionTable& value(const std::string& name, std::string* target);
  OptionTable& flag(const std::string& name, FlagHandler handler);
  OptionTable& flag(const std::string& name, bool* target);
  // Another name for an option: a short one ("-p" for "--port") or an old one.
  OptionTable& alias(const std::string& other, const std::string& name);
  // The words that are no option go to handler, and "--" ends the options. Without a handler
  // each such word is a problem.
  OptionTable& words(WordHandler handler);
  // How a problem is told; message() unless given.
  OptionTable& problems(std::function<std::string(const Problem&)> say);

  // Ends the walk after the option being handled, with no error (for --help and --version).
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }

  // Walks the words in order; the first problem or handler error, or empty.
  std::string parse(const std::vector<std::string>& args);

 private:
  struct Option {
    bool takesValue;
    ValueHandler onValue;
    FlagHandler onFlag;
  };
  std::string named(const std::string& word) const;

  std::map<std::string, Option> options_;
  std::map<std::string, std::string> aliases_;
  WordHandler words_;
  std::function<std::string(const Problem&)> say_ = message;
  bool stopped_ = false;
};

// A whole decimal number that fills the text (no sign for an unsigned T); nothing otherwise.
template <typename T>
std::optional<T> integer(const std::string& text) {
  T v{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}
// A finite decimal number that fills the text (no leading "+" or blanks); nothing otherwise.
std::optional<double> number(const std::string& text);

}  // namespace kit::cli
