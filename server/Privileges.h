// Running with no more rights than serving needs: the service user the server drops to after
// binding its port, and the group that may share its data directory.
#pragma once

#include <string>
#include <sys/types.h>

namespace qdo::server {

struct TServiceUser {
    std::string Name;
    uid_t Uid = 0;
    gid_t Gid = 0;
};

// The user or group of that name (or number); fails with std::runtime_error when there is none.
TServiceUser FindUser(const std::string& name);
gid_t FindGroup(const std::string& name);

// Becomes `user` for good (its groups included). Only root can; fails with std::runtime_error,
// also when root could be regained afterwards.
void DropPrivileges(const TServiceUser& user);

} // namespace qdo::server
