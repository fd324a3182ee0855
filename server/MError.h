// An M error as a job reports it to its client.
#pragma once

#include <string>

namespace qdo::server {

// $ECODE, and $ZSTATUS (or the server's own text in the same shape: "%QDO-E-NAME, text").
struct TMError {
    std::string ECode;
    std::string Status;
};

} // namespace qdo::server
