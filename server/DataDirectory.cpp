#include "server/DataDirectory.h"

#include "server/MCalls.h"
#include "server/Mailbox.h"

#include "server/Log.h"
#include "server/MSyntax.h"
#include "server/Tools.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qdo::server {

namespace fs = std::filesystem;

namespace {

void Check(const TToolResult& result, const std::string& what) {
    if (result.Status != 0)
        throw std::runtime_error(what + " failed:\n" + result.Output);
}

} // namespace

std::optional<std::string> FindNamespace(const std::string& path, std::string_view name) {
    std::string upper(name);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    std::error_code ignored;
    if (!IsNamespaceName(upper) || !fs::is_regular_file(path + "/" + upper + ".gld", ignored))
        return std::nullopt;
    return upper;
}

TDataDirectory::TDataDirectory(std::string path, TGtmEnvironment gtm)
    : path_(fs::absolute(path).lexically_normal().string()), gtm_(std::move(gtm)) {
    while (path_.size() > 1 && path_.back() == '/')
        path_.pop_back();
}

std::string TDataDirectory::GlobalDirectory(const std::string& nameSpace) const {
    return path_ + "/" + nameSpace + ".gld";
}

std::vector<std::string> TDataDirectory::Namespaces() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(path_, ignored))
        if (entry.path().extension() == ".gld")
            names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

void TDataDirectory::Initialize(const std::vector<std::string>& nameSpaces,
                                std::optional<gid_t> sharedGroup) {
    fs::create_directories(path_);
    Protect(sharedGroup); // before any database exists in it
    fs::create_directories(gtm_.ObjectDirectory);
    if (!Namespaces().empty())
        throw std::runtime_error(path_ + " holds namespaces already");
    for (const std::string& name : nameSpaces) {
        if (!IsNamespaceName(name))
            throw std::runtime_error("not a namespace name: " + name);
        const std::string base = path_ + "/" + name;
        const auto variables = gtm_.Variables(GlobalDirectory(name));
        // Records up to 1 MiB hold the longest M string; keys as long as GT.M allows.
        const std::string commands =
            "change -segment DEFAULT -file_name=" + base + ".dat\n" +
            "change -region DEFAULT -record_size=1048576 -key_size=1019\n" + "exit\n";
        Check(RunTool(gtm_.Tool("mumps"), {"-run", "GDE"}, commands, variables),
              "creating the global directory of " + name);
        Check(RunTool(gtm_.Tool("mupip"), {"create"}, {}, variables),
              "creating the database of " + name);
        Check(RunTool(
                  gtm_.Tool("mupip"),
                  {"set", "-journal=enable,on,before,file=" + base + ".mjl", "-region", "DEFAULT"},
                  {}, variables),
              "turning on journaling for " + name);
        LogInfo("created namespace " + name + " in " + path_);
    }
    Protect(sharedGroup);
}

void TDataDirectory::Protect(std::optional<gid_t> sharedGroup) const {
    // GT.M makes its files 0666 less the umask, whatever the directory: set the modes
    // explicitly, so that no other user reads or writes the data.
    const auto protect = [&](const fs::path& path, bool directory) {
        const mode_t mode = directory ? (sharedGroup ? 0750 : 0700) : (sharedGroup ? 0640 : 0600);
        if (sharedGroup && ::chown(path.c_str(), static_cast<uid_t>(-1), *sharedGroup) != 0)
            throw std::runtime_error("cannot give " + path.string() +
                                     " to its group: " + std::strerror(errno));
        if (::chmod(path.c_str(), mode) != 0)
            throw std::runtime_error("cannot protect " + path.string() + ": " +
                                     std::strerror(errno));
    };
    protect(path_, true);
    for (const auto& entry : fs::recursive_directory_iterator(path_))
        if (!entry.is_symlink())
            protect(entry.path(), entry.is_directory());
}

void TDataDirectory::PrepareToServe() {
    if (Namespaces().empty())
        throw std::runtime_error(path_ + " is not a data directory (run: qdo-server init --data " +
                                 path_ + ")");
    std::ifstream previous(PidFile());
    pid_t pid = 0;
    if (previous >> pid) {
        if (pid > 0 && pid != getpid() && ::kill(pid, 0) == 0)
            throw std::runtime_error("a server (process " + std::to_string(pid) + ") runs on " +
                                     path_);
        LogWarning("the last server on " + path_ +
                   " did not stop cleanly; recovering its databases");
        for (const std::string& name : Namespaces())
            Recover(name);
    }
    previous.close();
    fs::create_directories(gtm_.ObjectDirectory);
    Compile();
    TRunDirectory(path_).Reset();
    WriteMCallsTable();
    WriteEnvironmentFile();
    std::ofstream(PidFile()) << getpid() << "\n";
}

void TDataDirectory::WriteMCallsTable() {
    const std::string library = MCallsLibraryPath();
    if (library.empty())
        throw std::runtime_error("cannot find the server's M-calls library");
    std::ifstream in(gtm_.RoutineDirectory + "/qdosrv.xc.in");
    if (!in)
        throw std::runtime_error("the external-call table qdosrv.xc.in is not beside the routines");
    std::stringstream table;
    table << in.rdbuf();
    std::string text = table.str();
    const std::string mark = "@QDO_MCALLS_LIBRARY@";
    text.replace(text.find(mark), mark.size(), library);
    std::ofstream(gtm_.CallTable) << text;
}

void TDataDirectory::WriteEnvironmentFile() {
    // For M processes of one's own on the data directory (`. DIR/qdo.env; mumps -run ...`): the
    // same environment as the jobs', in the first namespace.
    std::ofstream out(path_ + "/qdo.env");
    out << "# The environment of an M process that uses this data directory: . " << path_
        << "/qdo.env\n";
    for (const std::string& variable : gtm_.Variables(GlobalDirectory(Namespaces().front()))) {
        const size_t equals = variable.find('=');
        std::string value = variable.substr(equals + 1);
        for (size_t at = value.find('\''); at != std::string::npos; at = value.find('\'', at + 4))
            value.replace(at, 1, "'\\''");
        out << "export " << variable.substr(0, equals) << "='" << value << "'\n";
    }
}

void TDataDirectory::Recover(const std::string& nameSpace) {
    LogInfo("recovering namespace " + nameSpace +
            " (GT.M may first wait, a minute or more, for what killed processes held)");
    const auto variables = gtm_.Variables(GlobalDirectory(nameSpace));
    const std::string journal = path_ + "/" + nameSpace + ".mjl";
    TToolResult result =
        RunTool(gtm_.Tool("mupip"), {"journal", "-recover", "-backward", journal}, {}, variables);
    if (result.Status == 0) {
        LogInfo("recovered namespace " + nameSpace + " from its journal");
        return;
    }
    LogWarning("journal recovery of " + nameSpace + " failed; running the database down:\n" +
               result.Output);
    Check(RunTool(gtm_.Tool("mupip"), {"rundown", "-region", "DEFAULT"}, {}, variables),
          "running down the database of " + nameSpace);
}

void TDataDirectory::Compile() {
    for (const auto& entry : fs::directory_iterator(gtm_.RoutineDirectory)) {
        if (entry.path().extension() != ".m")
            continue;
        const std::string object = gtm_.ObjectDirectory + "/" + entry.path().stem().string() + ".o";
        Check(RunTool(gtm_.Tool("mumps"), {"-object=" + object, entry.path().string()}, {},
                      gtm_.Variables(GlobalDirectory(Namespaces().front()))),
              "compiling " + entry.path().filename().string());
    }
}

void TDataDirectory::Release() {
    std::error_code ignored;
    fs::remove(PidFile(), ignored);
}

} // namespace qdo::server
