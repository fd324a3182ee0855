// JSON's text rules on arbitrary bytes, each checked against nlohmann-json's own parser:
//  - the bytes as a JSON number: MNumberFromJson gives a canonical M number exactly when the
//    parser reads them as a number that M can hold, of the same value (as a double), and the
//    number's JSON form (JsonNumberFromM) gives it back; it refuses anything else;
//  - the bytes as a string: AppendJsonString's literal, when the bytes are UTF-8, parses back
//    to exactly those bytes, and IsValidUtf8 agrees with the parser on whether they are.
//
// Input: the bytes.
#include "FuzzCheck.h"
#include "encodings/JsonText.h"
#include "encodings/MNumber.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    std::string reason;
    const auto number = qdo::MNumberFromJson(bytes, &reason);
    const nlohmann::json parsed = nlohmann::json::parse(bytes, nullptr, false);
    // The parser takes white space around a number, a NUL byte as the end of its input, and
    // skips a UTF-8 byte order mark at the start of a document; none is part of a number.
    const bool isJsonNumber =
        !parsed.is_discarded() && parsed.is_number() &&
        bytes.find_first_of(std::string(" \t\r\n\0", 5)) == std::string::npos &&
        bytes.rfind("\xEF\xBB\xBF", 0) != 0;
    if (number) {
        FUZZ_CHECK(isJsonNumber);
        FUZZ_CHECK(qdo::IsMCanonicalNumber(*number));
        FUZZ_CHECK(qdo::MNumberFromJson(qdo::JsonNumberFromM(*number), nullptr) == *number);
        const double expected = parsed.get<double>();
        const double got = std::stod(*number);
        FUZZ_CHECK(std::fabs(got - expected) <= 1e-15 * std::fabs(expected));
    } else {
        FUZZ_CHECK(!reason.empty());
        if (reason == "it is not a JSON number")
            FUZZ_CHECK(!isJsonNumber);
    }

    const bool valid = qdo::IsValidUtf8(bytes);
    std::string literal;
    qdo::AppendJsonString(literal, bytes);
    const nlohmann::json string = nlohmann::json::parse(literal, nullptr, false);
    FUZZ_CHECK(valid != string.is_discarded());
    if (valid)
        FUZZ_CHECK(string.get<std::string>() == bytes);
    return 0;
}
