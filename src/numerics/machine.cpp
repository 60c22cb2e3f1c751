#include "numerics/machine.hpp"

#include <string>
#include <vector>

#include "numerics/numerics_context.hpp"
#include "common/text_utils.hpp"
#include "numerics/lib_errors.hpp"
#include "numerics/lib_text.hpp"

namespace linac {

std::int32_t IMACH(NumericsContext& sim, std::int32_t N) {
  if (N < 1 || N > 12) {
    sim.units.write(sim.numerics.machine.units[2],
                    std::vector<std::string>{
                        "",
                        " *** TERMINAL ERROR 5 from IMACH.  The argument",
                        " ***          must be between 1 and 12 inclusive.",
                        " ***          N = " + int_field(N, 6) + ".",
                        "",
                    });
    library_stop();
  }
  return machine::imach_value(N);
}

namespace {

// Constant N (1..8) from VALUE; another N is a TERMINAL error (code 5)
// under NAME, and the result is NaN.
template <class R>
R checked_constant(NumericsContext& sim, const char* name, std::int32_t N, R (*value)(std::int32_t)) {
  if (N < 1 || N > 8) {
    E1PSH(sim, name);
    E1INSI(sim, 1, N);
    E1MES(sim, 5, 5, "The argument must be between 1 and 8 inclusive. N = %(I1)");
    E1POP(sim, name);
    return value(6);
  }
  return value(N);
}

}  // namespace

double DMACH(NumericsContext& sim, std::int32_t N) {
  return checked_constant(sim, "DMACH ", N, machine::dmach_value);
}

float AMACH(NumericsContext& sim, std::int32_t N) {
  return checked_constant(sim, "AMACH ", N, machine::amach_value);
}

void UMACH(NumericsContext& sim, std::int32_t N, std::int32_t& UNIT) {
  auto& units = sim.numerics.machine.units;
  const std::int64_t a = N < 0 ? -std::int64_t{N} : std::int64_t{N};
  if (a < 1 || a > 3) {
    sim.units.write(units[3], std::vector<std::string>{
                                  "",
                                  " *** TERMINAL ERROR 5 from UMACH.  The absolute",
                                  " ***          value of the index variable must be",
                                  " ***          1, 2, or 3.  IABS(N) = " + int_field(a, 6) + ".",
                                  "",
                              });
    library_stop();
  }
  if (N > 0)
    UNIT = units[static_cast<std::size_t>(N)];
  else
    units[static_cast<std::size_t>(a)] = UNIT;
}

char ACHAR(NumericsContext& sim, std::int32_t I) {
  if (I < 0) {
    E1PSH(sim, "ACHAR ");
    E1INSI(sim, 1, I);
    E1MES(sim, 5, 1, "The ASCII value must be non-negative while I = %(I1) is given.");
    E1POP(sim, "ACHAR ");
    return '\0';
  }
  return char_of_code(I);
}

bool same_letter(char A, char B) {
  return upper_ascii(std::string_view(&A, 1)) == static_cast<unsigned char>(B);
}

namespace {

constexpr std::int32_t kBig = 2147483647;

void set_option(OptionChapter& ch, std::int32_t opt, std::vector<std::int32_t> values) {
  ch.current[static_cast<std::size_t>(opt)] = std::move(values);
}

void make_chapter(OptionChapter& ch, std::int32_t nopt) {
  ch.nopt = nopt;
  ch.current.assign(static_cast<std::size_t>(nopt) + 1, {});
  ch.defaults.assign(static_cast<std::size_t>(nopt) + 1, {});
}

std::vector<std::int32_t> run(std::int32_t from, std::int32_t to) {
  std::vector<std::int32_t> v;
  for (std::int32_t k = from; k <= to; ++k) v.push_back(k);
  return v;
}

void set_up_options(MachineState& m) {
  for (auto& ch : m.math) make_chapter(ch, 0);
  for (auto& ch : m.stat) make_chapter(ch, 0);
  OptionChapter& m1 = m.math[1];
  make_chapter(m1, 21);
  set_option(m1, 5, {1, kBig});
  set_option(m1, 6, {kBig});
  set_option(m1, 10, {1});
  set_option(m1, 11, {1});
  set_option(m1, 13, {0});
  set_option(m1, 14, {0});
  set_option(m1, 16, {1, 16, 0, 1});
  set_option(m1, 17, {1, 2});
  set_option(m1, 21, {1});
  OptionChapter& m2 = m.math[2];
  make_chapter(m2, 1);
  set_option(m2, 1, {1, 16, 0, 1, 1, 16, 0, 1});
  OptionChapter& m5 = m.math[5];
  make_chapter(m5, 100);
  set_option(m5, 6, run(51, 100));
  set_option(m5, 7, run(51, 70));
  for (std::int32_t k : {11, 12, 51, 52, 53, 54, 55}) set_option(m5, k, {0});
  set_option(m5, 56, {500});
  for (std::int32_t k = 57; k <= 67; ++k) set_option(m5, k, {0});
  set_option(m5, 68, {5});
  set_option(m5, 69, {kBig});
  set_option(m5, 70, {kBig});
  for (std::int32_t k = 71; k <= 75; ++k) set_option(m5, k, {0});
  set_option(m5, 76, {1});
  set_option(m5, 77, {kBig});
  set_option(m5, 78, {0});
  set_option(m5, 79, {1});
  set_option(m5, 80, {kBig});
  set_option(m5, 81, {1});
  set_option(m5, 82, {0});
  set_option(m5, 83, {kBig});
  set_option(m5, 84, {0});
  set_option(m5, 85, {0, 0});
  for (std::int32_t k = 86; k <= 100; ++k) set_option(m5, k, {kBig});
  for (OptionChapter* ctl : {&m.math[10], &m.stat[19]}) {
    make_chapter(*ctl, 3);
    set_option(*ctl, 1, {0});
    set_option(*ctl, 2, {2});
    set_option(*ctl, 3, {3});
  }
  m.options_set_up = true;
}

bool option_in_use(const OptionChapter& ch, std::int32_t opt) {
  return opt >= 1 && opt <= ch.nopt && !ch.current[static_cast<std::size_t>(opt)].empty();
}

void value_lines(std::vector<std::string>& lines, const std::int32_t* values, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k)
    lines.push_back(std::string(19, ' ') + int_field(static_cast<std::int64_t>(k) + 1, 6) +
                    std::string(7, ' ') + int_field(values[k], 12));
}

}  // namespace

void IUMAG(NumericsContext& sim, std::string_view PRODNM, std::int32_t ICHP, std::int32_t IACT,
           std::int32_t NUMOPT, const std::int32_t* IOPTS, std::int32_t* OPTVALS) {
  MachineState& m = sim.numerics.machine;
  if (!m.options_set_up) set_up_options(m);

  std::string prod(4, ' ');
  for (std::size_t k = 0; k < 4 && k < PRODNM.size(); ++k)
    prod[k] = ACHAR(sim, upper_ascii(PRODNM.substr(k, 1)));
  const int product = prod == "MATH" ? 0 : prod == "STAT" ? 1 : -1;
  const std::int32_t nchap = product == 1 ? 20 : 10;
  OptionChapter* control = product == 0 ? &m.math[10] : product == 1 ? &m.stat[19] : nullptr;
  const bool checks_off = control != nullptr && control->current[2][0] == 1;

  if (!checks_off) {
    E1PSH(sim, "IUMAG ");
    auto no_error = [&sim] { return N1RTY(sim, 0) == 0; };
    if (IACT != 1 && IACT != 2) {
      E1INSI(sim, 1, IACT);
      E1MES(sim, 5, 1,
            "IACT must be 1 to get option values or 2 to put option values.  IACT = %(I1) is "
            "invalid.");
    }
    if (product < 0) {
      E1INSL(sim, 1, prod);
      E1MES(sim, 5, 2, "The product name must be either MATH or STAT.  PRODNM = %(L1) is invalid.");
    }
    if (no_error() && (ICHP < 1 || ICHP > nchap)) {
      E1INSI(sim, 1, ICHP);
      E1INSI(sim, 2, nchap);
      E1MES(sim, 5, 3,
            product == 0 ? "ICHP = %(I1) is an invalid MATH chapter number.  To get or put MATH "
                           "options, ICHP must be between 1 and %(I2)."
                         : "ICHP = %(I1) is an invalid STAT chapter number.  To get or put STAT "
                           "options, ICHP must be between 1 and %(I2).");
    }
    if (no_error()) {
      const OptionChapter& ch = product == 0 ? m.math[static_cast<std::size_t>(ICHP)]
                                             : m.stat[static_cast<std::size_t>(ICHP)];
      if (ch.nopt == 0) {
        E1INSI(sim, 1, ICHP);
        E1MES(sim, 5, 4,
              product == 0 ? "No options exist for MATH chapter %(I1).  Only existing options "
                             "may have values retrieved from or placed into them."
                           : "No options exist for STAT chapter %(I1).  Only existing options "
                             "may have values retrieved from or placed into them.");
      }
      if (NUMOPT < 1) {
        E1INSI(sim, 1, NUMOPT);
        E1MES(sim, 5, 5,
              "NUMOPT = %(I1) is an invalid number of options.  NUMOPT must be greater than zero.");
      }
      if (no_error()) {
        for (std::int32_t j = 1; j <= NUMOPT; ++j) {
          const std::int32_t o = IOPTS[j - 1] < 0 ? -IOPTS[j - 1] : IOPTS[j - 1];
          if (!option_in_use(ch, o)) {
            E1INSI(sim, 1, j);
            E1INSI(sim, 2, IOPTS[j - 1]);
            E1INSL(sim, 1, prod);
            E1INSI(sim, 3, ICHP);
            E1MES(sim, 5, 6, "IOPTS(%(I1)) = %(I2) is an invalid %(L1) chapter %(I3) option number.");
          }
        }
      }
    }
    E1POP(sim, "IUMAG ");
  }
  // With the checks switched off, arguments outside the tables do nothing.
  if (product < 0 || ICHP < 1 || ICHP > nchap || (IACT != 1 && IACT != 2)) return;
  OptionChapter& ch = product == 0 ? m.math[static_cast<std::size_t>(ICHP)]
                                   : m.stat[static_cast<std::size_t>(ICHP)];
  for (std::int32_t j = 1; j <= NUMOPT; ++j) {
    const std::int32_t o = IOPTS[j - 1] < 0 ? -IOPTS[j - 1] : IOPTS[j - 1];
    if (!option_in_use(ch, o)) return;
  }

  if (!m.defaults_taken) {
    for (auto& c : m.math) c.defaults = c.current;
    for (auto& c : m.stat) c.defaults = c.current;
    m.defaults_taken = true;
  }

  // Start of the values of option j within OPTVALS (get) or of the values
  // taken from it (put).
  std::vector<std::size_t> first(static_cast<std::size_t>(NUMOPT) + 1, 0);
  auto fill_get = [&] {
    std::size_t pos = 0;
    for (std::int32_t j = 1; j <= NUMOPT; ++j) {
      const std::int32_t io = IOPTS[j - 1];
      const auto& vals = io > 0 ? ch.current[static_cast<std::size_t>(io)]
                                : ch.defaults[static_cast<std::size_t>(-io)];
      first[static_cast<std::size_t>(j)] = pos;
      for (std::int32_t v : vals) OPTVALS[pos++] = v;
    }
  };
  if (IACT == 1) {
    fill_get();
  } else {
    std::size_t pos = 0;
    for (std::int32_t j = 1; j <= NUMOPT; ++j) {
      const std::int32_t io = IOPTS[j - 1];
      if (io > 0) {
        auto& vals = ch.current[static_cast<std::size_t>(io)];
        for (auto& v : vals) v = OPTVALS[pos++];
      } else {
        ch.current[static_cast<std::size_t>(-io)] = ch.defaults[static_cast<std::size_t>(-io)];
      }
    }
  }

  // Report of the handled options while the control count is above 0.
  std::int32_t& count = control->current[1][0];
  if (count > 0) {
    std::vector<std::string> lines;
    for (std::int32_t j = 1; j <= NUMOPT && count > 0; ++j, --count) {
      const std::int32_t io = IOPTS[j - 1];
      const std::int32_t o = io < 0 ? -io : io;
      if (IACT == 1) {
        lines.emplace_back();
        lines.push_back(" A return (get) of the following values from option");
        lines.push_back(" number " + int_field(io, 6) + " in " + prod + " chapter " +
                        int_field(ICHP, 2) + " was performed by IUMAG:");
        lines.push_back(std::string(13, ' ') + "entry number" + std::string(14, ' ') + "value");
        value_lines(lines, OPTVALS + first[static_cast<std::size_t>(j)],
                    ch.current[static_cast<std::size_t>(o)].size());
      } else {
        lines.emplace_back();
        lines.push_back(" A change (put) was made by IUMAG to option number " + int_field(io, 6) +
                        " in " + prod);
        lines.push_back(" chapter " + int_field(ICHP, 2) +
                        ", resulting in the following values for that option:");
        lines.push_back(std::string(13, ' ') + "entry number" + std::string(14, ' ') + "value");
        const auto& vals = ch.current[static_cast<std::size_t>(o)];
        value_lines(lines, vals.data(), vals.size());
      }
    }
    sim.units.write(m.units[2], lines);
  }
  if (IACT == 1 && &ch == control) fill_get();
}

}  // namespace linac
