// Where GT.M and the server's M routines are, and the environment GT.M needs to use them.
#pragma once

#include <string>
#include <vector>

namespace qdo::server {

struct TGtmEnvironment {
    std::string Distribution;     // gtm_dist
    std::string RoutineDirectory; // the server's M routines and call-in table
    std::string ObjectDirectory;  // where they are compiled to
    std::string DataDirectory;    // the data directory served
    std::string CallTable;        // the external-call table of the server's M calls

    // Finds GT.M ($gtm_dist when it is set, else the GT.M the server was built with) and the
    // routines (beside the executable, or in the installed share folder). Fails with
    // std::runtime_error saying what is missing.
    static TGtmEnvironment Find(const std::string& dataDirectory);

    std::string Tool(const std::string& name) const { return Distribution + "/" + name; }
    // The variables GT.M reads, for `globalDirectory` as the current one ("NAME=value").
    std::vector<std::string> Variables(const std::string& globalDirectory) const;
    // Puts Variables into this process's environment, for GT.M and for the jobs it forks.
    void Apply(const std::string& globalDirectory) const;
};

} // namespace qdo::server
