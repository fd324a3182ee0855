#include "classes/StringList.h"

#include "classes/Exceptions.h"

namespace qdo {

TStringList::~TStringList() = default;

void TStringList::CheckIndex(int32_t index, int32_t limit) const {
    if (index < 0 || index > limit)
        throw EListError(ListIndexOutOfBounds(index));
}

const std::string& TStringList::Get(int32_t index) const {
    CheckIndex(index, Count() - 1);
    return lines_[static_cast<size_t>(index)];
}

void TStringList::Put(int32_t index, std::string line) {
    CheckIndex(index, Count() - 1);
    lines_[static_cast<size_t>(index)] = std::move(line);
}

int32_t TStringList::Add(std::string line) {
    lines_.push_back(std::move(line));
    return Count() - 1;
}

void TStringList::Insert(int32_t index, std::string line) {
    CheckIndex(index, Count());
    lines_.insert(lines_.begin() + index, std::move(line));
}

void TStringList::Delete(int32_t index) {
    CheckIndex(index, Count() - 1);
    lines_.erase(lines_.begin() + index);
}

int32_t TStringList::IndexOf(std::string_view line) const noexcept {
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i] == line)
            return static_cast<int32_t>(i);
    return -1;
}

std::string TStringList::Text() const {
    std::string text;
    for (const auto& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void TStringList::SetText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start =
            end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
    lines_ = std::move(lines);
}

void TStringList::Assign(const TPersistent* source) {
    if (auto list = dynamic_cast<const TStringList*>(source)) {
        if (list != this)
            lines_ = list->lines_;
        return;
    }
    TPersistent::Assign(source);
}

} // namespace qdo
