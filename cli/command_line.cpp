// SPDX-License-Identifier: Apache-2.0
#include "command_line.h"

#include <cmath>

namespace kit::cli {

std::string message(const Problem& p) {
  switch (p.kind) {
    case Problem::Kind::Unknown:
      return "unknown option '" + p.name + "'";
    case Problem::Kind::Unexpected:
      return "unexpected argument '" + p.word + "'";
    case Problem::Kind::NeedsValue:
      return p.name + " needs a value";
    case Problem::Kind::TakesNoValue:
      break;
  }
  return p.name + " takes no value";
}

OptionTable& OptionTable::value(const std::string& name, ValueHandler handler) {
  options_[name] = {true, std::move(handler), {}};
  return *this;
}

OptionTable& OptionTable::value(const std::string& name, std::string* target) {
  return value(name, [target](const std::string&, const std::string& v) {
    *target = v;
    return std::string();
  });
}

OptionTable& OptionTable::flag(const std::string& name, FlagHandler handler) {
  options_[name] = {false, {}, std::move(handler)};
  return *this;
}

OptionTable& OptionTable::flag(const std::string& name, bool* target) {
  return flag(name, [target](const std::string&) {
    *target = true;
    return std::string();
  });
}

OptionTable& OptionTable::alias(const std::string& other, const std::string& name) {
  aliases_[other] = name;
  return *this;
}

OptionTable& OptionTable::words(WordHandler handler) {
  words_ = std::move(handler);
  return *this;
}

OptionTable& OptionTable::problems(std::function<std::string(const Problem&)> say) {
  say_ = std::move(say);
  return *this;
}

std::string OptionTable::named(const std::string& word) const {
  auto it = aliases_.find(word);
  return it == aliases_.end() ? word : it->second;
}

std::string OptionTable::parse(const std::vector<std::string>& args) {
  stopped_ = false;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size() && !stopped_; ++i) {
    const std::string& word = args[i];
    const bool looksLikeOption = word.size() > 1 && word[0] == '-';
    if (words_ && (optionsEnded || !looksLikeOption)) {
      if (std::string error = words_(word); !error.empty()) return error;
      continue;
    }
    if (words_ && word == "--") {
      optionsEnded = true;
      continue;
    }
    // A short name is the whole word; a long one may carry its value after "=".
    std::string name = named(word);
    std::optional<std::string> value;
    if (name.starts_with("--")) {
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = named(name.substr(0, eq));
      }
    }
    auto it = options_.find(name);
    if (it == options_.end()) {
      const auto kind = name.starts_with("-") ? Problem::Kind::Unknown : Problem::Kind::Unexpected;
      return say_({kind, name, word});
    }
    std::string error;
    if (!it->second.takesValue) {
      if (value) return say_({Problem::Kind::TakesNoValue, name, word});
      error = it->second.onFlag(name);
    } else {
      if (!value) {
        if (i + 1 >= args.size()) return say_({Problem::Kind::NeedsValue, name, word});
        value = args[++i];
      }
      error = it->second.onValue(name, *value);
    }
    if (!error.empty()) return error;
  }
  return {};
}

std::optional<double> number(const std::string& text) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
    return std::nullopt;
  return v;
}

}  // namespace kit::cli
