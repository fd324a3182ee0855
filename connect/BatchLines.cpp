#include "connect/BatchLines.h"

#include "connect/DataLines.h"
#include "encodings/Mutils.h"
#include "protocol/Requests.h"

namespace qdo::lines {

namespace {

size_t Digits(size_t n) {
    size_t digits = 1;
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return digits;
}

// The bytes of an operation in a batch request's payload.
size_t RequestLength(const TMBatchOperation& op) {
    size_t length = 3 + Digits(op.Code.size()) + op.Code.size();
    if (op.Kind == 'w')
        length += Digits(op.Value.size()) + 1 + op.Value.size();
    return length;
}

const std::string lineStart = "n %qdoV,$etrap s $etrap=\"w \"\"F\"\",$L($ec),\"\":\"\",$ec,"
                              "$L($zs),\"\":\"\",$zs s $ec=\"\"\"\" q\"";

std::string LineCode(const TMBatchOperation& op) {
    switch (op.Kind) {
    case 'r':
        return " s %qdoV=" + op.Code + " w \"V\",$L(%qdoV),\":\",%qdoV";
    case 'w':
        return " s " + op.Code + "=" + MText(op.Value) + " w \"D\"";
    default:
        return " k " + op.Code + " w \"D\"";
    }
}

} // namespace

std::vector<TBatchPart> SplitRequests(const std::vector<TMBatchOperation>& operations,
                                      size_t requestBytes) {
    std::vector<TBatchPart> parts;
    size_t bytes = 0;
    for (size_t i = 0; i < operations.size(); ++i) {
        const size_t length = RequestLength(operations[i]);
        if (parts.empty() || bytes + length > requestBytes) {
            parts.push_back({i, i, false});
            bytes = 0;
        }
        parts.back().End = i + 1;
        bytes += length;
    }
    return parts;
}

std::string BatchPayload(const std::vector<TMBatchOperation>& operations, const TBatchPart& part) {
    std::string payload;
    std::string one;
    for (size_t i = part.Begin; i < part.End; ++i) {
        const TMBatchOperation& op = operations[i];
        if (op.Kind == 'w')
            protocol::request::Write(one, op.Code, op.Value);
        else
            protocol::request::OneArgument(one, op.Kind, op.Code);
        payload += one;
    }
    return payload;
}

std::vector<TBatchPart> SplitLines(const std::vector<TMBatchOperation>& operations) {
    std::vector<TBatchPart> parts;
    size_t length = 0;
    bool open = false; // the last part takes more operations
    for (size_t i = 0; i < operations.size(); ++i) {
        const size_t code = LineCode(operations[i]).size();
        if (lineStart.size() + code > MaxLineLength) {
            parts.push_back({i, i + 1, true});
            open = false;
            continue;
        }
        if (!open || length + code > MaxLineLength) {
            parts.push_back({i, i, false});
            length = lineStart.size();
            open = true;
        }
        parts.back().End = i + 1;
        length += code;
    }
    return parts;
}

std::string BatchLine(const std::vector<TMBatchOperation>& operations, const TBatchPart& part) {
    std::string line = lineStart;
    for (size_t i = part.Begin; i < part.End; ++i)
        line += LineCode(operations[i]);
    return line;
}

std::string ExpectedRecords(const std::vector<TMBatchOperation>& operations,
                            const TBatchPart& part) {
    std::string kinds;
    for (size_t i = part.Begin; i < part.End; ++i)
        kinds += operations[i].Kind == 'r' ? 'V' : 'D';
    return kinds;
}

} // namespace qdo::lines
