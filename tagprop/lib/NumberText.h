// Locale-independent number reading and writing shared by the tag, format and property code.
#pragma once
#include <string>

namespace tessel::detail {

// A double in its general form: up to 15 significant digits, "." as decimal point,
// an exponent as E+nn when needed ("3.14159", "12", "1E+20").
std::string GeneralNumber(double d);

// The whole text (blanks around it allowed) as a decimal number with optional sign, "."
// fraction and exponent; false when the text is anything else.
bool ParseWholeNumber(const std::string& text, double& out);

// The leading decimal number of the text with every blank ignored ("12 3x" gives 123,
// "x" gives 0): the tolerant reading used for tag values and path indexes.
double LeadingNumber(const std::string& text);

} // namespace tessel::detail
