// MText: any byte string written as an M expression that evaluates to it.
#pragma once

#include "classes/Export.h"

#include <string>
#include <string_view>

namespace qdo {

// Runs of bytes from 32 up become quoted literals (a double quote doubled inside), runs of
// control bytes (0..31) become $C calls with their decimal codes separated by ',', and the
// pieces are joined with the concatenation operator '_':
//   ""            for the empty text
//   "say ""hi"""  for: say "hi"
//   "a"_$C(13,10)_"b"  for: a CR LF b
// Bytes 127 to 255 are copied into literals unchanged. No literal is empty except the one for
// the empty text. A run of more than MaxCharCodes control bytes is written as several $C calls
// of at most MaxCharCodes codes each, joined with '_': "$C(0,...)_$C(...)".
QDO_API std::string MText(std::string_view text);

// The most codes one $C call takes: GT.M refuses more (FCHARMAXARGS).
inline constexpr size_t MaxCharCodes = 255;

} // namespace qdo
