#pragma once

#include <QStringView>

// The number that a text begins with, leading blanks skipped: an optional
// sign, digits, an optional fraction and exponent. A text that does not begin
// with a number gives 0 ("007" gives 7, "12abc" gives 12, "abc" gives 0).
double numericValue(QStringView text);

// A numeric value rounded to a whole number (halves to even), held to the
// 32-bit range.
qint32 roundedToInt32(double value);

// A numeric value as plain decimal text: 9999 reads "9999", 7.5 reads "7.5".
QString decimalText(double value);
