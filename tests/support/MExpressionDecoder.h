// A small evaluator for the M expressions that MText writes: string literals with doubled
// quotes, $C calls with codes 0..255, joined by the concatenation operator '_'.
//
// It accepts exactly that grammar and nothing else: no blanks, no empty $C(), no leading zeros
// in codes, no control bytes inside literals (M source cannot hold them). Tests and the MText
// fuzzer use it to check that MText's output is such an expression and evaluates to the input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qdo::test {

inline std::optional<std::string> EvaluateMExpression(std::string_view expr) {
    std::string value;
    size_t i = 0;
    auto more = [&] { return i < expr.size(); };
    while (true) {
        if (!more())
            return std::nullopt;
        if (expr[i] == '"') {
            ++i;
            while (true) {
                if (!more())
                    return std::nullopt;
                char c = expr[i++];
                if (static_cast<unsigned char>(c) < 32)
                    return std::nullopt;
                if (c == '"') {
                    if (more() && expr[i] == '"') {
                        value += '"';
                        ++i;
                        continue;
                    }
                    break;
                }
                value += c;
            }
        } else if (expr.substr(i, 3) == "$C(") {
            i += 3;
            while (true) {
                size_t start = i;
                int code = 0;
                while (more() && expr[i] >= '0' && expr[i] <= '9') {
                    code = code * 10 + (expr[i] - '0');
                    if (code > 255)
                        return std::nullopt;
                    ++i;
                }
                size_t digits = i - start;
                if (digits == 0 || (digits > 1 && expr[start] == '0'))
                    return std::nullopt;
                value += static_cast<char>(code);
                if (!more())
                    return std::nullopt;
                if (expr[i] == ',') {
                    ++i;
                    continue;
                }
                if (expr[i] != ')')
                    return std::nullopt;
                ++i;
                break;
            }
        } else {
            return std::nullopt;
        }
        if (!more())
            return value;
        if (expr[i] != '_')
            return std::nullopt;
        ++i;
    }
}

} // namespace qdo::test
