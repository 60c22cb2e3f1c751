#include "numerics/lib_text.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace linac {

void int_to_text(std::int32_t N, std::string& FIELD, std::int32_t& status) {
  const std::int64_t w = static_cast<std::int64_t>(FIELD.size());
  if (w < 1) {
    status = -1;
    return;
  }
  const std::string digits = std::to_string(N);  // "-" included for N < 0
  const std::int64_t need = static_cast<std::int64_t>(digits.size());
  if (need > w) {
    status = static_cast<std::int32_t>(need);
    return;
  }
  FIELD.assign(static_cast<std::size_t>(w - need), ' ');
  FIELD += digits;
  status = 0;
}

std::int32_t first_not_in(std::string_view S, std::string_view SET) {
  if (S.empty() || SET.empty()) return 1;
  for (std::size_t i = 0; i < S.size(); ++i)
    if (SET.find(S[i]) == std::string_view::npos) return static_cast<std::int32_t>(i + 1);
  return 0;
}

std::int32_t index_exact(std::string_view S, std::string_view KEY) {
  if (S.empty() || KEY.empty() || KEY.size() > S.size()) return 0;
  const std::size_t p = S.find(KEY);
  return p == std::string_view::npos ? 0 : static_cast<std::int32_t>(p + 1);
}

void copy_substring(std::string_view SRC, std::int32_t I1, std::int32_t I2, std::string& DST,
                    std::int32_t J1, std::int32_t J2, std::int32_t& status) {
  const std::int64_t nsrc = static_cast<std::int64_t>(SRC.size());
  const std::int64_t ndst = static_cast<std::int64_t>(DST.size());
  if (I2 < I1 || J2 < J1 || I1 < 1 || J1 < 1 || I2 > nsrc) {
    status = -2;
    return;
  }
  if (J2 > ndst) {
    status = -1;
    return;
  }
  const std::int64_t lsrc = std::int64_t{I2} - I1 + 1;
  const std::int64_t ldst = std::int64_t{J2} - J1 + 1;
  const std::int64_t ncopy = lsrc < ldst ? lsrc : ldst;
  for (std::int64_t k = 0; k < ldst; ++k)
    DST[static_cast<std::size_t>(J1 - 1 + k)] =
        k < ncopy ? SRC[static_cast<std::size_t>(I1 - 1 + k)] : ' ';
  status = static_cast<std::int32_t>(-(lsrc - ncopy));
}

void text_to_int(std::string_view S, std::int32_t& value, std::int32_t& status) {
  value = 0;
  const std::size_t n = S.size();
  std::size_t i = 0;
  while (i < n && S[i] == ' ') ++i;
  if (i == n) {
    status = -1;
    return;
  }
  bool negative = false;
  if (S[i] == '+' || S[i] == '-') {
    negative = S[i] == '-';
    ++i;
    while (i < n && S[i] == ' ') ++i;
  }
  std::int64_t mag = 0;
  const std::size_t first_digit = i;
  while (i < n && S[i] >= '0' && S[i] <= '9') {
    mag = mag * 10 + (S[i] - '0');
    if (mag > 2147483647) {
      status = -2;
      return;
    }
    ++i;
  }
  value = static_cast<std::int32_t>(negative ? -mag : mag);
  if (i == first_digit) {  // no digit at all
    status = i < n ? static_cast<std::int32_t>(i + 1) : static_cast<std::int32_t>(n + 1);
    return;
  }
  std::size_t j = i;
  while (j < n && S[j] == ' ') ++j;
  status = j == n ? 0 : static_cast<std::int32_t>(i + 1);
}

std::string copy_padded(std::string_view SRC, std::size_t m) {
  std::string out(m, ' ');
  for (std::size_t k = 0; k < m && k < SRC.size(); ++k) out[k] = SRC[k];
  return out;
}

char char_of_code(std::int32_t code) {
  if (code < 0) return '\0';
  return static_cast<char>(static_cast<unsigned char>(code & 0xff));
}

std::string int_field(std::int64_t value, int w) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - digits.size(), ' ') + digits;
}

std::string exp_field(double value, int w, int d, bool scale1, char letter) {
  std::string body;
  if (std::isnan(value)) {
    body = "NaN";
  } else if (std::isinf(value)) {
    body = value < 0 ? "-Infinity" : "Infinity";
  } else {
    const bool negative = std::signbit(value);
    const double a = std::fabs(value);
    std::string mant;
    long exponent = 0;
    if (a == 0.0) {
      mant = scale1 ? "0." + std::string(static_cast<std::size_t>(d), '0')
                    : "0." + std::string(static_cast<std::size_t>(d), '0');
    } else {
      // Correctly rounded decimal digits from the C library: d.ddd...e+xx.
      const int decimals = scale1 ? d : d - 1;
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.*e", decimals, a);
      std::string s(buf);
      const std::size_t epos = s.find('e');
      exponent = std::strtol(s.c_str() + epos + 1, nullptr, 10);
      std::string digits = s.substr(0, 1) + (decimals > 0 ? s.substr(2, epos - 2) : "");
      if (scale1) {
        mant = digits.substr(0, 1) + "." + digits.substr(1);
      } else {
        mant = "0." + digits;
        exponent += 1;
      }
    }
    std::string exp_text;
    const long ae = exponent < 0 ? -exponent : exponent;
    const char sign = exponent < 0 ? '-' : '+';
    if (ae <= 99) {
      exp_text = std::string(1, letter) + sign + static_cast<char>('0' + ae / 10) +
                 static_cast<char>('0' + ae % 10);
    } else if (ae <= 999) {
      exp_text = std::string(1, sign) + std::to_string(ae);
    } else {
      return std::string(static_cast<std::size_t>(w), '*');
    }
    body = (negative ? "-" : "") + mant + exp_text;
  }
  if (static_cast<int>(body.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - body.size(), ' ') + body;
}

std::string_view from_first_nonblank(std::string_view s) {
  const std::size_t p = s.find_first_not_of(' ');
  return p == std::string_view::npos ? std::string_view{} : s.substr(p);
}

}  // namespace linac
