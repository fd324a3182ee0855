#include "server/BatchRequest.h"

#include <algorithm>
#include <bitset>
#include <optional>

namespace qdo::server {

namespace {

void AppendField(std::string& out, std::string_view bytes) {
    out += std::to_string(bytes.size());
    out += ':';
    out += bytes;
}

char KindLetter(TRequestKind kind) {
    return kind == TRequestKind::Read ? 'r' : kind == TRequestKind::Write ? 'w' : 'k';
}

// The operation's bytes once packed, or nothing when it cannot be packed.
std::optional<size_t> PackedSize(const TRequest& operation, const TPlainReference& reference) {
    size_t size = 2 + reference.Name.size() + 1 + 2;
    for (const std::string& subscript : reference.Subscripts)
        size += subscript.size() + 1;
    if (operation.Kind == TRequestKind::Write)
        size += operation.Second.size() + 1;
    if (size > TPackedRun::MaxBytes)
        return std::nullopt;
    return size;
}

void MarkBytes(std::bitset<256>& used, std::string_view bytes) {
    for (const char c : bytes)
        used.set(static_cast<unsigned char>(c));
}

} // namespace

size_t PackRun(const std::vector<TRequest>& operations, size_t first, TPackedRun& run) {
    run.Bytes.clear();
    run.Starts.clear();
    // The kinds and counts are fields too.
    std::bitset<256> used;
    MarkBytes(used, "rwk0123");
    std::vector<TPlainReference> references;
    references.reserve(operations.size() - std::min(first, operations.size()));
    size_t size = 0;
    for (size_t i = first; i < operations.size(); ++i) {
        const TRequest& operation = operations[i];
        std::optional<TPlainReference> reference = ParsePlainReference(operation.First);
        if (!reference || reference->Subscripts.size() > TPackedRun::MaxSubscripts)
            break;
        const std::optional<size_t> bytes = PackedSize(operation, *reference);
        if (!bytes || size + *bytes > TPackedRun::MaxBytes)
            break;
        std::bitset<256> withThis = used;
        MarkBytes(withThis, reference->Name);
        for (const std::string& subscript : reference->Subscripts)
            MarkBytes(withThis, subscript);
        if (operation.Kind == TRequestKind::Write)
            MarkBytes(withThis, operation.Second);
        if (withThis.all())
            break;
        used = withThis;
        size += *bytes;
        references.push_back(std::move(*reference));
    }
    size_t free = 0;
    while (free < 255 && used.test(free))
        ++free;
    run.Delimiter = static_cast<char>(free);
    run.Bytes.reserve(size);
    for (size_t k = 0; k < references.size(); ++k) {
        const TRequest& operation = operations[first + k];
        const TPlainReference& reference = references[k];
        run.Starts.push_back(run.Bytes.size() + 1);
        const auto field = [&](std::string_view bytes) {
            run.Bytes += bytes;
            run.Bytes += run.Delimiter;
        };
        const char kind = KindLetter(operation.Kind);
        const char count = static_cast<char>('0' + reference.Subscripts.size());
        field(std::string_view(&kind, 1));
        field(reference.Name);
        field(std::string_view(&count, 1));
        for (const std::string& subscript : reference.Subscripts)
            field(subscript);
        if (operation.Kind == TRequestKind::Write)
            field(operation.Second);
    }
    return references.size();
}

bool ParseBatch(std::string_view payload, std::vector<TRequest>& operations, std::string& reason) {
    // No operation can be longer than the payload that holds it.
    const TRequestReader reader(payload.size());
    operations.clear();
    while (!payload.empty()) {
        TRequest request;
        size_t consumed = 0;
        switch (reader.Next(payload, request, consumed, reason)) {
        case TRequestReader::TResult::NeedMore:
            reason = "a batch ends inside an operation";
            return false;
        case TRequestReader::TResult::Malformed:
            reason = "a batch's operation " + std::to_string(operations.size() + 1) +
                     " cannot be read: " + reason;
            return false;
        case TRequestReader::TResult::Whole:
            break;
        }
        if (request.Kind != TRequestKind::Read && request.Kind != TRequestKind::Write &&
            request.Kind != TRequestKind::Kill) {
            reason = "a batch holds reads, writes and kills only";
            return false;
        }
        operations.push_back(std::move(request));
        payload.remove_prefix(consumed);
    }
    return true;
}

void AppendValueRecord(std::string& out, std::string_view value) {
    out += 'V';
    AppendField(out, value);
}

void AppendDoneRecord(std::string& out) {
    out += 'D';
}

void AppendFailureRecord(std::string& out, std::string_view ecode, std::string_view text) {
    out += 'F';
    AppendField(out, ecode);
    AppendField(out, text);
}

} // namespace qdo::server
