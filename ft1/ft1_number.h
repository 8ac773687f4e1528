#pragma once
// The number text of ".ft1" files.
//
// Values are written as a QTextStream writes a float by default: the value widened to double,
// six significant digits, trailing zeros dropped, fixed notation unless the decimal exponent is
// below -4 or at least 6 (then d.ddddde+XX with at least two exponent digits); a decimal tie is
// rounded away from zero (305.5625 gives 305.563), -0 is written 0, any NaN nan, and the
// infinities inf and -inf.
//
// Values are read as QString::toFloat reads them: the text is converted to the nearest double,
// then narrowed to float; 0 for text it rejects. Plain decimal text takes a fast exact path;
// everything else goes through QString::toFloat itself.

#include <cstddef>

// Longest text a value can take: "-1.17549e-38" and the like.
constexpr std::size_t ft1_value_max_length = 16;

// Writes the text of `value` at `out` (no terminator) and returns the end of the text.
char *format_ft1_value(float value, char *out);

// Converts [begin, end) like QString::toFloat. `ok`, when given, tells whether the text was
// accepted (false also for values out of the float range, which still give +-inf).
float parse_ft1_value(const char *begin, const char *end, bool *ok = nullptr);
