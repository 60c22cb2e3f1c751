// Fixed-width, blank-filled text fields of the run records (element
// keywords, type names, directory names).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace linac {

template <std::size_t N>
struct FixedText {
  std::array<char, N> c{};

  FixedText() { c.fill(' '); }
  FixedText(std::string_view s) { assign(s); }  // NOLINT: implicit on purpose

  // Cut to the first N characters, blank-fill the rest.
  void assign(std::string_view s) {
    c.fill(' ');
    for (std::size_t k = 0; k < N && k < s.size(); ++k) c[k] = s[k];
  }
  FixedText& operator=(std::string_view s) {
    assign(s);
    return *this;
  }
  std::string_view view() const { return {c.data(), N}; }
  std::string str() const { return std::string(c.data(), N); }
  // Without trailing blanks.
  std::string trimmed() const {
    std::size_t n = N;
    while (n > 0 && c[n - 1] == ' ') --n;
    return std::string(c.data(), n);
  }
  bool operator==(std::string_view s) const { return view() == FixedText(s).view(); }
};

}  // namespace linac
