// Arbitrary bytes, cut into arbitrary reads, as the server's answers while a client opens a
// session: its first reply (accepted, redirected, refused), then the reply to the logon at the
// port it redirected to. The bytes go through the frame reader as the session step reads them
// (bytes that cannot start a session reply end the step), and each whole frame through the
// client's readers of those replies. What they read back must be what the server's own frame
// builder writes for it, and the token and session identifier they take must reach the
// server whole in the logon and re-open requests the client then sends.
//
// Input: one byte of read size, then the stream.
#include "FuzzCheck.h"
#include "connect/SessionReplies.h"
#include "protocol/FrameReader.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"
#include "server/Handshake.h"

#include <algorithm>
#include <string>

namespace {

using qdo::protocol::TFrameReader;

// The listener's limit on what a client sends before its session is real.
constexpr size_t handshakeBytes = 4096;

enum class TStep {
    Frame,           // a whole frame
    NotSessionReply, // bytes that cannot start a session reply: the client says so
    Ended,           // the bytes ended first, or broke the reader's limits (the connection is lost)
};

// Reads the next frame of a session step as the connection does.
TStep ReadSessionFrame(TFrameReader& reader, const std::string& stream, size_t& pos, size_t step,
                       std::string& frame) {
    while (true) {
        if (reader.WaitState() == qdo::wsCommand &&
            !qdo::protocol::CanStartSessionReply(std::string_view(reader.Data(), reader.Count())))
            return TStep::NotSessionReply;
        const TFrameReader::TCut cut = reader.Cut(frame);
        if (cut == TFrameReader::TCut::Whole)
            return TStep::Frame;
        if (cut != TFrameReader::TCut::NeedMore || pos >= stream.size())
            return TStep::Ended;
        const size_t length =
            std::min({step, stream.size() - pos, static_cast<size_t>(reader.FreeRoom())});
        FUZZ_CHECK(reader.Feed(std::string_view(stream).substr(pos, length)) == length);
        pos += length;
    }
}

void CheckLogonRequest(const std::string& token) {
    std::string request;
    qdo::protocol::request::Terminated(request, "lg:", token);
    const qdo::server::TRequestReader reader(handshakeBytes);
    const auto logon = qdo::server::ReadLogon(reader, request, handshakeBytes);
    if (token.size() >= 1024)
        return; // longer than the server takes a token to be
    FUZZ_CHECK(logon.Step == qdo::server::TLogonRead::TStep::Logon);
    FUZZ_CHECK(logon.Token == token && logon.Consumed == request.size());
}

void CheckReopenRequest(const std::string& sessionId) {
    std::string request;
    qdo::protocol::request::Terminated(request, "MR:op:", sessionId);
    const qdo::server::TRequestReader reader(handshakeBytes);
    const auto greeting = qdo::server::ReadGreeting(reader, request, handshakeBytes);
    const std::string session = sessionId.substr(0, sessionId.find('\0'));
    if (session.size() >= 1024)
        return;
    FUZZ_CHECK(greeting.Step == qdo::server::TGreeting::TStep::OpenSession);
    FUZZ_CHECK(greeting.Request.First == session);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    using TKind = qdo::TSessionReply::TKind;
    const size_t step = data[0] == 0 ? 1 : data[0];
    const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t pos = 0;

    // One reader for every input, cleared as a new connection's would be: its buffer is 32 KB.
    static TFrameReader reader;
    reader.Clear();
    std::string frame;
    if (ReadSessionFrame(reader, stream, pos, step, frame) != TStep::Frame)
        return 0; // a reply of an unknown format, or a lost connection
    const std::string received = frame;
    const qdo::TSessionReply reply = qdo::ReadSessionReply(frame);
    // Only stray bytes before the marker are dropped.
    FUZZ_CHECK(received.size() >= frame.size() &&
               received.compare(received.size() - frame.size(), frame.size(), frame) == 0);
    switch (reply.Kind) {
    case TKind::Accepted:
        FUZZ_CHECK(frame == qdo::protocol::reply::Frame(qdo::protocol::MarkerOk, {reply.Token}));
        break;
    case TKind::Redirected:
        FUZZ_CHECK(frame == qdo::protocol::reply::Frame(qdo::protocol::MarkerConnect,
                                                        {reply.Port, reply.Token}));
        break;
    case TKind::Refused:
        FUZZ_CHECK(frame.starts_with(reply.Refusal));
        FUZZ_CHECK(frame.substr(0, frame.size() - 1).find(':') == std::string::npos);
        break;
    case TKind::Closed:
        // More fields than any reply has, or none at all (a lone NUL).
        FUZZ_CHECK(frame.size() <= 1 ||
                   frame.substr(0, frame.size() - 1).find(':') != std::string::npos);
        break;
    case TKind::Unknown:
        break;
    }
    if (reply.Kind != TKind::Redirected)
        return 0;

    // The logon on a new connection: its reply is the rest of the stream.
    CheckLogonRequest(reply.Token);
    static TFrameReader logonReader;
    logonReader.Clear();
    const TStep read = ReadSessionFrame(logonReader, stream, pos, step, frame);
    if (read == TStep::Ended)
        return 0;
    const bool isSessionReply = read == TStep::Frame;
    if (!isSessionReply)
        frame.clear();
    const qdo::TLogonReply logon = qdo::ReadLogonReply(frame, isSessionReply);
    const std::string_view marker =
        qdo::protocol::ReplyMarker(std::string_view(frame).substr(0, frame.find('\0')));
    FUZZ_CHECK(logon.Accepted == (isSessionReply && marker == qdo::protocol::MarkerOk));
    if (logon.Accepted) {
        FUZZ_CHECK(frame.ends_with(logon.SessionId));
        CheckReopenRequest(logon.SessionId);
    } else {
        // A refusal the server states is reported as such; anything else as a bad format.
        const qdo::TConnectError stated =
            marker == qdo::protocol::MarkerInvalidType ? qdo::ceInvalidType
            : marker == qdo::protocol::MarkerNoJob     ? qdo::ceNoJob
            : marker == qdo::protocol::MarkerNoSession ? qdo::ceNoSession
                                                       : qdo::ceBadFormat;
        FUZZ_CHECK(logon.Error == (isSessionReply ? stated : qdo::ceBadFormat));
    }
    return 0;
}
