// The pure readers of what opens a session and of what a server pushes: the client's readers of
// the session and logon replies and of pushed frames, and the listener's readers of a new
// client's first request and of a logon. The fuzz targets session_replies, pushed_frames and
// server_handshake drive them with arbitrary bytes; these are the cases they must keep.
#include "classes/Exceptions.h"
#include "connect/PushedFrames.h"
#include "connect/SessionReplies.h"
#include "server/Handshake.h"

#include <gtest/gtest.h>

#include <string>

namespace qdo {
namespace {

using namespace std::string_literals;
using TKind = TSessionReply::TKind;

TEST(SessionReplies, EveryAnswerToASessionRequest) {
    struct Case {
        std::string frame;
        TKind kind;
        std::string token, port;
        TConnectError error;
        std::string after; // the frame once stray bytes before its marker are dropped
    };
    const Case cases[] = {
        {"<OK>:tok\0"s, TKind::Accepted, "tok", "", ceBadFormat, "<OK>:tok\0"s},
        {"\r\n<OK>:tok\0"s, TKind::Accepted, "tok", "", ceBadFormat, "<OK>:tok\0"s},
        {"<CONNECT>:5001:tok\0"s, TKind::Redirected, "tok", "5001", ceBadFormat,
         "<CONNECT>:5001:tok\0"s},
        {"<NO JOB>\0"s, TKind::Refused, "", "", ceNoJob, "<NO JOB>\0"s},
        {"<NO SESSION>\0"s, TKind::Refused, "", "", ceNoSession, "<NO SESSION>\0"s},
        {"<INVALID TYPE>\0"s, TKind::Refused, "", "", ceInvalidType, "<INVALID TYPE>\0"s},
        {"<CONNECT>\0"s, TKind::Refused, "", "", ceUnknown, "<CONNECT>\0"s},
        {"<OK>:a:b:c\0"s, TKind::Closed, "", "", ceBadFormat, "<OK>:a:b:c\0"s},
        {"\0"s, TKind::Closed, "", "", ceBadFormat, "\0"s}, // no fields at all
        {"<HELLO>\0"s, TKind::Unknown, "", "", ceBadFormat, "<HELLO>\0"s},
    };
    for (const Case& c : cases) {
        std::string frame = c.frame;
        const TSessionReply reply = ReadSessionReply(frame);
        EXPECT_EQ(reply.Kind, c.kind) << c.frame;
        EXPECT_EQ(reply.Token, c.token) << c.frame;
        EXPECT_EQ(reply.Port, c.port) << c.frame;
        EXPECT_EQ(frame, c.after) << c.frame;
        if (c.kind == TKind::Refused) {
            EXPECT_EQ(reply.Error, c.error) << c.frame;
        }
    }
}

TEST(SessionReplies, EveryAnswerToALogon) {
    const TLogonReply accepted = ReadLogonReply("<OK>:sess\0"s, true);
    EXPECT_TRUE(accepted.Accepted);
    EXPECT_EQ(accepted.SessionId, "sess\0"s); // sent back as it came when the session re-opens
    const std::pair<std::string, TConnectError> refusals[] = {
        {"<NO JOB>\0"s, ceNoJob},
        {"<NO SESSION>\0"s, ceNoSession},
        {"<INVALID TYPE>\0"s, ceInvalidType},
        {"<CONNECT>:1:2\0"s, ceBadFormat},
        {"garbage\0"s, ceBadFormat},
    };
    for (const auto& [frame, error] : refusals) {
        const TLogonReply reply = ReadLogonReply(frame, true);
        EXPECT_FALSE(reply.Accepted) << frame;
        EXPECT_EQ(reply.Error, error) << frame;
    }
    const TLogonReply foreign = ReadLogonReply("<OK>:sess\0"s, false); // another protocol
    EXPECT_FALSE(foreign.Accepted);
    EXPECT_EQ(foreign.Error, ceBadFormat);
}

TEST(PushedFrames, KindsIdentifiersAndAcknowledgements) {
    const std::string callbackFrame = "<CALLBACK>7:3\0abc"s;
    const TPushedFrame callback = ReadPushedFrame(callbackFrame);
    EXPECT_EQ(callback.Kind, TPushedFrame::TKind::Callback);
    EXPECT_EQ(callback.Identifier, "7");
    EXPECT_EQ(callback.Payload, "abc");
    const std::string eventFrame = "<ONMSGCALLBACK>0:4\0\x03\x01N\x02"s;
    const TPushedFrame event = ReadPushedFrame(eventFrame);
    EXPECT_EQ(event.Kind, TPushedFrame::TKind::ServerEvent);
    EXPECT_EQ(event.Identifier, "0");
    EXPECT_EQ(ReadPushedFrame("<OK>\0"s).Kind, TPushedFrame::TKind::Other);

    EXPECT_TRUE(IsAcknowledged("7"));
    EXPECT_FALSE(IsAcknowledged("0"));
    EXPECT_FALSE(IsAcknowledged("-3"));
    EXPECT_THROW(IsAcknowledged(""), EConvertError);

    const TServerEventFields fields = ReadServerEvent("\x07\x01PRICE\x06\x01"
                                                      "42.5"s);
    EXPECT_EQ(fields.Name, "PRICE");
    EXPECT_EQ(fields.Data, "42.5");
}

} // namespace

namespace server {
namespace {

using TStep = TGreeting::TStep;

TEST(ListenerHandshake, WhatANewClientSendsFirst) {
    const TRequestReader reader(4096);
    struct Case {
        std::string bytes;
        size_t maxBytes;
        TStep step;
        std::string first, second;
        size_t consumed;
    };
    const Case cases[] = {
        {"", 4096, TStep::NeedMore, "", "", 0},
        {"MR:o", 4096, TStep::NeedMore, "", "", 0},
        {"GET / HTTP/1.1\r\n", 4096, TStep::NotARequest, "", "", 0},
        {"MR:op:abc\0\0"s, 4096, TStep::OpenSession, "abc", "", 10},
        {"MR:bfl:abc\0"s, 4096, TStep::Cancel, "abc", "", 11},
        {"MR:cr:USER:3\0abcx\0"s, 4096, TStep::Create, "USER", "abc", 16},
        {"MR:cr:USER:3\0ab"s, 4096, TStep::NeedMore, "", "", 0},
        {"MR:cr:USER:3\0ab"s, 10, TStep::Broken, "", "", 0}, // not whole within the limit
        {"MR:cr:USER:x\0"s, 4096, TStep::Broken, "", "", 0},
        {"x\0"s, 4096, TStep::Request, "", "", 0},
    };
    for (const Case& c : cases) {
        const TGreeting greeting = ReadGreeting(reader, c.bytes, c.maxBytes);
        EXPECT_EQ(greeting.Step, c.step) << c.bytes;
        if (!c.first.empty()) { // a handshake request: its fields
            EXPECT_EQ(greeting.Request.First, c.first) << c.bytes;
            EXPECT_EQ(greeting.Request.Second, c.second) << c.bytes;
        }
        EXPECT_EQ(greeting.Consumed, c.consumed) << c.bytes;
    }
}

TEST(ListenerHandshake, TheLogonAtAJobsPort) {
    const TRequestReader reader(4096);
    const TLogonRead logon = ReadLogon(reader, "lg:tok\0r\0"s, 4096);
    EXPECT_EQ(logon.Step, TLogonRead::TStep::Logon);
    EXPECT_EQ(logon.Token, "tok");
    EXPECT_EQ(logon.Consumed, 7u); // the first request that came with it goes to the job
    EXPECT_EQ(ReadLogon(reader, "lg:tok", 4096).Step, TLogonRead::TStep::NeedMore);
    EXPECT_EQ(ReadLogon(reader, "lg:tok", 4).Step, TLogonRead::TStep::Refused);
    EXPECT_EQ(ReadLogon(reader, "st", 4096).Step, TLogonRead::TStep::Refused);
    EXPECT_EQ(ReadLogon(reader, "MR:op:s\0"s, 4096).Step, TLogonRead::TStep::Refused);

    const auto credentials = ReadCreateCredentials("\x07\x01"
                                                   "alice\x05\x01pwd"s);
    EXPECT_EQ(credentials.User, "alice");
    EXPECT_EQ(credentials.Password, "pwd");
}

} // namespace
} // namespace server
} // namespace qdo
