#include "encodings/Mpiece.h"

#include "classes/Exceptions.h"

namespace qdo {

TMPiece::TMPiece(std::string text, char delimiter)
    : delimiter_(delimiter), source_(std::move(text)) {
    if (source_.empty())
        return;
    size_t start = 0;
    for (size_t pos = source_.find(delimiter_); pos != std::string::npos;
         pos = source_.find(delimiter_, start)) {
        pieces_.push_back(source_.substr(start, pos - start));
        start = pos + 1;
    }
    pieces_.push_back(source_.substr(start));
}

TMPiece::~TMPiece() = default;

int32_t TMPiece::PieceCount() const noexcept {
    return static_cast<int32_t>(pieces_.size());
}

std::string TMPiece::GetPiece(int32_t index) const {
    if (index < 0)
        throw EListError(ListIndexOutOfBounds(index));
    if (index >= PieceCount())
        return {};
    return pieces_[static_cast<size_t>(index)];
}

void TMPiece::SetPiece(int32_t index, std::string_view value) {
    if (index < 0)
        throw EListError(ListIndexOutOfBounds(index));
    value = value.substr(0, value.find('\0'));
    if (index < PieceCount()) {
        pieces_[static_cast<size_t>(index)] = value;
        return;
    }
    pieces_.resize(static_cast<size_t>(index));
    pieces_.emplace_back(value);
}

} // namespace qdo
