// Reading and writing the server list.
#include "connect/ServerList.h"

#include "connect/Qdoconnect.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace qdo {

namespace {

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void Refuse(size_t number, std::string_view entry, const std::string& why) {
    throw EMConnectError("Servers: entry " + std::to_string(number) + " \"" + std::string(entry) +
                             "\" " + why +
                             " (write host:port or [IPv6 address]:port, joined "
                             "with commas)",
                         ceCannotChangeProperty);
}

// The port of an entry: 1 to 65535 in decimal digits, no sign, no leading zero.
std::string PortOf(size_t number, std::string_view entry, std::string_view port) {
    if (port.empty())
        Refuse(number, entry, "has no port");
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
        port[0] == '0' || std::stoi(std::string(port)) > 65535)
        Refuse(number, entry, "has a port that is not a number from 1 to 65535");
    return std::string(port);
}

TServerAddress EntryOf(size_t number, std::string_view entry) {
    if (entry.empty())
        Refuse(number, entry, "is empty");
    if (entry.front() == '[') {
        const size_t close = entry.find(']');
        if (close == std::string_view::npos)
            Refuse(number, entry, "opens a bracket it does not close");
        const std::string address(entry.substr(1, close - 1));
        in6_addr parsed{};
        if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1)
            Refuse(number, entry, "has no IPv6 address in its brackets");
        if (close + 1 >= entry.size() || entry[close + 1] != ':')
            Refuse(number, entry, "has no port");
        return {address, PortOf(number, entry, entry.substr(close + 2))};
    }
    const size_t colon = entry.rfind(':');
    if (colon == std::string_view::npos)
        Refuse(number, entry, "has no port");
    const std::string_view host = entry.substr(0, colon);
    if (host.empty())
        Refuse(number, entry, "has no host");
    if (host.find(':') != std::string_view::npos)
        Refuse(number, entry, "has an IPv6 address outside brackets");
    if (host.find_first_of(" \t[]") != std::string_view::npos)
        Refuse(number, entry, "has a host with a space or a bracket in it");
    return {std::string(host), PortOf(number, entry, entry.substr(colon + 1))};
}

} // namespace

std::string TServerAddress::Text() const {
    if (Host.find(':') != std::string::npos)
        return "[" + Host + "]:" + Port;
    return Host + ":" + Port;
}

std::vector<TServerAddress> ParseServerList(std::string_view text) {
    std::vector<TServerAddress> servers;
    if (Trimmed(text).empty())
        return servers;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string_view entry =
            text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        servers.push_back(EntryOf(servers.size() + 1, Trimmed(entry)));
        if (comma == std::string_view::npos)
            return servers;
        start = comma + 1;
    }
}

std::string ServerListText(const std::vector<TServerAddress>& servers) {
    std::string text;
    for (const TServerAddress& server : servers) {
        if (!text.empty())
            text += ',';
        text += server.Text();
    }
    return text;
}

} // namespace qdo
