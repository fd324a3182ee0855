#include "server/Mailbox.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qdo::server {

namespace fs = std::filesystem;

namespace {

void AppendText(std::string& out, std::string_view text) {
    const auto n = static_cast<uint32_t>(text.size());
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((n >> shift) & 0xFF);
    out += text;
}

bool TakeText(std::string_view& in, std::string& text) {
    if (in.size() < 4)
        return false;
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i)
        n |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    in.remove_prefix(4);
    if (n > in.size())
        return false;
    text.assign(in.substr(0, n));
    in.remove_prefix(n);
    return true;
}

bool KnownKind(char kind) {
    switch (kind) {
    case TMailMessage::Event:
    case TMailMessage::ClientCall:
    case TMailMessage::Answer:
    case TMailMessage::Cancel:
    case TMailMessage::Attach:
        return true;
    default:
        return false;
    }
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A socket address for `path`; false when the path is too long for one.
bool AddressOf(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string EncodeMail(const TMailMessage& message) {
    std::string out(1, message.Kind);
    AppendText(out, message.First);
    AppendText(out, message.Second);
    return out;
}

std::optional<TMailMessage> DecodeMail(std::string_view datagram) {
    if (datagram.empty() || !KnownKind(datagram[0]))
        return std::nullopt;
    TMailMessage message;
    message.Kind = static_cast<TMailMessage::TKind>(datagram[0]);
    datagram.remove_prefix(1);
    if (!TakeText(datagram, message.First) || !TakeText(datagram, message.Second) ||
        !datagram.empty())
        return std::nullopt;
    return message;
}

bool IsSessionName(std::string_view session) noexcept {
    if (session.empty() || session.size() > 64)
        return false;
    for (char c : session)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

TRunDirectory::TRunDirectory(std::string dataDirectory)
    : path_(std::move(dataDirectory) + "/run") {}

std::optional<TRunDirectory> TRunDirectory::OfThisProcess() {
    if (const char* data = std::getenv("qdo_data"); data != nullptr && *data != '\0')
        return TRunDirectory(data);
    if (const char* gld = std::getenv("gtmgbldir"); gld != nullptr && *gld != '\0')
        return TRunDirectory(fs::path(gld).parent_path().string());
    return std::nullopt;
}

void TRunDirectory::Reset() const {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    fs::create_directories(path_);
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace, ignored);
}

std::string TRunDirectory::MailboxOf(pid_t pid) const {
    return path_ + "/job-" + std::to_string(pid) + ".box";
}

std::string TRunDirectory::EventBoxOf(pid_t pid) const {
    return path_ + "/job-" + std::to_string(pid) + ".evt";
}

std::string TRunDirectory::SessionFile(std::string_view session) const {
    return path_ + "/session-" + std::string(session);
}

std::string TRunDirectory::EventFolder(std::string_view name) const {
    return path_ + "/event-" + Hex(name);
}

TUniqueFd TRunDirectory::OpenMailbox(const std::string& path) {
    sockaddr_un address;
    if (!AddressOf(path, address))
        throw std::runtime_error("the mailbox path is too long: " + path);
    TUniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        throw std::runtime_error("cannot make a mailbox: " + std::string(std::strerror(errno)));
    ::unlink(path.c_str());
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        throw std::runtime_error("cannot bind the mailbox " + path + ": " + std::strerror(error));
    }
    return fd;
}

bool TRunDirectory::Post(const std::string& path, const TMailMessage& message, int waitMs) {
    sockaddr_un address;
    if (!AddressOf(path, address))
        return false;
    const TUniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int fd = socket.Get();
    if (fd < 0)
        return false;
    // A full mailbox makes the send wait; it may wait this long.
    timeval limit{waitMs / 1000, (waitMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const std::string datagram = EncodeMail(message);
    ssize_t sent;
    do {
        sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                        reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(datagram.size());
}

std::optional<TMailMessage> TRunDirectory::Receive(int mailbox, int waitMs) {
    pollfd watched{mailbox, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&watched, 1, waitMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return std::nullopt;
    std::string datagram(MaxMailText + 64, '\0');
    const ssize_t n = ::recv(mailbox, datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (n <= 0)
        return std::nullopt;
    datagram.resize(static_cast<size_t>(n));
    return DecodeMail(datagram);
}

void TRunDirectory::RecordSession(std::string_view session, const TSessionPlace& place) const {
    // Written whole under another name, then renamed: a reader never sees half a record.
    const std::string file = SessionFile(session);
    const std::string temporary = file + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << place.Pid << ' ' << place.Port << ' ' << (place.Attached ? "attached" : "detached")
            << '\n';
    }
    std::error_code ignored;
    fs::rename(temporary, file, ignored);
}

std::optional<TRunDirectory::TSessionPlace>
TRunDirectory::FindSession(std::string_view session) const {
    if (!IsSessionName(session))
        return std::nullopt;
    std::ifstream in(SessionFile(session));
    TSessionPlace place;
    std::string state;
    if (!(in >> place.Pid >> place.Port >> state) || place.Pid <= 0)
        return std::nullopt;
    place.Attached = state == "attached";
    return place;
}

void TRunDirectory::ForgetSession(std::string_view session) const {
    std::error_code ignored;
    if (IsSessionName(session))
        fs::remove(SessionFile(session), ignored);
}

void TRunDirectory::Subscribe(std::string_view name, pid_t pid, bool on) const {
    const fs::path folder = EventFolder(name);
    std::error_code ignored;
    if (on) {
        fs::create_directories(folder, ignored);
        std::ofstream(folder / std::to_string(pid));
    } else {
        fs::remove(folder / std::to_string(pid), ignored);
        fs::remove(folder, ignored); // only when it is empty
    }
}

std::vector<pid_t> TRunDirectory::Subscribers(std::string_view name) const {
    std::vector<pid_t> pids;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(EventFolder(name), ignored)) {
        const std::string file = entry.path().filename().string();
        char* end = nullptr;
        const long pid = std::strtol(file.c_str(), &end, 10);
        if (end != nullptr && *end == '\0' && pid > 0)
            pids.push_back(static_cast<pid_t>(pid));
    }
    return pids;
}

} // namespace qdo::server
