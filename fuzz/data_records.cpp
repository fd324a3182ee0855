// Arbitrary bytes as the reply of a data operation's generated line: a children batch, a node
// batch (each with and without values), a query reply, and JSON export's node batch and root. Each
// decoder either refuses the bytes or reads records that, written back in the records' form, are
// exactly the bytes: nothing is skipped, guessed or cut. The decoders' non-throwing forms are
// driven, since most inputs are refused (the throwing forms wrap them; their tests are the unit
// tests').
//
// Input: the reply's bytes.
#include "FuzzCheck.h"
#include "encodings/MRecords.h"

#include <optional>
#include <string>

namespace {

std::string Field(const std::string& bytes) {
    return std::to_string(bytes.size()) + ":" + bytes;
}

std::string Subscripts(const std::vector<std::string>& subscripts) {
    std::string out = std::to_string(subscripts.size()) + ":";
    for (const std::string& subscript : subscripts)
        out += Field(subscript);
    return out;
}

std::string End(bool atEnd) {
    return atEnd ? "E" : "M";
}

// `decode` returns the records written back, or nothing when the decoder refused the bytes.
template <typename Decode>
void CheckRoundTrip(const std::string& reply, Decode decode) {
    const std::optional<std::string> written = decode();
    if (written)
        FUZZ_CHECK(*written == reply);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    for (const bool values : {true, false}) {
        CheckRoundTrip(reply, [&]() -> std::optional<std::string> {
            qdo::TMBatch<qdo::TMChildRecord> batch;
            if (qdo::TryDecodeChildBatch(reply, values, batch))
                return std::nullopt;
            std::string out;
            for (const qdo::TMChildRecord& record : batch.Records) {
                out += "N" + Field(record.Subscript) + (record.HasChildren ? "1" : "0") +
                       (record.HasValue ? "1" : "0");
                if (values && record.HasValue)
                    out += Field(record.Value);
                else
                    FUZZ_CHECK(record.Value.empty());
            }
            return out + End(batch.AtEnd);
        });
        CheckRoundTrip(reply, [&]() -> std::optional<std::string> {
            qdo::TMBatch<qdo::TMNodeRecord> batch;
            if (qdo::TryDecodeNodeBatch(reply, values, batch))
                return std::nullopt;
            std::string out;
            for (const qdo::TMNodeRecord& record : batch.Records)
                out += "N" + (values ? Field(record.Value) : "") + Subscripts(record.Subscripts);
            return out + End(batch.AtEnd);
        });
    }
    CheckRoundTrip(reply, [&]() -> std::optional<std::string> {
        std::optional<std::vector<std::string>> node;
        if (qdo::TryDecodeQueryReply(reply, node))
            return std::nullopt;
        return node ? "N" + Subscripts(*node) : std::string("E");
    });
    CheckRoundTrip(reply, [&]() -> std::optional<std::string> {
        qdo::TMBatch<qdo::TMJsonNodeRecord> batch;
        if (qdo::TryDecodeJsonNodeBatch(reply, batch))
            return std::nullopt;
        std::string out;
        for (const qdo::TMJsonNodeRecord& record : batch.Records) {
            out += "N" + Field(record.Value) + std::to_string(record.Common) + ":" +
                   std::to_string(record.Levels.size()) + ":";
            for (size_t i = 0; i < record.Levels.size(); ++i) {
                const char shape = record.Levels[i].Shape;
                // the node itself is a leaf or an object; the levels above it have children
                FUZZ_CHECK(i + 1 == record.Levels.size() ? shape == 'L' || shape == 'O'
                                                         : shape == 'A' || shape == 'O');
                out += shape + Field(record.Levels[i].Subscript);
            }
        }
        return out + End(batch.AtEnd);
    });
    CheckRoundTrip(reply, [&]() -> std::optional<std::string> {
        qdo::TMJsonRootRecord root;
        if (qdo::TryDecodeJsonRoot(reply, root))
            return std::nullopt;
        FUZZ_CHECK(root.HasValue || root.Value.empty());
        return root.Shape + std::string(root.HasValue ? "1" + Field(root.Value) : "0");
    });
    return 0;
}
