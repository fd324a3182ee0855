#include "tools/qdo/Password.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace qdo::tool {

std::string PasswordFor(const std::string& user) {
    if (const char* set = std::getenv("QDO_PASSWORD"))
        return set;
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0)
        throw std::runtime_error("no terminal to ask the password of " + user +
                                 " on; set QDO_PASSWORD");
    termios saved{};
    const bool echoOff = tcgetattr(tty, &saved) == 0;
    if (echoOff) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    const std::string prompt = "Password for " + user + ": ";
    [[maybe_unused]] ssize_t n = ::write(tty, prompt.data(), prompt.size());
    std::string password;
    char c;
    while (::read(tty, &c, 1) == 1 && c != '\n')
        password += c;
    if (echoOff)
        tcsetattr(tty, TCSAFLUSH, &saved);
    n = ::write(tty, "\n", 1);
    ::close(tty);
    return password;
}

} // namespace qdo::tool
