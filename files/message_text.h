// Fills the "%s" places of a message text in turn.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace thumpa {

inline std::string fill_in(std::string_view pattern,
                           std::initializer_list<std::string_view> values) {
  std::string text;
  auto next = values.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' &&
        next != values.end()) {
      text += *next++;
      ++i;
    } else {
      text += pattern[i];
    }
  }
  return text;
}

}  // namespace thumpa
