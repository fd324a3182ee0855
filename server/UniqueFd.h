// A descriptor that has one owner, which closes it.
//
// Every descriptor the server opens (sockets, pipes, files, signalfd, eventfd) lives in one of
// these: it is closed when its owner goes, on every path out (an exception too), and handing it
// on (to a job, to a list of pending connections) is a move, so that two owners never close it
// twice. A raw number (Get) is only lent: to a system call, or to code that does not keep it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace qdo::server {

class TUniqueFd {
public:
    TUniqueFd() noexcept = default;
    // Takes `fd` (-1: none).
    explicit TUniqueFd(int fd) noexcept : fd_(fd) {}
    ~TUniqueFd() { Reset(); }

    TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    // The descriptor, still owned here; -1 when none.
    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it; the caller owns it now.
    [[nodiscard]] int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor owned (unless it is `fd` itself) and takes `fd`.
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0 && fd_ != fd)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// The two ends of a new pipe, made with pipe2 `flags`; false (and none) when it cannot be made.
inline bool MakePipe(TUniqueFd& readEnd, TUniqueFd& writeEnd, int flags) {
    int ends[2];
    if (::pipe2(ends, flags) != 0)
        return false;
    readEnd.Reset(ends[0]);
    writeEnd.Reset(ends[1]);
    return true;
}

} // namespace qdo::server
