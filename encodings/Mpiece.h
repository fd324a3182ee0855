// TMPiece: a text cut into pieces at every occurrence of a one-byte delimiter.
//
// Pieces are numbered from 0. A text with k delimiters has k + 1 pieces, empty ones included;
// the empty text has none. Nothing is trimmed, quoted or escaped.
#pragma once

#include "classes/Export.h"
#include "classes/Object.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

class QDO_API TMPiece : public TObject {
public:
    TMPiece(std::string text, char delimiter);
    ~TMPiece() override;

    int32_t PieceCount() const noexcept;

    // The piece at `index`; empty text when index is not less than PieceCount. A negative
    // index fails with EListError.
    std::string GetPiece(int32_t index) const;

    // Replaces the piece at `index`, or, beyond the last piece, appends empty pieces up to
    // `index` and then the value, so that the value always lands at `index`. The value is taken
    // up to its first NUL byte and kept whole otherwise. A negative index fails with EListError
    // and changes nothing. The source text given to the constructor is not updated.
    void SetPiece(int32_t index, std::string_view value);

    char Delimiter() const noexcept { return delimiter_; }
    const std::string& Source() const noexcept { return source_; }

private:
    char delimiter_;
    std::string source_;
    std::vector<std::string> pieces_;
};

} // namespace qdo
