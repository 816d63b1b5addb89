// Conversions of configuration texts to numbers, done where a value is used, never at load.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The number value of a text as a floating-point number: blanks around it are ignored; decimal notation with
// an optional sign, fraction and exponent, or hexadecimal (&H1F) and octal (&O17) notation. No value when the
// text is empty or not a number.
std::optional<double> TextToDouble(std::string_view text);

// The same value rounded to a 32-bit integer (halves to even); no value when it does not fit.
std::optional<std::int32_t> TextToLong(std::string_view text);
