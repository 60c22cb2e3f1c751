// Character routines of the numerical library and the fixed-width number
// fields of its messages. Positions are 1-based, as in the message texts.
// The case-blind search and comparison are those of common/text_utils.hpp
// (index_nocase, compare_nocase, upper_ascii).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace linac {

// N in decimal, right-adjusted in FIELD (its length is the width W), blanks
// in front, "-" before the digits when N < 0; status 0. W < 1 gives status
// -1; when the digits do not fit, FIELD is unchanged and status is the
// number of characters needed.
void int_to_text(std::int32_t N, std::string& FIELD, std::int32_t& status);
// Position of the first character of S that is not in SET; 0 when every
// character is in SET; 1 when S or SET is empty.
std::int32_t first_not_in(std::string_view S, std::string_view SET);
// Position where KEY begins in S, characters compared exactly; 0 when not
// found or when either text is empty.
std::int32_t index_exact(std::string_view S, std::string_view KEY);
// Copies SRC(I1:I2) into DST(J1:J2) as far as both ranges allow and fills
// the rest of DST(J1:J2) with blanks. status -2: a range is empty, starts
// below 1, or SRC's range passes its end; -1: J2 passes the end of DST
// (nothing is copied in both cases); otherwise 0 minus the number of source
// characters not copied.
void copy_substring(std::string_view SRC, std::int32_t I1, std::int32_t I2, std::string& DST,
                    std::int32_t J1, std::int32_t J2, std::int32_t& status);
// Reads an optionally signed decimal integer; blanks are allowed before the
// sign and between the sign and the digits. status 0 when only blanks follow
// the digits, -1 for an empty (or all-blank) S, -2 when the magnitude would
// pass 2147483647, otherwise the position of the first character that is
// not part of the number.
void text_to_int(std::string_view S, std::int32_t& value, std::int32_t& status);
// SRC cut or blank-padded to m characters.
std::string copy_padded(std::string_view SRC, std::size_t m);
// The character with that code (low 8 bits); a negative code gives code 0.
char char_of_code(std::int32_t code);

// Number fields of the library's texts.
// Iw: right-justified integer, asterisks when it does not fit.
std::string int_field(std::int64_t value, int w);
// Ew.d / Dw.d with exponent letter 'E' or 'D'. With scale1 (the 1P scale
// factor) one digit stands before the point and d after it, otherwise the
// form is 0.ddd. Exponents of three digits drop the letter (1.0-300).
// Not-a-number and infinities print as NaN, Infinity, -Infinity; a value
// that does not fit fills the field with asterisks.
std::string exp_field(double value, int w, int d, bool scale1, char letter);
// The characters of a field from its first non-blank on.
std::string_view from_first_nonblank(std::string_view s);

}  // namespace linac
