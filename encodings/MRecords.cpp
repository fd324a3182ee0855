#include "encodings/MRecords.h"

#include "classes/Exceptions.h"

#include <algorithm>
#include <charconv>

namespace qdo {

namespace {

// Reads the fields of one reply from its start to its end. The first fault stops the reading:
// its reason is kept, the rest of the reply is dropped, and from then on every read gives an
// empty result, so a decoder runs to its end without a check after every read and reports the
// first fault. (Refusals are common for a decoder fed arbitrary bytes, and a throw per refusal
// costs more than the decoding.)
class TFieldReader {
public:
    explicit TFieldReader(std::string_view reply) : rest_(reply) {}

    bool Done() const noexcept { return rest_.empty(); }
    // The first fault's reason, or nullptr while there is none.
    const char* Failure() const noexcept { return failure_; }
    bool Failed() const noexcept { return failure_ != nullptr; }

    // The next byte, or '\0' at the end of the reply (a fault).
    char Marker() noexcept {
        if (!Need(1))
            return '\0';
        const char c = rest_[0];
        rest_.remove_prefix(1);
        return c;
    }

    bool Flag() noexcept {
        const char c = Marker();
        if (c != '0' && c != '1')
            Fail("a flag is not 0 or 1");
        return c == '1';
    }

    // A decimal count ended by ':'.
    size_t Count() noexcept {
        size_t value = 0;
        const auto [end, error] = std::from_chars(rest_.data(), rest_.data() + rest_.size(), value);
        if (error != std::errc() || end == rest_.data() || end == rest_.data() + rest_.size() ||
            *end != ':' || (rest_[0] == '0' && end - rest_.data() > 1)) {
            Fail("a length is not a decimal number (as M writes it) followed by ':'");
            return 0;
        }
        rest_.remove_prefix(static_cast<size_t>(end - rest_.data()) + 1);
        return value;
    }

    std::string Field() {
        const size_t length = Count();
        if (!Need(length))
            return {};
        std::string bytes(rest_.substr(0, length));
        rest_.remove_prefix(length);
        return bytes;
    }

    // The end marker: true for 'E', false for 'M'; the reply must end there.
    bool End(char marker) noexcept {
        if (marker != 'E' && marker != 'M')
            Fail("a record starts with neither N, E nor M");
        else if (!Done())
            Fail("bytes follow the end marker");
        return marker == 'E';
    }

    void Fail(const char* what) noexcept {
        if (!failure_)
            failure_ = what;
        rest_ = {};
    }

private:
    bool Need(size_t count) noexcept {
        if (rest_.size() >= count)
            return true;
        Fail("the reply ends inside a record");
        return false;
    }

    std::string_view rest_;
    const char* failure_ = nullptr;
};

std::vector<std::string> Subscripts(TFieldReader& reader) {
    const size_t count = reader.Count();
    std::vector<std::string> subscripts;
    for (size_t i = 0; i < count && !reader.Failed(); ++i)
        subscripts.push_back(reader.Field());
    return subscripts;
}

// Raises the fault a non-throwing decoder reported, if any.
void ThrowIfRefused(const char* failure) {
    if (failure)
        throw EConvertError(std::string("The server's records cannot be read: ") + failure + ".");
}

} // namespace

const char* TryDecodeChildBatch(std::string_view reply, bool withValues,
                                TMBatch<TMChildRecord>& batch) {
    TFieldReader reader(reply);
    for (;;) {
        const char marker = reader.Marker();
        if (marker != 'N') {
            batch.AtEnd = reader.End(marker);
            return reader.Failure();
        }
        TMChildRecord& record = batch.Records.emplace_back();
        record.Subscript = reader.Field();
        record.HasChildren = reader.Flag();
        record.HasValue = reader.Flag();
        if (withValues && record.HasValue)
            record.Value = reader.Field();
    }
}

const char* TryDecodeNodeBatch(std::string_view reply, bool withValues,
                               TMBatch<TMNodeRecord>& batch) {
    TFieldReader reader(reply);
    for (;;) {
        const char marker = reader.Marker();
        if (marker != 'N') {
            batch.AtEnd = reader.End(marker);
            return reader.Failure();
        }
        TMNodeRecord& record = batch.Records.emplace_back();
        if (withValues)
            record.Value = reader.Field();
        record.Subscripts = Subscripts(reader);
    }
}

const char* TryDecodeQueryReply(std::string_view reply,
                                std::optional<std::vector<std::string>>& node) {
    TFieldReader reader(reply);
    const char marker = reader.Marker();
    if (marker == 'E' && reader.Done()) {
        node.reset();
        return nullptr;
    }
    if (marker != 'N')
        reader.Fail("a query reply starts with neither N nor E");
    node = Subscripts(reader);
    if (!reader.Done())
        reader.Fail("bytes follow the node");
    return reader.Failure();
}

const char* TryDecodeJsonNodeBatch(std::string_view reply, TMBatch<TMJsonNodeRecord>& batch) {
    TFieldReader reader(reply);
    for (;;) {
        const char marker = reader.Marker();
        if (marker != 'N') {
            batch.AtEnd = reader.End(marker);
            return reader.Failure();
        }
        TMJsonNodeRecord& record = batch.Records.emplace_back();
        record.Value = reader.Field();
        record.Common = reader.Count();
        const size_t count = reader.Count();
        if (count == 0)
            reader.Fail("a JSON node record names no node");
        for (size_t i = 0; i < count && !reader.Failed(); ++i) {
            TMJsonLevel& level = record.Levels.emplace_back();
            level.Shape = reader.Marker();
            const bool last = i + 1 == count;
            if (last ? level.Shape != 'L' && level.Shape != 'O'
                     : level.Shape != 'A' && level.Shape != 'O')
                reader.Fail("a JSON node record has a shape that is not L, A or O where it stands");
            level.Subscript = reader.Field();
        }
    }
}

const char* TryDecodeJsonRoot(std::string_view reply, TMJsonRootRecord& root) {
    TFieldReader reader(reply);
    root.Shape = reader.Marker();
    root.HasValue = reader.Flag();
    if (root.HasValue)
        root.Value = reader.Field();
    if (!reader.Done())
        reader.Fail("bytes follow the JSON root");
    const bool valueAsShapeSays = root.Shape == 'O' || (root.Shape == 'L') == root.HasValue;
    if ((root.Shape != 'X' && root.Shape != 'L' && root.Shape != 'A' && root.Shape != 'O') ||
        !valueAsShapeSays)
        reader.Fail("the JSON root's shape is not X, L, A or O, or does not fit its value");
    return reader.Failure();
}

TMBatch<TMChildRecord> DecodeChildBatch(std::string_view reply, bool withValues) {
    TMBatch<TMChildRecord> batch;
    ThrowIfRefused(TryDecodeChildBatch(reply, withValues, batch));
    return batch;
}

TMBatch<TMNodeRecord> DecodeNodeBatch(std::string_view reply, bool withValues) {
    TMBatch<TMNodeRecord> batch;
    ThrowIfRefused(TryDecodeNodeBatch(reply, withValues, batch));
    return batch;
}

std::optional<std::vector<std::string>> DecodeQueryReply(std::string_view reply) {
    std::optional<std::vector<std::string>> node;
    ThrowIfRefused(TryDecodeQueryReply(reply, node));
    return node;
}

TMBatch<TMJsonNodeRecord> DecodeJsonNodeBatch(std::string_view reply) {
    TMBatch<TMJsonNodeRecord> batch;
    ThrowIfRefused(TryDecodeJsonNodeBatch(reply, batch));
    return batch;
}

TMJsonRootRecord DecodeJsonRoot(std::string_view reply) {
    TMJsonRootRecord root;
    ThrowIfRefused(TryDecodeJsonRoot(reply, root));
    return root;
}

TMBatchRecords DecodeBatchReply(std::string_view reply, std::string_view expected) {
    TFieldReader reader(reply);
    TMBatchRecords records;
    records.Values.reserve(std::min(expected.size(), reply.size()));
    while (!reader.Done()) {
        const char marker = reader.Marker();
        if (marker == 'F') {
            records.Failed = true;
            records.ECode = reader.Field();
            records.Text = reader.Field();
            if (!reader.Done())
                reader.Fail("bytes follow a batch's failure");
            if (records.Values.size() == expected.size())
                reader.Fail("a batch's failure follows the records of all its operations");
            ThrowIfRefused(reader.Failure());
            return records;
        }
        if (records.Values.size() == expected.size())
            reader.Fail("a batch has more records than operations");
        else if ((marker != 'V' && marker != 'D') || marker != expected[records.Values.size()])
            reader.Fail("a batch's record is not of its operation's kind");
        else
            records.Values.push_back(marker == 'V' ? reader.Field() : std::string());
    }
    if (!reader.Failed() && records.Values.size() != expected.size())
        reader.Fail("a batch's reply ends before the records of all its operations");
    ThrowIfRefused(reader.Failure());
    return records;
}

TMTransactionRecords DecodeTransactionReply(std::string_view reply, size_t results) {
    TFieldReader reader(reply);
    TMTransactionRecords records;
    const size_t restarts = reader.Count();
    if (restarts > 1000) // GT.M's last try is the fifth; a count this large is no count of tries
        reader.Fail("a transaction's restart count is out of range");
    records.Restarts = static_cast<int>(restarts);
    // Reserve no more than the reply can hold (two bytes a field at least).
    records.Values.reserve(std::min(results, reply.size() / 2));
    for (size_t i = 0; i < results && !reader.Failed(); ++i)
        records.Values.push_back(reader.Field());
    if (!reader.Done())
        reader.Fail("bytes follow the transaction's results");
    ThrowIfRefused(reader.Failure());
    return records;
}

} // namespace qdo
