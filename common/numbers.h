#pragma once

// Numbers to and from text the way the old runtime's Val and Str did.

#include <QString>
#include <QtGlobal>

// The decimal number at the start of `text`: blanks anywhere are ignored, a sign, digits,
// one decimal point and an exponent are read, and reading stops at the first character
// that cannot continue the number. Text that does not begin with a number gives 0.
double Val(const QString& text);

// The free-space threshold in bytes for a text in megabytes of 1,000,000 bytes.
double MegabytesToBytes(const QString& text);

// A whole number as text with the place of its sign kept: " 12" and "-3".
QString Str(qint64 number);
