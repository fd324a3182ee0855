#include "encodings/Mutils.h"

namespace qdo {

std::string MText(std::string_view text) {
    if (text.empty())
        return "\"\"";
    std::string out;
    out.reserve(text.size() + 8);
    bool inLiteral = false;
    bool first = true;
    size_t codes = 0; // in the $C call being written
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32) {
            if (inLiteral)
                out += "\"_$C(";
            else if (first)
                out += "$C(";
            else if (codes == MaxCharCodes)
                out += ")_$C(";
            else
                out += ',';
            codes = inLiteral || first || codes == MaxCharCodes ? 1 : codes + 1;
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
