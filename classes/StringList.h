// TStringList: an ordered list of byte-string lines.
#pragma once

#include "classes/Persistent.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

class QDO_API TStringList : public TPersistent {
public:
    TStringList() = default;
    ~TStringList() override;

    int32_t Count() const noexcept { return static_cast<int32_t>(lines_.size()); }

    // The line at `index`; an index outside 0..Count-1 fails with EListError.
    const std::string& Get(int32_t index) const;
    const std::string& operator[](int32_t index) const { return Get(index); }
    void Put(int32_t index, std::string line);

    int32_t Add(std::string line);
    void Insert(int32_t index, std::string line); // index may be Count (append)
    void Delete(int32_t index);
    void Clear() noexcept { lines_.clear(); }
    // The index of the first line equal to `line`, or -1.
    int32_t IndexOf(std::string_view line) const noexcept;

    // Every line followed by CR LF: "" for no lines, "X\r\n" for the one line X.
    std::string Text() const;
    // Replaces the lines with `text` cut into lines. A line ends at CR LF, at a lone CR or at a
    // lone LF; a final line break adds no empty line. The text ends at its first NUL byte:
    // anything after it is dropped, as the text form of a string list cannot carry NUL.
    void SetText(std::string_view text);

    const std::vector<std::string>& Lines() const noexcept { return lines_; }

    void Assign(const TPersistent* source) override;

private:
    void CheckIndex(int32_t index, int32_t limit) const;

    std::vector<std::string> lines_;
};

} // namespace qdo
