#include "connect/Qdoconnect.h"
#include "encodings/Mutils.h"

namespace qdo {

std::string StrToCharStr(std::string_view text) {
    if (text.empty())
        return "\"\"";
    std::string out = "$C(";
    for (size_t i = 0; i < text.size(); ++i) {
        if (i > 0)
            out += i % MaxCharCodes == 0 ? ")_$C(" : ",";
        out += std::to_string(static_cast<unsigned char>(text[i]));
    }
    out += ')';
    return out;
}

} // namespace qdo
