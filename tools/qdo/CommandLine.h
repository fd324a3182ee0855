// The client's commands as CLI11 subcommands: one set for the words of a run's command line and
// for a line typed in the shell, so that both take the same commands the same way.
#pragma once

#include "connect/Qdoconnect.h"
#include "tools/qdo/Commands.h"
#include "tools/qdo/Events.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qdo::tool {

// Refuses, as a usage error, a REF that RefParser cannot read.
extern const CLI::Validator TypedReference;

class TCommandSet {
public:
    // Where the words come from. On the command line a VALUE or PARAMS of "-" means standard
    // input; in the shell it is the text "-", since standard input holds the commands.
    enum class TPlace { CommandLine, Shell };

    // Adds the commands to `app`; a parse of `app` then leaves the chosen one in Chosen.
    // `output` takes the display flags of the command (--raw, --json). Both must outlive the
    // parse and the run of the command.
    TCommandSet(CLI::App& app, TOutput& output, TPlace place);
    TCommandSet(const TCommandSet&) = delete;
    TCommandSet& operator=(const TCommandSet&) = delete;

    // The command that the parse chose, to run on an open session; empty when none was.
    std::function<void(TQdoConnect&)> Chosen;
    // Whether it waits for Ctrl-C itself (listen), rather than being ended by it.
    bool ChosenTakesInterrupts = false;

private:
    std::string ValueOf(const std::string& argument) const;
    // The commands on references read into parts (DataCommands.h); `choose` sets Chosen.
    void AddDataCommands(CLI::App& app,
                         const std::function<void(std::function<void(TQdoConnect&)>)>& choose);
    // export, import, tx and batch (FileCommands.h).
    void AddFileCommands(CLI::App& app,
                         const std::function<void(std::function<void(TQdoConnect&)>)>& choose);

    TOutput& output_;
    TPlace place_;
    std::string reference_, value_, line_, file_, blobName_, event_, params_;
    std::vector<std::string> events_;
    int32_t blobId_ = 0;
    std::string entry_, by_ = "1";
    std::vector<std::string> arguments_;
    bool reverse_ = false, function_ = false, replace_ = false;
    double seconds_ = 0;
    TListenOptions listen_;
};

} // namespace qdo::tool
