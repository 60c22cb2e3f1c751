#include "platform/freeformat.hpp"

#include <charconv>
#include <limits>
#include <system_error>

#include "platform/fatal.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Splits a line into items. Blanks and tabs separate items; a comma does too,
// and a comma that follows another comma (or opens the line) stands for an
// empty item, which no number read accepts. A comma at the end of the line
// adds nothing.
std::vector<std::string> split_items(std::string_view line) {
  std::vector<std::string> items;
  bool after_comma = true;  // the line start counts as a separator
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (is_blank(c)) {
      ++i;
    } else if (c == ',') {
      if (after_comma) items.emplace_back();
      after_comma = true;
      ++i;
    } else {
      std::size_t j = i;
      while (j < line.size() && !is_blank(line[j]) && line[j] != ',') ++j;
      items.emplace_back(line.substr(i, j - i));
      after_comma = false;
      i = j;
    }
  }
  return items;
}

[[noreturn]] void bad_item(const std::string& file, int line_no, const std::string& item, const char* kind) {
  input_error(file, line_no, "'" + item + "' is not " + kind);
}

[[noreturn]] void missing_item(const std::string& file, int line_no, std::size_t item_no, const char* kind) {
  input_error(file, line_no, "item " + std::to_string(item_no) + " missing, " + kind + " expected");
}

constexpr const char* kInt = "an integer";
constexpr const char* kReal = "a real number";
constexpr const char* kText = "a text";

}  // namespace

void input_error(const std::string& file, int line_no, const std::string& what) {
  fatal(" input error in " + file + " line " + std::to_string(line_no) + ": " + what);
}

std::optional<std::int32_t> parse_int_item(std::string_view item) {
  std::size_t i = 0;
  bool negative = false;
  if (i < item.size() && (item[i] == '+' || item[i] == '-')) negative = item[i++] == '-';
  if (i == item.size()) return std::nullopt;
  std::int64_t v = 0;
  for (; i < item.size(); ++i) {
    if (!is_digit(item[i])) return std::nullopt;
    v = v * 10 + (item[i] - '0');
    if (v > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

// Grammar: [sign] (digits [. [digits]] | . digits) [(e|E|d|D) [sign] digits].
// The conversion is correctly rounded; a value beyond the largest double is
// refused, one below the smallest denormal becomes a signed zero.
std::optional<double> parse_real_item(std::string_view item) {
  std::size_t i = 0;
  bool negative = false;
  if (i < item.size() && (item[i] == '+' || item[i] == '-')) negative = item[i++] == '-';
  std::string norm;  // unsigned mantissa and exponent in the form from_chars takes
  const std::size_t mant_start = i;
  int digits = 0;
  int lead_exp = 0;        // decimal exponent of the first non-zero digit, without the exponent part
  bool seen_nonzero = false;
  int int_digits = 0;
  while (i < item.size() && is_digit(item[i])) {
    if (item[i] != '0' && !seen_nonzero) seen_nonzero = true;
    if (seen_nonzero) ++int_digits;
    ++digits;
    ++i;
  }
  if (seen_nonzero) lead_exp = int_digits - 1;
  if (i < item.size() && item[i] == '.') {
    ++i;
    int pos = 0;
    while (i < item.size() && is_digit(item[i])) {
      --pos;
      if (item[i] != '0' && !seen_nonzero) {
        seen_nonzero = true;
        lead_exp = pos;
      }
      ++digits;
      ++i;
    }
  }
  if (digits == 0) return std::nullopt;
  norm.assign(item.substr(mant_start, i - mant_start));
  long exponent = 0;
  if (i < item.size()) {
    const char e = item[i];
    if (e != 'e' && e != 'E' && e != 'd' && e != 'D') return std::nullopt;
    ++i;
    const std::size_t exp_start = i;
    if (i < item.size() && (item[i] == '+' || item[i] == '-')) ++i;
    const std::size_t exp_digits = i;
    while (i < item.size() && is_digit(item[i])) {
      if (i - exp_digits < 9) exponent = exponent * 10 + (item[i] - '0');
      ++i;
    }
    if (i == exp_digits || i != item.size()) return std::nullopt;
    if (item[exp_start] == '-') exponent = -exponent;
    norm += 'e';
    norm.append(item.substr(exp_start, i - exp_start));
  }
  double v = 0.0;
  const auto r = std::from_chars(norm.data(), norm.data() + norm.size(), v, std::chars_format::general);
  if (r.ptr != norm.data() + norm.size()) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) {
    if (!seen_nonzero || lead_exp + exponent >= 0) return std::nullopt;  // too large
    v = 0.0;                                                              // below the smallest denormal
  } else if (r.ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -v : v;
}

// ---------------------------------------------------------------- FreeLine

FreeLine::FreeLine(std::string_view line, std::string file, int line_no)
    : items_(split_items(line)), file_(std::move(file)), line_no_(line_no) {}

bool FreeLine::at_end() const { return next_ >= items_.size(); }

std::size_t FreeLine::items_left() const { return items_.size() - next_; }

// The next item as a number of the kind `parse` accepts.
template <class T>
T FreeLine::read_number(std::optional<T> (*parse)(std::string_view), const char* kind) {
  if (at_end()) missing_item(file_, line_no_, next_ + 1, kind);
  const std::string& item = items_[next_];
  const auto v = parse(item);
  if (!v) bad_item(file_, line_no_, item, kind);
  ++next_;
  return *v;
}

std::int32_t FreeLine::read_int() { return read_number(parse_int_item, kInt); }

double FreeLine::read_real() { return read_number(parse_real_item, kReal); }

std::string FreeLine::read_text(std::size_t len) {
  if (at_end()) missing_item(file_, line_no_, next_ + 1, kText);
  return items_[next_++].substr(0, len);
}

int FreeLine::read_reals_counting(double* out, int max) {
  int n = 0;
  while (n < max && !at_end()) {
    const auto v = parse_real_item(items_[next_]);
    if (!v) break;
    out[n++] = *v;
    ++next_;
  }
  return n;
}

// ---------------------------------------------------------------- FreeStream

struct FreeStream::Impl {
  Impl(const Units& units, std::string_view name) : in(units, name), line(std::string_view{}, in.name(), 0) {}
  TextIn in;
  FreeLine line;       // the current line and its items not yet taken
  bool fresh = false;  // no item of the current line has been taken yet

  // Loads the next line that holds an item; false at the end of the file.
  bool load_next() {
    std::string text;
    while (in.next_line(text)) {
      line = FreeLine(text, in.name(), in.line_number());
      fresh = true;
      if (!line.at_end()) return true;
    }
    return false;
  }
  // The current line with an item available, loading lines as needed; at
  // the end of the file the read of `kind` fails.
  FreeLine& take(const char* kind) {
    if (line.at_end() && !load_next())
      input_error(in.name(), in.line_number(), std::string("end of file, ") + kind + " expected");
    fresh = false;
    return line;
  }
};

FreeStream::FreeStream(const Units& units, std::string_view name)
    : impl_(std::make_unique<Impl>(units, name)) {}

FreeStream::~FreeStream() = default;

std::int32_t FreeStream::read_int() { return impl_->take(kInt).read_int(); }

double FreeStream::read_real() { return impl_->take(kReal).read_real(); }

std::optional<double> FreeStream::next_line_first_real() {
  // A line already loaded but untouched (by at_end) is the next line.
  if (!(impl_->fresh && !impl_->line.at_end())) {
    if (!impl_->load_next()) return std::nullopt;
  }
  const double v = impl_->line.read_real();
  impl_->line = FreeLine(std::string_view{}, impl_->in.name(), impl_->in.line_number());
  impl_->fresh = false;
  return v;
}

bool FreeStream::at_end() {
  if (!impl_->line.at_end()) return false;
  return !impl_->load_next();
}

void FreeStream::next_record() {
  // A line loaded ahead (by at_end) whose items are all still there is
  // already the new record.
  if (impl_->fresh) return;
  impl_->line = FreeLine(std::string_view{}, impl_->in.name(), impl_->in.line_number());
  impl_->fresh = false;
}

const std::string& FreeStream::file() const { return impl_->in.name(); }

int FreeStream::line_number() const { return impl_->in.line_number(); }

}  // namespace linac
