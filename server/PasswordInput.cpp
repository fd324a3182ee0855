#include "server/PasswordInput.h"

#include "server/UniqueFd.h"

#include <cstdio>
#include <fcntl.h>
#include <sodium.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace qdo::server {

namespace {

// One line from `fd` without its line end; false at the end of input before any byte.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c = 0;
    ssize_t n = 0;
    while ((n = ::read(fd, &c, 1)) == 1 && c != '\n')
        line += c;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return n == 1 || !line.empty();
}

// Asks on the terminal `tty` with echo off; the echo comes back even when reading fails.
std::string Ask(int tty, const std::string& prompt) {
    [[maybe_unused]] ssize_t n = ::write(tty, prompt.data(), prompt.size());
    termios saved{};
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    std::string answer;
    const bool read = ReadLine(tty, answer);
    if (isTerminal)
        tcsetattr(tty, TCSAFLUSH, &saved);
    n = ::write(tty, "\n", 1);
    if (!read)
        throw std::runtime_error("no password given");
    return answer;
}

} // namespace

std::string ReadNewPassword(const std::string& user) {
    std::string password;
    if (!isatty(0)) {
        if (!ReadLine(0, password))
            throw std::runtime_error("no password on standard input");
    } else {
        const TUniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC));
        const int tty = terminal.Get();
        if (tty < 0)
            throw std::runtime_error("cannot open the terminal to ask for the password");
        try {
            password = Ask(tty, "New password for " + user + ": ");
            std::string again = Ask(tty, "Again: ");
            const bool same = again == password;
            sodium_memzero(again.data(), again.size());
            if (!same)
                throw std::runtime_error("the two passwords differ");
        } catch (...) {
            sodium_memzero(password.data(), password.size());
            throw;
        }
    }
    if (password.empty())
        throw std::runtime_error("an empty password is not allowed");
    return password;
}

} // namespace qdo::server
