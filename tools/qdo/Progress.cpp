#include "tools/qdo/Progress.h"

#include <cstdio>

namespace qdo::tool {

TProgressStream::TProgressStream(TStream& inner, std::string label, int64_t total, bool shown)
    : inner_(inner), label_(std::move(label)), total_(total), shown_(shown) {}

TProgressStream::~TProgressStream() {
    if (drawn_) {
        Draw();
        std::fputc('\n', stderr);
    }
}

int32_t TProgressStream::Read(void* buffer, int32_t count) {
    const int32_t read = inner_.Read(buffer, count);
    Moved(read);
    return read;
}

int32_t TProgressStream::Write(const void* buffer, int32_t count) {
    const int32_t written = inner_.Write(buffer, count);
    Moved(written);
    return written;
}

int64_t TProgressStream::Seek(int64_t offset, TSeekOrigin origin) {
    return inner_.Seek(offset, origin);
}

void TProgressStream::Moved(int32_t count) {
    if (count <= 0)
        return;
    moved_ += count;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - lastDrawn_ >= std::chrono::milliseconds(100)) {
        lastDrawn_ = now;
        Draw();
    }
}

void TProgressStream::Draw() {
    const double mib = 1024.0 * 1024.0;
    if (total_ > 0)
        std::fprintf(stderr, "\r%s: %.1f of %.1f MiB (%d%%)", label_.c_str(), moved_ / mib,
                     total_ / mib, static_cast<int>(moved_ * 100 / total_));
    else
        std::fprintf(stderr, "\r%s: %.1f MiB", label_.c_str(), moved_ / mib);
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace qdo::tool
