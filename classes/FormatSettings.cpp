#include "classes/FormatSettings.h"

#include <atomic>

namespace qdo {

namespace {
std::atomic<char> decimalSeparator{'.'};
}

char DecimalSeparator() noexcept {
    return decimalSeparator.load(std::memory_order_relaxed);
}

void SetDecimalSeparator(char separator) noexcept {
    decimalSeparator.store(separator, std::memory_order_relaxed);
}

} // namespace qdo
