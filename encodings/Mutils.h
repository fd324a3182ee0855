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
// the empty text.
QDO_API std::string MText(std::string_view text);

} // namespace qdo
