// BLOB transfer against a scripted job: every request of each sequence byte for byte (the lock,
// the blocks, the closing steps), stream positions and replacement, a refused lock, and failures
// that still send the unlock.
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::AcceptInline;
using test::LogonSteps;
using test::Nul;
using test::OneArgument;
using test::OpenOn;
using test::Redirect;
using test::ScriptedPeer;
using test::ToHex;
using Step = ScriptedPeer::Step;

std::string Value(const std::string& value) {
    return test::Chunk(value) + test::Ok;
}

// One request of a sequence and the reply the job gives it.
struct Exchange {
    std::string request;
    std::string reply;
};

Exchange X(const std::string& line, const std::string& reply = test::Ok) {
    return {OneArgument('x', line), reply};
}
Exchange R(const std::string& expression, const std::string& value) {
    return {OneArgument('r', expression), Value(value)};
}
Exchange W(const std::string& name, const std::string& value) {
    return {OneArgument('w', name) + std::to_string(value.size()) + Nul + value, test::Ok};
}
Exchange K(const std::string& name) {
    return {OneArgument('k', name), test::Ok};
}

using Sequence = std::vector<Exchange>;

Sequence operator+(Sequence a, const Sequence& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The session identifier as the client stores it: "S1" and the NUL that ended the logon reply.
// Reading and writing name the lock variable without that NUL, deleting with it.
const std::string readWriteLock = "LockResult(\"S1\")";
const std::string deleteLock = "LockResult(\"S1" + Nul + "\")";

// Set the lock variable, lock ^BLOB(id), read the outcome (0 granted, -1 not).
Sequence Lock(int id, bool granted, bool deleting = false) {
    const std::string& v = deleting ? deleteLock : readWriteLock;
    const std::string header = "^BLOB(" + std::to_string(id) + ")";
    return {deleting ? X("s " + v + "=0") : W(v, "0"), X("l +" + header + ":10 e  s " + v + "=-1"),
            R(v, granted ? "0" : "-1")};
}

// Kill the lock variable, unlock.
Sequence Closing(int id, bool deleting = false) {
    return {K(deleting ? deleteLock : readWriteLock), X("l -^BLOB(" + std::to_string(id) + ")")};
}

std::string BlockLine(int id, const std::string& quoted) {
    return "d AddBLOBBlock(" + std::to_string(id) + ",\"" + quoted + "\")";
}

// A connection logged on as session "S1" at a job that expects `sequence` exactly and closes
// the connection after it, so that a request too many fails rather than waits.
class BlobJob {
public:
    explicit BlobJob(const Sequence& sequence)
        : sequence_(sequence), job_(Script(sequence)), listener_({Redirect(job_, "tok")}) {
        OpenOn(connect, listener_);
        connect.OnGroupRead = [this](TObject*, const std::string&, bool&) { ++handed_; };
    }

    // Every request was as expected, and every Execute that succeeded handed its reply to
    // OnGroupRead once.
    void Check() {
        ASSERT_TRUE(job_.WaitForScript());
        EXPECT_TRUE(job_.Failures().empty()) << job_.Failures()[0];
        size_t executes = 0;
        for (const Exchange& e : sequence_)
            executes += e.request[0] == 'x' && e.reply.rfind("<ERROR>", 0) != 0 ? 1 : 0;
        EXPECT_EQ(handed_, executes);
        EXPECT_EQ(connect.BusyCount(), 0);
    }

private:
    static std::vector<Step> Script(const Sequence& sequence) {
        std::vector<Step> script = LogonSteps("tok", "S1");
        for (const Exchange& e : sequence) {
            script.push_back(ScriptedPeer::Expect(e.request));
            script.push_back(ScriptedPeer::Send(e.reply));
        }
        script.push_back(ScriptedPeer::Close());
        return script;
    }

    Sequence sequence_;
    ScriptedPeer job_;
    ScriptedPeer listener_;
    size_t handed_ = 0;

public:
    TQdoConnect connect; // goes before the peers
};

TMemoryStream StreamOf(const std::string& bytes) {
    TMemoryStream stream;
    if (!bytes.empty())
        stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    return stream;
}

// Every byte value, over and over.
std::string AllBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

std::string Quoted(const std::string& bytes) {
    std::string out;
    for (char c : bytes)
        out += c == '"' ? std::string(2, '"') : std::string(1, c);
    return out;
}

TEST(BlobTransfer, WritingSendsTheStreamInQuotedBlocksOf2048) {
    const std::string bytes2049 = AllBytes(2049);
    const struct {
        const char* what;
        std::string content;
        std::vector<std::string> blocks; // quoted
    } cases[] = {
        {"an empty stream: the clear line and no block", "", {}},
        {"2049 bytes: 2048 and 1",
         bytes2049,
         {Quoted(bytes2049.substr(0, 2048)), Quoted(bytes2049.substr(2048))}},
        {"a block of double quotes doubles", std::string(2048, '"'), {std::string(4096, '"')}},
        {"a, quote, b", "a\"b", {"a\"\"b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sequence blocks{X("d ClearBLOB(7,0)")};
        for (const std::string& block : c.blocks)
            blocks.push_back(X(BlockLine(7, block)));
        BlobJob job(Lock(7, true) + blocks + Closing(7));
        TMemoryStream stream = StreamOf(c.content);
        stream.SetPosition(stream.Size()); // the whole stream is sent wherever it stands
        EXPECT_EQ(job.connect.WriteBLOB(7, &stream), 7);
        EXPECT_EQ(stream.Position(), 0);
        job.Check();
    }
}

TEST(BlobTransfer, ReadingFillsTheStreamWithTheBlobAndNothingElse) {
    const std::string block1 = AllBytes(2048);
    const struct {
        const char* what;
        std::string header;
        std::vector<std::string> blocks;
        std::string before; // the stream's content before the read
    } cases[] = {
        {"two blocks into an empty stream", "pic~2~2100~x", {block1, "tail" + Nul}, ""},
        {"into a longer stream, which is cut", "pic~1", {"abc"}, std::string(5000, 'z')},
        {"a block longer than 2048 bytes is taken whole", "pic~1", {std::string(3000, 'L')}, ""},
        {"0 blocks into a stream that holds bytes", "pic~0~0", {}, "old bytes"},
        {"a header without its block count", "pic", {}, "old bytes"},
        {"a block count that is not a number", "pic~two", {}, "old bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sequence reads{R("^BLOB(7)", c.header)};
        std::string content;
        for (size_t k = 0; k < c.blocks.size(); ++k) {
            reads.push_back(R("^BLOB(7," + std::to_string(k + 1) + ")", c.blocks[k]));
            content += c.blocks[k];
        }
        BlobJob job(Lock(7, true) + reads + Closing(7));
        TMemoryStream stream = StreamOf(c.before);
        int64_t positionInHandler = -1;
        job.connect.OnBlobRead = [&](TObject*, TStream*& s) {
            positionInHandler = s->Position();
            EXPECT_EQ(job.connect.BusyCount(), 1); // still inside the locked sequence
            s->SetPosition(2);
        };
        EXPECT_EQ(job.connect.ReadBLOB(7, &stream), 7);
        EXPECT_EQ(ToHex(stream.DataString()), ToHex(content));
        EXPECT_EQ(positionInHandler, 0);
        EXPECT_EQ(stream.Position(), 0);
        job.Check();
    }
}

TEST(BlobTransfer, DeletingUsesTheWholeSessionIdentifier) {
    BlobJob job(Lock(9, true, true) + Sequence{X("d DeleteBLOB(9)")} + Closing(9, true));
    EXPECT_EQ(job.connect.DeleteBLOB(9), 9);
    job.Check();
}

TEST(BlobTransfer, ARefusedLockDoesNothingButClose) {
    const struct {
        const char* what;
        bool deleting;
        std::function<int32_t(TQdoConnect&, TStream*)> call;
        int64_t position; // of the stream afterwards: writing always rewinds
    } cases[] = {
        {"delete", true, [](TQdoConnect& c, TStream*) { return c.DeleteBLOB(3); }, 2},
        {"read", false, [](TQdoConnect& c, TStream* s) { return c.ReadUncompressedBLOB(3, s); }, 2},
        {"write", false, [](TQdoConnect& c, TStream* s) { return c.WriteUncompressedBLOB(3, s); },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BlobJob job(Lock(3, false, c.deleting) + Closing(3, c.deleting));
        bool handlerCalled = false;
        job.connect.OnBlobRead = [&](TObject*, TStream*&) { handlerCalled = true; };
        job.connect.OnBlobWrite = [&](TObject*, TStream*&) { handlerCalled = true; };
        TMemoryStream stream = StreamOf("keep");
        stream.SetPosition(2);
        EXPECT_EQ(c.call(job.connect, &stream), -1);
        EXPECT_FALSE(handlerCalled);
        EXPECT_EQ(stream.DataString(), "keep");
        EXPECT_EQ(stream.Position(), c.position);
        job.Check();
    }
}

TEST(BlobTransfer, HandlersMayPutAnotherStreamInPlace) {
    TMemoryStream other = StreamOf("other");
    {
        BlobJob job(Lock(5, true) + Sequence{X("d ClearBLOB(5,0)"), X(BlockLine(5, "other"))} +
                    Closing(5));
        TMemoryStream mine = StreamOf("mine");
        job.connect.OnBlobWrite = [&](TObject*, TStream*& s) {
            EXPECT_EQ(s, &mine);
            EXPECT_EQ(s->Position(), 0);
            s->SetPosition(3);
            s = &other;
        };
        other.SetPosition(1);
        EXPECT_EQ(job.connect.WriteBLOB(5, &mine), 5);
        EXPECT_EQ(mine.Position(), 3); // as the handler left it
        EXPECT_EQ(other.Position(), 0);
        job.Check();
    }
    {
        BlobJob job(Lock(5, true) + Sequence{R("^BLOB(5)", "n~1"), R("^BLOB(5,1)", "xyz")} +
                    Closing(5));
        TMemoryStream mine;
        TMemoryStream transformed;
        job.connect.OnBlobRead = [&](TObject*, TStream*& s) {
            transformed.CopyFrom(*s, 0);
            s = &transformed;
        };
        EXPECT_EQ(job.connect.ReadBLOB(5, &mine), 5);
        EXPECT_EQ(mine.DataString(), "xyz");
        EXPECT_EQ(transformed.DataString(), "xyz");
        EXPECT_EQ(transformed.Position(), 0);
        job.Check();
    }
}

// A memory stream whose reads return at most 100 bytes, and whose writes can be made to fail.
class TTrickleStream : public TMemoryStream {
public:
    int32_t Read(void* buffer, int32_t count) override {
        return TMemoryStream::Read(buffer, std::min(count, 100));
    }
    int32_t Write(const void* buffer, int32_t count) override {
        return refuseWrites ? 0 : TMemoryStream::Write(buffer, count);
    }
    bool refuseWrites = false;
};

TEST(BlobTransfer, StreamsThatReadLittleAtATimeStillFillWholeBlocks) {
    const std::string bytes = std::string(2048, 'a') + "b";
    BlobJob job(Lock(4, true) +
                Sequence{X("d ClearBLOB(4,0)"), X(BlockLine(4, std::string(2048, 'a'))),
                         X(BlockLine(4, "b"))} +
                Closing(4));
    TTrickleStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(job.connect.WriteBLOB(4, &stream), 4);
    job.Check();
}

TEST(BlobTransfer, FailuresSkipTheKillButStillUnlock) {
    const std::string error = "<ERROR>boom" + Nul;
    const Sequence twoBlocks{R("^BLOB(7)", "p~2")};
    const Exchange unlock = X("l -^BLOB(7)");
    const struct {
        const char* what;
        Sequence sequence;
        std::function<int32_t(TQdoConnect&, TTrickleStream&)> call;
        std::string message; // part of the failure's message
    } cases[] = {
        {"a server error reading a block",
         Lock(7, true) + twoBlocks + Sequence{{OneArgument('r', "^BLOB(7,1)"), error}, unlock},
         [](TQdoConnect& c, TTrickleStream& s) { return c.ReadBLOB(7, &s); }, "boom"},
        {"the unlock's failure replaces the first",
         Lock(7, true) + twoBlocks +
             Sequence{{OneArgument('r', "^BLOB(7,1)"), error},
                      X("l -^BLOB(7)", "<ERROR>second" + Nul)},
         [](TQdoConnect& c, TTrickleStream& s) { return c.ReadBLOB(7, &s); }, "second"},
        {"a stream that takes no bytes",
         Lock(7, true) + twoBlocks + Sequence{R("^BLOB(7,1)", "abc"), unlock},
         [](TQdoConnect& c, TTrickleStream& s) {
             s.refuseWrites = true;
             return c.ReadBLOB(7, &s);
         },
         "Stream write error"},
        {"a write handler that leaves no stream", Lock(7, true) + Sequence{unlock},
         [](TQdoConnect& c, TTrickleStream& s) {
             c.OnBlobWrite = [](TObject*, TStream*& stream) { stream = nullptr; };
             return c.WriteBLOB(7, &s);
         },
         "OnBlobWrite left no stream"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BlobJob job(c.sequence);
        TTrickleStream stream;
        try {
            c.call(job.connect, stream);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_NE(e.Message().find(c.message), std::string::npos) << e.Message();
        }
        job.Check();
    }
}

TEST(BlobTransfer, CreateAndNullStreams) {
    const std::string create = OneArgument('r', "$$CreateBLOB(\"pic\")");
    // A name is sent as an M literal: its quotes cannot end it early.
    const std::string quoted = OneArgument('r', "$$CreateBLOB(\"a\"\"),1,\"\"\")");
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(create),
                       ScriptedPeer::Send(Value("12")), ScriptedPeer::Expect(create),
                       ScriptedPeer::Send(Value("no id")), ScriptedPeer::Expect(quoted),
                       ScriptedPeer::Send(Value("13"))});
    TQdoConnect connect;
    OpenOn(connect, peer);
    EXPECT_EQ(connect.CreateBLOB("pic"), 12);
    EXPECT_EQ(connect.CreateBLOB("pic"), 0);
    EXPECT_EQ(connect.CreateBLOB("a\"),1,\""), 13);
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];

    EXPECT_THROW(connect.ReadBLOB(1, nullptr), EStreamError);
    EXPECT_THROW(connect.WriteBLOB(1, nullptr), EStreamError);
    EXPECT_EQ(connect.BusyCount(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ToHex(peer.Received()), ToHex(create + create + quoted)); // nothing more
}

} // namespace
} // namespace qdo
