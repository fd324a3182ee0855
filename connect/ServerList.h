// The server list of a connection: "host:port,host:port,...", an IPv6 address written as
// "[addr]:port". Internal to the library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qdo {

struct TServerAddress {
    std::string Host; // a name or an address; an IPv6 address without its brackets
    std::string Port; // decimal, 1 to 65535, without leading zeros

    // "host:port", or "[addr]:port" for an IPv6 address.
    std::string Text() const;
    bool operator==(const TServerAddress&) const = default;
};

// The servers of `text` in order. Spaces and tabs around an entry are dropped; a text of
// nothing else is the empty list. A malformed list raises EMConnectError
// (ceCannotChangeProperty) whose message names the entry and what is wrong with it.
std::vector<TServerAddress> ParseServerList(std::string_view text);

// The list written back as ParseServerList reads it: entries joined with ','.
std::string ServerListText(const std::vector<TServerAddress>& servers);

} // namespace qdo
