// Lines typed on a terminal, through libedit's readline interface: editing, a history that
// outlives the run in a file, completion of the shell's words, and Ctrl-C that drops the line
// being typed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qdo::tool {

// libedit's readline interface keeps its state in the process: one editor at a time.
class TLineEditor {
public:
    // `historyFile`: read now, written after every line (made readable by its owner only, since
    // lines hold values); "" keeps no history. `words`: what the first word of a line completes
    // to; `following`: for a first word, what the second completes to (blob: put, get, rm); the
    // FILE of blob put and blob get completes to a file's name.
    TLineEditor(std::string historyFile, std::vector<std::string> words,
                std::map<std::string, std::vector<std::string>> following);
    ~TLineEditor();
    TLineEditor(const TLineEditor&) = delete;
    TLineEditor& operator=(const TLineEditor&) = delete;

    // The next line typed after `prompt`, without its line feed. Ends (nullopt) at Ctrl-D on an
    // empty line or the end of input, and on Ctrl-C: then InterruptPending() (Interrupt.h) is
    // true and the line typed so far is gone. Ctrl-C must be caught (CatchInterrupts) first.
    std::optional<std::string> ReadLine(const char* prompt);

private:
    std::string historyFile_;
    std::string lastLine_;
};

// The history file of the shell: $QDO_HISTORY when set ("" for none), else ~/.qdo_history, else
// none.
std::string HistoryFile();

} // namespace qdo::tool
