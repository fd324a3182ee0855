// The library against the reference server over GT.M, through both faces.
#include "RawSession.h"
#include "SharedServer.h"
#include "capi/qdo.h"
#include "connect/Qdoconnect.h"
#include "protocol/Replies.h"
#include "support/Bytes.h"
#include "support/CountedText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace qdo {
namespace {

using test::LastError;
using test::SetText;
using test::Text;
using Clock = std::chrono::steady_clock;
using test::ServerProcess;
using test::ToHex;

using test::AllBytes;
using test::Open;
using test::Shared;

TEST(Server, RedirectHandshakeLogsOnWithASession) {
    auto connect = Open(Shared());
    EXPECT_TRUE(connect->Active());
    EXPECT_TRUE(connect->ActiveSession());
    EXPECT_NE(connect->Socket()->RemotePort(), std::to_string(Shared().Port()));
    EXPECT_EQ(connect->Read("1+2"), "3");
}

TEST(Server, InlineHandshakeServesTheFirstConnection) {
    ServerProcess inlineServer({"--inline"});
    auto connect = Open(inlineServer);
    EXPECT_TRUE(connect->Active());
    EXPECT_FALSE(connect->ActiveSession());
    EXPECT_EQ(connect->Socket()->RemotePort(), std::to_string(inlineServer.Port()));
    connect->Write("^Inline", "yes");
    EXPECT_EQ(connect->Read("^Inline"), "yes");
}

TEST(Server, BinaryValuesOfGlobalsAndLocals) {
    auto connect = Open(Shared());
    const std::string bytes = AllBytes();
    // Every count of subscripts that the fast path takes (none to eight); the evaluation of
    // $length and $data checks that each went where M itself puts it.
    for (const std::string name : {"^Bin(1,\"k\")", "bin(2)", "^Bin", "bin", "^Bin(1,\"k\",-2.5)",
                                   "bin(1,2,3,\"x\")", "^Bin(1,2,3,4,5,6,7,8)"}) {
        SCOPED_TRACE(name);
        connect->Write(name, bytes);
        EXPECT_EQ(ToHex(connect->Read(name)), ToHex(bytes));
        EXPECT_EQ(connect->Read("$length(" + name + ")"), "256");
        connect->Kill(name);
        EXPECT_EQ(connect->Read("$data(" + name + ")"), "0");
    }
    // A reference that is not plain takes the general path, with the same result.
    connect->Write("^Bin(1+1)", bytes);
    EXPECT_EQ(ToHex(connect->Read("^Bin(2)")), ToHex(bytes));
    connect->Kill("^Bin(1+1)");
    EXPECT_EQ(connect->Read("$data(^Bin(2))"), "0");
}

TEST(Server, LongValuesArriveInChunks) {
    auto connect = Open(Shared());
    std::vector<std::string> chunks;
    connect->OnGroupRead = [&](TObject*, const std::string& value, bool&) {
        chunks.push_back(value);
    };
    for (size_t size : {size_t{1}, size_t{32000}, size_t{32001}, size_t{1000000}}) {
        SCOPED_TRACE(size);
        std::string value(size, 'v');
        for (size_t i = 0; i < size; i += 997)
            value[i] = static_cast<char>(i % 256);
        connect->Write("^Long", value);
        chunks.clear();
        const std::string last = connect->Read("^Long");
        // Every chunk but the last goes to OnGroupRead; the last is the result.
        std::string whole;
        for (const auto& chunk : chunks) {
            EXPECT_EQ(chunk.size(), 32000u);
            whole += chunk;
        }
        EXPECT_EQ(last.size(), size % 32000 == 0 ? 32000 : size % 32000);
        whole += last;
        EXPECT_EQ(whole, value);
    }
    connect->Kill("^Long");
}

TEST(Server, ExecuteReturnsWhatTheLineWrites) {
    auto connect = Open(Shared());
    std::vector<std::string> chunks;
    connect->OnGroupRead = [&](TObject*, const std::string& value, bool&) {
        chunks.push_back(value);
    };
    EXPECT_EQ(connect->Execute("write \"a\",!,\"b\""), "a\nb");
    EXPECT_EQ(chunks, std::vector<std::string>{"a\nb"});
    EXPECT_EQ(connect->Execute("set ^Exec=1"), "");
    chunks.clear();
    const std::string big = connect->Execute("for i=1:1:10000 write \"0123456789\"");
    std::string whole;
    for (const auto& c : chunks)
        whole += c;
    EXPECT_EQ(whole.size(), 100000u);
    EXPECT_EQ(big, whole.substr(whole.size() - big.size()));
}

TEST(Server, OutputOfAnySizeFromAnyRequestNeverStallsTheJob) {
    // Output that a short request writes waits in the job's pipe (64 KiB) for the request's
    // end; a request that writes more than the pipe holds must be read from while it runs,
    // whatever the request: here a trigger's output during a plain set, which is dropped.
    auto connect = Open(Shared());
    connect->Execute("kill ^OutT if $ztrigger(\"item\",\"-^OutT(sub=*) -commands=S\")");
    connect->Execute("if $ztrigger(\"item\",\"+^OutT(sub=*) -commands=S -name=qdoOutT "
                     "-xecute=\"\"write $justify(1,200000) set ^OutT(sub,1)=1\"\"\")");
    for (int i = 0; i < 3; ++i) {
        connect->Write("^OutT(" + std::to_string(i) + ")", "x");
        EXPECT_EQ(connect->Read("^OutT(" + std::to_string(i) + ")"), "x");
        EXPECT_EQ(connect->Read("^OutT(" + std::to_string(i) + ",1)"), "1"); // it wrote
    }
    // The next request's output is its own, whole, however long.
    EXPECT_EQ(connect->Execute("write \"mine\""), "mine");
    EXPECT_EQ(connect->Execute("write $justify(1,1000000)").size(), 1000000u);
    connect->Execute("if $ztrigger(\"item\",\"-qdoOutT\") kill ^OutT");
}

TEST(Server, TerminalOutputStreamsWhileTheLineRuns) {
    auto connect = Open(Shared());
    std::vector<std::pair<std::string, Clock::time_point>> pieces;
    connect->OnTerminalOutput = [&](TObject*, const std::string& text) {
        pieces.emplace_back(text, Clock::now());
    };
    const auto start = Clock::now();
    EXPECT_EQ(connect->ExecuteTerminal("write \"first\",! hang 1 write \"second\",!"), "");
    const auto end = Clock::now();
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].first, "first\n");
    EXPECT_EQ(pieces[1].first, "second\n");
    // The first line arrived while the line still ran: before the pause was over.
    EXPECT_LT(pieces[0].second - start, std::chrono::milliseconds(800));
    EXPECT_GE(pieces[1].second - start, std::chrono::milliseconds(900));
    EXPECT_GE(end - pieces[0].second, std::chrono::milliseconds(500));
}

TEST(Server, GroupReadMatchesAWalkInM) {
    auto connect = Open(Shared());
    connect->Execute("kill ^Walk for i=1:1:20000 set ^Walk(i)=i*2");
    // Nodes at every depth, with and without data, subscripts of every kind.
    connect->Execute("set ^Walk(\"x\",\"y\")=\"deep\",^Walk=\"top\",^Walk(\"x\",\"y\",1)=\"d3\"");
    connect->Execute("set ^Walk(\"x\",\"z\",-2.5,\"a\"_$c(1)_\"b\")=\"neg\",^Walk(\"x\",0)=\"\"");
    // Elements of 254 bytes or more (a value, a reference), one of them on a node with
    // children: the walk takes these apart from the short leaves.
    connect->Execute("set ^Walk(\"x\",\"long\")=$justify(\"v\",300),^Walk(\"x\",\"long\",1)=1");
    connect->Execute(
        "set ^Walk(\"x\",$justify(\"k\",260))=\"far\",^Walk(\"x\",1)=$justify(\"\",254)");
    // What a group read of `root` hands over: "reference=value" for each node.
    const auto walkOf = [&](const std::string& root) {
        std::vector<std::string> chunks;
        connect->OnGroupRead = [&](TObject*, const std::string& value, bool&) {
            chunks.push_back(value);
        };
        chunks.push_back(connect->GroupRead(root));
        std::vector<std::string> pairs;
        for (const auto& chunk : chunks) {
            EXPECT_LE(chunk.size(), 32000u);
            TMList list;
            list.SetAllList(chunk);
            EXPECT_EQ(list.GetLength() % 2, 0);
            for (int32_t i = 1; i + 1 <= list.GetLength(); i += 2)
                pairs.push_back(list.GetList(i) + "=" + list.GetList(i + 1));
        }
        return pairs;
    };
    const std::vector<std::string> pairs = walkOf("^Walk");
    // The same walk, done in M: Execute hands every chunk of its output to OnGroupRead.
    std::string walk;
    connect->OnGroupRead = [&](TObject*, const std::string& value, bool&) { walk += value; };
    connect->Execute(
        "set r=\"^Walk\" write r,\"=\",@r,! for  set r=$query(@r) quit:r=\"\"  write r,\"=\",@r,!");
    std::vector<std::string> expected;
    for (size_t start = 0; start < walk.size();) {
        const size_t end = walk.find('\n', start);
        expected.push_back(walk.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(pairs.size(), 20009u);
    EXPECT_EQ(pairs.front(), "^Walk=top");
    EXPECT_EQ(pairs[1], "^Walk(1)=2");
    EXPECT_EQ(pairs.back(), "^Walk(\"x\",\"z\",-2.5,\"a\"_$C(1)_\"b\")=neg");
    EXPECT_EQ(pairs, expected);
    // A subtree below the top: the same nodes as in the whole walk.
    std::vector<std::string> below;
    for (const std::string& pair : pairs)
        if (pair.rfind("^Walk(\"x\",", 0) == 0)
            below.push_back(pair);
    EXPECT_EQ(walkOf("^Walk(\"x\")"), below);
    EXPECT_EQ(walkOf("^Walk(\"x\",\"y\")"),
              (std::vector<std::string>{"^Walk(\"x\",\"y\")=deep", "^Walk(\"x\",\"y\",1)=d3"}));
    EXPECT_TRUE(walkOf("^Walk(\"none\")").empty());
    connect->Kill("^Walk");
}

// The socket option TCP_NODELAY of `fd`: 1 when small sends go out at once.
int NoDelay(int fd) {
    int on = -1;
    socklen_t length = sizeof on;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length);
    return on;
}

TEST(Server, BothEndsOfASessionSendWithoutWaitingForAcknowledgements) {
    // A reply's small end frame after a chunk, or a request's last segment, must not wait for
    // the peer's delayed acknowledgement (some 40 ms a time): both ends turn Nagle off.
    auto connect = Open(Shared());
    const int mine = connect->Socket()->SocketHandle();
    EXPECT_EQ(NoDelay(mine), 1);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(getsockname(mine, reinterpret_cast<sockaddr*>(&local), &length), 0);

    // The job's end of this connection, taken from the job with pidfd_getfd.
    const pid_t job = std::stoi(connect->Read("$JOB"));
    const int process = static_cast<int>(syscall(SYS_pidfd_open, job, 0));
    if (process < 0)
        GTEST_SKIP() << "no pidfd_open here";
    int checked = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(job) + "/fd")) {
        const int theirs = static_cast<int>(
            syscall(SYS_pidfd_getfd, process, std::stoi(entry.path().filename().string()), 0));
        if (theirs < 0)
            continue;
        sockaddr_in peer{};
        length = sizeof peer;
        if (getpeername(theirs, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && peer.sin_port == local.sin_port) {
            EXPECT_EQ(NoDelay(theirs), 1);
            ++checked;
        }
        ::close(theirs);
    }
    ::close(process);
    if (checked == 0)
        GTEST_SKIP() << "may not take descriptors of another process here";
}

// What one receive of `fd` takes in, waiting at most 5 seconds for the first byte.
std::string ReceiveOnce(int fd) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 5000) != 1)
        return {};
    char bytes[65536];
    const ssize_t got = recv(fd, bytes, sizeof bytes, 0);
    return got > 0 ? std::string(bytes, static_cast<size_t>(got)) : std::string();
}

TEST(Server, AReplyOfOneChunkLeavesInOneSend) {
    // A client woken by a reply's first frame and again by its end marker pays two wake-ups
    // for one answer; a reply that fits one chunk goes out in one send, end marker included,
    // so the first receive of the client takes it whole.
    test::Fd job = test::LoggedOn(Shared());
    std::string ok;
    protocol::reply::AppendOk(ok);
    test::SendAll(job.get(), test::Request('x', "kill ^OneSend set ^OneSend(1)=\"v\""));
    ASSERT_EQ(test::ReadBytes(job.get(), ok.size()), ok);
    const auto element = [](const std::string& text) {
        return std::string(1, static_cast<char>(text.size() + 2)) + '\x01' + text;
    };
    std::string groupRead;
    protocol::request::WithList(groupRead, "fl:", element("^OneSend"));
    std::string oneNode, hello, value, block;
    protocol::reply::AppendChunk(oneNode, element("^OneSend(1)") + element("v"));
    protocol::reply::AppendValue(hello, "hello");
    protocol::reply::AppendValue(value, "v");
    // A BLOB's block of 2,048 bytes, as the library writes it (quotes doubled) and reads it.
    std::string bytes(2048, 'b');
    bytes[7] = '"';
    std::string quoted = bytes;
    quoted.insert(7, 1, '"');
    protocol::reply::AppendValue(block, bytes);
    const struct {
        const char* name;
        std::string request;
        std::string reply;
    } cases[] = {
        {"group read of one node", groupRead, oneNode},
        {"execute with output", test::Request('x', "write \"hello\""), hello},
        {"read", test::Request('r', "^OneSend(1)"), value},
        {"a BLOB's block written", test::Request('x', "d AddBLOBBlock(999999,\"" + quoted + "\")"),
         ""},
        {"a BLOB's block read", test::Request('r', "^BLOB(999999,1)"), block},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reply = c.reply;
        protocol::reply::AppendOk(reply);
        for (int round = 0; round < 20; ++round) {
            test::SendAll(job.get(), c.request);
            ASSERT_EQ(ToHex(ReceiveOnce(job.get())), ToHex(reply)) << "round " << round;
        }
    }
    test::SendAll(job.get(), test::Request('x', "kill ^OneSend,^BLOB(999999)"));
    EXPECT_EQ(test::ReadBytes(job.get(), ok.size()), ok);
}

TEST(Server, MErrorsAreReportedAndTheSessionGoesOn) {
    auto connect = Open(Shared());
    const struct {
        const char* line;
        const char* text;
    } cases[] = {
        {"write 1/0", "%GTM-E-DIVZERO"},       {"write ^NoSuchGlobal", "%GTM-E-GVUNDEF"},
        {"write noSuchLocal", "%GTM-E-UNDEF"}, {"write \"unclosed", "%GTM-E-"},
        {"set $ecode=\",UZBRKF,\"", "ZBRKF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        try {
            connect->Execute(c.line);
            ADD_FAILURE() << "no exception";
        } catch (const EMConnectError& e) {
            EXPECT_EQ(e.Message().rfind("Internal server error: '<ERROR>", 0), 0u) << e.Message();
            EXPECT_NE(e.Message().find(c.text), std::string::npos) << e.Message();
        }
        EXPECT_TRUE(connect->Active());
        EXPECT_EQ(connect->Read("6*7"), "42");
    }
    connect->SetRaiseBreakFlowError(false);
    EXPECT_NE(connect->Execute("set $ecode=\",UZBRKF,\"").find("ZBRKF"), std::string::npos);
    EXPECT_THROW(connect->Read("^NoSuchGlobal(1)"), EMConnectError);
    EXPECT_THROW(connect->Execute("zn \"NOWHERE\""), EMConnectError);
}

TEST(Server, NamespacesKeepTheirDataApart) {
    auto connect = Open(Shared(), "USER");
    connect->Write("^Place", "user");
    connect->Execute("zn \"%SYS\"");
    EXPECT_EQ(connect->Read("$data(^Place)"), "0");
    connect->Write("^Place", "sys");
    connect->Execute("ZNSPACE \"user\"");
    EXPECT_EQ(connect->Read("^Place"), "user");
    connect->Execute("zn \"%SYS\"");
    EXPECT_EQ(connect->Read("^Place"), "sys");
    connect->Kill("^Place");
    connect->Execute("zn \"USER\"");
    connect->Kill("^Place");
}

TEST(Server, TwoClientsSeeEachOthersGlobals) {
    auto one = Open(Shared());
    auto two = Open(Shared());
    one->Write("^Shared", "from one");
    EXPECT_EQ(two->Read("^Shared"), "from one");
    two->Write("^Shared", "from two");
    EXPECT_EQ(one->Read("^Shared"), "from two");
    one->Kill("^Shared");
}

// The flat interface, against the same server.
std::vector<std::string> flatChunks;
void RecordChunk(QDOHandle, const QDOString* chunk) {
    flatChunks.emplace_back(chunk->Data, chunk->Length);
}
std::vector<std::string> flatOutput;
void RecordOutput(QDOHandle, const QDOString* text) {
    flatOutput.emplace_back(text->Data, text->Length);
}

TEST(Server, TheFlatInterface) {
    QDOHandle handle = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    ASSERT_EQ(QDOConnectOpen(handle), 1);
    QDOSetGroupRead(handle, RecordChunk);
    QDOSetOutput(handle, RecordOutput);
    static QDOString name, value, out, error;
    SetText(name, "^Flat(\"all\")");
    SetText(value, AllBytes());
    EXPECT_EQ(QDOWrite(handle, &name, &value), 1);
    EXPECT_EQ(QDORead(handle, &name, &out), 1);
    EXPECT_EQ(ToHex(std::string(out.Data, out.Length)), ToHex(AllBytes()));

    // 32001 bytes: one chunk to the callback, one byte as the result.
    SetText(name, "^Flat(\"long\")");
    SetText(value, "s ^Flat(\"long\")=$translate($justify(\"\",32001),\" \",\"z\")");
    EXPECT_EQ(QDOExecute(handle, &value), 1);
    flatChunks.clear();
    EXPECT_EQ(QDORead(handle, &name, &out), 1);
    EXPECT_EQ(std::string(out.Data, out.Length), "z");
    ASSERT_EQ(flatChunks.size(), 1u);
    EXPECT_EQ(flatChunks[0], std::string(32000, 'z'));

    SetText(value, "write \"out\",!");
    EXPECT_EQ(QDOExecuteOutput(handle, &value), 1);
    EXPECT_EQ(flatOutput, std::vector<std::string>{"out\n"});

    SetText(value, "write 1/0");
    EXPECT_EQ(QDOExecute(handle, &value), 0);
    QDOGetLastError(handle, &error);
    const std::string message(error.Data, error.Length);
    EXPECT_NE(message.find("Internal server error: '<ERROR>:,M9,"), std::string::npos) << message;
    SetText(name, "^Flat");
    EXPECT_EQ(QDOKill(handle, &name), 1);
    EXPECT_EQ(QDOConnectClose(handle), 1);
    QDODestroyConnect(handle);
}

} // namespace
} // namespace qdo
