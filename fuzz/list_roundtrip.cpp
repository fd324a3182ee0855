// Writes fuzzer-chosen texts at fuzzer-chosen indices and checks that the list reads back what
// was written: the same text, or for a decimal the same number in canonical form.
//
// Input: one byte choosing the decimal separator, then records of (index byte, length byte,
// that many text bytes).
#include "FuzzCheck.h"
#include "classes/Exceptions.h"
#include "classes/FloatText.h"
#include "classes/FormatSettings.h"
#include "encodings/Mlist.h"

#include <array>
#include <string>

namespace {

bool SameValue(std::string_view written, const std::string& read, char separator) {
    if (written == read)
        return true;
    long double a = 0, b = 0;
    return qdo::TryTextToFloat(written, separator, a) && qdo::TryTextToFloat(read, '.', b) &&
           a == b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const char separator = (data[0] & 1) ? ',' : '.';
    qdo::SetDecimalSeparator(separator);

    qdo::TMList list;
    // What was written last at each index 1..12, and the list before each write. Their strings
    // are reused from input to input and only ever grow, so that an input frees what it
    // allocates: otherwise libFuzzer takes it for a leak and runs it again under the leak check.
    static std::array<std::string, 13> written;
    static std::array<bool, 13> isWritten;
    isWritten.fill(false);
    static std::string before;
    int32_t highest = 0;
    size_t pos = 1;
    while (pos + 2 <= size) {
        const int32_t index = data[pos] % 12 + 1;
        const size_t length = std::min<size_t>(data[pos + 1], size - pos - 2);
        const std::string_view text(reinterpret_cast<const char*>(data) + pos + 2, length);
        pos += 2 + length;
        // Only a decimal beyond 64 bits may be refused, and then nothing changes. The list is
        // copied only before writing a text that reads as a number: copied before every write,
        // it cost more than the rest of an input of many records.
        long double number = 0;
        const bool mayFail = qdo::TryTextToFloat(text, separator, number);
        if (mayFail)
            before.assign(list.AllList());
        try {
            list.SetList(index, text);
        } catch (const qdo::EListError&) {
            FUZZ_CHECK(mayFail && list.AllList() == before);
            continue;
        }
        written[index].assign(text);
        isWritten[index] = true;
        highest = std::max(highest, index);
    }

    FUZZ_CHECK(list.GetLength() == highest);
    qdo::TMList fresh;
    fresh.SetAllList(list.AllList());
    FUZZ_CHECK(fresh.GetLength() == highest);
    for (int32_t i = 1; i <= highest; ++i) {
        const std::string read = fresh.GetList(i);
        const auto at = static_cast<size_t>(i);
        if (!isWritten[at])
            FUZZ_CHECK(read.empty());
        else
            FUZZ_CHECK(SameValue(written[at], read, separator));
    }
    qdo::SetDecimalSeparator('.');
    return 0;
}
