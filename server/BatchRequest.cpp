#include "server/BatchRequest.h"

namespace qdo::server {

namespace {

void AppendField(std::string& out, std::string_view bytes) {
    out += std::to_string(bytes.size());
    out += ':';
    out += bytes;
}

} // namespace

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
