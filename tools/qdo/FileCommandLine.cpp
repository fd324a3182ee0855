// The commands with a file of their own (FileCommands.h), as CLI11 subcommands of the client's
// command set.
#include "tools/qdo/CommandLine.h"
#include "tools/qdo/FileCommands.h"
#include "tools/qdo/RefParser.h"

#include <filesystem>

namespace qdo::tool {

namespace {

// A FILE to read: an existing file, or on the command line "-" for standard input. The shell's
// standard input holds its commands, so there "-" is refused.
CLI::Validator InputFile(TCommandSet::TPlace place) {
    return CLI::Validator(
        [place](std::string& file) -> std::string {
            if (file == "-")
                return place == TCommandSet::TPlace::CommandLine
                           ? std::string()
                           : "standard input holds the shell's commands: name a file";
            std::error_code error;
            if (!std::filesystem::is_regular_file(file, error) &&
                !std::filesystem::is_fifo(file, error))
                return "there is no file " + file;
            return {};
        },
        "FILE", "a file");
}

} // namespace

void TCommandSet::AddFileCommands(
    CLI::App& app, const std::function<void(std::function<void(TQdoConnect&)>)>& choose) {
    const char* refHelp = "the subtree's root, typed as for the data commands: ^X(\"a\",1)";
    const char* inputHelp =
        place_ == TPlace::CommandLine ? "the file, or - for standard input" : "the file";

    CLI::App* exportJson =
        app.add_subcommand("export", "write a subtree as JSON to FILE or standard output");
    exportJson->add_option("REF", reference_, refHelp)->required()->check(TypedReference);
    exportJson->add_option("FILE", file_, "the file (made anew), or - for standard output");
    exportJson->callback(
        [=, this] { choose([this](TQdoConnect& c) { ExportSubtree(c, reference_, file_); }); });

    CLI::App* importJson = app.add_subcommand(
        "import", "read one JSON value from FILE into a subtree; prints how many values were set");
    importJson->add_option("REF", reference_, refHelp)->required()->check(TypedReference);
    importJson->add_option("FILE", file_, inputHelp)->required()->check(InputFile(place_));
    importJson->add_flag("--replace", replace_,
                         "kill the subtree first, so that it holds exactly the document");
    importJson->callback([=, this] {
        choose([this](TQdoConnect& c) { ImportSubtree(c, reference_, file_, replace_); });
    });

    const char* operationsHelp =
        "one operation a line: set REF VALUE, kill REF, get REF, incr REF [BY]; REF and "
        "VALUE typed as for the data commands; # begins a comment line";
    CLI::App* transaction = app.add_subcommand(
        "tx", "run the operations of FILE as one transaction: all applied, or none; prints the "
              "results of get and incr");
    transaction->add_option("FILE", file_, inputHelp)->required()->check(InputFile(place_));
    transaction->footer(operationsHelp);
    transaction->callback(
        [=, this] { choose([this](TQdoConnect& c) { RunTransactionFile(c, file_); }); });
    CLI::App* batch = app.add_subcommand(
        "batch", "run the operations of FILE in order in as few round trips as can be, stopping "
                 "at the first that fails; prints the results of get and incr");
    batch->add_option("FILE", file_, inputHelp)->required()->check(InputFile(place_));
    batch->footer(operationsHelp);
    batch->callback([=, this] { choose([this](TQdoConnect& c) { RunBatchFile(c, file_); }); });
}

} // namespace qdo::tool
