#include "platform/format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include <fmt/format.h>

#include "platform/fatal.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

// ---------------------------------------------------------------------------
// Number editing. Each routine returns the text of one field of width w, or
// w asterisks when the value does not fit.

std::string stars(int w) { return std::string(static_cast<std::size_t>(w), '*'); }

std::string right_justify(std::string s, int w) {
  if (static_cast<int>(s.size()) > w) return stars(w);
  s.insert(0, static_cast<std::size_t>(w) - s.size(), ' ');
  return s;
}

// printf into a string; the exact binary value is rounded to nearest, ties
// to even (glibc), which is the rounding of the gfortran run time.
template <typename... Args>
std::string print(const char* conversion, Args... args) {
  char buf[128];
  int n = std::snprintf(buf, sizeof buf, conversion, args...);
  if (n < static_cast<int>(sizeof buf)) return std::string(buf, static_cast<std::size_t>(n));
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), conversion, args...);
  big.resize(static_cast<std::size_t>(n));
  return big;
}

// Infinity and NaN as gfortran writes them in an F, E or D field.
std::string edit_non_finite(double x, int w) {
  if (std::isnan(x)) return right_justify("NaN", w);
  bool neg = std::signbit(x);
  if (neg) {
    if (w >= 9) return right_justify("-Infinity", w);
    return right_justify("-Inf", w);  // asterisks below 4 columns
  }
  if (w >= 8) return right_justify("Infinity", w);
  return right_justify("Inf", w);
}

// |x| rounded to a multiple of 10^j (j >= 1) and divided by 10^j: the
// integer part of |x| is exact in decimal, and the fraction only matters to
// tell a tie from a value above it.
std::string round_left_of_point(double a, int j) {
  double ip = std::trunc(a);
  bool has_fraction = a != ip;
  std::string int_digits = print("%.0f", ip);
  std::size_t len = int_digits.size();
  std::size_t ju = static_cast<std::size_t>(j);
  if (len < ju) int_digits.insert(0, ju - len, '0');
  std::string head = len > ju ? int_digits.substr(0, len - ju) : std::string("0");
  std::string tail = int_digits.substr(int_digits.size() - ju);
  std::string half(ju, '0');
  half[0] = '5';
  int cmp = tail.compare(half);
  bool up = cmp > 0 || (cmp == 0 && (has_fraction || (head.back() - '0') % 2 == 1));
  if (up) {
    std::size_t i = head.size();
    while (i > 0 && head[i - 1] == '9') head[--i] = '0';
    if (i == 0)
      head.insert(0, 1, '1');
    else
      ++head[i - 1];
  }
  return head;
}

// Digits of |x| * 10^k rounded to d decimals: "ddd.ddd" with at least one
// digit before the point (possibly "0"). The decimal point of |x| rounded to
// d+k decimals is moved k places, so the scaling itself is exact.
std::string fixed_digits(double a, int d, int k) {
  std::string digits;  // an integer N; the value is N * 10^-d
  if (d + k >= 0) {
    std::string s = print("%.*f", d + k, a);
    for (char c : s)
      if (c != '.') digits += c;
  } else {
    digits = round_left_of_point(a, -(d + k));
  }
  long long before = static_cast<long long>(digits.size()) - d;
  if (before <= 0) {
    digits.insert(0, static_cast<std::size_t>(1 - before), '0');
    before = 1;
  }
  std::size_t nz = 0;  // leading zeros of the integer part, one is kept
  while (nz + 1 < static_cast<std::size_t>(before) && digits[nz] == '0') ++nz;
  std::string out = digits.substr(nz, static_cast<std::size_t>(before) - nz);
  out += '.';
  out += digits.substr(static_cast<std::size_t>(before));
  return out;
}

// Fw.d with scale factor k.
std::string edit_f(double x, int w, int d, int k) {
  if (!std::isfinite(x)) return edit_non_finite(x, w);
  bool neg = std::signbit(x);
  // The run time never writes a number in one column, nor a negative one
  // in two.
  if (w == 1 || (w == 2 && neg)) return stars(w);
  std::string body = fixed_digits(std::fabs(x), d, k);
  std::string s = neg ? "-" + body : body;
  if (static_cast<int>(s.size()) > w && body.size() >= 2 && body[0] == '0' && body[1] == '.') {
    // The zero before the point is optional; it goes when the field is short.
    s.erase(neg ? 1 : 0, 1);
  }
  return right_justify(std::move(s), w);
}

// Ew.d or Dw.d (letter) with scale factor k. Returns an empty text when the
// scale factor does not suit d (the caller reports it).
std::string edit_e(double x, int w, int d, int k, char letter, bool& bad_scale) {
  bad_scale = false;
  // Significant digits: d + k for k <= 0 (0.00ddd), d + 1 for k > 0 (dd.ddd).
  if (k <= -d || k > d + 1) {
    bad_scale = true;
    return {};
  }
  if (!std::isfinite(x)) return edit_non_finite(x, w);
  int nsig = k <= 0 ? d + k : d + 1;
  bool neg = std::signbit(x);
  if (w == 1 || (w == 2 && neg)) return stars(w);
  double a = std::fabs(x);
  std::string digits;
  int exp10 = 0;
  if (a == 0.0) {
    digits.assign(static_cast<std::size_t>(nsig), '0');
    exp10 = 0;
  } else {
    std::string s = print("%.*e", nsig - 1, a);
    std::size_t epos = s.find('e');
    for (std::size_t i = 0; i < epos; ++i)
      if (s[i] != '.') digits += s[i];
    int e10 = std::atoi(s.c_str() + epos + 1);
    exp10 = e10 + 1 - k;  // value = 0.d1d2... * 10^(e10+1)
  }
  std::string m;
  if (neg) m += '-';
  bool optional_zero = false;
  if (k <= 0) {
    optional_zero = true;
    m += "0.";
    m.append(static_cast<std::size_t>(-k), '0');
    m += digits;
  } else {
    m += digits.substr(0, static_cast<std::size_t>(k));
    m += '.';
    m += digits.substr(static_cast<std::size_t>(k));
  }
  int ae = std::abs(exp10);
  if (ae > 999) return stars(w);
  char ebuf[8];
  if (ae <= 99)
    std::snprintf(ebuf, sizeof ebuf, "%c%c%02d", letter, exp10 < 0 ? '-' : '+', ae);
  else
    std::snprintf(ebuf, sizeof ebuf, "%c%03d", exp10 < 0 ? '-' : '+', ae);
  m += ebuf;
  if (static_cast<int>(m.size()) > w && optional_zero) m.erase(neg ? 1 : 0, 1);
  return right_justify(std::move(m), w);
}

// Iw or Iw.m (m < 0 when absent).
std::string edit_i(long long v, int w, int m) {
  if (m == 0 && v == 0) return std::string(static_cast<std::size_t>(w), ' ');
  unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, mag);
  std::string digits(buf, res.ptr);
  if (m > 0 && static_cast<int>(digits.size()) < m) digits.insert(0, static_cast<std::size_t>(m) - digits.size(), '0');
  if (v < 0) digits.insert(0, 1, '-');
  return right_justify(std::move(digits), w);
}

// ---------------------------------------------------------------------------
// Whether a value is written as a number by a descriptor (true) or fills
// its field with asterisks or shows Inf or NaN (false), decided without
// editing the text except within a hair of the edge of the field.

// Iw or Iw.m: the digits (at least m) and the sign within w columns; Iw.0
// of zero is a blank field.
bool int_fits(long long v, int w, int m) {
  if (m == 0 && v == 0) return true;
  unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  int digits = 1;
  while (mag >= 10) {
    mag /= 10;
    ++digits;
  }
  return std::max(digits, m) + (v < 0 ? 1 : 0) <= w;
}

// Fw.d with scale factor k: |x| 10^k rounded to d decimals needs fewer than
// p = w - 1 - d - (1 if negative) digits before the point, i.e. it stays
// below 10^p (p = 0: below 1, written ".ddd" without its zero). The edge in
// |x| is 10^(p-k) - 0.5 10^-(d+k); a value within a relative 1e-9 of it is
// decided by its rounded digits.
bool fixed_fits(double x, int w, int d, int k) {
  if (!std::isfinite(x)) return false;
  const bool neg = std::signbit(x);
  if (w == 1 || (w == 2 && neg)) return false;
  const int p = w - 1 - d - (neg ? 1 : 0);
  if (p < 0) return false;
  const double a = std::fabs(x);
  const double edge = std::pow(10.0, p - k) - 0.5 * std::pow(10.0, -(d + k));
  if (a < edge * (1.0 - 1e-9)) return true;
  if (a > edge * (1.0 + 1e-9)) return false;
  std::string body = fixed_digits(a, d, k);
  if (body.size() >= 2 && body[0] == '0' && body[1] == '.') body.erase(0, 1);
  return static_cast<int>(body.size()) + (neg ? 1 : 0) <= w;
}

// Ew.d or Dw.d with scale factor k: the width does not depend on the value
// (d + 2 mantissa characters with the point, four of exponent, the sign;
// the zero of "0.ddd" may go), only on its sign, so long as the decimal
// exponent has at most three digits. A scale factor that does not suit d
// is the writer's stop, not a misfit.
bool exp_fits(double x, int w, int d, int k) {
  if (k <= -d || k > d + 1) return true;
  if (!std::isfinite(x)) return false;
  if (std::abs(k) > 600) {  // exponents beyond three digits come within reach
    bool bad = false;
    return edit_e(x, w, d, k, 'E', bad).find('*') == std::string::npos;
  }
  const bool neg = std::signbit(x);
  if (w == 1 || (w == 2 && neg)) return false;
  int need = (neg ? 1 : 0) + d + 2 + 4;
  if (need > w && k <= 0) --need;
  return need <= w;
}

// ---------------------------------------------------------------------------
// List-directed editing of reals: 1PGw.dEe with w = 25, d = 17, e = 3 for
// 64-bit reals and w = 16, d = 9, e = 2 for 32-bit reals.
std::string list_real(double x, int w, int d, int e) {
  if (std::isnan(x)) return right_justify("NaN", w);
  if (std::isinf(x)) return right_justify(x < 0 ? "-Infinity" : "Infinity", w);
  bool neg = std::signbit(x);
  double a = std::fabs(x);
  int trail = e + 2;  // the blanks that stand for the exponent in fixed form
  std::string body;
  if (a == 0.0) {
    body = print("%.*f", d - 1, 0.0);
  } else {
    std::string s = print("%.*e", d - 1, a);
    std::size_t epos = s.find('e');
    int e10 = std::atoi(s.c_str() + epos + 1);
    if (e10 >= -1 && e10 < d) {
      body = print("%#.*f", d - 1 - e10, a);
    } else {
      char ebuf[16];
      std::snprintf(ebuf, sizeof ebuf, "E%c%0*d", e10 < 0 ? '-' : '+', e, std::abs(e10));
      body = s.substr(0, epos) + ebuf;
      trail = 0;
    }
  }
  if (neg) body.insert(0, 1, '-');
  std::string field = right_justify(std::move(body), w - trail);
  field.append(static_cast<std::size_t>(trail), ' ');
  return field;
}

// ---------------------------------------------------------------------------
// The parsed format: a flat list of instructions; groups are bracketed by
// GroupStart/GroupEnd, which point at each other.

enum class Op { GroupStart, GroupEnd, Int, Fixed, Exp, Text, Skip, SkipLeft, Tab, Literal, Slash, Scale };

struct Instr {
  explicit Instr(Op o) : op(o) {}
  Op op;
  int repeat = 1;   // data descriptors, slash; group count for GroupStart
  int w = -1;       // field width (-1: A without width)
  int d = -1;       // decimals
  int m = -1;       // minimum digits of Iw.m
  int n = 0;        // X/TR/TL/T count, scale factor
  char letter = 'E';
  int partner = -1; // matching GroupStart/GroupEnd
  std::string text; // literal
};

class Parser {
 public:
  explicit Parser(std::string_view text) : t_(text) {}

  std::vector<Instr> parse(int& reversion) {
    skip_blanks();
    if (!eat('(')) fail("it does not begin with \"(\"");
    std::vector<Instr> code;
    reversion = 0;
    parse_list(code, 1, reversion);
    skip_blanks();
    if (i_ != t_.size()) fail("text after the closing bracket");
    return code;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    fatal(" malformed format \"" + std::string(t_) + "\": " + why + " (column " + std::to_string(i_ + 1) + ")");
  }
  void skip_blanks() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t')) ++i_;
  }
  char peek() {
    skip_blanks();
    if (i_ >= t_.size()) return '\0';
    char c = t_[i_];
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  bool eat(char c) {
    if (peek() == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool at_digit() {
    char c = peek();
    return c >= '0' && c <= '9';
  }
  int number() {
    if (!at_digit()) fail("a number is missing");
    long long v = 0;
    while (at_digit()) {
      v = v * 10 + (t_[i_] - '0');
      if (v > 1000000) fail("a number is too large");
      ++i_;
    }
    return static_cast<int>(v);
  }
  int width() {
    int w = number();
    if (w <= 0) fail("a field width must be positive");
    return w;
  }

  // Items up to the closing bracket of the current level (consumed).
  void parse_list(std::vector<Instr>& code, int depth, int& reversion) {
    if (eat(')')) return;  // empty format "()"
    bool need_sep = false;
    bool after_slash = false;  // a comma may follow a slash
    for (;;) {
      char c = peek();
      if (c == '\0') fail("the closing bracket is missing");
      if (c == ')') {
        ++i_;
        return;
      }
      if (c == ',') {
        if (!need_sep && !after_slash) fail("an item is missing before a comma");
        after_slash = false;
        ++i_;
        need_sep = false;
        if (peek() == ')') fail("an item is missing after a comma");
        continue;
      }
      if (c == '/') {
        ++i_;
        code.push_back(Instr{Op::Slash});
        need_sep = false;
        after_slash = true;
        continue;
      }
      if (need_sep) fail("a comma is missing");
      after_slash = false;
      need_sep = parse_item(code, depth, reversion);
      if (!need_sep) after_slash = true;
    }
  }

  // One item; returns whether a separator must follow it.
  bool parse_item(std::vector<Instr>& code, int depth, int& reversion) {
    char c = peek();
    if (c == '\'' || c == '"') {
      Instr lit{Op::Literal};
      lit.text = literal(c);
      code.push_back(std::move(lit));
      return true;
    }
    bool has_count = false;
    bool negative = false;
    int count = 1;
    if (c == '-' || c == '+') {
      negative = c == '-';
      ++i_;
      if (!at_digit()) fail("a sign must be followed by a scale factor");
      count = number();
      if (peek() != 'P') fail("a sign must be followed by a scale factor");
      has_count = true;
    } else if (at_digit()) {
      count = number();
      has_count = true;
    }
    c = peek();
    if (c == 'P') {
      if (!has_count) fail("P needs a scale factor before it");
      ++i_;
      Instr sc{Op::Scale};
      sc.n = negative ? -count : count;
      code.push_back(sc);
      // A descriptor may follow the scale factor without a comma.
      char nx = peek();
      if (nx == ',' || nx == ')' || nx == '/' || nx == '\0') return true;
      return parse_item(code, depth, reversion);
    }
    if (has_count && count == 0) fail("a repeat count must be positive");
    if (c == '/') {  // r/ : r record ends
      ++i_;
      for (int r = 0; r < count; ++r) code.push_back(Instr{Op::Slash});
      return false;
    }
    if (c == '(') {
      ++i_;
      std::size_t start = code.size();
      if (depth == 1) reversion = static_cast<int>(start);
      Instr gs{Op::GroupStart};
      gs.repeat = count;
      code.push_back(gs);
      parse_list(code, depth + 1, reversion);
      Instr ge{Op::GroupEnd};
      ge.partner = static_cast<int>(start);
      code[start].partner = static_cast<int>(code.size());
      code.push_back(ge);
      return true;
    }
    if (c == '\'' || c == '"') fail("a literal cannot have a repeat count");
    ++i_;
    Instr in{Op::Int};
    in.repeat = count;
    switch (c) {
      case 'I':
        in.op = Op::Int;
        in.w = width();
        if (eat('.')) in.m = number();
        if (in.m > in.w) fail("I field with more digits than its width");
        break;
      case 'F':
        in.op = Op::Fixed;
        in.w = width();
        if (!eat('.')) fail("F needs a number of decimals");
        in.d = number();
        break;
      case 'E':
      case 'D':
        in.op = Op::Exp;
        in.letter = c;
        in.w = width();
        if (!eat('.')) fail(std::string(1, c) + " needs a number of digits");
        in.d = number();
        break;
      case 'A':
        in.op = Op::Text;
        if (at_digit()) in.w = width();
        break;
      case 'X':
        in.op = Op::Skip;
        in.n = count;
        in.repeat = 1;
        break;
      case 'T': {
        char nx = peek();
        if (has_count) fail("T, TL and TR take no repeat count");
        if (nx == 'R' || nx == 'L') {
          ++i_;
          in.op = nx == 'R' ? Op::Skip : Op::SkipLeft;
        } else {
          in.op = Op::Tab;
        }
        in.n = width();
        break;
      }
      default:
        fail(c == '\0' ? "the closing bracket is missing" : std::string("unknown descriptor \"") + t_[i_ - 1] + "\"");
    }
    code.push_back(std::move(in));
    return true;
  }

  std::string literal(char quote) {
    ++i_;  // opening quote
    std::string s;
    for (;;) {
      if (i_ >= t_.size()) fail("a literal is not closed");
      char c = t_[i_++];
      if (c == quote) {
        if (i_ < t_.size() && t_[i_] == quote) {
          s += quote;
          ++i_;
          continue;
        }
        return s;
      }
      s += c;
    }
  }

  std::string_view t_;
  std::size_t i_ = 0;
};

// The record being built: a text and a column (0-based). Moving past the
// end does not write blanks until something is written there.
struct RecordBuilder {
  std::vector<std::string> records;
  std::string rec;
  std::size_t pos = 0;

  void put(std::string_view s) {
    if (rec.size() < pos) rec.resize(pos, ' ');
    if (rec.size() < pos + s.size()) rec.resize(pos + s.size(), ' ');
    rec.replace(pos, s.size(), s);
    pos += s.size();
  }
  void end_record() {
    records.push_back(std::move(rec));
    rec.clear();
    pos = 0;
  }
};

const char* kind_name(const FmtItem& item) {
  switch (item.index()) {
    case 0: return "an integer";
    case 1: return "a real";
    case 2: return "a real";
    default: return "a text";
  }
}

}  // namespace

struct FortranFormat::Impl {
  std::string text;
  std::vector<Instr> code;
  int reversion = 0;  // index where reversion resumes
};

FortranFormat::FortranFormat(std::string_view text) : impl_(std::make_unique<Impl>()) {
  impl_->text = std::string(text);
  Parser p(impl_->text);
  impl_->code = p.parse(impl_->reversion);
}

FortranFormat::~FortranFormat() = default;
FortranFormat::FortranFormat(FortranFormat&&) noexcept = default;
FortranFormat& FortranFormat::operator=(FortranFormat&&) noexcept = default;

const std::string& FortranFormat::text() const { return impl_->text; }

namespace {

// Walks the format over the items in the order of a write: data(in, scale,
// k) for item k and the descriptor that edits it (false ends the walk),
// other(in) for literals, slashes and positioning, revert() where the items
// left start a new record and the format continues at its reversion point.
// The walk ends at the first data descriptor with no item left, or at the
// end of the format when no item is left.
template <class Data, class Other, class Revert>
void walk_format(const std::vector<Instr>& code, int reversion, const std::string& text,
                 std::span<const FmtItem> items, Data data, Other other, Revert revert) {
  std::size_t next = 0;  // next item
  int scale = 0;
  // Counters of the open groups: (GroupStart index, passes left).
  std::vector<std::pair<int, int>> groups;
  bool used_since_start = false;
  std::size_t pc = 0;
  for (;;) {
    if (pc == code.size()) {
      if (next == items.size()) return;
      if (!used_since_start)
        fatal(" format \"" + text + "\" has no data descriptor for item " + std::to_string(next + 1));
      revert();
      groups.clear();
      pc = static_cast<std::size_t>(reversion);
      used_since_start = false;
      continue;
    }
    const Instr& in = code[pc];
    switch (in.op) {
      case Op::GroupStart:
        groups.emplace_back(static_cast<int>(pc), in.repeat);
        ++pc;
        continue;
      case Op::GroupEnd:
        if (--groups.back().second > 0) {
          pc = static_cast<std::size_t>(groups.back().first) + 1;
        } else {
          groups.pop_back();
          ++pc;
        }
        continue;
      case Op::Scale:
        scale = in.n;
        break;
      case Op::Literal:
      case Op::Slash:
      case Op::Skip:
      case Op::SkipLeft:
      case Op::Tab:
        other(in);
        break;
      default:
        for (int r = 0; r < in.repeat; ++r) {
          if (next == items.size()) return;
          if (!data(in, scale, next)) return;
          ++next;
          used_since_start = true;
        }
        break;
    }
    ++pc;
  }
}

// The real value that a numeric descriptor edits (an integer item as the
// real of the same value).
double real_of(const FmtItem& item) {
  if (const auto* iv = std::get_if<std::int32_t>(&item)) return *iv;
  if (const auto* dv = std::get_if<double>(&item)) return *dv;
  return static_cast<double>(std::get<float>(item));
}

// A real given to I is truncated toward zero; outside the 64-bit range or
// NaN it has no integer (asterisks).
// A numeric descriptor as a format text writes it: "I4", "I4.2", "F12.5",
// "1PE15.5".
std::string descriptor_text(const Instr& in, int scale) {
  if (in.op == Op::Int)
    return in.m >= 0 ? fmt::format("I{}.{}", in.w, in.m) : fmt::format("I{}", in.w);
  const char letter = in.op == Op::Fixed ? 'F' : in.letter;
  return scale != 0 ? fmt::format("{}P{}{}.{}", scale, letter, in.w, in.d) : fmt::format("{}{}.{}", letter, in.w, in.d);
}

// The shortest text that reads back as v.
std::string shortest_text(double v) { return fmt::format("{}", v); }

bool integer_of_real(double v, long long& out) {
  const double t = std::trunc(v);
  if (std::isnan(t) || t < -9.2e18 || t > 9.2e18) return false;
  out = static_cast<long long>(t);
  return true;
}

}  // namespace

std::vector<std::string> FortranFormat::write(std::span<const FmtItem> items) const {
  const std::string& text = impl_->text;
  RecordBuilder out;
  auto mismatch = [&](const Instr& in, const FmtItem& item, std::size_t k) {
    const char* want = in.op == Op::Text ? "a text" : "a number";
    fatal(" format \"" + text + "\": item " + std::to_string(k + 1) + " is " + kind_name(item) + " where " +
          want + " is expected");
  };
  auto data = [&](const Instr& in, int scale, std::size_t k) {
    const FmtItem& item = items[k];
    std::string field;
    if (in.op == Op::Text) {
      const auto* s = std::get_if<std::string_view>(&item);
      if (!s) mismatch(in, item, k);
      if (in.w < 0)
        field = std::string(*s);
      else if (static_cast<int>(s->size()) >= in.w)
        field = std::string(s->substr(0, static_cast<std::size_t>(in.w)));
      else
        field = std::string(static_cast<std::size_t>(in.w) - s->size(), ' ') + std::string(*s);
    } else {
      if (std::holds_alternative<std::string_view>(item)) mismatch(in, item, k);
      if (in.op == Op::Int) {
        long long iv = 0;
        if (const auto* i32 = std::get_if<std::int32_t>(&item))
          field = edit_i(*i32, in.w, in.m);
        else if (integer_of_real(real_of(item), iv))
          field = edit_i(iv, in.w, in.m);
        else
          field = stars(in.w);
      } else if (in.op == Op::Fixed) {
        field = edit_f(real_of(item), in.w, in.d, scale);
      } else {
        bool bad = false;
        field = edit_e(real_of(item), in.w, in.d, scale, in.letter, bad);
        if (bad)
          fatal(" format \"" + text + "\": scale factor " + std::to_string(scale) + " does not suit " +
                std::string(1, in.letter) + std::to_string(in.w) + "." + std::to_string(in.d));
      }
    }
    out.put(field);
    return true;
  };
  auto other = [&](const Instr& in) {
    switch (in.op) {
      case Op::Literal:
        out.put(in.text);
        break;
      case Op::Slash:
        out.end_record();
        break;
      case Op::Skip:
        out.pos += static_cast<std::size_t>(in.n);
        break;
      case Op::SkipLeft:
        out.pos -= std::min(out.pos, static_cast<std::size_t>(in.n));
        break;
      default:  // Tab
        out.pos = static_cast<std::size_t>(in.n - 1);
        break;
    }
  };
  walk_format(impl_->code, impl_->reversion, text, items, data, other, [&] { out.end_record(); });
  out.end_record();
  return std::move(out.records);
}

std::optional<FieldMisfit> FortranFormat::first_misfit(std::span<const FmtItem> items) const {
  std::optional<FieldMisfit> found;
  std::size_t record = 0;
  auto data = [&](const Instr& in, int scale, std::size_t k) {
    const FmtItem& item = items[k];
    if (in.op == Op::Text || std::holds_alternative<std::string_view>(item)) return true;
    bool fits = true;
    if (in.op == Op::Int) {
      long long iv = 0;
      if (const auto* i32 = std::get_if<std::int32_t>(&item))
        fits = int_fits(*i32, in.w, in.m);
      else
        fits = integer_of_real(real_of(item), iv) && int_fits(iv, in.w, in.m);
    } else {
      const double v = real_of(item);
      fits = in.op == Op::Fixed ? fixed_fits(v, in.w, in.d, scale) : exp_fits(v, in.w, in.d, scale);
    }
    if (!fits) found = FieldMisfit{k, descriptor_text(in, scale), record};
    return fits;
  };
  auto other = [&](const Instr& in) {
    if (in.op == Op::Slash) ++record;
  };
  walk_format(impl_->code, impl_->reversion, impl_->text, items, data, other, [&] { ++record; });
  return found;
}

std::optional<ValueMisfit> value_misfit(const FortranFormat& format, std::span<const FmtItem> items,
                                        std::span<const std::string_view> columns) {
  const std::optional<FieldMisfit> bad = format.first_misfit(items);
  if (!bad) return std::nullopt;
  const FmtItem& item = items[bad->item];
  ValueMisfit m;
  m.record = bad->record;
  m.column = bad->item < columns.size() ? std::string(columns[bad->item]) : fmt::format("value {}", bad->item + 1);
  const double v = real_of(item);
  m.value = std::holds_alternative<std::int32_t>(item) ? std::to_string(std::get<std::int32_t>(item)) : shortest_text(v);
  m.finite = std::isfinite(v);
  m.why = m.finite ? fmt::format("does not fit its field {}", bad->descriptor) : std::string("is not a finite number");
  return m;
}

namespace {
constexpr std::string_view kMisfitAdvice =
    " the beam or the lattice holds a value no machine reaches at this place; check the inputs";
}  // namespace

std::optional<FieldFault> field_fault(const FortranFormat& format, std::span<const FmtItem> items,
                                      std::string_view file, std::string_view where,
                                      std::span<const std::string_view> columns) {
  const std::optional<ValueMisfit> m = value_misfit(format, items, columns);
  if (!m) return std::nullopt;
  FieldFault f;
  f.finite = m->finite;
  f.lines = {fmt::format(" {} line of {}: {} = {} {}", file, where, m->column, m->value, m->why),
             std::string(kMisfitAdvice)};
  return f;
}

FieldFault misfit_at_line(const ValueMisfit& misfit, std::string_view file, std::size_t line,
                          std::string_view where) {
  FieldFault f;
  f.finite = misfit.finite;
  const std::string place = where.empty() ? std::string() : fmt::format(" ({})", where);
  f.lines = {fmt::format(" {} line {}{}: {} = {} {}", file, line, place, misfit.column, misfit.value, misfit.why),
             std::string(kMisfitAdvice)};
  return f;
}

void RecordBlock::add(const FortranFormat& format, std::span<const FmtItem> items,
                      std::span<const std::string_view> columns) {
  if (!misfit_) {
    misfit_ = value_misfit(format, items, columns);
    if (misfit_) misfit_->record += records_.size();
  }
  for (auto& r : format.write(items)) records_.push_back(std::move(r));
}

const FortranFormat& FormatCache::get(std::string_view text) {
  auto it = formats_.find(text);
  if (it != formats_.end()) return it->second;
  FortranFormat parsed(text);
  return formats_.emplace(std::string(text), std::move(parsed)).first->second;
}

std::vector<std::string> format_records(std::string_view fmt, std::span<const FmtItem> items) {
  return FortranFormat(fmt).write(items);
}

std::vector<std::string> format_records(std::string_view fmt, std::initializer_list<FmtItem> items) {
  return FortranFormat(fmt).write(items);
}

void write_formatted(Units& units, int unit, const FortranFormat& fmt, std::span<const FmtItem> items) {
  units.write(unit, fmt.write(items));
}

void write_formatted(Units& units, int unit, const FortranFormat& fmt, std::initializer_list<FmtItem> items) {
  units.write(unit, fmt.write(items));
}

void write_formatted(Units& units, int unit, std::string_view fmt, std::initializer_list<FmtItem> items) {
  units.write(unit, FortranFormat(fmt).write(items));
}

void write_formatted(Units& units, int unit, std::string_view fmt, std::span<const FmtItem> items) {
  units.write(unit, FortranFormat(fmt).write(items));
}

std::string list_directed(std::span<const FmtItem> items) {
  if (items.empty()) return {};  // a write without items gives an empty record
  std::string rec = " ";
  bool prev_text = false;
  bool first = true;
  for (const FmtItem& item : items) {
    bool is_text = std::holds_alternative<std::string_view>(item);
    if (!first && !(prev_text && is_text)) rec += ' ';
    first = false;
    prev_text = is_text;
    if (const auto* s = std::get_if<std::string_view>(&item)) {
      rec += *s;
    } else if (const auto* iv = std::get_if<std::int32_t>(&item)) {
      rec += edit_i(*iv, 11, -1);
    } else if (const auto* dv = std::get_if<double>(&item)) {
      rec += list_real(*dv, 25, 17, 3);
    } else {
      rec += list_real(static_cast<double>(std::get<float>(item)), 16, 9, 2);
    }
  }
  return rec;
}

std::string list_directed(std::initializer_list<FmtItem> items) {
  return list_directed(std::span<const FmtItem>(items.begin(), items.size()));
}

}  // namespace linac
