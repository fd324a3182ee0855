// Process-wide format settings.
//
// The decimal separator is the character that locale-aware conversions of the class library
// (TMList::StrToFloatDef and the decimal test of TMList::SetList) use between the integer and
// the fractional digits. It starts as '.' and changes only through SetDecimalSeparator; it does
// not follow the C library's locale. Reading and writing it are atomic, so a change on one
// thread never tears a conversion running on another (which sees either the old or the new
// separator).
#pragma once

#include "classes/Export.h"

namespace qdo {

QDO_API char DecimalSeparator() noexcept;
QDO_API void SetDecimalSeparator(char separator) noexcept;

} // namespace qdo
