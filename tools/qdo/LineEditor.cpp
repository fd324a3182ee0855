#include "tools/qdo/LineEditor.h"

#include "tools/qdo/Interrupt.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <editline/readline.h>

namespace qdo::tool {

namespace {

std::vector<std::string> firstWords;
std::map<std::string, std::vector<std::string>> followingWords;
const std::vector<std::string>* candidates = nullptr;

// Reads a byte of the terminal, or gives up at Ctrl-C (EOF).
int ReadByte() {
    while (true) {
        if (InterruptPending())
            return EOF;
        pollfd watched[] = {{0, POLLIN, 0}, {InterruptDescriptor(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR)
            return EOF;
        if (InterruptPending())
            return EOF;
        if (watched[0].revents == 0)
            continue;
        unsigned char byte;
        const ssize_t n = ::read(0, &byte, 1);
        if (n == 1)
            return byte;
        if (n == 0 || (errno != EINTR && errno != EAGAIN))
            return EOF;
    }
}

// Reads a character of the terminal for libedit, or gives up at Ctrl-C: EOF then ends the line.
// libedit takes what this returns as a wide character, so the bytes of a multibyte character
// are decoded here, by the locale's character set (a byte that does not decode is passed on as
// it came).
int ReadCharacter(FILE*) {
    std::mbstate_t state{};
    while (true) {
        const int byte = ReadByte();
        if (byte == EOF)
            return EOF;
        const char c = static_cast<char>(byte);
        wchar_t wide = 0;
        const size_t used = std::mbrtowc(&wide, &c, 1, &state);
        if (used == static_cast<size_t>(-2))
            continue; // more bytes of the character to come
        if (used == static_cast<size_t>(-1))
            return byte;
        return static_cast<int>(wide);
    }
}

// The candidates that begin with `text`, one a call, as rl_completion_matches asks.
char* NextCandidate(const char* text, int state) {
    static size_t next;
    if (state == 0)
        next = 0;
    const size_t length = std::strlen(text);
    while (candidates != nullptr && next < candidates->size()) {
        const std::string& word = (*candidates)[next++];
        if (word.compare(0, length, text) == 0)
            return ::strdup(word.c_str()); // libedit frees it
    }
    return nullptr;
}

// The words of the line before the one being completed.
std::vector<std::string> WordsBefore(int start) {
    std::vector<std::string> words;
    std::string word;
    for (int i = 0; i < start && rl_line_buffer[i] != '\0'; ++i) {
        const char c = rl_line_buffer[i];
        if (c == ' ' || c == '\t') {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

// Whether the word after `before` is a FILE: blob put FILE, blob get ID FILE, tx FILE,
// batch FILE, and export or import after their REF.
bool CompletesFileName(const std::vector<std::string>& before) {
    const std::string& command = before[0];
    if (command == "blob")
        return (before.size() == 2 && before[1] == "put") ||
               (before.size() == 3 && before[1] == "get");
    if (command == "tx" || command == "batch")
        return before.size() == 1;
    return (command == "export" || command == "import") && before.size() >= 2;
}

char** Complete(const char* text, int start, int) {
    const std::vector<std::string> before = WordsBefore(start);
    rl_attempted_completion_over = 1; // no file names unless said below
    candidates = nullptr;
    if (before.empty()) {
        candidates = &firstWords;
    } else if (before.size() == 1 && followingWords.count(before[0]) != 0) {
        candidates = &followingWords.find(before[0])->second;
    } else if (CompletesFileName(before)) {
        rl_attempted_completion_over = 0; // libedit's own: file names
        return nullptr;
    }
    return candidates == nullptr ? nullptr : rl_completion_matches(text, NextCandidate);
}

} // namespace

std::string HistoryFile() {
    if (const char* set = std::getenv("QDO_HISTORY"))
        return set;
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home) + "/.qdo_history";
    return {};
}

TLineEditor::TLineEditor(std::string historyFile, std::vector<std::string> words,
                         std::map<std::string, std::vector<std::string>> following)
    : historyFile_(std::move(historyFile)) {
    firstWords = std::move(words);
    followingWords = std::move(following);
    // libedit decodes what is typed by the locale's character set, and drops what it cannot
    // decode: without a locale (C, ASCII) every byte of 128 and up typed would be lost, so that
    // case reads UTF-8.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0 &&
        std::strcmp(nl_langinfo(CODESET), "ANSI_X3.4-1968") == 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
    rl_readline_name = "qdo";
    rl_catch_signals = 0; // SIGINT is the client's (Interrupt.h), not libedit's
    rl_getc_function = ReadCharacter;
    rl_attempted_completion_function = Complete;
    rl_initialize();
    using_history();
    stifle_history(1000);
    if (!historyFile_.empty()) {
        // Made before libedit writes it, so that it is never readable by others.
        const int fd = ::open(historyFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
        read_history(historyFile_.c_str());
    }
}

TLineEditor::~TLineEditor() {
    rl_getc_function = nullptr;
    rl_attempted_completion_function = nullptr;
    clear_history();
}

std::optional<std::string> TLineEditor::ReadLine(const char* prompt) {
    char* typed = readline(prompt);
    if (typed == nullptr)
        return std::nullopt;
    std::string line(typed);
    std::free(typed);
    // A line that is blank or the same as the one before adds nothing to recall.
    if (line.find_first_not_of(" \t") != std::string::npos && line != lastLine_) {
        add_history(line.c_str());
        lastLine_ = line;
        if (!historyFile_.empty())
            write_history(historyFile_.c_str());
    }
    return line;
}

} // namespace qdo::tool
