#include "server/Handover.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <utility>

namespace qdo::server {

namespace {

// A session's start holds at most the listener's handshake bytes and a few names.
constexpr size_t maxMessage = 65536;

void AppendField(std::string& out, std::string_view field) {
    const auto length = static_cast<uint32_t>(field.size());
    out.append(reinterpret_cast<const char*>(&length), sizeof length);
    out.append(field);
}

bool TakeField(std::string_view& in, std::string& field) {
    uint32_t length = 0;
    if (in.size() < sizeof length)
        return false;
    std::memcpy(&length, in.data(), sizeof length);
    in.remove_prefix(sizeof length);
    if (in.size() < length)
        return false;
    field.assign(in.substr(0, length));
    in.remove_prefix(length);
    return true;
}

// A message of the bytes `data` with room for `controlSize` bytes of descriptors in `control`.
msghdr Message(iovec& data, char* control, size_t controlSize) {
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = controlSize;
    return message;
}

} // namespace

std::string EncodeHandoverStart(const TJobStart& start) {
    std::string bytes;
    for (const std::string* field :
         {&start.Session, &start.NameSpace, &start.User, &start.Received, &start.Token})
        AppendField(bytes, *field);
    return bytes;
}

std::optional<TJobStart> DecodeHandoverStart(std::string_view bytes) {
    TJobStart start;
    for (std::string* field :
         {&start.Session, &start.NameSpace, &start.User, &start.Received, &start.Token})
        if (!TakeField(bytes, *field))
            return std::nullopt;
    if (!bytes.empty())
        return std::nullopt;
    return start;
}

bool SendHandover(int control, int client, int jobPort, const TJobStart& start) {
    std::string bytes = EncodeHandoverStart(start);
    if (bytes.size() > maxMessage)
        return false;
    const int fds[2] = {client, jobPort};
    const size_t count = jobPort >= 0 ? 2 : 1;
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof fds)] = {};
    iovec data{bytes.data(), bytes.size()};
    msghdr message = Message(data, space, CMSG_SPACE(count * sizeof(int)));
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(rights), fds, count * sizeof(int));
    ssize_t sent;
    do
        sent = ::sendmsg(control, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

THandoverWait ReceiveHandover(int control, THandover& handover) {
    std::string bytes(maxMessage, '\0');
    int fds[2] = {-1, -1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof fds)] = {};
    iovec data{bytes.data(), bytes.size()};
    msghdr message = Message(data, space, sizeof space);
    const ssize_t got = ::recvmsg(control, &message, MSG_CMSG_CLOEXEC);
    if (got < 0 && errno == EINTR)
        return THandoverWait::Interrupted;
    size_t count = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            std::memcpy(fds, CMSG_DATA(c), std::min(count, size_t{2}) * sizeof(int));
        }
    // Owned from here on, whatever came with them.
    TUniqueFd client(count >= 1 ? fds[0] : -1);
    TUniqueFd jobPort(count >= 2 ? fds[1] : -1);
    auto start = got > 0 && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))
                     ? DecodeHandoverStart(std::string_view(bytes.data(), static_cast<size_t>(got)))
                     : std::nullopt;
    if (!start || count < 1 || count > 2)
        return THandoverWait::Closed;
    handover.Client = std::move(client);
    handover.JobPort = std::move(jobPort);
    handover.Start = std::move(*start);
    return THandoverWait::Received;
}

} // namespace qdo::server
