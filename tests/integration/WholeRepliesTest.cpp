// Against qdo-server: every reply whole and right or a clear error. Long values come back
// whole; a stopped or failed reply leaves the connection in step; requests cannot overlap;
// opening a session never hangs; M literals evaluate back on the server; M errors say what
// they are.
#include "SharedServer.h"
#include "capi/qdo.h"
#include "encodings/Mutils.h"
#include "support/CountedText.h"
#include "support/Loopback.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace qdo {
namespace {

using test::LastError;
using test::SetText;
using test::Text;
using Clock = std::chrono::steady_clock;
using test::Open;
using test::Shared;

// `size` bytes in which every byte value occurs (from 256 bytes on), in no simple order.
std::string ValueOf(size_t size) {
    std::string value(size, '\0');
    for (size_t i = 0; i < size; ++i)
        value[i] = static_cast<char>((i * 131 + i / 256) % 256);
    return value;
}

TEST(WholeReplies, ValuesOfEverySizeReadBackWhole) {
    auto connect = Open(Shared());
    QDOHandle flat = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    ASSERT_EQ(QDOConnectOpen(flat), 1) << LastError(flat);
    static QDOString name, out;
    SetText(name, "^Size");
    for (size_t size : {size_t{0}, size_t{1}, size_t{32000}, size_t{32001}, size_t{32768},
                        size_t{32769}, size_t{65535}, size_t{1000000}}) {
        SCOPED_TRACE(size);
        const std::string value = ValueOf(size);
        connect->Write("^Size", value);
        EXPECT_TRUE(connect->Read("^Size") == value);
        EXPECT_TRUE(connect->Execute("write ^Size") == value);
        EXPECT_EQ(connect->Read("$length(^Size)"), std::to_string(size));

        out.Length = 1;
        if (size <= QDO_STRING_MAX) {
            ASSERT_EQ(QDORead(flat, &name, &out), 1) << LastError(flat);
            EXPECT_TRUE(Text(out) == value);
        } else {
            EXPECT_EQ(QDORead(flat, &name, &out), 0);
            EXPECT_EQ(out.Length, 1); // untouched: never a part of the value
            EXPECT_NE(LastError(flat).find(std::to_string(size) + " bytes long"), std::string::npos)
                << LastError(flat);
        }
    }
    connect->Kill("^Size");
    QDODestroyConnect(flat);
}

TEST(WholeReplies, AGroupReadOfManyChunksJoinsIntoOneList) {
    auto connect = Open(Shared());
    connect->Execute("kill ^Many for i=1:1:300 set ^Many(i)=$justify(i,1000)");
    const std::string joined = connect->GroupRead("^Many");
    EXPECT_GT(joined.size(), 32000u * 9); // ten chunks or so
    TMList list;
    list.SetAllList(joined);
    ASSERT_EQ(list.GetLength(), 600);
    for (int32_t i = 1; i <= 300; ++i) {
        ASSERT_EQ(list.GetList(2 * i - 1), "^Many(" + std::to_string(i) + ")");
        std::string expected = std::to_string(i);
        expected.insert(0, 1000 - expected.size(), ' ');
        ASSERT_EQ(list.GetList(2 * i), expected);
    }
    connect->Kill("^Many");
}

TEST(WholeReplies, AStoppedGroupReadLeavesTheNextReadItsOwnValue) {
    auto connect = Open(Shared());
    connect->Execute("kill ^Stop for i=1:1:100000 set ^Stop(i)=\"value\"_i");
    connect->Write("^Own", "mine");
    int handed = 0;
    connect->OnGroupRead = [&](TObject*, const std::string&, bool& more) {
        ++handed;
        more = false;
    };
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        handed = 0;
        const std::string stopped = connect->GroupRead("^Stop");
        EXPECT_EQ(handed, 1);
        EXPECT_EQ(stopped.rfind("<GO ON>:", 0), 0u); // the reply at which it stopped
        EXPECT_EQ(connect->Read("^Own"), "mine");
    }
    connect->OnGroupRead = nullptr;
    connect->Execute("kill ^Stop,^Own");
}

TEST(WholeReplies, AFailedHandlerLeavesTheNextRequestRight) {
    auto connect = Open(Shared());
    connect->Execute("kill ^Fail for i=1:1:20000 set ^Fail(i)=i");
    connect->OnGroupRead = [](TObject*, const std::string&, bool&) {
        throw Exception("the application failed");
    };
    EXPECT_THROW(connect->GroupRead("^Fail"), Exception);
    connect->OnGroupRead = nullptr;
    EXPECT_EQ(connect->Read("^Fail(7)"), "7");

    int pieces = 0;
    connect->OnTerminalOutput = [&](TObject*, const std::string&) {
        ++pieces;
        throw Exception("the display failed");
    };
    EXPECT_THROW(connect->ExecuteTerminal("for i=1:1:5000 write i,! hang:i=1 0.1"), Exception);
    EXPECT_EQ(pieces, 1);
    EXPECT_EQ(connect->Execute("write \"after\""), "after");
    EXPECT_TRUE(connect->Active());
    connect->Kill("^Fail");
}

TEST(WholeReplies, ARequestFromInsideAHandlerIsRefused) {
    auto connect = Open(Shared());
    connect->Write("^Inner", "inner");
    std::string refusal;
    std::string shown;
    connect->OnTerminalOutput = [&](TObject*, const std::string& text) {
        shown += text;
        if (!refusal.empty())
            return;
        try {
            connect->Read("^Inner");
        } catch (const EMConnectError& e) {
            refusal = e.Message();
            EXPECT_EQ(e.ErrorCode, ceBusy);
        }
    };
    EXPECT_EQ(connect->ExecuteTerminal("write \"x\",! write ^Inner"), "");
    EXPECT_EQ(shown, "x\ninner");
    EXPECT_NE(refusal.find("busy"), std::string::npos) << refusal;
    EXPECT_EQ(connect->Read("^Inner"), "inner");
    connect->Kill("^Inner");
}

TEST(WholeReplies, TwoThreadsOnOneConnectionGetAClearErrorAndNoWrongValue) {
    auto connect = Open(Shared());
    connect->Write("^T(1)", std::string(40000, 'a'));
    connect->Write("^T(2)", std::string(50000, 'b'));
    std::atomic<int> refused = 0;
    std::atomic<int> wrong = 0;
    std::atomic<int> read = 0;
    auto work = [&](const std::string& node, const std::string& expected) {
        for (int i = 0; i < 300; ++i) {
            try {
                if (connect->Read(node) != expected)
                    ++wrong;
                ++read;
            } catch (const EMConnectError& e) {
                if (e.ErrorCode == ceBusy)
                    ++refused;
                else
                    ++wrong;
            }
        }
    };
    std::thread one(work, "^T(1)", std::string(40000, 'a'));
    std::thread two(work, "^T(2)", std::string(50000, 'b'));
    one.join();
    two.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(read + refused, 600);
    EXPECT_GT(read, 0);
    EXPECT_TRUE(connect->Active());
    EXPECT_EQ(connect->Read("$length(^T(2))"), "50000");
    connect->Kill("^T");
}

TEST(WholeReplies, OpeningASessionWithWhatIsNoServerFailsInTime) {
    test::Listener silent; // accepts and never speaks
    test::ScriptedPeer banner({test::ScriptedPeer::Send("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"),
                               test::ScriptedPeer::Pause(3000)});
    const struct {
        const char* what;
        int port;
        int32_t code;
        int limitMs;
    } cases[] = {
        {"a peer that never answers", silent.Port(), QDO_ERROR_TIME_OUT, 1500 + 1000},
        {"a peer that speaks another protocol", banner.PortNumber(), QDO_ERROR_BAD_FORMAT, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QDOHandle handle = QDOCreateConnect("127.0.0.1", c.port, "USER");
        ASSERT_EQ(QDOSetTimeOut(handle, 1500), 1);
        const auto start = Clock::now();
        EXPECT_EQ(QDOConnectOpen(handle), 0);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(c.limitMs));
        EXPECT_EQ(QDOGetLastErrorCode(handle), c.code) << LastError(handle);
        QDODestroyConnect(handle);
    }
}

TEST(WholeReplies, MLiteralsEvaluateBackOnTheServer) {
    auto connect = Open(Shared());
    const std::string all = test::AllBytes();
    EXPECT_TRUE(connect->Read(MText(all)) == all);
    for (int byte = 0; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        ASSERT_EQ(connect->Read(MText(one)), one) << byte;
    }
    std::string run;
    for (size_t length = 1; length <= 1000; ++length) {
        run += static_cast<char>(length % 32);
        ASSERT_TRUE(connect->Read(MText(run)) == run) << length;
        ASSERT_TRUE(connect->Read(MText("x" + run + "\"")) == "x" + run + "\"") << length;
    }
    EXPECT_TRUE(connect->Read(StrToCharStr(all + all)) == all + all);
}

TEST(WholeReplies, ARequestDeadlineEndsALongRequest) {
    auto connect = Open(Shared());
    connect->SetRequestDeadline(500);
    EXPECT_EQ(connect->Read("1+1"), "2"); // a quick request is untouched
    const auto start = Clock::now();
    try {
        connect->Execute("hang 3");
        ADD_FAILURE() << "no time-out";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceTimeOut) << e.Message();
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_FALSE(connect->Active()); // the rest of the reply may still come: closed
    auto next = Open(Shared());
    EXPECT_EQ(next->Read("2+2"), "4");
}

TEST(WholeReplies, MErrorsSayWhatTheyAre) {
    auto connect = Open(Shared());
    try {
        connect->Execute("write 1/0");
        ADD_FAILURE() << "no error";
    } catch (const EMServerError& e) {
        EXPECT_EQ(e.ErrorCode, ceServerError);
        EXPECT_NE(e.ErrorCode, ceNoJob);
        EXPECT_NE(e.ECode.find("M9"), std::string::npos) << e.ECode;
        EXPECT_NE(e.ServerText.find("DIVZERO"), std::string::npos) << e.ServerText;
    }
    // A failed write of a value too long for GT.M quotes a few hundred bytes of it, not all.
    const std::string huge(1500000, 'h');
    try {
        connect->Write("^Huge", huge);
        ADD_FAILURE() << "no error";
    } catch (const EMConnectError& e) {
        EXPECT_LT(e.Message().size(), 2000u);
        EXPECT_NE(e.Message().find("bytes in all"), std::string::npos);
    }
    EXPECT_EQ(connect->Read("$data(^Huge)"), "0");

    QDOHandle flat = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    ASSERT_EQ(QDOConnectOpen(flat), 1) << LastError(flat);
    static QDOString line, code;
    SetText(line, "write ^NoSuchGlobal");
    EXPECT_EQ(QDOExecute(flat, &line), 0);
    EXPECT_EQ(QDOGetLastErrorCode(flat), QDO_ERROR_SERVER);
    QDOGetLastServerError(flat, &code);
    EXPECT_NE(Text(code).find("M7"), std::string::npos) << Text(code);
    const std::string message = LastError(flat);
    EXPECT_NE(message.find("GVUNDEF"), std::string::npos);
    // The reply's NUL is written out, and what follows it comes through too.
    EXPECT_NE(message.find("_$C(0)_' while executing"), std::string::npos) << message;
    QDODestroyConnect(flat);
}

} // namespace
} // namespace qdo
