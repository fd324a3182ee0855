#include "tools/qdo/RefParser.h"

#include "encodings/MName.h"
#include "encodings/MNumber.h"
#include "tools/qdo/Display.h"

#include <cctype>
#include <stdexcept>
#include <string>

namespace qdo::tool {

namespace {

// Reads the parts of one typed text from left to right; every failure names the place.
class TReader {
public:
    explicit TReader(std::string_view text) : text_(text) {}

    bool AtEnd() const { return at_ == text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[at_]; }
    bool Take(char c) {
        if (Peek() != c || AtEnd())
            return false;
        ++at_;
        return true;
    }
    [[noreturn]] void Fail(const std::string& what) const {
        throw std::invalid_argument(what + " at column " + std::to_string(at_ + 1) + " of " +
                                    std::string(text_.substr(0, 200)));
    }

    TMSubscript Value() {
        const char c = Peek();
        if (c == '-' || c == '.' || std::isdigit(static_cast<unsigned char>(c)))
            return Number();
        if (c != '"' && c != '$')
            Fail("expected a number, a \"string\" or $C(...)");
        std::string bytes = Piece();
        while (Take('_'))
            bytes += Piece();
        return TMSubscript(bytes);
    }

    std::string Name() {
        const size_t start = at_;
        Take('^');
        while (!AtEnd() && (std::isalnum(static_cast<unsigned char>(Peek())) || Peek() == '%'))
            ++at_;
        return std::string(text_.substr(start, at_ - start));
    }

private:
    TMSubscript Number() {
        const size_t start = at_;
        while (!AtEnd() && Peek() != ',' && Peek() != ')' && Peek() != '_')
            ++at_;
        const std::string_view number = text_.substr(start, at_ - start);
        if (!IsMCanonicalNumber(number)) {
            at_ = start;
            Fail("\"" + std::string(number) +
                 "\" is not a canonical number (no leading or trailing zeros, no exponent, no "
                 "'+', at most 18 digits; quote it for a string)");
        }
        return TMSubscript::Number(number);
    }

    // A string literal or a $C(...) call.
    std::string Piece() {
        if (Take('"'))
            return Literal();
        if (Take('$')) {
            const size_t start = at_;
            while (std::isalpha(static_cast<unsigned char>(Peek())))
                ++at_;
            std::string function(text_.substr(start, at_ - start));
            for (char& c : function)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (function != "C" && function != "CHAR") {
                at_ = start - 1;
                Fail("only $C(...) may follow '_' or begin a string");
            }
            return Codes();
        }
        Fail("expected a \"string\" or $C(...)");
    }

    std::string Literal() {
        std::string bytes;
        while (true) {
            if (AtEnd())
                Fail("the string is not closed");
            const char c = text_[at_++];
            if (c != '"') {
                bytes += c;
                continue;
            }
            if (!Take('"'))
                return bytes;
            bytes += '"'; // "" inside a literal
        }
    }

    std::string Codes() {
        if (!Take('('))
            Fail("expected '(' after $C");
        std::string bytes;
        do {
            const size_t start = at_;
            int code = 0;
            while (std::isdigit(static_cast<unsigned char>(Peek())) && code <= 255)
                code = code * 10 + (text_[at_++] - '0');
            if (at_ == start || code > 255) {
                at_ = start;
                Fail("a $C code is a number from 0 to 255");
            }
            bytes += static_cast<char>(code);
        } while (Take(','));
        if (!Take(')'))
            Fail("expected ',' or ')' in $C(...)");
        return bytes;
    }

    std::string_view text_;
    size_t at_ = 0;
};

} // namespace

TMSubscript ParseMValue(std::string_view text) {
    TReader reader(text);
    TMSubscript value = reader.Value();
    if (!reader.AtEnd())
        reader.Fail("unexpected '" + std::string(1, reader.Peek()) + "'");
    return value;
}

TMRef ParseMRef(std::string_view text) {
    TReader reader(text);
    const std::string name = reader.Name();
    std::vector<TMSubscript> subscripts;
    if (reader.Take('(')) {
        do
            subscripts.push_back(reader.Value());
        while (reader.Take(','));
        if (!reader.Take(')'))
            reader.Fail("expected ',' or ')'");
    }
    if (!reader.AtEnd())
        reader.Fail("unexpected '" + std::string(1, reader.Peek()) + "'");
    try {
        return TMRef(name, std::move(subscripts));
    } catch (const EMRefError& e) {
        throw std::invalid_argument(e.what());
    }
}

std::string TypedValue(std::string_view value) {
    if (IsMCanonicalNumber(value))
        return std::string(value);
    // Shown gives plain text as it is, anything else as an M expression of literals and $C.
    if (!IsPlainText(value))
        return Shown(value);
    std::string quoted = "\"";
    for (char c : value)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string TypedRef(const std::string& name, const std::vector<std::string>& subscripts) {
    std::string text = name;
    for (size_t i = 0; i < subscripts.size(); ++i)
        text += (i == 0 ? "(" : ",") + TypedValue(subscripts[i]);
    return subscripts.empty() ? text : text + ")";
}

} // namespace qdo::tool
