// Arbitrary bytes as an M list: counting and reading every element must neither crash nor read
// outside the bytes, and the flat functions must agree with the class.
#include "CountedInput.h"
#include "FuzzCheck.h"
#include "capi/qdo.h"
#include "encodings/Mlist.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    qdo::TMList list;
    list.SetAllList(bytes);
    const int32_t count = list.GetLength();
    FUZZ_CHECK(count >= 0 && static_cast<size_t>(count) <= size);
    FUZZ_CHECK(list.GetLength() == count);

    std::vector<std::string> texts;
    texts.reserve(static_cast<size_t>(count));
    for (int32_t i = 1; i <= count; ++i) {
        texts.push_back(list.GetList(i));
        (void)list.GetIli(i);
        FUZZ_CHECK(list.IsEmpty(i) == texts.back().empty());
    }
    FUZZ_CHECK(list.GetList(count + 1).empty());
    FUZZ_CHECK(list.AsString().size() >= size);

    if (size <= 65535) {
        const CountedInput record(data, size);
        const QDOString* in = record.get();
        FUZZ_CHECK(QDOListLength(in) == count);
        static QDOString out;
        for (int32_t i = 1; i <= count && i <= 8; ++i) {
            FUZZ_CHECK(QDOListGet(in, i, &out) == 1);
            const std::string& text = texts[static_cast<size_t>(i - 1)];
            FUZZ_CHECK(std::string(out.Data, out.Length) == text.substr(0, QDO_STRING_MAX));
        }
    }
    return 0;
}
