#include "server/Credentials.h"

#include "server/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sodium.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qdo::server {

namespace {

void StartSodium() {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

// What an unknown user's password is checked against, so that refusing one costs the same as
// refusing a wrong password: a hash made once with the parameters of every new hash.
const std::string& StandInHash() {
    static const std::string hash = HashPassword("no such user");
    return hash;
}

} // namespace

std::string HashPassword(std::string_view password) {
    StartSodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw std::runtime_error("not enough memory to hash a password");
    return hash;
}

bool TCredentials::IsUserName(std::string_view name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name)
        if (c <= ' ' || c > '~' || c == ':')
            return false;
    return true;
}

TCredentials TCredentials::Parse(std::string_view text, const std::string& origin) {
    TCredentials credentials;
    size_t number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        const size_t colon = line.find(':');
        const auto fault = [&](const char* what) {
            return std::runtime_error(origin + ":" + std::to_string(number) + ": " + what);
        };
        if (colon == std::string_view::npos || !IsUserName(line.substr(0, colon)))
            throw fault("not a line NAME:HASH");
        const std::string_view hash = line.substr(colon + 1);
        if (hash.rfind(crypto_pwhash_STRPREFIX, 0) != 0 || hash.size() >= crypto_pwhash_STRBYTES)
            throw fault("not a password hash made by qdo-server passwd");
        if (!credentials.hashes_.emplace(line.substr(0, colon), hash).second)
            throw fault("a user named twice");
    }
    return credentials;
}

TCredentials TCredentials::Load(const std::string& path, bool mayBeMissing) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (mayBeMissing && errno == ENOENT)
            return {};
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    std::stringstream text;
    text << in.rdbuf();
    return Parse(text.str(), path);
}

void TCredentials::Save(const std::string& path) const {
    std::string text = "# qdo-server credentials: NAME:HASH, kept by qdo-server passwd\n";
    for (const auto& [user, hash] : hashes_)
        text += user + ":" + hash + "\n";
    const std::string temporary = path + ".new";
    TUniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const int fd = file.Get();
    if (fd < 0)
        throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
    const bool written =
        ::fchmod(fd, 0600) == 0 &&
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    const int error = errno;
    file.Reset();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(written ? errno : error);
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + path + ": " + why);
    }
}

void TCredentials::SetPassword(const std::string& user, std::string_view password) {
    if (!IsUserName(user))
        throw std::invalid_argument("a user name is 1 to 64 printable characters, without ':' "
                                    "or spaces");
    hashes_[user] = HashPassword(password);
}

bool TCredentials::Remove(const std::string& user) {
    return hashes_.erase(user) != 0;
}

void TCredentials::Prepare() {
    StandInHash();
}

bool TCredentials::Check(const std::string& user, std::string_view password) const {
    StartSodium();
    const auto found = hashes_.find(user);
    const std::string& hash = found != hashes_.end() ? found->second : StandInHash();
    const bool matches =
        crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    return matches && found != hashes_.end();
}

} // namespace qdo::server
