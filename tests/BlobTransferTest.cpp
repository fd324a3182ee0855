// BLOB transfer on the wire, against a scripted job: the requests of a create, a write of two
// blocks, a read of two blocks and a delete, byte for byte, each inside its lock and unlock
// lines; and the one failure that a real server cannot be made to give (an unlock that fails).
// What BLOBs do is tested against qdo-server: integration/BlobOutcomesTest.cpp.
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
    // Every byte value: a double quote among them, which doubles.
    const std::string bytes = AllBytes(2049);
    BlobJob job(Lock(7, true) +
                Sequence{X("d ClearBLOB(7,0)"), X(BlockLine(7, Quoted(bytes.substr(0, 2048)))),
                         X(BlockLine(7, Quoted(bytes.substr(2048))))} +
                Closing(7));
    TMemoryStream stream = StreamOf(bytes);
    EXPECT_EQ(job.connect.WriteBLOB(7, &stream), 7);
    job.Check();
}

TEST(BlobTransfer, ReadingAsksForTheHeaderAndEachBlock) {
    const std::string block1 = AllBytes(2048);
    BlobJob job(Lock(7, true) +
                Sequence{R("^BLOB(7)", "pic~2~2053~x"), R("^BLOB(7,1)", block1),
                         R("^BLOB(7,2)", "tail" + Nul)} +
                Closing(7));
    TMemoryStream stream;
    EXPECT_EQ(job.connect.ReadBLOB(7, &stream), 7);
    EXPECT_EQ(ToHex(stream.DataString()), ToHex(block1 + "tail" + Nul));
    job.Check();
}

TEST(BlobTransfer, DeletingUsesTheWholeSessionIdentifier) {
    BlobJob job(Lock(9, true, true) + Sequence{X("d DeleteBLOB(9)")} + Closing(9, true));
    EXPECT_EQ(job.connect.DeleteBLOB(9), 9);
    job.Check();
}

TEST(BlobTransfer, TheUnlocksFailureReplacesAnEarlierOne) {
    const std::string error = "<ERROR>boom" + Nul;
    BlobJob job(Lock(7, true) + Sequence{R("^BLOB(7)", "p~2"),
                                         {OneArgument('r', "^BLOB(7,1)"), error},
                                         X("l -^BLOB(7)", "<ERROR>second" + Nul)});
    TMemoryStream stream;
    try {
        job.connect.ReadBLOB(7, &stream);
        ADD_FAILURE() << "no exception";
    } catch (const EMServerError& e) {
        EXPECT_NE(e.Message().find("second"), std::string::npos) << e.Message();
    }
    job.Check();
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
