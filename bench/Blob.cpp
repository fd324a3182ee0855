// BLOB transfer through the C++ API: writes a BLOB of MEGABYTES (MiB) and reads it back, and
// watches the memory of both ends while it does.
//
//   qdo_blob HOST PORT MEGABYTES
//       prints, for each direction (write, read):
//         write MIB_PER_SECOND MiB/s BYTES_PER_SECOND B/s
//         write client rss +PEAK_GROWTH MiB (from BEFORE MiB)
//         write job rss PEAK MiB (private PEAK MiB; from BEFORE MiB, private BEFORE MiB)
//       and "verified BYTES bytes" once the bytes read back are those written; exits 1 when
//       they are not.
//
// The bytes come from a stream that makes them from their position and go into one that checks
// them against the same function, so neither end of the benchmark holds the BLOB: any growth
// of the client's memory is the library's, and the job's (the server process of this session,
// found by its $JOB, on this machine) is the server's. Memory is sampled every 2 ms while a
// transfer runs; "private" is the job's RssAnon, which leaves out the database's shared memory
// that GT.M maps into every job. Run it with 10 and with 100 MiB: memory that grows with the
// size shows up as a difference between the two.
#include "ProcessMemory.h"
#include "connect/Qdoconnect.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double MiB = 1024.0 * 1024.0;

// The byte at `position` of every BLOB of this benchmark: eight bytes of a splitmix64 of the
// position's 8-byte word, so that all 256 values occur (the double quote, which travels doubled,
// and NUL included).
uint8_t PatternByte(int64_t position) {
    uint64_t z = static_cast<uint64_t>(position >> 3) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<uint8_t>(z >> ((position & 7) * 8));
}

// A read-only stream of `size` pattern bytes.
class TPatternStream : public qdo::TStream {
public:
    explicit TPatternStream(int64_t size) : size_(size) {}

    int32_t Read(void* buffer, int32_t count) override {
        const int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, size_ - position_));
        auto* bytes = static_cast<uint8_t*>(buffer);
        for (int64_t i = 0; i < n; ++i)
            bytes[i] = PatternByte(position_ + i);
        position_ += n;
        return static_cast<int32_t>(n);
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t offset, qdo::TSeekOrigin origin) override {
        const int64_t base = origin == qdo::soBeginning ? 0
                             : origin == qdo::soCurrent ? position_
                                                        : size_;
        position_ = std::clamp<int64_t>(base + offset, 0, size_);
        return position_;
    }
    void SetSize(int64_t) override {}

private:
    int64_t size_;
    int64_t position_ = 0;
};

// A write-only stream that keeps nothing: it checks every byte written against the pattern at
// its position and remembers how far the bytes reach.
class TCheckingStream : public qdo::TStream {
public:
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        for (int32_t i = 0; i < count; ++i)
            if (bytes[i] != PatternByte(position_ + i) && wrong_++ == 0)
                firstWrong_ = position_ + i;
        position_ += count;
        size_ = std::max(size_, position_);
        return count;
    }
    int64_t Seek(int64_t offset, qdo::TSeekOrigin origin) override {
        const int64_t base = origin == qdo::soBeginning ? 0
                             : origin == qdo::soCurrent ? position_
                                                        : size_;
        position_ = std::max<int64_t>(0, base + offset);
        return position_;
    }
    void SetSize(int64_t size) override { size_ = size; }

    int64_t Wrong() const noexcept { return wrong_; }
    int64_t FirstWrong() const noexcept { return firstWrong_; }
    int64_t Length() const noexcept { return size_; }

private:
    int64_t size_ = 0;
    int64_t position_ = 0;
    int64_t wrong_ = 0;
    int64_t firstWrong_ = -1;
};

// A field of /proc/PID/status (see ProcessMemory.h), in MiB.
double StatusMiB(pid_t pid, const char* field) {
    return static_cast<double>(ResidentKiB(pid, field)) / 1024.0;
}

// The peaks of the client's and the job's resident memory while it runs, sampled every 2 ms
// on a thread of its own.
class TMemoryWatch {
public:
    explicit TMemoryWatch(pid_t jobPid)
        : jobPid_(jobPid), clientBefore_(StatusMiB(getpid(), "VmRSS")),
          jobBefore_(StatusMiB(jobPid_, "VmRSS")), jobPrivateBefore_(StatusMiB(jobPid_, "RssAnon")),
          thread_([this] {
              while (!stop_.load()) {
                  Sample();
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~TMemoryWatch() { Finish(); }

    void Finish() {
        if (thread_.joinable()) {
            stop_.store(true);
            thread_.join();
            Sample();
        }
    }
    void Print(const char* direction) const {
        std::printf("%s client rss +%.1f MiB (from %.1f MiB)\n", direction,
                    clientPeak_ - clientBefore_, clientBefore_);
        std::printf("%s job rss %.1f MiB (private %.1f MiB; from %.1f MiB, private %.1f MiB)\n",
                    direction, jobPeak_, jobPrivatePeak_, jobBefore_, jobPrivateBefore_);
    }

private:
    void Sample() {
        clientPeak_ = std::max(clientPeak_, StatusMiB(getpid(), "VmRSS"));
        jobPeak_ = std::max(jobPeak_, StatusMiB(jobPid_, "VmRSS"));
        jobPrivatePeak_ = std::max(jobPrivatePeak_, StatusMiB(jobPid_, "RssAnon"));
    }

    pid_t jobPid_;
    double clientBefore_, jobBefore_, jobPrivateBefore_;
    double clientPeak_ = 0, jobPeak_ = 0, jobPrivatePeak_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_; // last: it starts once the rest is set
};

void PrintRate(const char* direction, int64_t bytes, Clock::duration taken) {
    const double rate = static_cast<double>(bytes) / std::chrono::duration<double>(taken).count();
    std::printf("%s %.1f MiB/s %.0f B/s\n", direction, rate / MiB, rate);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qdo_blob HOST PORT MEGABYTES\n");
        return 2;
    }
    const auto size = static_cast<int64_t>(std::stod(argv[3]) * MiB);
    qdo::TQdoConnect connect;
    connect.SetServerAddress(argv[1]);
    connect.SetServerPort(std::stoi(argv[2]));
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
    const auto jobPid = static_cast<pid_t>(std::stol(connect.Read("$job")));
    const int32_t id = connect.CreateBLOB("qdo_blob benchmark");
    if (id <= 0) {
        std::fprintf(stderr, "qdo_blob: CreateBLOB gave no identifier\n");
        return 1;
    }

    TPatternStream source(size);
    {
        TMemoryWatch watch(jobPid);
        const auto start = Clock::now();
        const int32_t written = connect.WriteBLOB(id, &source);
        const auto taken = Clock::now() - start;
        watch.Finish();
        if (written != id) {
            std::fprintf(stderr, "qdo_blob: the BLOB's lock was refused\n");
            return 1;
        }
        PrintRate("write", size, taken);
        watch.Print("write");
    }
    TCheckingStream sink;
    {
        TMemoryWatch watch(jobPid);
        const auto start = Clock::now();
        const int32_t read = connect.ReadBLOB(id, &sink);
        const auto taken = Clock::now() - start;
        watch.Finish();
        if (read != id) {
            std::fprintf(stderr, "qdo_blob: the BLOB's lock was refused\n");
            return 1;
        }
        PrintRate("read", size, taken);
        watch.Print("read");
    }
    connect.DeleteBLOB(id);
    if (sink.Length() != size || sink.Wrong() != 0) {
        std::fprintf(stderr, "qdo_blob: read back %lld bytes of %lld, %lld wrong (first at %lld)\n",
                     static_cast<long long>(sink.Length()), static_cast<long long>(size),
                     static_cast<long long>(sink.Wrong()),
                     static_cast<long long>(sink.FirstWrong()));
        return 1;
    }
    std::printf("verified %lld bytes\n", static_cast<long long>(size));
    return 0;
}
