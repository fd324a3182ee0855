// The descriptor owner: closes once, on every way its descriptor leaves it.
#include "server/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

namespace qdo::server {
namespace {

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A pipe's two ends, both owned.
std::pair<TUniqueFd, TUniqueFd> Pipe() {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    return {TUniqueFd(ends[0]), TUniqueFd(ends[1])};
}

static_assert(!std::is_copy_constructible_v<TUniqueFd>);
static_assert(!std::is_copy_assignable_v<TUniqueFd>);
static_assert(std::is_nothrow_move_constructible_v<TUniqueFd>);
static_assert(std::is_nothrow_move_assignable_v<TUniqueFd>);

TEST(ServerUniqueFd, ClosesWhenItGoes) {
    auto [read, write] = Pipe();
    const int fd = read.Get();
    { TUniqueFd owner(read.Release()); }
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_FALSE(read.Valid());
    EXPECT_TRUE(IsOpen(write.Get()));
}

TEST(ServerUniqueFd, AMoveHandsOnTheDescriptor) {
    auto [read, write] = Pipe();
    const int fd = read.Get();
    TUniqueFd moved(std::move(read));
    EXPECT_EQ(moved.Get(), fd);
    EXPECT_EQ(read.Get(), -1);
    // Assigned over an owned descriptor: that one is closed, the new one kept.
    const int other = write.Get();
    moved = std::move(write);
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_TRUE(IsOpen(other));
    EXPECT_EQ(moved.Get(), other);
    EXPECT_EQ(write.Get(), -1);
}

TEST(ServerUniqueFd, SelfMoveKeepsTheDescriptor) {
    auto [read, write] = Pipe();
    const int fd = read.Get();
    TUniqueFd& alias = read;
    read = std::move(alias);
    EXPECT_EQ(read.Get(), fd);
    EXPECT_TRUE(IsOpen(fd));
}

TEST(ServerUniqueFd, ReleaseGivesUpWithoutClosing) {
    auto [read, write] = Pipe();
    const int fd = read.Release();
    EXPECT_EQ(read.Get(), -1);
    EXPECT_TRUE(IsOpen(fd));
    read.Reset(); // owns nothing: closes nothing
    EXPECT_TRUE(IsOpen(fd));
    ::close(fd);
}

TEST(ServerUniqueFd, ResetClosesTheOldOneOnly) {
    auto [read, write] = Pipe();
    const int fd = read.Get();
    read.Reset(fd); // the same descriptor: still owned, still open
    EXPECT_TRUE(IsOpen(fd));
    const int other = write.Release();
    read.Reset(other);
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(read.Get(), other);
}

} // namespace
} // namespace qdo::server
