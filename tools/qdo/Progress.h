// A stream that passes everything to another and, on a terminal, shows how far a transfer has
// come on standard error: "LABEL: 12.5 of 40.0 MiB (31%)", redrawn at most ten times a second.
#pragma once

#include "classes/Streams.h"

#include <chrono>
#include <string>

namespace qdo::tool {

class TProgressStream : public TStream {
public:
    // `total`: the bytes the transfer will move (0: not known). Shows nothing unless `shown`.
    TProgressStream(TStream& inner, std::string label, int64_t total, bool shown);
    ~TProgressStream() override; // ends the line it drew

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return inner_.Size(); }
    void SetSize(int64_t size) override { inner_.SetSize(size); }

private:
    void Moved(int32_t count);
    void Draw();

    TStream& inner_;
    std::string label_;
    int64_t total_;
    bool shown_;
    bool drawn_ = false;
    int64_t moved_ = 0;
    std::chrono::steady_clock::time_point lastDrawn_{};
};

} // namespace qdo::tool
