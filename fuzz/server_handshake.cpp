// Arbitrary bytes, arriving in arbitrary reads, as what a client sends the listener before its
// session is real: on a new connection (read by ReadGreeting) or at a job's port (read by
// ReadLogon). The listener acts on the first answer that is not "need more", so an answer once
// given must stay the same however many more bytes come; every request it takes must be one
// that the client's own request writer makes of the same fields, and the credentials of a
// create request must read back as the client wrote them.
//
// Input: one byte (bit 0: a job's port; the rest: the read size), then the stream.
#include "FuzzCheck.h"
#include "classes/VarRec.h"
#include "encodings/Mlist.h"
#include "protocol/Requests.h"
#include "server/Handshake.h"

#include <string>

namespace {

using qdo::server::TGreeting;
using qdo::server::TLogonRead;
using qdo::server::TRequestReader;

// The listener's limit on what a client sends before its session is real.
constexpr size_t handshakeBytes = 4096;
const TRequestReader reader(handshakeBytes);

// The request the client writes for a handshake request of these fields.
std::string Written(TGreeting::TStep step, const qdo::server::TRequest& request) {
    std::string out;
    namespace request_ = qdo::protocol::request;
    switch (step) {
    case TGreeting::TStep::Create:
        request_::WithList(out, "MR:cr:" + request.First + ":", request.Second);
        break;
    case TGreeting::TStep::Cancel:
        request_::Terminated(out, "MR:bfl:", request.First);
        break;
    default:
        request_::Terminated(out, "MR:op:", request.First);
        break;
    }
    return out;
}

void CheckGreeting(const TGreeting& greeting, std::string_view bytes) {
    if (greeting.Step != TGreeting::TStep::Create && greeting.Step != TGreeting::TStep::Cancel &&
        greeting.Step != TGreeting::TStep::OpenSession)
        return;
    FUZZ_CHECK(greeting.Consumed > 0 && greeting.Consumed <= bytes.size());
    const std::string written = Written(greeting.Step, greeting.Request);
    const TGreeting again = ReadGreeting(reader, written, handshakeBytes);
    FUZZ_CHECK(again.Step == greeting.Step && again.Consumed == written.size());
    FUZZ_CHECK(again.Request.First == greeting.Request.First &&
               again.Request.Second == greeting.Request.Second);
    if (greeting.Step != TGreeting::TStep::Create)
        return;
    const auto credentials = qdo::server::ReadCreateCredentials(greeting.Request.Second);
    // The client writes user name, password and application as one list.
    if (credentials.User.size() + credentials.Password.size() > 30000)
        return;
    const qdo::TVarRec fields[] = {qdo::TVarRec(credentials.User),
                                   qdo::TVarRec(credentials.Password), qdo::TVarRec("app")};
    const auto again2 = qdo::server::ReadCreateCredentials(qdo::TMList().lb(fields, 2));
    FUZZ_CHECK(again2.User == credentials.User && again2.Password == credentials.Password);
}

void CheckLogon(const TLogonRead& logon, std::string_view bytes) {
    if (logon.Step != TLogonRead::TStep::Logon)
        return;
    FUZZ_CHECK(logon.Consumed > 0 && logon.Consumed <= bytes.size());
    std::string written;
    qdo::protocol::request::Terminated(written, "lg:", logon.Token);
    const TLogonRead again = ReadLogon(reader, written, handshakeBytes);
    FUZZ_CHECK(again.Step == TLogonRead::TStep::Logon && again.Token == logon.Token &&
               again.Consumed == written.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool atJobPort = (data[0] & 1) != 0;
    const size_t step = (data[0] >> 1) == 0 ? 1 : (data[0] >> 1);
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    // The reads as they come, up to the first answer; then that answer against the whole
    // stream read at once.
    for (size_t kept = std::min(step, stream.size());;
         kept = std::min(kept + step, stream.size())) {
        const std::string_view bytes = stream.substr(0, kept);
        if (atJobPort) {
            const TLogonRead logon = ReadLogon(reader, bytes, handshakeBytes);
            CheckLogon(logon, bytes);
            if (logon.Step != TLogonRead::TStep::NeedMore) {
                const TLogonRead whole = ReadLogon(reader, stream, handshakeBytes);
                if (logon.Step == TLogonRead::TStep::Logon)
                    FUZZ_CHECK(whole.Step == logon.Step && whole.Token == logon.Token &&
                               whole.Consumed == logon.Consumed);
                break;
            }
        } else {
            const TGreeting greeting = ReadGreeting(reader, bytes, handshakeBytes);
            CheckGreeting(greeting, bytes);
            if (greeting.Step != TGreeting::TStep::NeedMore) {
                const TGreeting whole = ReadGreeting(reader, stream, handshakeBytes);
                if (greeting.Step != TGreeting::TStep::Broken)
                    FUZZ_CHECK(whole.Step == greeting.Step && whole.Consumed == greeting.Consumed &&
                               whole.Request.First == greeting.Request.First &&
                               whole.Request.Second == greeting.Request.Second);
                break;
            }
        }
        if (kept == stream.size())
            break;
    }
    return 0;
}
