#include "numerics/lib_errors.hpp"

#include <vector>

#include "numerics/numerics_context.hpp"
#include "numerics/lib_text.hpp"
#include "platform/fatal.hpp"

namespace linac {

namespace {

LibErrorState& state(NumericsContext& sim) { return sim.numerics.errors; }

LibErrorState& ready(NumericsContext& sim) {
  if (!sim.numerics.errors.set_up) E1SETU(sim);
  return sim.numerics.errors;
}

bool is_odd(std::int32_t v) { return (v % 2) != 0; }

bool valid_type(std::int32_t t) { return t >= 1 && t <= 7; }

// A routine name as printed: a name that begins with a lower-case letter
// followed by an upper-case one ("dRNUN") shows its first letter in upper case.
std::string printed_name(std::string name) {
  if (name.size() >= 2 && name[0] >= 'a' && name[0] <= 'z' && name[1] >= 'A' && name[1] <= 'Z')
    name[0] = static_cast<char>(name[0] - 32);
  return name;
}

// The name cut at its first blank.
std::string name_to_first_blank(const FixedText<kLibNameLength>& name) {
  std::string s = name.str();
  const std::size_t p = s.find(' ');
  if (p != std::string::npos) s.resize(p);
  return s;
}

void write_lines(NumericsContext& sim, const std::vector<std::string>& lines) {
  sim.units.write(sim.numerics.machine.units[3], lines);
}

// The insert store entry with key (letter, digit), compared without case;
// false when there is none.
bool find_insert(const std::string& store, char letter, char digit, std::string& value) {
  auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
  std::size_t p = 0;
  while (p + 4 < store.size()) {
    const bool match = store[p] == '*' && up(store[p + 1]) == up(letter) &&
                       store[p + 2] == digit && store[p + 3] == '*';
    std::size_t q = p + 4;
    std::size_t len = 0;
    while (q < store.size() && store[q] >= '0' && store[q] <= '9') len = len * 10 + (store[q++] - '0');
    if (q >= store.size() || store[q] != '%') return false;  // malformed: stop searching
    ++q;
    if (match) {
      value = store.substr(q, len);
      return true;
    }
    p = q + len;
  }
  return false;
}

bool is_insert_letter(char c) {
  switch (c) {
    case 'A': case 'C': case 'D': case 'I': case 'K': case 'L': case 'R': case 'S': case 'Z':
    case 'a': case 'c': case 'd': case 'i': case 'k': case 'l': case 'r': case 's': case 'z':
      return true;
    default:
      return false;
  }
}

// ".  " followed by the text with its placeholders replaced, at most 1024
// characters in all.
std::string compose(const std::string& store, std::string_view mtext) {
  if (mtext.size() > kLibMessageLength) mtext = mtext.substr(0, kLibMessageLength);
  std::string out = ".  ";
  auto append = [&out](std::string_view piece) {
    const std::size_t room = kLibMessageLength - out.size();
    out.append(piece.substr(0, room));
  };
  const std::size_t n = mtext.size();
  std::size_t i = 0;  // 0-based position
  while (i + 4 < n && out.size() < kLibMessageLength) {
    std::string value;
    if (mtext[i] == '%' && mtext[i + 1] == '(' && mtext[i + 4] == ')' &&
        is_insert_letter(mtext[i + 2]) && mtext[i + 3] >= '1' && mtext[i + 3] <= '9' &&
        find_insert(store, mtext[i + 2], mtext[i + 3], value) && !value.empty()) {
      append(value);
      i += 5;
    } else {
      append(mtext.substr(i, 1));
      ++i;
    }
  }
  if (i < n) append(mtext.substr(i));
  return out;
}

void clear_inserts(LibErrorState& e) {
  e.inserts.clear();
  e.inserts_used = 1;
}

}  // namespace

[[noreturn]] void library_stop() { fatal(std::vector<std::string>{}); }

std::string_view lib_error_type_name(std::int32_t type) {
  static constexpr std::string_view kNames[8] = {"UNKNOWN ", "NOTE    ", "ALERT   ", "WARNING ",
                                                 "FATAL   ", "TERMINAL", "WARNING ", "FATAL   "};
  return valid_type(type) ? kNames[type] : kNames[0];
}

void E1SETU(NumericsContext& sim) {
  LibErrorState& e = state(sim);
  if (e.set_up) return;
  e.level = 1;
  e.max_level = kLibMaxLevel;
  for (auto& n : e.name) n = "";
  e.name[1] = "USER";
  for (std::int32_t L = 1; L <= kLibMaxLevel + 1; ++L) {
    e.err_type[L] = L == 1 ? 0 : -1;
    e.err_code[L] = L == 1 ? 0 : -1;
    e.user_flag[L] = L == 1 ? -1 : 0;
  }
  e.message.clear();
  clear_inserts(e);
  e.immediate6 = 0;
  e.immediate7 = 0;
  e.print_flag = {0, 0, 0, 1, 1, 1, 1, 1};
  e.stop_flag = {0, 0, 0, 0, 1, 1, 0, 1};
  e.set_up = true;
}

void E1PSH(NumericsContext& sim, std::string_view NAME) {
  LibErrorState& e = ready(sim);
  if (e.level >= e.max_level) {
    E1INSI(sim, 1, e.max_level);
    E1MES(sim, 5, 1, "Error condition in E1PSH.  Push would cause stack level to exceed %(I1). ");
    library_stop();
  }
  ++e.level;
  e.name[e.level] = NAME;
  e.err_type[e.level] = 0;
  e.err_code[e.level] = 0;
}

void E1POP(NumericsContext& sim, std::string_view NAME) {
  LibErrorState& e = ready(sim);
  if (e.level <= 1) {
    E1PSH(sim, "E1POP ");
    E1INSL(sim, 1, NAME);
    E1MES(sim, 5, 1, "Error condition in E1POP.  Cannot pop from %(L1) because stack is empty.");
    library_stop();
  }
  if (!(FixedText<kLibNameLength>(NAME) == e.name[e.level].view()) ||
      (NAME.size() > kLibNameLength &&
       NAME.substr(kLibNameLength).find_first_not_of(' ') != std::string_view::npos)) {
    const std::string top = e.name[e.level].trimmed();
    E1INSL(sim, 1, NAME);
    E1INSL(sim, 2, top);
    E1MES(sim, 5, 2, "Error condition in E1POP.  %(L1) does not match the name %(L2) in the stack.");
    library_stop();
  }
  const std::int32_t L = e.level;
  const std::int32_t t = e.err_type[L];
  if (t != 0) {
    if (t >= 2 && t <= 7) {
      // The error travels outward; a NOTE does not.
      e.err_type[L - 1] = t;
      e.err_code[L - 1] = e.err_code[L];
    }
    const bool caller_is_user = is_odd(e.user_flag[L - 1]);
    if (t <= 4) {
      if (valid_type(t) && e.print_flag[t] == 1 && caller_is_user) E1SHOW(sim);
      if (valid_type(t) && e.stop_flag[t] == 1 && caller_is_user) library_stop();
    } else {
      if (e.print_flag[t] == 1) E1SHOW(sim);  // nothing left when printed at once
      if (t == 5 && e.stop_flag[5] == 1) library_stop();
      if ((t == 6 || t == 7) && caller_is_user && E1IMST(sim) == 1) library_stop();
    }
  }
  if (L < e.max_level) {
    e.err_type[L + 1] = -1;
    e.err_code[L + 1] = -1;
  }
  e.level = L - 1;
}

void E1MES(NumericsContext& sim, std::int32_t ETYPE, std::int32_t ECODE, std::string_view MTEXT) {
  LibErrorState& e = ready(sim);
  const std::int32_t L = e.level;
  if (ETYPE != -1) {
    e.err_type[L] = ETYPE;
    if (ETYPE < -1 || ETYPE > 7) {
      e.message = ".  Error from E1MES.  Illegal error type specified.";
      E1SHOW(sim);
      library_stop();
    }
  }
  if (ECODE >= 0) e.err_code[L] = ECODE;
  if (ETYPE == 0 || ECODE == 0) {
    e.message.clear();
    clear_inserts(e);
    return;
  }
  const std::int32_t t = e.err_type[L];
  // A blank text leaves the pending message (if any) as it is.
  if (!(MTEXT.empty() || MTEXT == " ")) e.message = compose(e.inserts, MTEXT);
  if (t == 6) e.immediate6 = 1;
  if (t == 7) e.immediate7 = 1;
  if (t >= 5 && valid_type(t) && e.print_flag[t] == 1) E1SHOW(sim);
  clear_inserts(e);
}

void E1INSA(NumericsContext& sim, char LETTER, std::int32_t K, std::int32_t LEN, std::string_view TEXT) {
  LibErrorState& e = ready(sim);
  const std::int32_t k = K < 0 ? -K : K;
  if (k < 1 || k > 9) return;
  if (static_cast<std::int64_t>(e.inserts_used) + LEN + 8 > kLibInsertStore) return;
  std::string_view value = TEXT.substr(0, LEN < 0 ? 0 : static_cast<std::size_t>(LEN));
  std::string stored;
  if (K < 0) {
    stored = std::string(value);
  } else {
    const std::size_t last = value.find_last_not_of(' ');
    if (last == std::string_view::npos)
      stored = value.empty() ? std::string(" ") : std::string(value.substr(0, 1));
    else
      stored = std::string(value.substr(0, last + 1));
  }
  std::string entry = "*";
  entry += LETTER;
  entry += static_cast<char>('0' + k);
  entry += '*';
  entry += std::to_string(stored.size());
  entry += '%';
  entry += stored;
  e.inserts += entry;
  e.inserts_used = static_cast<std::int32_t>(e.inserts.size());
}

void E1INSI(NumericsContext& sim, std::int32_t K, std::int32_t VALUE) {
  ready(sim);
  std::string field(14, ' ');
  std::int32_t status = 0;
  int_to_text(VALUE, field, status);
  const std::string_view text = from_first_nonblank(field);
  E1INSA(sim, 'I', K, static_cast<std::int32_t>(text.size()), text);
}

void E1INSD(NumericsContext& sim, std::int32_t K, double VALUE) {
  ready(sim);
  const bool plain = VALUE == 0.0 || VALUE != VALUE;
  const std::string field = exp_field(VALUE, 24, 15, !plain, 'D');
  const std::string_view text = from_first_nonblank(field);
  E1INSA(sim, 'D', K, static_cast<std::int32_t>(text.size()), text);
}

void E1INSR(NumericsContext& sim, std::int32_t K, float VALUE) {
  ready(sim);
  const bool plain = VALUE == 0.0f || VALUE != VALUE;
  const std::string field = exp_field(static_cast<double>(VALUE), 14, 6, !plain, 'E');
  const std::string_view text = from_first_nonblank(field);
  E1INSA(sim, 'R', K, static_cast<std::int32_t>(text.size()), text);
}

void E1INSL(NumericsContext& sim, std::int32_t K, std::string_view TEXT) {
  ready(sim);
  const std::string_view text = TEXT.substr(0, 255);
  E1INSA(sim, 'L', K, static_cast<std::int32_t>(text.size()), text);
}

void E1USR(NumericsContext& sim, std::string_view SWITCH) {
  LibErrorState& e = ready(sim);
  std::string_view s = SWITCH;
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s == "ON" || s == "on") {
    e.user_flag[e.level] = -1;
  } else if (s == "OFF" || s == "off") {
    e.user_flag[e.level] = 0;
  } else {
    E1INSL(sim, 1, SWITCH);
    E1MES(sim, 5, 1,
          "Invalid value for SWITCH in call to E1USR.  SWITCH must be set to 'ON' or 'OFF'.  "
          "SWITCH = '%(L1)' ");
  }
}

namespace {

std::int32_t level_entry(NumericsContext& sim, std::int32_t I, bool type, std::string_view routine) {
  LibErrorState& e = ready(sim);
  if (I != 0 && I != 1) {
    e.message = ".  The argument passed to " + std::string(routine) + " must be 0 or 1.";
    e.err_type[e.level] = 5;
    e.err_code[e.level] = 1;
    E1SHOW(sim);
    library_stop();
  }
  const std::int32_t L = e.level + I;
  return type ? e.err_type[L] : e.err_code[L];
}

}  // namespace

std::int32_t N1RTY(NumericsContext& sim, std::int32_t I) { return level_entry(sim, I, true, "N1RTY"); }
std::int32_t N1RCD(NumericsContext& sim, std::int32_t I) { return level_entry(sim, I, false, "N1RCD"); }

std::int32_t E1IMST(NumericsContext& sim) {
  LibErrorState& e = ready(sim);
  std::int32_t result = 0;
  if (e.immediate6 != 0) result = e.stop_flag[6];
  if (e.immediate7 != 0) result = e.stop_flag[7];
  e.immediate6 = 0;
  e.immediate7 = 0;
  return result;
}

void E1SHOW(NumericsContext& sim) {
  LibErrorState& e = ready(sim);
  if (e.message.empty()) return;
  const std::int32_t L = e.level;
  const std::string& msg = e.message;
  const std::int64_t n = static_cast<std::int64_t>(msg.size());
  // 1-based character range of the message.
  auto part = [&msg](std::int64_t from, std::int64_t to) {
    if (to < from) return std::string();
    return msg.substr(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(to - from + 1));
  };
  auto blank_at = [&msg, n](std::int64_t p) { return p >= 1 && p <= n && msg[p - 1] == ' '; };

  std::string header = " " + std::to_string(e.err_code[L]) + " from " +
                       printed_name(name_to_first_blank(e.name[L]));
  if (header.size() > 70) header.resize(70);
  std::vector<std::string> lines;
  lines.emplace_back();
  std::string first = " *** " + std::string(lib_error_type_name(e.err_type[L])) + " ERROR" + header;
  std::int64_t room = 59 - static_cast<std::int64_t>(header.size());
  if (room < 1) room = 1;
  if (n <= room) {
    lines.push_back(first + msg);
  } else {
    std::int64_t p = 0;
    for (std::int64_t q = room; q >= 2; --q)
      if (blank_at(q)) {
        p = q;
        break;
      }
    std::int64_t P = 0;
    if (p > 0) {
      lines.push_back(first + part(1, p - 1));
      P = p;
    } else {
      lines.push_back(first + part(1, room));
      P = room;
    }
    const std::string lead = " ***          ";  // " *** " and nine blanks
    for (;;) {
      const std::int64_t S = blank_at(P + 1) ? P + 2 : P + 1;
      if (n <= P + 64) {
        lines.push_back(lead + part(S, n));
        break;
      }
      std::int64_t b = 0;
      for (std::int64_t q = P + 64; q >= S + 1; --q)
        if (blank_at(q)) {
          b = q;
          break;
        }
      if (b > 0) {
        lines.push_back(lead + part(S, b));
        P = b;
      } else {
        lines.push_back(lead + part(S, P + 64));
        P += 64;
      }
    }
  }
  e.message.clear();
  clear_inserts(e);
  if (L > 2) {
    lines.push_back(std::string(5, ' ') + "Here is a traceback of subprogram calls" + " in reverse order:");
    lines.push_back(std::string(5, ' ') + "Routine name               " + " " + "    Error type  Error code");
    lines.push_back(std::string(5, ' ') + "------------" + "  " + "              " +
                    "    ----------  ----------");
    for (std::int32_t k = L; k >= 1; --k) {
      std::string row = std::string(5, ' ') + printed_name(e.name[k].str()) +
                        int_field(e.err_type[k], 6) + std::string(6, ' ') + int_field(e.err_code[k], 6);
      if (k >= 2 && !is_odd(e.user_flag[k - 1])) row += "    (Called internally)";
      lines.push_back(row);
    }
  }
  write_lines(sim, lines);
}

}  // namespace linac
