#include "common/text_utils.hpp"

#include <algorithm>

#include "platform/fatal.hpp"

namespace linac {

std::int32_t ascii_code(std::string_view s) { return static_cast<unsigned char>(s[0]); }

std::int32_t upper_ascii(std::string_view s) {
  std::int32_t c = ascii_code(s);
  return (c >= 97 && c <= 122) ? c - 32 : c;
}

std::int32_t compare_nocase(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) {
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
  }
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t k = 0; k < n; ++k) {
    std::int32_t ca = upper_ascii(a.substr(k, 1));
    std::int32_t cb = upper_ascii(b.substr(k, 1));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  // Rest of the longer text against blanks.
  const bool a_longer = a.size() > b.size();
  std::string_view rest = a_longer ? a.substr(n) : b.substr(n);
  for (char ch : rest) {
    std::int32_t c = static_cast<unsigned char>(ch);
    if (c == 32) continue;
    if (a_longer) return c < 32 ? -1 : 1;
    return c < 32 ? 1 : -1;
  }
  return 0;
}

std::int32_t index_nocase(std::string_view str, std::string_view key) {
  if (str.empty() || key.empty() || key.size() > str.size()) return 0;
  const std::int32_t first = upper_ascii(key);
  for (std::size_t p = 0; p + key.size() <= str.size(); ++p) {
    if (upper_ascii(str.substr(p, 1)) != first) continue;
    if (key.size() == 1) return static_cast<std::int32_t>(p + 1);
    if (compare_nocase(str.substr(p + 1, key.size() - 1), key.substr(1)) == 0)
      return static_cast<std::int32_t>(p + 1);
  }
  return 0;
}

std::string trimmed(std::string_view s) {
  std::size_t e = s.size();
  while (e > 0 && s[e - 1] == ' ') --e;
  return std::string(s.substr(0, e));
}

std::string int_to_2digits(std::int32_t n) {
  std::int32_t t = n / 10;
  std::int32_t u = n - 10 * t;
  std::string s(2, ' ');
  s[0] = static_cast<char>(static_cast<unsigned char>((48 + t) & 0xff));
  s[1] = static_cast<char>(static_cast<unsigned char>((48 + u) & 0xff));
  return s;
}

std::string int_to_3digits(std::int32_t n) {
  std::int32_t h = n / 100;
  std::int32_t r = n - 100 * h;
  std::int32_t t = r / 10;
  std::int32_t u = r - 10 * t;
  std::string s(3, ' ');
  s[0] = static_cast<char>(static_cast<unsigned char>((48 + h) & 0xff));
  s[1] = static_cast<char>(static_cast<unsigned char>((48 + t) & 0xff));
  s[2] = static_cast<char>(static_cast<unsigned char>((48 + u) & 0xff));
  return s;
}

std::string numbered_name(std::string_view stem, std::int32_t n, int digits) {
  const std::int32_t top = digits == 2 ? 99 : 999;
  if (n < 0 || n > top)
    fatal(" file number " + std::to_string(n) + " for " + std::string(stem) + " is outside 0.." +
          std::to_string(top));
  return std::string(stem) + (digits == 2 ? int_to_2digits(n) : int_to_3digits(n));
}

std::string vrand_name(std::int32_t seed) { return numbered_name("vrand_", seed, 3) + ".dat"; }

std::string buncher_table_name(std::int32_t k) {
  if (k < 0 || k > 9)
    fatal(" buncher table number " + std::to_string(k) + " is outside 0..9");
  return std::string("MHBrz.#0") + static_cast<char>(ascii_code("0") + k);
}

std::string table_dir_name(std::string_view table_dir, std::string_view name) {
  std::size_t b = table_dir.find_first_not_of(' ');
  std::size_t e = table_dir.find_last_not_of(' ');
  if (b == std::string_view::npos) return std::string(name);
  std::string_view dir = table_dir.substr(b, e - b + 1);
  if (dir.size() <= 1) return std::string(name);
  return std::string(dir) + std::string(name);
}

}  // namespace linac
