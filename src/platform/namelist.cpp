#include "platform/namelist.hpp"

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/fatal.hpp"
#include "platform/freeformat.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) { return is_letter(c) || is_digit(c) || c == '_'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool is_marker(char c) { return c == '&' || c == '$'; }
// Ends an unquoted value.
bool ends_value(char c) { return is_space(c) || c == ',' || c == '/' || c == '!' || is_marker(c); }

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

// Walks the text of one file; every message names the file and the line.
class Scanner {
 public:
  Scanner(const std::string& text, const std::string& file, std::size_t pos) : t_(text), file_(file), p_(pos) {}

  std::size_t pos() const { return p_; }
  bool done() const { return p_ >= t_.size(); }
  char peek(std::size_t ahead = 0) const { return p_ + ahead < t_.size() ? t_[p_ + ahead] : '\0'; }
  // The next n characters (fewer at the end of the text).
  std::string_view next(std::size_t n) const { return std::string_view(t_).substr(std::min(p_, t_.size()), n); }
  void advance(std::size_t n = 1) { p_ = std::min(t_.size(), p_ + n); }

  int line_at(std::size_t pos) const {
    return 1 + static_cast<int>(std::count(t_.begin(), t_.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
  }
  [[noreturn]] void fail_at(std::size_t pos, const std::string& what) const {
    input_error(file_, line_at(pos), what);
  }

  void skip_comment() {
    while (!done() && peek() != '\n') advance();
  }
  // Blanks, line ends and comments.
  void skip_space() {
    while (!done()) {
      if (is_space(peek())) {
        advance();
      } else if (peek() == '!') {
        skip_comment();
      } else {
        break;
      }
    }
  }
  // The name that starts at the current position (empty when none).
  std::string_view name_here(std::size_t offset = 0) const {
    std::size_t q = p_ + offset;
    if (q >= t_.size() || !is_letter(t_[q])) return {};
    std::size_t e = q;
    while (e < t_.size() && is_name_char(t_[e])) ++e;
    return std::string_view(t_).substr(q, e - q);
  }
  // "&END" or "$END" at the current position.
  bool at_end_marker() const { return is_marker(peek()) && upper(name_here(1)) == "END"; }
  // A quoted text from the current quote to its closing quote on the same
  // line; a doubled quote stands for one. nullopt when the line ends first.
  std::optional<std::string> quoted() {
    const char q = peek();
    std::string s;
    advance();
    while (!done() && peek() != '\n') {
      const char c = peek();
      advance();
      if (c != q) {
        s.push_back(c);
      } else if (peek() == q) {
        s.push_back(q);
        advance();
      } else {
        return s;
      }
    }
    return std::nullopt;
  }
  // An unquoted value up to the next separator.
  std::string_view bare_value() {
    const std::size_t b = p_;
    while (!done() && !ends_value(peek())) advance();
    return std::string_view(t_).substr(b, p_ - b);
  }
  // True when a group marker may start here: not glued to a word before it,
  // so that a '&' inside a word of free text ("R&D") is not taken.
  bool at_word_start() const { return p_ == 0 || !is_name_char(t_[p_ - 1]); }

 private:
  const std::string& t_;
  const std::string& file_;
  std::size_t p_;
};

// Skips a group other than the one asked for, up to its end marker; quoted
// texts and comments may hold any character. Stops before a new group marker
// should the group lack its end.
void skip_other_group(Scanner& s) {
  while (!s.done()) {
    const char c = s.peek();
    if (c == '!') {
      s.skip_comment();
    } else if (c == '\'' || c == '"') {
      s.quoted();
    } else if (c == '/') {
      s.advance();
      return;
    } else if (s.at_end_marker()) {
      s.advance(4);
      return;
    } else if (is_marker(c) && s.at_word_start() && !s.name_here(1).empty()) {
      return;
    } else {
      s.advance();
    }
  }
}

class GroupParser {
 public:
  GroupParser(Scanner& s, const NamelistSchema& schema) : s_(s), schema_(schema), group_(upper(schema.group())) {}

  void parse_body() {
    for (;;) {
      s_.skip_space();
      while (s_.peek() == ',') {  // commas between assignments are separators
        s_.advance();
        s_.skip_space();
      }
      if (s_.done()) s_.fail_at(s_.pos(), "group " + group_ + ": end of file before the end of the group ('/')");
      const char c = s_.peek();
      if (c == '/') {
        s_.advance();
        return;
      }
      if (s_.at_end_marker()) {
        s_.advance(4);
        return;
      }
      if (is_letter(c)) {
        assignment();
        continue;
      }
      if (is_marker(c) && !s_.name_here(1).empty())
        s_.fail_at(s_.pos(), "group " + group_ + ": end of the group ('/') missing before '" + c +
                                 std::string(s_.name_here(1)) + "'");
      const std::size_t b = s_.pos();
      const std::string_view item = s_.bare_value();
      s_.fail_at(b, "group " + group_ + ": '" + std::string(item.empty() ? std::string_view(&c, 1) : item) +
                        "' found where a member name is expected");
    }
  }

 private:
  std::string where(const NamelistSchema::Member& m) const { return "group " + group_ + ", member " + m.name + ": "; }

  void assignment() {
    const std::size_t name_pos = s_.pos();
    const std::string name = upper(s_.name_here());
    s_.advance(name.size());
    s_.skip_space();
    const NamelistSchema::Member* member = nullptr;
    for (const auto& m : schema_.members())
      if (m.name == name) member = &m;
    if (!member) s_.fail_at(name_pos, "group " + group_ + ": unknown member '" + name + "'");
    const auto& m = *member;

    int index = m.lower;
    if (s_.peek() == '(') {
      s_.advance();
      s_.skip_space();
      const std::size_t b = s_.pos();
      std::size_t len = 0;
      while (s_.peek(len) != ')' && s_.peek(len) != '\n' && s_.peek(len) != '\0') ++len;
      std::string item(s_.next(len));
      while (!item.empty() && is_space(item.back())) item.pop_back();
      const auto k = parse_int_item(item);
      if (s_.peek(len) != ')' || !k) s_.fail_at(b, where(m) + "bad index, '(integer)' expected");
      s_.advance(len + 1);
      index = *k;
      if (index < m.lower || index > m.lower + m.count - 1)
        s_.fail_at(name_pos, where(m) + "index " + std::to_string(index) + " outside " + std::to_string(m.lower) +
                                 ".." + std::to_string(m.lower + m.count - 1));
      s_.skip_space();
    }
    if (s_.peek() != '=') s_.fail_at(name_pos, where(m) + "'=' expected after the member name");
    s_.advance();
    values(m, index - m.lower);
  }

  // A list of values for member m, the first going to element `offset`
  // (0-based). The list ends at the next member name or the group end.
  void values(const NamelistSchema::Member& m, int offset) {
    bool expect_value = true;  // right after '=' or a comma
    for (;;) {
      s_.skip_space();
      if (s_.done()) return;
      const char c = s_.peek();
      if (c == ',') {
        if (expect_value) ++offset;  // an empty value leaves its element as it is
        expect_value = true;
        s_.advance();
        continue;
      }
      if (c == '/' || is_marker(c)) return;
      const std::size_t b = s_.pos();
      if (is_letter(c)) {
        // The next assignment, unless the name is followed by neither '=' nor '('.
        Scanner look = s_;
        look.advance(look.name_here().size());
        look.skip_space();
        if (look.peek() == '=' || look.peek() == '(') return;
        s_.fail_at(b, where(m) + "'" + std::string(s_.bare_value()) + "' is not " + kind_text(m));
      }
      // Repeat count r*value, or r* alone for r empty values.
      int repeat = 1;
      std::size_t n = 0;
      while (is_digit(s_.peek(n))) ++n;
      if (n > 0 && s_.peek(n) == '*') {
        const std::string r(s_.next(n));
        const auto rv = parse_int_item(r);
        if (!rv || *rv < 1) {
          s_.advance(n + 1);
          s_.fail_at(b, where(m) + "repeat count '" + r + "*' must be a positive integer");
        }
        repeat = *rv;
        s_.advance(n + 1);
        if (s_.done() || ends_value(s_.peek())) {
          offset = offset + std::min(repeat, m.count + 1);
          expect_value = false;
          continue;
        }
      }
      if (s_.peek() == '\'' || s_.peek() == '"') {
        const auto text = s_.quoted();
        if (!text) s_.fail_at(b, where(m) + "text not closed on its line");
        if (!s_.done() && !ends_value(s_.peek()))
          s_.fail_at(b, where(m) + "separator expected after the closing quote");
        if (m.kind != NamelistSchema::Kind::Text) s_.fail_at(b, where(m) + "a quoted text is not " + kind_text(m));
        store(m, offset, repeat, b, [&](int k) { static_cast<std::string*>(m.field)[k] = text->substr(0, m.width); });
      } else {
        const std::string item(s_.bare_value());
        if (item.empty()) s_.fail_at(b, where(m) + "value expected");
        if (m.kind == NamelistSchema::Kind::Int) {
          const auto v = parse_int_item(item);
          if (!v) s_.fail_at(b, where(m) + "'" + item + "' is not an integer");
          store(m, offset, repeat, b, [&](int k) { static_cast<std::int32_t*>(m.field)[k] = *v; });
        } else if (m.kind == NamelistSchema::Kind::Real) {
          const auto v = parse_real_item(item);
          if (!v) s_.fail_at(b, where(m) + "'" + item + "' is not a real number");
          store(m, offset, repeat, b, [&](int k) { static_cast<double*>(m.field)[k] = *v; });
        } else {
          s_.fail_at(b, where(m) + "'" + item + "' is not " + kind_text(m));
        }
      }
      offset += repeat;
      expect_value = false;
    }
  }

  template <class Set>
  void store(const NamelistSchema::Member& m, int offset, int repeat, std::size_t pos, Set set) {
    if (static_cast<long>(offset) + repeat > m.count)
      s_.fail_at(pos, where(m) + "too many values (it holds " + std::to_string(m.count) + ")");
    for (int k = 0; k < repeat; ++k) set(offset + k);
  }

  static std::string kind_text(const NamelistSchema::Member& m) {
    switch (m.kind) {
      case NamelistSchema::Kind::Int:
        return "an integer";
      case NamelistSchema::Kind::Real:
        return "a real number";
      case NamelistSchema::Kind::Text:
        break;
    }
    return "a text in quotes";
  }

  Scanner& s_;
  const NamelistSchema& schema_;
  std::string group_;
};

}  // namespace

NamelistSchema& NamelistSchema::add(std::string name, std::int32_t* field, int count, int lower) {
  members_.push_back({upper(name), Kind::Int, field, count, lower, 0});
  return *this;
}

NamelistSchema& NamelistSchema::add(std::string name, double* field, int count, int lower) {
  members_.push_back({upper(name), Kind::Real, field, count, lower, 0});
  return *this;
}

NamelistSchema& NamelistSchema::add_text(std::string name, std::string* field, std::size_t width) {
  members_.push_back({upper(name), Kind::Text, field, 1, 1, width});
  return *this;
}

NamelistReader::NamelistReader(const Units& units, std::string_view name) : name_(name) {
  // Line by line, each line bounded, so that a file without line ends
  // stops with a message instead of filling memory; the line ends are kept.
  std::ifstream in = open_input_file(units, name);
  std::string line;
  for (long line_no = 1; read_bounded_line(in, line, name_, line_no); ++line_no) {
    text_ += line;
    if (!in.eof()) text_ += '\n';
  }
}

NamelistReader::NamelistReader(std::string text, std::string name) : text_(std::move(text)), name_(std::move(name)) {}

void NamelistReader::read_group(const NamelistSchema& schema) {
  const std::string group = upper(schema.group());
  Scanner s(text_, name_, pos_);
  // Search forward for "&GROUP" (or "$GROUP"), skipping free text, comments
  // and other groups.
  for (;;) {
    if (s.done()) fatal(" input error in " + name_ + ": namelist group " + group + " not found");
    const char c = s.peek();
    if (c == '!') {
      s.skip_comment();
    } else if (is_marker(c) && s.at_word_start() && !s.name_here(1).empty()) {
      const std::string found = upper(s.name_here(1));
      s.advance(1 + found.size());
      if (found == group) break;
      if (found != "END") skip_other_group(s);
    } else {
      s.advance();
    }
  }
  GroupParser(s, schema).parse_body();
  pos_ = s.pos();
}

}  // namespace linac
