// What a flat handle is to its caller: the value every one of its functions receives back, and
// not its connection's Tag, which stays the application's.
#include "capi/FlatHandle.h"
#include "capi/qdo.h"
#include "support/Connection.h"
#include "support/CountedText.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::LastError;
using test::Nul;
using test::OneArgument;
using test::ScriptedPeer;
using test::SetText;
using test::Text;

// Which function was called with which handle, and what the handle's last error code was when
// the function asked for it through the handle it received.
struct TCall {
    std::string what;
    QDOHandle handle;
    int32_t lastErrorCode;
    bool operator==(const TCall&) const = default;
};
void PrintTo(const TCall& call, std::ostream* os) {
    *os << call.what << " (handle " << call.handle << ", last error code " << call.lastErrorCode
        << ")";
}
std::vector<TCall> calls;

void Record(const std::string& what, QDOHandle handle) {
    calls.push_back({what, handle, QDOGetLastErrorCode(handle)});
}

std::string EventList(const std::string& name, const std::string& params) {
    TMList list;
    list.SetList(1, name);
    list.SetList(2, params);
    return list.AllList();
}

TEST(FlatHandle, EveryFunctionReceivesTheHandleItWasSetOn) {
    const std::string event = EventList("e", "p");
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
                       ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('r', "1")),
                       // An event (identifier 0: not acknowledged) and a callback request
                       // during the request, then two chunks: the first for the group read.
                       ScriptedPeer::Send("<ONMSGCALLBACK>0:" + std::to_string(event.size()) + Nul +
                                          event + "<CALLBACK>1:3" + Nul + "ask"),
                       ScriptedPeer::Expect("c" + Nul + "1" + Nul + "A"),
                       ScriptedPeer::Send(Chunk("first") + Chunk("last") + test::Ok),
                       ScriptedPeer::Expect(OneArgument('r', "2")),
                       ScriptedPeer::Send("<CALLBACK>2:3" + Nul + "ask"),
                       ScriptedPeer::Expect("c" + Nul + "1" + Nul + "B"),
                       ScriptedPeer::Send(Chunk("2") + test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(QDOConnectOpen(handle), 1) << LastError(handle);
    calls.clear();
    QDOSetGroupRead(handle, [](QDOHandle h, const QDOString*) { Record("group read", h); });
    QDOSetCallback(handle, [](QDOHandle h, const QDOString*, QDOString* result) {
        Record("callback", h);
        SetText(*result, "A");
    });
    int context = 0;
    QDOSetServerEvent(
        handle,
        [](QDOHandle h, void* c, const char*, size_t, const char*, size_t) {
            Record(c != nullptr ? "event" : "event without its context", h);
        },
        &context);
    static QDOString expression, out;
    SetText(expression, "1");
    ASSERT_EQ(QDORead(handle, &expression, &out), 1) << LastError(handle);
    EXPECT_EQ(Text(out), "last");

    QDOSetCallbackEx(
        handle,
        [](QDOHandle h, void*, const char*, size_t, QDOAnswer* answer) {
            Record("callback with answer", h);
            return QDOAnswerSet(answer, "B", 1);
        },
        nullptr);
    char* value = nullptr;
    size_t length = 0;
    ASSERT_EQ(QDOReadValue(handle, "2", 1, &value, &length), 1) << LastError(handle);
    QDOFreeValue(value);

    const int32_t none = QDO_ERROR_NONE;
    EXPECT_EQ(calls, (std::vector<TCall>{{"event", handle, none},
                                         {"callback", handle, none},
                                         {"group read", handle, none},
                                         {"callback with answer", handle, none}}));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

TEST(FlatHandle, TheConnectionsTagStaysTheApplications) {
    QDOHandle handle = QDOCreateConnect("127.0.0.1", test::ClosedPort(), "USER");
    ASSERT_NE(handle, nullptr);
    TQdoConnect& connect = HandleOf(handle)->Connect;
    EXPECT_EQ(connect.Tag(), 0);
    connect.SetTag(42);

    // The flat functions keep their own state beside the connection, whatever the Tag holds.
    QDOSetOutput(handle, nullptr);
    EXPECT_EQ(QDOSetTimeOut(handle, 5000), 1);
    EXPECT_EQ(QDOConnectOpen(handle), 0);
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_NONE);
    EXPECT_NE(LastError(handle).find("Connection refused"), std::string::npos) << LastError(handle);
    EXPECT_EQ(connect.Tag(), 42);
    QDODestroyConnect(handle);
}

} // namespace
} // namespace qdo
