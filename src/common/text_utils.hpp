// Case-blind search, character codes, trailing blanks and the digits of
// numbered file names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace linac {

// 1-based position where KEY begins in STR, letters a..z compared without
// case; 0 when not found (an empty KEY is never found).
std::int32_t index_nocase(std::string_view str, std::string_view key);
// -1, 0 or +1; the shorter text is compared as if extended with blanks.
std::int32_t compare_nocase(std::string_view a, std::string_view b);
// Code 0..255 of the first character.
std::int32_t ascii_code(std::string_view s);
// Code of the first character with a..z mapped to A..Z.
std::int32_t upper_ascii(std::string_view s);
// The text without its trailing blanks (for messages that quote a
// blank-filled record).
std::string trimmed(std::string_view s);
// Exactly 2 (3) characters: codes 48 + each decimal digit, without a range
// check (100 gives ":0").
std::string int_to_2digits(std::int32_t n);
std::string int_to_3digits(std::int32_t n);

// A numbered file name: the stem followed by the number in 2 or 3 digits.
// A number outside 0..99 (0..999) stops the run with a message naming the
// stem, instead of producing a name with a non-digit.
std::string numbered_name(std::string_view stem, std::int32_t n, int digits);
// vrand_NNN.dat of an error seed.
std::string vrand_name(std::int32_t seed);
// The buncher table name MHBrz.#0D for k = 0..9.
std::string buncher_table_name(std::int32_t k);
// A table-directory file name: the whole directory text, trimmed of leading
// and trailing blanks, immediately followed by the name; a blank or
// one-character directory is not used.
std::string table_dir_name(std::string_view table_dir, std::string_view name);

}  // namespace linac
