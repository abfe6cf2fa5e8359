// Exact conversion of card IDs of any length between hexadecimal and decimal digits.
#pragma once
#include <QString>

namespace pelmar {

// Hexadecimal digits (either letter case) to decimal digits without leading zeros.
// Empty input gives an empty text; any character that is not a hexadecimal digit gives an
// empty text; digits that are all zero give "0".
QString HexToDec(const QString& szValue);

// Decimal digits to upper-case hexadecimal digits without leading zeros. Empty input or
// any character that is not a decimal digit gives an empty text; all zeros give "0".
QString DecToHex(const QString& szValue);

} // namespace pelmar
