#include "encodings/Mutils.h"

namespace qdo {

std::string MText(std::string_view text) {
    if (text.empty())
        return "\"\"";
    std::string out;
    out.reserve(text.size() + 8);
    bool inLiteral = false;
    bool first = true;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32) {
            if (inLiteral)
                out += "\"_$C(";
            else if (first)
                out += "$C(";
            else
                out += ',';
            out += std::to_string(byte);
            inLiteral = false;
        } else {
            if (!inLiteral)
                out += first ? "\"" : ")_\"";
            if (c == '"')
                out += '"';
            out += c;
            inLiteral = true;
        }
        first = false;
    }
    out += inLiteral ? '"' : ')';
    return out;
}

} // namespace qdo
