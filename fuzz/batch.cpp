// Arbitrary bytes as the two new readers of a batch: the job's reading of a batch request's
// payload, and the client's decoding of a batch's records. Each either refuses the bytes or
// reads what, written back, is exactly the bytes (the payload: the same operations, its lengths
// written without leading zeros): nothing skipped, guessed or cut. The operations read are then
// packed into runs for M as the job packs them: split at their delimiter, the runs give back
// each operation's fields, and no operation is left out.
//
// Input: a first byte that chooses. Even: the rest is a payload. Odd: the next byte's low four
// bits are how many operations the client expects, the low bit of each byte after that says
// whether that one is a read ('V') or a write or kill ('D'); the rest is the reply.
#include "FuzzCheck.h"
#include "classes/Exceptions.h"
#include "encodings/MRecords.h"
#include "protocol/Requests.h"
#include "server/BatchRequest.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

void CheckRuns(const std::vector<qdo::server::TRequest>& operations) {
    using qdo::server::TPackedRun;
    using qdo::server::TRequestKind;
    TPackedRun run;
    for (size_t i = 0; i < operations.size();) {
        const size_t packed = qdo::server::PackRun(operations, i, run);
        FUZZ_CHECK(packed <= operations.size() - i && run.Starts.size() == packed);
        FUZZ_CHECK(run.Bytes.size() <= TPackedRun::MaxBytes);
        // Every field ends in the delimiter, which no field holds: splitting gives the fields.
        std::vector<std::string_view> fields;
        std::vector<size_t> fieldStarts;
        const std::string_view bytes(run.Bytes);
        for (size_t at = 0; at < bytes.size();) {
            const size_t end = bytes.find(run.Delimiter, at);
            FUZZ_CHECK(end != std::string_view::npos);
            fields.push_back(bytes.substr(at, end - at));
            fieldStarts.push_back(at + 1);
            at = end + 1;
        }
        size_t f = 0;
        for (size_t k = 0; k < packed; ++k) {
            const qdo::server::TRequest& op = operations[i + k];
            const auto reference = qdo::server::ParsePlainReference(op.First);
            FUZZ_CHECK(reference && reference->Subscripts.size() <= TPackedRun::MaxSubscripts);
            const size_t count =
                3 + reference->Subscripts.size() + (op.Kind == TRequestKind::Write ? 1 : 0);
            FUZZ_CHECK(f + count <= fields.size() && run.Starts[k] == fieldStarts[f]);
            const char kind = op.Kind == TRequestKind::Read    ? 'r'
                              : op.Kind == TRequestKind::Write ? 'w'
                                                               : 'k';
            FUZZ_CHECK(fields[f++] == std::string_view(&kind, 1));
            FUZZ_CHECK(fields[f++] == reference->Name);
            FUZZ_CHECK(fields[f++] == std::to_string(reference->Subscripts.size()));
            for (const std::string& subscript : reference->Subscripts)
                FUZZ_CHECK(fields[f++] == subscript);
            if (op.Kind == TRequestKind::Write)
                FUZZ_CHECK(fields[f++] == op.Second);
        }
        FUZZ_CHECK(f == fields.size());
        i += std::max<size_t>(packed, 1);
    }
}

void CheckPayload(const std::string& payload) {
    std::vector<qdo::server::TRequest> operations;
    std::string reason;
    if (!qdo::server::ParseBatch(payload, operations, reason)) {
        FUZZ_CHECK(!reason.empty());
        return;
    }
    std::string written;
    std::string one;
    for (const qdo::server::TRequest& op : operations) {
        if (op.Kind == qdo::server::TRequestKind::Write)
            qdo::protocol::request::Write(one, op.First, op.Second);
        else
            qdo::protocol::request::OneArgument(
                one, op.Kind == qdo::server::TRequestKind::Read ? 'r' : 'k', op.First);
        FUZZ_CHECK(op.Kind == qdo::server::TRequestKind::Write || op.Second.empty());
        written += one;
    }
    // The reader takes lengths with leading zeros, as it does for any request: the operations
    // written back with plain lengths are read as the same operations, from no more bytes.
    FUZZ_CHECK(written.size() <= payload.size());
    std::vector<qdo::server::TRequest> again;
    FUZZ_CHECK(qdo::server::ParseBatch(written, again, reason));
    FUZZ_CHECK(again.size() == operations.size());
    for (size_t i = 0; i < again.size(); ++i)
        FUZZ_CHECK(again[i].Kind == operations[i].Kind && again[i].First == operations[i].First &&
                   again[i].Second == operations[i].Second);
    CheckRuns(operations);
}

void CheckReply(const std::string& expected, const std::string& reply) {
    qdo::TMBatchRecords records;
    try {
        records = qdo::DecodeBatchReply(reply, expected);
    } catch (const qdo::EConvertError&) {
        return;
    }
    FUZZ_CHECK(records.Values.size() <= expected.size());
    std::string written;
    for (size_t i = 0; i < records.Values.size(); ++i) {
        if (expected[i] == 'V') {
            qdo::server::AppendValueRecord(written, records.Values[i]);
        } else {
            FUZZ_CHECK(records.Values[i].empty());
            qdo::server::AppendDoneRecord(written);
        }
    }
    if (records.Failed)
        qdo::server::AppendFailureRecord(written, records.ECode, records.Text);
    else
        FUZZ_CHECK(records.Values.size() == expected.size());
    FUZZ_CHECK(written == reply);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        CheckPayload(input);
        return 0;
    }
    if (input.empty())
        return 0;
    const size_t count = std::min<size_t>(static_cast<uint8_t>(input[0]) & 15, input.size() - 1);
    std::string expected;
    for (size_t i = 0; i < count; ++i)
        expected += (input[1 + i] & 1) ? 'V' : 'D';
    CheckReply(expected, input.substr(1 + count));
    return 0;
}
