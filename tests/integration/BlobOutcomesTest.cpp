// BLOBs against qdo-server, judged by what the server holds afterwards: block counts at the
// block size's edges, streams that read little at a time or end early, headers the library did
// not write, a lock held by another session, a deleted BLOB, failures that must still release
// the lock, and handlers that transform what is stored and what is read. (Round trips of every
// size and a read refused by a held lock: ServerFeaturesTest.cpp.)
#include "SharedServer.h"
#include "classes/Streams.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace qdo {
namespace {

using test::Open;
using test::Shared;

std::string Node(int32_t id, const std::string& rest = {}) {
    return "^BLOB(" + std::to_string(id) + (rest.empty() ? "" : "," + rest) + ")";
}

// The BLOB's "~" piece `n` of its header (2: blocks, 3: bytes).
std::string HeaderPiece(TQdoConnect& connect, int32_t id, int n) {
    return connect.Read("$piece(" + Node(id) + ",\"~\"," + std::to_string(n) + ")");
}

// Whether `connect` can take the lock on the BLOB's header at once (and gives it back).
bool Lockable(TQdoConnect& connect, int32_t id) {
    connect.Execute("k ok l +" + Node(id) + ":0 s ok=$t l:ok -" + Node(id));
    return connect.Read("ok") == "1";
}

std::string Content(TMemoryStream& stream) {
    return stream.DataString();
}

void Fill(TMemoryStream& stream, const std::string& bytes) {
    stream.SetSize(0);
    if (!bytes.empty())
        stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

TEST(BlobOutcomes, BlocksAreFullExceptTheLast) {
    auto connect = Open(Shared());
    for (size_t size : {size_t{0}, size_t{1}, size_t{2047}, size_t{2048}, size_t{2049},
                        size_t{4096}, size_t{4097}}) {
        SCOPED_TRACE(size);
        const std::string bytes = test::RandomBytes(size, static_cast<unsigned>(size) + 7);
        const int32_t id = connect->CreateBLOB("edge");
        TMemoryStream in;
        Fill(in, bytes);
        ASSERT_EQ(connect->WriteBLOB(id, &in), id);
        const size_t blocks = (size + 2047) / 2048;
        EXPECT_EQ(HeaderPiece(*connect, id, 2), std::to_string(blocks));
        EXPECT_EQ(HeaderPiece(*connect, id, 3), std::to_string(size));
        if (blocks > 0) {
            EXPECT_EQ(connect->Read("$length(" + Node(id, std::to_string(blocks)) + ")"),
                      std::to_string(size - (blocks - 1) * 2048));
        }
        TMemoryStream out;
        ASSERT_EQ(connect->ReadBLOB(id, &out), id);
        EXPECT_TRUE(Content(out) == bytes);
        EXPECT_EQ(connect->DeleteBLOB(id), id);
    }
}

// A memory stream whose reads give at most `most` bytes and stop at `end`, whatever its Size.
class TShortReadStream : public TMemoryStream {
public:
    TShortReadStream(int32_t most, int64_t end) : most_(most), end_(end) {}
    int32_t Read(void* buffer, int32_t count) override {
        const int64_t left = std::max<int64_t>(0, end_ - Position());
        return TMemoryStream::Read(buffer, static_cast<int32_t>(std::min<int64_t>(
                                               {count, static_cast<int64_t>(most_), left})));
    }

private:
    int32_t most_;
    int64_t end_;
};

TEST(BlobOutcomes, StreamsThatReadLittleOrEndEarlyStoreWhatTheirReadsGave) {
    const std::string bytes = test::RandomBytes(5000, 11);
    const struct {
        const char* what;
        int32_t most;
        int64_t end;
        size_t stored;
        int blocks;
    } cases[] = {
        {"reads of 100 bytes still fill whole blocks", 100, 5000, 5000, 3},
        {"reads that end at 3000 of 5000 bytes", 2048, 3000, 3000, 2},
        {"reads that end at a block's edge add no empty block", 700, 4096, 4096, 2},
        {"a stream whose first read gives nothing", 2048, 0, 0, 0},
    };
    auto connect = Open(Shared());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t id = connect->CreateBLOB("short");
        TShortReadStream in(c.most, c.end);
        in.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        ASSERT_EQ(connect->WriteBLOB(id, &in), id);
        EXPECT_EQ(HeaderPiece(*connect, id, 2), std::to_string(c.blocks));
        TMemoryStream out;
        ASSERT_EQ(connect->ReadBLOB(id, &out), id);
        EXPECT_TRUE(Content(out) == bytes.substr(0, c.stored));
        EXPECT_EQ(connect->DeleteBLOB(id), id);
    }
}

TEST(BlobOutcomes, HeadersAndBlocksWrittenByOthersAreRead) {
    const struct {
        const char* what;
        std::string header;
        std::vector<std::string> blocks;
        std::string read;
    } cases[] = {
        {"a header without a block count: no block", "pic", {"unread"}, ""},
        {"a block count that is no number: no block", "pic~two", {"unread"}, ""},
        {"0 blocks", "pic~0~0", {"unread"}, ""},
        {"a block longer than 2048 bytes is taken whole",
         "pic~2",
         {std::string(3000, 'L'), "end"},
         std::string(3000, 'L') + "end"},
    };
    auto connect = Open(Shared());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t id = connect->CreateBLOB("foreign");
        connect->Write(Node(id), c.header);
        for (size_t k = 0; k < c.blocks.size(); ++k)
            connect->Write(Node(id, std::to_string(k + 1)), c.blocks[k]);
        TMemoryStream out;
        Fill(out, "old bytes");
        ASSERT_EQ(connect->ReadBLOB(id, &out), id);
        EXPECT_EQ(Content(out), c.read); // nothing of the old bytes stays
        EXPECT_EQ(out.Position(), 0);
        EXPECT_EQ(connect->DeleteBLOB(id), id);
    }
}

TEST(BlobOutcomes, ALockHeldByAnotherSessionRefusesWritingAndDeleting) {
    auto holder = Open(Shared());
    const int32_t id = holder->CreateBLOB("held");
    TMemoryStream original;
    Fill(original, "original");
    ASSERT_EQ(holder->WriteBLOB(id, &original), id);
    holder->Execute("l +" + Node(id));

    // Both wait out the server's 10-second lock time-out at the same time, each on its own
    // thread with its own connection.
    int32_t written = 0;
    int32_t deleted = 0;
    bool handlerCalled = false;
    TMemoryStream replacement;
    Fill(replacement, "replacement");
    replacement.SetPosition(3);
    std::thread writer([&] {
        auto connect = Open(Shared());
        connect->OnBlobWrite = [&](TObject*, TStream*&) { handlerCalled = true; };
        written = connect->WriteBLOB(id, &replacement);
    });
    std::thread deleter([&] {
        auto connect = Open(Shared());
        deleted = connect->DeleteBLOB(id);
    });
    writer.join();
    deleter.join();
    EXPECT_EQ(written, -1);
    EXPECT_EQ(deleted, -1);
    EXPECT_FALSE(handlerCalled);
    EXPECT_EQ(Content(replacement), "replacement");

    holder->Execute("l -" + Node(id));
    TMemoryStream back;
    ASSERT_EQ(holder->ReadBLOB(id, &back), id);
    EXPECT_EQ(Content(back), "original");
    EXPECT_EQ(holder->DeleteBLOB(id), id);
}

// A memory stream that takes no bytes.
class TRefusingStream : public TMemoryStream {
public:
    int32_t Write(const void*, int32_t) override { return 0; }
};

TEST(BlobOutcomes, FailuresLeaveTheLockFree) {
    auto connect = Open(Shared());
    auto other = Open(Shared());

    // A deleted BLOB has no header to read: an M error, and the stream keeps its bytes.
    const int32_t deleted = connect->CreateBLOB("gone");
    ASSERT_EQ(connect->DeleteBLOB(deleted), deleted);
    TMemoryStream kept;
    Fill(kept, "kept");
    EXPECT_THROW(connect->ReadBLOB(deleted, &kept), EMServerError);
    EXPECT_EQ(Content(kept), "kept");
    EXPECT_TRUE(Lockable(*other, deleted));

    // A header that promises a block the server does not hold.
    const int32_t missing = connect->CreateBLOB("missing");
    connect->Write(Node(missing), "m~2");
    connect->Write(Node(missing, "2"), "second");
    TMemoryStream out;
    EXPECT_THROW(connect->ReadBLOB(missing, &out), EMServerError);
    EXPECT_TRUE(Lockable(*other, missing));

    // A stream that takes no bytes.
    const int32_t refused = connect->CreateBLOB("refused");
    TMemoryStream some;
    Fill(some, "some bytes");
    ASSERT_EQ(connect->WriteBLOB(refused, &some), refused);
    TRefusingStream refusing;
    EXPECT_THROW(connect->ReadBLOB(refused, &refusing), EStreamError);
    EXPECT_TRUE(Lockable(*other, refused));

    // A write handler that leaves no stream: nothing is written.
    const int32_t unchanged = connect->CreateBLOB("unchanged");
    TMemoryStream first;
    Fill(first, "first");
    ASSERT_EQ(connect->WriteBLOB(unchanged, &first), unchanged);
    connect->OnBlobWrite = [](TObject*, TStream*& stream) { stream = nullptr; };
    TMemoryStream second;
    Fill(second, "second");
    EXPECT_THROW(connect->WriteBLOB(unchanged, &second), EStreamError);
    connect->OnBlobWrite = nullptr;
    EXPECT_TRUE(Lockable(*other, unchanged));
    TMemoryStream back;
    ASSERT_EQ(other->ReadBLOB(unchanged, &back), unchanged);
    EXPECT_EQ(Content(back), "first");

    for (int32_t id : {missing, refused, unchanged})
        EXPECT_EQ(connect->DeleteBLOB(id), id);
    EXPECT_EQ(connect->BusyCount(), 0);
}

std::string Reversed(std::string bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

TEST(BlobOutcomes, HandlersTransformWhatIsStoredAndWhatIsRead) {
    auto connect = Open(Shared());
    const std::string bytes = test::RandomBytes(3000, 23);
    const int32_t id = connect->CreateBLOB("transformed");

    // The write handler puts a reversed copy in place of the caller's stream.
    TMemoryStream mine;
    Fill(mine, bytes);
    TMemoryStream reversed;
    connect->OnBlobWrite = [&](TObject*, TStream*& stream) {
        EXPECT_EQ(stream, &mine);
        EXPECT_EQ(stream->Position(), 0);
        Fill(reversed, Reversed(Content(mine)));
        reversed.SetPosition(100); // the library writes from position 0 all the same
        mine.SetPosition(3);
        stream = &reversed;
    };
    ASSERT_EQ(connect->WriteBLOB(id, &mine), id);
    EXPECT_EQ(mine.Position(), 3); // as the handler left it
    EXPECT_EQ(reversed.Position(), 0);
    EXPECT_EQ(HeaderPiece(*connect, id, 3), "3000");
    EXPECT_TRUE(connect->Read(Node(id, "1")) == Reversed(bytes).substr(0, 2048));

    // The read handler turns the stored bytes round again, in a stream of its own.
    TMemoryStream target;
    TMemoryStream restored;
    connect->OnBlobRead = [&](TObject*, TStream*& stream) {
        Fill(restored, Reversed(Content(target)));
        stream = &restored;
    };
    ASSERT_EQ(connect->ReadBLOB(id, &target), id);
    EXPECT_TRUE(Content(target) == Reversed(bytes)); // what the server holds
    EXPECT_TRUE(Content(restored) == bytes);
    EXPECT_EQ(restored.Position(), 0);
    EXPECT_EQ(connect->DeleteBLOB(id), id);
}

} // namespace
} // namespace qdo
