// TQdoConnect as a component: initial values, setters, activation, errors, stored forms.
#include "classes/Application.h"
#include "classes/StoredForm.h"
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Nul;
using test::OpenOn;
using ScriptedPeer = test::MemoryPeer;

template <typename F>
std::string MessageOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no exception)";
}

TEST(ConnectComponent, ANewComponentHasItsInitialValues) {
    TQdoConnect c;
    EXPECT_EQ(c.NameSpace(), "%SYS");
    EXPECT_EQ(c.TimeOut(), 10000);
    EXPECT_TRUE(c.RaiseBreakFlowError());
    EXPECT_FALSE(c.Active());
    EXPECT_FALSE(c.ActiveSession());
    EXPECT_EQ(c.ErrorHandler(), htException);
    EXPECT_EQ(c.ServerPort(), 0);
    EXPECT_EQ(c.Host(), "");
    EXPECT_EQ(c.ServerAddress(), "");
    EXPECT_FALSE(c.Authorization()->Active());
    EXPECT_FALSE(c.StoreSession());
    EXPECT_EQ(c.BusyCount(), 0);
    EXPECT_EQ(c.WaitState(), wsCommand);
    EXPECT_EQ(c.Query()->Count(), 0);
    EXPECT_EQ(c.Socket()->Owner(), &c);
}

TEST(ConnectComponent, TimeOutIsWrittenInMinutesAndReadInMilliseconds) {
    const struct {
        int32_t minutes;
        int32_t ms;
    } cases[] = {{5, 300000}, {250, 6000000}, {100, 6000000}, {1, 60000}, {0, 10000}, {-3, 10000}};
    for (const auto& c : cases) {
        TQdoConnect connect;
        connect.SetTimeOut(c.minutes);
        EXPECT_EQ(connect.TimeOut(), c.ms) << c.minutes;
    }
}

TEST(ConnectComponent, TheSocketIsAimedAtHostElseServerAddress) {
    // Hosts that begin with a digit but are no address fail at once, without a name look-up.
    const struct {
        const char* host;
        const char* address;
        const char* aimed;
    } cases[] = {{"9a", "9b", "9a"}, {"", "9b", "9b"}, {"9a", "", "9a"}};
    for (const auto& c : cases) {
        TQdoConnect connect;
        connect.SetHost(c.host);
        connect.SetServerAddress(c.address);
        connect.SetServerPort(7777);
        EXPECT_EQ(MessageOf([&] { connect.InitSocket(); }),
                  "Windows socket error. Code 11001: Host not found.");
        EXPECT_EQ(connect.Socket()->RemoteHost(), c.aimed);
        EXPECT_EQ(connect.Socket()->RemotePort(), "7777");
        EXPECT_FALSE(connect.Active());
    }
}

TEST(ConnectComponent, ARefusedConnectionRaisesTheSocketErrorText) {
    TQdoConnect connect;
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(test::ClosedPort());
    std::vector<std::string> events;
    connect.OnBeginConnect = [&](TObject* sender) {
        EXPECT_EQ(sender, &connect);
        events.push_back("begin");
    };
    connect.OnEndConnect = [&](TObject*, bool connected) {
        events.push_back(connected ? "end:true" : "end:false");
    };
    connect.SetErrorHandler(htEvent); // socket failures raise in either mode
    int connectErrors = 0;
    connect.OnConnectError = [&](TObject*, TConnectError) { ++connectErrors; };
    connect.OnSocketError = [&](TObject*, int32_t) { ADD_FAILURE() << "OnSocketError called"; };
    EXPECT_EQ(MessageOf([&] { connect.SetActive(true); }),
              "Windows socket error. Code 10061: Connection refused. Can't establish connection "
              "with database.\rCheck server is running.");
    EXPECT_EQ(events, (std::vector<std::string>{"begin", "end:false"}));
    EXPECT_EQ(connectErrors, 0);
    EXPECT_FALSE(connect.Active());
    EXPECT_FALSE(connect.Socket()->Active());
    EXPECT_EQ(connect.BusyCount(), 0);
}

TEST(ConnectComponent, SocketErrorsCloseAndRaiseWhateverTheMode) {
    for (TErrorHandler mode : {htException, htEvent}) {
        ScriptedPeer peer({AcceptInline()});
        TQdoConnect connect;
        connect.SetErrorHandler(mode);
        OpenOn(connect, peer);
        ASSERT_TRUE(connect.Active());
        EXPECT_EQ(MessageOf([&] { connect.SocketError(connect.Socket(), 12345); }),
                  "Windows socket error. Code 12345: Unknown error code.");
        EXPECT_FALSE(connect.Active());
        EXPECT_FALSE(peer.ClientOpen());
        EXPECT_EQ(MessageOf([&] { connect.SocketError(connect.Socket(), 10059); }),
                  "Windows socket error. Code 10059: Unknown error code.");
    }
}

// The texts themselves are checked in ErrorMessagesTest; here, that HandleError raises each
// error with its own text and code under htException.
TEST(ConnectComponent, HandleErrorRaisesTheErrorWithItsMessage) {
    TQdoConnect connect;
    for (const TConnectError error :
         {ceNoJob, ceBadFormat, ceNotConnected, ceCannotChangeProperty, ceInvalidType, ceNoSession,
          ceSocketNotConnected, ceDataNotSended, ceUnknown}) {
        try {
            connect.HandleError(error);
            ADD_FAILURE() << "no exception for " << int(error);
        } catch (const EMConnectError& e) {
            EXPECT_EQ(e.Message(), ConnectErrorMessage(error));
            EXPECT_EQ(e.ErrorCode, error);
        }
    }
}

TEST(ConnectComponent, AnOperationOnAConnectionNeverOpened) {
    TQdoConnect connect;
    try {
        connect.Read("^X");
        ADD_FAILURE() << "no exception";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.Message(), "Connect does not exist.");
        EXPECT_EQ(e.ErrorCode, ceNotConnected);
    }
    EXPECT_EQ(connect.BusyCount(), 0);

    // Under htEvent the check calls the handler and the request goes on (and here fails to
    // connect); without a handler the check reports nothing at all.
    connect.SetErrorHandler(htEvent);
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(test::ClosedPort());
    std::vector<TConnectError> reported;
    connect.OnConnectError = [&](TObject*, TConnectError e) { reported.push_back(e); };
    connect.CheckConnect();
    EXPECT_EQ(reported, std::vector<TConnectError>{ceNotConnected});
    connect.OnConnectError = nullptr;
    EXPECT_NO_THROW(connect.CheckConnect());
}

TEST(ConnectComponent, ConnectionSettingsCannotChangeWhileActive) {
    ScriptedPeer peer({AcceptInline()});
    TQdoConnect connect;
    OpenOn(connect, peer);
    ASSERT_TRUE(connect.Active());
    try {
        connect.SetHost("elsewhere");
        ADD_FAILURE() << "no exception";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.Message(), "Can't change property.");
        EXPECT_EQ(e.ErrorCode, ceCannotChangeProperty);
    }
    EXPECT_THROW(connect.SetServerAddress("x"), EMConnectError);
    EXPECT_THROW(connect.SetServerPort(1), EMConnectError);
    EXPECT_EQ(connect.Host(), "");
    EXPECT_EQ(connect.ServerAddress(), "127.0.0.1");
    EXPECT_EQ(connect.ServerPort(), peer.PortNumber());
    connect.SetNameSpace("USER"); // the namespace may change: it is used at the next opening
    EXPECT_EQ(connect.NameSpace(), "USER");

    connect.SetErrorHandler(htEvent);
    std::vector<TConnectError> reported;
    connect.OnConnectError = [&](TObject*, TConnectError e) { reported.push_back(e); };
    connect.SetHost("elsewhere");
    EXPECT_EQ(reported, std::vector<TConnectError>{ceCannotChangeProperty});
    EXPECT_EQ(connect.Host(), "");

    std::vector<std::string> shown;
    SetDesignMessageHook([&](const std::string& text, const std::string& caption) {
        shown.push_back(caption + ": " + text);
    });
    connect.SetDesigning(true);
    connect.SetServerPort(1);
    connect.SetActive(false);
    connect.SetDesigning(false);
    SetDesignMessageHook(nullptr);
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "Quendo Connect component: Can't change property 'ServerPort' while "
                         "connect session is active.",
                         "Quendo Connect component: Can't do this in design time."}));
    EXPECT_TRUE(connect.Active());
    EXPECT_EQ(reported.size(), 1u);
}

TEST(ConnectComponent, ActivatingTwiceOrDeactivatingTwiceDoesNothing) {
    ScriptedPeer peer({AcceptInline()});
    TQdoConnect connect;
    int events = 0;
    connect.OnBeginConnect = [&](TObject*) { ++events; };
    connect.OnEndConnect = [&](TObject*, bool) { ++events; };
    connect.SetActive(false);
    EXPECT_EQ(events, 0);
    OpenOn(connect, peer);
    EXPECT_EQ(events, 2);
    connect.SetActive(true);
    EXPECT_EQ(events, 2);
    connect.SetActive(false);
    connect.SetActive(false);
    EXPECT_EQ(events, 2); // no event on deactivation
    EXPECT_FALSE(connect.Active());
    EXPECT_EQ(connect.JobToken(), "job");
}

TEST(ConnectComponent, DestroyingAnActiveComponentSendsNothing) {
    ScriptedPeer peer({AcceptInline()});
    {
        TQdoConnect connect;
        OpenOn(connect, peer);
        ASSERT_TRUE(connect.Active());
    }
    EXPECT_FALSE(peer.ClientOpen());
    EXPECT_EQ(peer.Received(), "");
    EXPECT_TRUE(peer.Failures().empty());
}

TEST(ConnectComponent, StoredFormsRoundTrip) {
    TQdoConnect original;
    original.SetName("Connect1");
    original.SetServerAddress("db.example.com");
    original.SetHost("it's 'quoted'\r\n\x01\xff");
    original.SetServerPort(5001);
    original.SetNameSpace("USER");
    original.SetStoreSession(true);
    original.SetRaiseBreakFlowError(false);
    original.SetErrorHandler(htEvent);
    original.SetTimeOut(3);
    original.Authorization()->SetActive(true);
    original.Authorization()->SetUserName("joe");
    original.Authorization()->SetPassword(std::string("p\0w", 3));
    original.Authorization()->SetApplication("");
    original.SetTag(42);

    const std::string form = WriteComponentForm(original);
    EXPECT_EQ(form.rfind("object Connect1: TQdoConnect\n", 0), 0u) << form;
    EXPECT_NE(form.find("  ErrorHandler = htEvent\n"), std::string::npos);
    EXPECT_NE(form.find("  Host = 'it''s ''quoted'''#13#10#1#255\n"), std::string::npos) << form;
    EXPECT_NE(form.find("  TimeOut = 180000\n"), std::string::npos);
    EXPECT_NE(form.find("  Authorization.Password = 'p'#0'w'\n"), std::string::npos);
    EXPECT_EQ(form.find("Active = "), form.find("Authorization.Active = ") + 14);

    Register();
    EXPECT_EQ(PalettePageOf("TQdoConnect"), "Quendo");
    std::unique_ptr<TComponent> made(CreateComponentFromForm(form));
    auto* copy = dynamic_cast<TQdoConnect*>(made.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Name(), "Connect1");
    EXPECT_EQ(copy->ServerAddress(), original.ServerAddress());
    EXPECT_EQ(copy->Host(), original.Host());
    EXPECT_EQ(copy->ServerPort(), 5001);
    EXPECT_EQ(copy->NameSpace(), "USER");
    EXPECT_TRUE(copy->StoreSession());
    EXPECT_FALSE(copy->RaiseBreakFlowError());
    EXPECT_EQ(copy->ErrorHandler(), htEvent);
    EXPECT_EQ(copy->TimeOut(), 180000);
    EXPECT_TRUE(copy->Authorization()->Active());
    EXPECT_EQ(copy->Authorization()->Password(), std::string("p\0w", 3));
    EXPECT_EQ(copy->Tag(), 42);
    EXPECT_FALSE(copy->IsLoading());
    EXPECT_FALSE(copy->Active());
    EXPECT_EQ(WriteComponentForm(*copy), form);

    // The defaults rule: htException is not written; the time-out of a new component stays
    // ten seconds across a round trip.
    TQdoConnect plain;
    const std::string plainForm = WriteComponentForm(plain);
    EXPECT_EQ(plainForm.find("ErrorHandler"), std::string::npos);
    EXPECT_EQ(plainForm.find("Tag"), std::string::npos);
    TQdoConnect reread;
    ReadComponentForm(plainForm, reread);
    EXPECT_EQ(reread.TimeOut(), 10000);
}

TEST(ConnectComponent, MalformedFormsAreRefused) {
    TQdoConnect connect;
    const char* forms[] = {
        "",
        "object X: TQdoConnect\n  Nonsense = 1\nend\n",
        "object X: TQdoConnect\n  ServerPort = 'text'\nend\n",
        "object X: TQdoConnect\n  Host = 'unclosed\nend\n",
        "object X: TQdoConnect\n  ServerPort = 1\n",
        "object X: TOther\nend\n",
        "object X: TQdoConnect\n  ErrorHandler = htNothing\nend\n",
        "object X: TQdoConnect\n  Host = #300\nend\n",
    };
    for (const char* form : forms) {
        SCOPED_TRACE(form);
        EXPECT_THROW(ReadComponentForm(form, connect), EReadError);
        EXPECT_FALSE(connect.IsLoading());
    }
    EXPECT_THROW(CreateComponentFromForm("object X: TUnregistered\nend\n"), EReadError);
}

TEST(ConnectComponent, LoadedOpensAConnectionActivatedWhileLoading) {
    ScriptedPeer peer({AcceptInline()});
    TQdoConnect connect;
    test::UseMemoryLink(connect);
    std::vector<std::string> events;
    connect.OnBeginConnect = [&](TObject*) { events.push_back("begin"); };
    connect.OnEndConnect = [&](TObject*, bool on) { events.push_back(on ? "end:on" : "end:off"); };
    connect.Loading();
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(peer.PortNumber());
    connect.SetActive(true); // only stored while loading
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(peer.Connections(), 0);
    connect.Loaded();
    EXPECT_EQ(events, (std::vector<std::string>{"begin", "end:on"}));
    EXPECT_TRUE(connect.Active());
    EXPECT_EQ(connect.JobToken(), "job");
}

} // namespace
} // namespace qdo
