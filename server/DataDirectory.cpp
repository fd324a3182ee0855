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
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qdo::server {

namespace fs = std::filesystem;

namespace {

// The number after `field` ("record(\"sgmnt_data.shmid\")=") in a MUPIP DUMPFHEAD output.
bool HeaderNumber(const std::string& output, const std::string& field, long& value) {
    const size_t at = output.find(field);
    if (at == std::string::npos)
        return false;
    char* end = nullptr;
    const char* start = output.c_str() + at + field.size();
    value = std::strtol(start, &end, 10);
    return end != start;
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

std::string InstanceFile(const std::string& path, const std::string& nameSpace) {
    return path + "/" + nameSpace + ".repl";
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
        CheckTool(RunTool(gtm_.Tool("mumps"), {"-run", "GDE"}, commands, variables),
                  "creating the global directory of " + name);
        CheckTool(RunTool(gtm_.Tool("mupip"), {"create"}, {}, variables),
                  "creating the database of " + name);
        CheckTool(RunTool(gtm_.Tool("mupip"),
                          {"set", "-journal=enable,on,before,file=" + base + ".mjl", "-region",
                           "DEFAULT"},
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
    const std::string previous = Lock();
    if (previous.find_first_not_of(" \n") != std::string::npos) {
        LogWarning("the last server on " + path_ +
                   " did not stop cleanly; recovering its databases");
        for (const std::string& name : Namespaces())
            Recover(name);
    } else {
        for (const std::string& name : Namespaces())
            if (LeftOpen(name)) {
                LogWarning("GT.M did not close the database of " + name +
                           " cleanly (its shared memory is left); recovering it");
                Recover(name);
            }
    }
    for (const std::string& name : Namespaces())
        CheckIntegrity(name);
    fs::create_directories(gtm_.ObjectDirectory);
    Compile();
    TRunDirectory(path_).Reset();
    WriteMCallsTable();
    WriteEnvironmentFile();
    // From here the directory is marked: the next start recovers unless Release empties this.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(pidFile_.Get(), 0) != 0 ||
        pwrite(pidFile_.Get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()) ||
        fsync(pidFile_.Get()) != 0)
        throw std::runtime_error("cannot write " + PidFile() + ": " + std::strerror(errno));
}

std::string TDataDirectory::Lock() {
    // Close-on-exec: jobs share the lock through fork, programs they start (ZSYSTEM) must not
    // hold it. The file is never removed: a new one beside a locked, unlinked one would let two
    // servers in.
    pidFile_.Reset(::open(PidFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!pidFile_.Valid())
        throw std::runtime_error("cannot open " + PidFile() + ": " + std::strerror(errno));
    std::string text(64, '\0');
    const ssize_t n = pread(pidFile_.Get(), text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (flock(pidFile_.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        pidFile_.Reset();
        if (error != EWOULDBLOCK)
            throw std::runtime_error("cannot lock " + PidFile() + ": " + std::strerror(error));
        std::string pid = text.substr(0, text.find('\n'));
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            pid = "?";
        throw std::runtime_error("another server (process " + (pid.empty() ? "?" : pid) +
                                 "), or jobs it left, still serve " + path_ +
                                 "; not starting a second one");
    }
    // Read again under the lock: a server that stopped meanwhile emptied it.
    text.assign(64, '\0');
    const ssize_t m = pread(pidFile_.Get(), text.data(), text.size(), 0);
    text.resize(m > 0 ? static_cast<size_t>(m) : 0);
    return text;
}

bool TDataDirectory::LeftOpen(const std::string& nameSpace) {
    const TToolResult header = RunTool(gtm_.Tool("mupip"), {"dumpfhead", "-region", "DEFAULT"}, {},
                                       gtm_.Variables(GlobalDirectory(nameSpace)));
    long shmid = -1;
    if (header.Status != 0 || !HeaderNumber(header.Output, "\"sgmnt_data.shmid\")=", shmid)) {
        LogLines(TLogLevel::Warning, "reading the file header of " + nameSpace + ": ",
                 header.Output);
        return true; // unreadable: recovery says more
    }
    if (shmid == -1)
        return false; // the last process closed it
    // Still named in the header: left by a process that died when the segment has nobody
    // attached or is gone (the host restarted); in use by a process of one's own otherwise.
    shmid_ds state{};
    if (shmctl(static_cast<int>(shmid), IPC_STAT, &state) != 0)
        return true;
    if (state.shm_nattch > 0) {
        LogInfo("the database of " + nameSpace + " is open in " + std::to_string(state.shm_nattch) +
                " other processes");
        return false;
    }
    return true;
}

void TDataDirectory::CheckIntegrity(const std::string& nameSpace) {
    // A fast check (the tree's structure, not every record) takes about 0.1 s for 200 MB. No
    // other process has the database open here, so it needs no snapshot (whose temporary file
    // would go in the current directory, which a service user may not write).
    const TToolResult result =
        RunTool(gtm_.Tool("mupip"), {"integ", "-fast", "-noonline", "-region", "DEFAULT"}, {},
                gtm_.Variables(GlobalDirectory(nameSpace)));
    if (result.Status == 0)
        return;
    LogLines(TLogLevel::Error, "integrity check of " + nameSpace + ": ", result.Output);
    throw std::runtime_error("the database of " + nameSpace + " (" + path_ + "/" + nameSpace +
                             ".dat) failed its integrity check (mupip integ; its messages are "
                             "above): not serving it until it is repaired or restored");
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
    // A replication instance is rolled back rather than recovered: that also puts its
    // instance file and sequence numbers in step with the database.
    const bool replicated = fs::exists(InstanceFile(path_, nameSpace));
    TToolResult result =
        RunTool(gtm_.Tool("mupip"),
                replicated ? std::vector<std::string>{"journal", "-rollback", "-backward", "*"}
                           : std::vector<std::string>{"journal", "-recover", "-backward", journal},
                {}, variables);
    if (result.Status == 0) {
        LogInfo("recovered namespace " + nameSpace + " from its journal");
        return;
    }
    LogLines(TLogLevel::Warning, "journal recovery of " + nameSpace + ": ", result.Output);
    LogWarning("journal recovery of " + nameSpace + " failed; running the database down");
    CheckTool(RunTool(gtm_.Tool("mupip"), {"rundown", "-region", "DEFAULT"}, {}, variables),
              "running down the database of " + nameSpace);
}

void TDataDirectory::Compile() {
    for (const auto& entry : fs::directory_iterator(gtm_.RoutineDirectory)) {
        if (entry.path().extension() != ".m")
            continue;
        const std::string object = gtm_.ObjectDirectory + "/" + entry.path().stem().string() + ".o";
        CheckTool(RunTool(gtm_.Tool("mumps"), {"-object=" + object, entry.path().string()}, {},
                          gtm_.Variables(GlobalDirectory(Namespaces().front()))),
                  "compiling " + entry.path().filename().string());
    }
}

void TDataDirectory::Release() {
    if (!pidFile_.Valid())
        return;
    if (ftruncate(pidFile_.Get(), 0) != 0 || fsync(pidFile_.Get()) != 0)
        LogWarning("cannot empty " + PidFile() + ": the next start recovers the databases");
}

} // namespace qdo::server
