// Arbitrary bytes, cut into arbitrary reads, as what a client sends a job: the request reader
// must neither crash nor read outside the bytes, every whole request must account for the bytes
// it took, and a request once whole must stay whole however the bytes were split.
//
// Input: one byte of read size, then the stream.
#include "FuzzCheck.h"
#include "server/RequestReader.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t step = data[0] == 0 ? 1 : data[0];
    const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    const qdo::server::TRequestReader reader(4096);

    // All at once.
    std::string wholeKinds;
    size_t taken = 0;
    while (true) {
        qdo::server::TRequest request;
        size_t consumed = 0;
        std::string reason;
        const auto result =
            reader.Next(std::string_view(stream).substr(taken), request, consumed, reason);
        if (result != qdo::server::TRequestReader::TResult::Whole) {
            FUZZ_CHECK(result == qdo::server::TRequestReader::TResult::NeedMore || !reason.empty());
            break;
        }
        FUZZ_CHECK(consumed > 0 && taken + consumed <= stream.size());
        FUZZ_CHECK(request.First.size() + request.Second.size() < consumed);
        taken += consumed;
        wholeKinds += static_cast<char>(request.Kind);
    }

    // The same stream arriving `step` bytes at a time gives the same requests.
    std::string splitKinds;
    std::string buffer;
    size_t fed = 0;
    bool failed = false;
    while (fed < stream.size() && !failed) {
        buffer.append(stream, fed, step);
        fed = std::min(stream.size(), fed + step);
        while (true) {
            qdo::server::TRequest request;
            size_t consumed = 0;
            std::string reason;
            const auto result = reader.Next(buffer, request, consumed, reason);
            if (result == qdo::server::TRequestReader::TResult::Malformed)
                failed = true;
            if (result != qdo::server::TRequestReader::TResult::Whole)
                break;
            buffer.erase(0, consumed);
            splitKinds += static_cast<char>(request.Kind);
        }
    }
    FUZZ_CHECK(splitKinds == wholeKinds);
    return 0;
}
