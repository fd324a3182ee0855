// Arbitrary bytes as the two new readers of a batch: the job's reading of a batch request's
// payload, and the client's decoding of a batch's records. Each either refuses the bytes or
// reads what, written back, is exactly the bytes (the payload: the same operations, its lengths
// written without leading zeros): nothing skipped, guessed or cut.
//
// Input: a first byte that chooses. Even: the rest is a payload. Odd: the next byte's low four
// bits are how many operations the client expects, the low bit of each byte after that says
// whether that one is a read ('V') or a write or kill ('D'); the rest is the reply.
#include "FuzzCheck.h"
#include "classes/Exceptions.h"
#include "encodings/MRecords.h"
#include "protocol/Requests.h"
#include "server/BatchRequest.h"

#include <string>
#include <vector>

namespace {

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
