// MatchString on arbitrary text and pattern: never slow, never crashes, and on short inputs
// agrees with the plain step-by-step scan.
//
// Input: one flag byte (case sensitivity, wildcard pair), then text and pattern separated by the
// first 0xFF byte.
#include "FuzzCheck.h"
#include "connect/Qdoconnect.h"
#include "support/MatchStringReference.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    static const char pairs[][2] = {{'?', '*'}, {'_', '%'}, {'*', '*'}, {'a', 'b'}, {'?', 'A'}};
    const bool caseSensitive = data[0] & 1;
    const char one = pairs[(data[0] >> 1) % 5][0];
    const char any = pairs[(data[0] >> 1) % 5][1];
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = rest.find('\xff');
    const std::string text = rest.substr(0, cut);
    const std::string pattern = cut == std::string::npos ? std::string() : rest.substr(cut + 1);

    const bool matches = qdo::MatchString(text, pattern, caseSensitive, one, any);
    const auto anys = std::count(pattern.begin(), pattern.end(), any);
    if (text.size() <= 10 && pattern.size() <= 10 && anys <= 5)
        FUZZ_CHECK(matches == qdo::test::ReferenceMatch(text, pattern, caseSensitive, one, any));
    if (pattern.empty())
        FUZZ_CHECK(matches == text.empty());
    return 0;
}
