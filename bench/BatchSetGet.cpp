// Small sets and small gets of distinct global nodes through TMDatabase batches, one
// connection. Each batch of BATCH operations is built and run; the time covers both.
//
//   qdo_batch HOST PORT COUNT [BATCH [lines]]
//       prints: set OPS_PER_SECOND / get OPS_PER_SECOND
//   BATCH defaults to 1000; "lines" forces the generated Execute lines instead of the server's
//   batch request.
#include "connect/Database.h"
#include "connect/Qdoconnect.h"

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qdo_batch HOST PORT COUNT [BATCH [lines]]\n");
        return 2;
    }
    const long count = std::stol(argv[3]);
    const long size = argc > 4 ? std::stol(argv[4]) : 1000;
    qdo::TMBatchOptions options;
    options.ServerRequest = !(argc > 5 && std::string(argv[5]) == "lines");
    qdo::TQdoConnect connect;
    connect.SetServerAddress(argv[1]);
    connect.SetServerPort(std::stoi(argv[2]));
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
    connect.Kill("^B");
    qdo::TMDatabase db(connect);
    db.ServerHasBatches(); // the probe is not part of the figures
    using Clock = std::chrono::steady_clock;
    qdo::TMOperationBatch batch;
    const auto setStart = Clock::now();
    for (long i = 1; i <= count; i += size) {
        batch.Clear();
        for (long j = i; j < i + size && j <= count; ++j)
            batch.Set(qdo::TMRef("^B", {j}), "value");
        db.Run(batch, options);
    }
    const auto getStart = Clock::now();
    for (long i = 1; i <= count; i += size) {
        batch.Clear();
        for (long j = i; j < i + size && j <= count; ++j)
            batch.Get(qdo::TMRef("^B", {j}));
        for (const std::string& value : db.Run(batch, options))
            if (value != "value")
                return 1;
    }
    const auto end = Clock::now();
    const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
    std::printf("set %.0f\nget %.0f\n", count / seconds(getStart - setStart),
                count / seconds(end - getStart));
    connect.Kill("^B");
    return 0;
}
