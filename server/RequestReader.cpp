#include "server/RequestReader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <iterator>

namespace qdo::server {

namespace {

using TResult = TRequestReader::TResult;

enum class TField {
    Counted,   // decimal length, NUL, that many bytes
    UpToNul,   // bytes up to a NUL (which is consumed)
    UpToColon, // bytes up to a ':' (which is consumed)
};

struct Shape {
    std::string_view prefix;
    TRequestKind kind;
    std::initializer_list<TField> fields;
};

// No prefix is the beginning of another, so at most one shape matches a whole prefix.
const Shape shapes[] = {
    {std::string_view("r\0", 2), TRequestKind::Read, {TField::Counted}},
    {std::string_view("w\0", 2), TRequestKind::Write, {TField::Counted, TField::Counted}},
    {std::string_view("k\0", 2), TRequestKind::Kill, {TField::Counted}},
    {std::string_view("x\0", 2), TRequestKind::Execute, {TField::Counted}},
    {std::string_view("t\0", 2), TRequestKind::Terminal, {TField::Counted}},
    {std::string_view("c\0", 2), TRequestKind::CallbackAnswer, {TField::Counted}},
    {"fl:", TRequestKind::GroupRead, {TField::Counted}},
    {"si:", TRequestKind::ClientAddress, {TField::Counted}},
    {"st", TRequestKind::Store, {}},
    {"lg:", TRequestKind::Logon, {TField::UpToNul}},
    {"<CALLBACK>", TRequestKind::Acknowledge, {TField::UpToColon, TField::Counted}},
    {"MR:op:", TRequestKind::OpenSession, {TField::UpToNul}},
    {"MR:bfl:", TRequestKind::CancelGroupRead, {TField::UpToNul}},
    {"MR:cr:", TRequestKind::Create, {TField::UpToColon, TField::Counted}},
    {std::string_view("b\0", 2), TRequestKind::Batch, {TField::Counted}},
};

// Tokens, session identifiers, namespaces and identifiers are short.
constexpr size_t shortFieldLimit = 1024;

class FieldParser {
public:
    FieldParser(std::string_view bytes, size_t pos, size_t maxRequest, std::string& reason)
        : bytes_(bytes), pos_(pos), maxRequest_(maxRequest), reason_(reason) {}

    size_t Position() const { return pos_; }

    TResult Parse(TField field, std::string& out) {
        switch (field) {
        case TField::Counted:
            return Counted(out);
        case TField::UpToNul:
            return UpTo('\0', out);
        case TField::UpToColon:
            return UpTo(':', out);
        }
        return TResult::Malformed;
    }

private:
    TResult Malformed(std::string why) {
        reason_ = std::move(why);
        return TResult::Malformed;
    }

    TResult Counted(std::string& out) {
        size_t digits = 0;
        size_t length = 0;
        while (true) {
            if (pos_ + digits >= bytes_.size())
                return TResult::NeedMore;
            const char c = bytes_[pos_ + digits];
            if (c == '\0')
                break;
            if (c < '0' || c > '9' || digits == 10)
                return Malformed("a length field is not a decimal number");
            length = length * 10 + static_cast<size_t>(c - '0');
            ++digits;
            // Refused as soon as it is too long, without waiting for the rest of the field.
            if (pos_ + digits + 1 + length > maxRequest_)
                return Malformed("a request is over the limit of " + std::to_string(maxRequest_) +
                                 " bytes");
        }
        if (digits == 0)
            return Malformed("a length field is empty");
        if (bytes_.size() - (pos_ + digits + 1) < length)
            return TResult::NeedMore;
        out.assign(bytes_.substr(pos_ + digits + 1, length));
        pos_ += digits + 1 + length;
        return TResult::Whole;
    }

    TResult UpTo(char end, std::string& out) {
        const size_t at = bytes_.find(end, pos_);
        const size_t length = (at == std::string_view::npos ? bytes_.size() : at) - pos_;
        if (length > shortFieldLimit)
            return Malformed("a field is longer than " + std::to_string(shortFieldLimit) +
                             " bytes");
        if (at == std::string_view::npos)
            return TResult::NeedMore;
        out.assign(bytes_.substr(pos_, length));
        pos_ = at + 1;
        return TResult::Whole;
    }

    std::string_view bytes_;
    size_t pos_;
    size_t maxRequest_;
    std::string& reason_;
};

// The shapes whose prefix begins with each byte value, as a range of `shapes` (the shapes that
// share a first byte stand together there): a job matches the bytes on every read.
struct ShapeRange {
    uint8_t begin = 0;
    uint8_t end = 0;
};

const std::array<ShapeRange, 256>& ShapesByFirstByte() {
    static const std::array<ShapeRange, 256> table = [] {
        std::array<ShapeRange, 256> byFirst{};
        for (uint8_t i = 0; i < std::size(shapes); ++i) {
            ShapeRange& range = byFirst[static_cast<uint8_t>(shapes[i].prefix.front())];
            if (range.begin == range.end)
                range.begin = i;
            range.end = static_cast<uint8_t>(i + 1);
        }
        return byFirst;
    }();
    return table;
}

// The shape whose whole prefix `bytes` begin with; null with NeedMore while they may still
// begin one, or with Malformed when they cannot.
const Shape* MatchShape(std::string_view bytes, TResult& result) {
    if (bytes.empty()) {
        result = TResult::NeedMore;
        return nullptr;
    }
    bool couldStillMatch = false;
    const ShapeRange range = ShapesByFirstByte()[static_cast<uint8_t>(bytes.front())];
    for (uint8_t i = range.begin; i < range.end; ++i) {
        const Shape& shape = shapes[i];
        const size_t n = std::min(bytes.size(), shape.prefix.size());
        if (bytes.compare(0, n, shape.prefix, 0, n) != 0)
            continue;
        if (bytes.size() < shape.prefix.size()) {
            couldStillMatch = true;
            continue;
        }
        result = TResult::Whole;
        return &shape;
    }
    result = couldStillMatch ? TResult::NeedMore : TResult::Malformed;
    return nullptr;
}

} // namespace

TResult TRequestReader::KindOf(std::string_view bytes, TRequestKind& kind) {
    TResult result;
    if (const Shape* shape = MatchShape(bytes, result))
        kind = shape->kind;
    return result;
}

TResult TRequestReader::Next(std::string_view bytes, TRequest& request, size_t& consumed,
                             std::string& reason) const {
    TResult result;
    const Shape* shape = MatchShape(bytes, result);
    if (shape == nullptr) {
        if (result == TResult::Malformed)
            reason = "unknown request";
        return result;
    }
    FieldParser parser(bytes, shape->prefix.size(), maxRequest_, reason);
    std::string* outs[] = {&request.First, &request.Second};
    request.First.clear();
    request.Second.clear();
    size_t index = 0;
    for (TField field : shape->fields) {
        const TResult r = parser.Parse(field, *outs[index++]);
        if (r != TResult::Whole)
            return r;
    }
    request.Kind = shape->kind;
    consumed = parser.Position();
    return TResult::Whole;
}

} // namespace qdo::server
