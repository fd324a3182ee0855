#include "tools/qdo/Shell.h"

#include "tools/qdo/CommandLine.h"
#include "tools/qdo/Interrupt.h"
#include "tools/qdo/LineEditor.h"
#include "tools/qdo/LineSplit.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace qdo::tool {

namespace {

constexpr int quitShell = -1;
const char* const prompt = "qdo> ";

// The parser of one line: the commands, and what they leave.
struct TLineParser {
    CLI::App App{"The commands of qdo's shell; each takes the words it takes on qdo's command "
                 "line. Also: help [COMMAND], quit, exit (or Ctrl-D).",
                 ""};
    TOutput Output;
    TCommandSet Commands{App, Output, TCommandSet::TPlace::Shell};

    explicit TLineParser(const TOutput& defaults = {}) : Output(defaults) {
        App.require_subcommand(1);
    }
};

void PrintHelp(const std::vector<std::string>& words) {
    TLineParser parser;
    if (words.size() > 1) {
        CLI::App* command = nullptr;
        try {
            command = parser.App.get_subcommand(words[1]);
        } catch (const CLI::OptionNotFound&) {
            std::cerr << "qdo: there is no command " << words[1] << "\n";
            return;
        }
        std::cout << command->help();
        return;
    }
    std::cout << parser.App.help();
}

// The words that complete a line's first and second word.
void CompletionWords(std::vector<std::string>& first,
                     std::map<std::string, std::vector<std::string>>& following) {
    TLineParser parser;
    for (const CLI::App* command : parser.App.get_subcommands({})) {
        first.push_back(command->get_name());
        for (const CLI::App* sub : command->get_subcommands({}))
            following[command->get_name()].push_back(sub->get_name());
    }
    for (const char* word : {"help", "quit", "exit"})
        first.emplace_back(word);
}

// After Ctrl-C ended a request by shutting its connection down: a running line can only be
// stopped by leaving its session (the server then ends the job), so a new one takes its place.
void ReopenAfterInterrupt(TQdoConnect& connect, TServerOptions& server) {
    std::fflush(stdout);
    std::cerr << "\nqdo: interrupted; the line was stopped by closing its session, and a new one "
                 "is opened: local variables and a namespace switch are gone\n";
    ClearInterrupt();
    try {
        ReopenSession(connect, server);
    } catch (const std::exception& e) {
        std::cerr << "qdo: " << e.what() << "\n";
    }
}

// Runs one line; returns its exit status, or quitShell.
int RunLine(TQdoConnect& connect, TServerOptions& server, const TOutput& defaults,
            const std::string& line) {
    std::vector<std::string> words;
    try {
        words = SplitShellLine(line);
    } catch (const std::invalid_argument& e) {
        std::cerr << "qdo: " << e.what() << "\n";
        return exitUsage;
    }
    if (words.empty())
        return 0;
    if (words[0] == "quit" || words[0] == "exit")
        return quitShell;
    if (words[0] == "help") {
        PrintHelp(words);
        return 0;
    }

    TLineParser parser(defaults);
    try {
        parser.App.get_subcommand(words[0]);
    } catch (const CLI::OptionNotFound&) {
        std::cerr << "qdo: there is no command " << words[0] << "; help lists them\n";
        return exitUsage;
    }
    try {
        std::vector<std::string> reversed(words.rbegin(), words.rend()); // as CLI11 takes them
        parser.App.parse(reversed);
    } catch (const CLI::CallForHelp& e) {
        return parser.App.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qdo: " << e.what() << " (help " << words[0] << " says more)\n";
        return exitUsage;
    }
    if (!parser.Commands.Chosen)
        return 0;

    if (!connect.Active()) {
        if (const int status = OpenSessionOrSay(connect, server); status != 0)
            return status;
        std::cerr << "qdo: the session was lost; this is a new one\n";
    }
    ClearInterrupt();
    try {
        if (parser.Commands.ChosenTakesInterrupts) {
            parser.Commands.Chosen(connect);
        } else {
            TRequestInterruptScope interruptible(connect.Socket()->SocketHandle());
            parser.Commands.Chosen(connect);
        }
        std::fflush(stdout);
    } catch (const std::exception& e) {
        if (InterruptPending()) {
            ReopenAfterInterrupt(connect, server);
            return 0;
        }
        std::fflush(stdout);
        std::cerr << "qdo: " << e.what() << "\n";
        return ExitStatusOf(e);
    }
    // Ctrl-C as the request ended may have shut its socket all the same.
    if (InterruptPending())
        ReopenAfterInterrupt(connect, server);
    return 0;
}

} // namespace

int RunShell(TServerOptions& server, const TOutput& output) {
    const bool interactive = isatty(0) != 0;
    TQdoConnect connect;
    if (const int status = OpenSessionOrSay(connect, server); status != 0)
        return status;

    std::unique_ptr<TLineEditor> editor;
    if (interactive) {
        CatchInterrupts();
        std::vector<std::string> first;
        std::map<std::string, std::vector<std::string>> following;
        CompletionWords(first, following);
        editor =
            std::make_unique<TLineEditor>(HistoryFile(), std::move(first), std::move(following));
    }
    int status = 0;
    while (true) {
        ClearInterrupt();
        std::optional<std::string> line;
        if (editor) {
            line = editor->ReadLine(prompt);
            if (!line && InterruptPending()) {
                std::cout << std::endl; // Ctrl-C at the prompt: the line is dropped
                continue;
            }
        } else {
            std::string read;
            if (std::getline(std::cin, read))
                line = std::move(read);
        }
        if (!line) {
            if (editor)
                std::cout << std::endl;
            break;
        }
        const int result = RunLine(connect, server, output, *line);
        if (result == quitShell)
            break;
        if (result != 0)
            status = result;
    }
    try {
        connect.SetActive(false);
    } catch (const std::exception&) {
        // The session ends with the process all the same.
    }
    return interactive ? 0 : status;
}

} // namespace qdo::tool
