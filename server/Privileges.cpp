#include "server/Privileges.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace qdo::server {

namespace {

bool IsNumber(const std::string& text, unsigned long& value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

} // namespace

TServiceUser FindUser(const std::string& name) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    unsigned long number = 0;
    const int status =
        IsNumber(name, number)
            ? getpwuid_r(static_cast<uid_t>(number), &entry, buffer.data(), buffer.size(), &found)
            : getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (status != 0 || found == nullptr)
        throw std::runtime_error("no user " + name);
    return {entry.pw_name, entry.pw_uid, entry.pw_gid};
}

gid_t FindGroup(const std::string& name) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    unsigned long number = 0;
    const int status =
        IsNumber(name, number)
            ? getgrgid_r(static_cast<gid_t>(number), &entry, buffer.data(), buffer.size(), &found)
            : getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (status != 0 || found == nullptr)
        throw std::runtime_error("no group " + name);
    return entry.gr_gid;
}

void DropPrivileges(const TServiceUser& user) {
    if (geteuid() != 0)
        throw std::runtime_error("--user needs the server to start as root");
    if (user.Uid == 0)
        throw std::runtime_error("--user names root: name a service user");
    if (initgroups(user.Name.c_str(), user.Gid) != 0 || setgid(user.Gid) != 0 ||
        setuid(user.Uid) != 0)
        throw std::runtime_error("cannot become user " + user.Name + ": " + std::strerror(errno));
    if (setuid(0) == 0 || geteuid() == 0)
        throw std::runtime_error("still root after becoming user " + user.Name);
}

} // namespace qdo::server
