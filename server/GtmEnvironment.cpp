#include "server/GtmEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace qdo::server {

namespace fs = std::filesystem;

namespace {

bool HasGtm(const fs::path& folder) {
    return fs::exists(folder / "libgtmshr.so") && fs::exists(folder / "mumps");
}

// gtm_dist when it is set, else the GT.M this server was built against (and links).
std::string FindDistribution() {
    if (const char* set = std::getenv("gtm_dist"); set != nullptr && *set != '\0') {
        if (HasGtm(set))
            return set;
        throw std::runtime_error(std::string("gtm_dist is set to ") + set +
                                 ", which holds no GT.M");
    }
    const std::string built = QDO_GTM_DIST_DEFAULT;
    if (HasGtm(built))
        return built;
    throw std::runtime_error("the GT.M this server was built with (" + built +
                             ") is gone, and gtm_dist is not set: reinstall the Debian package "
                             "fis-gtm, or set gtm_dist to GT.M's folder");
}

std::string FindRoutines() {
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    for (const fs::path& folder : {self / "m", self.parent_path() / "share" / "qdo-server" / "m"})
        if (fs::exists(folder / "qdosrv.m"))
            return folder.string();
    throw std::runtime_error("the server's M routines (qdosrv.m) are not beside " + self.string());
}

} // namespace

TGtmEnvironment TGtmEnvironment::Find(const std::string& dataDirectory) {
    // Absolute: jobs work in the data directory, not where the server was started.
    const std::string data = fs::absolute(dataDirectory).lexically_normal().string();
    TGtmEnvironment environment;
    environment.Distribution = FindDistribution();
    environment.RoutineDirectory = FindRoutines();
    environment.ObjectDirectory = data + "/obj";
    environment.DataDirectory = data;
    environment.CallTable = data + "/qdo.xc";
    return environment;
}

std::vector<std::string> TGtmEnvironment::Variables(const std::string& globalDirectory) const {
    std::vector<std::string> variables{
        "gtm_dist=" + Distribution,
        "gtmgbldir=" + globalDirectory,
        "gtmroutines=" + ObjectDirectory + "(" + RoutineDirectory + ") " + Distribution +
            "/libgtmutil.so " + Distribution,
        "GTMCI=" + RoutineDirectory + "/qdosrv.ci",
        "GTMXC_qdo=" + CallTable,
        "qdo_data=" + DataDirectory,
    };
    // A replicated namespace's instance file (NS.repl beside NS.gld): GT.M's tools and
    // $ZPEEK of the replication state find it through this variable.
    fs::path instance(globalDirectory);
    instance.replace_extension(".repl");
    std::error_code ignored;
    if (fs::exists(instance, ignored))
        variables.push_back("gtm_repl_instance=" + instance.string());
    return variables;
}

void TGtmEnvironment::Apply(const std::string& globalDirectory) const {
    for (const std::string& variable : Variables(globalDirectory)) {
        const size_t equals = variable.find('=');
        setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
    }
}

} // namespace qdo::server
