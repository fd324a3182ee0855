// MText of arbitrary bytes must be an M expression of literals and $C calls that evaluates to
// exactly those bytes; QDOText must return it whole or refuse it.
#include "CountedInput.h"
#include "FuzzCheck.h"
#include "capi/qdo.h"
#include "encodings/Mutils.h"
#include "support/MExpressionDecoder.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string expression = qdo::MText(text);
    const auto value = qdo::test::EvaluateMExpression(expression);
    FUZZ_CHECK(value.has_value());
    FUZZ_CHECK(*value == text);

    if (size <= 65535) {
        const CountedInput record(data, size);
        static QDOString out;
        out.Length = 7;
        const int32_t ok = QDOText(record.get(), &out);
        if (expression.size() < QDO_STRING_MAX) {
            FUZZ_CHECK(ok == 1);
            FUZZ_CHECK(std::string(out.Data, out.Length) == expression);
        } else {
            FUZZ_CHECK(ok == 0);
            FUZZ_CHECK(out.Length == 7);
        }
    }
    return 0;
}
