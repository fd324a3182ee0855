// Reading the server list: the entries it keeps, and the lists it refuses with a message that
// names the entry.
#include "connect/ServerList.h"
#include "connect/Qdoconnect.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

TEST(ServerList, GoodListsGiveTheirServersInOrder) {
    const struct {
        std::string text;
        std::vector<TServerAddress> servers;
        std::string written;
    } cases[] = {
        {"", {}, ""},
        {" \t ", {}, ""},
        {"db1:4001", {{"db1", "4001"}}, "db1:4001"},
        {"10.0.0.1:1,10.0.0.2:65535",
         {{"10.0.0.1", "1"}, {"10.0.0.2", "65535"}},
         "10.0.0.1:1,10.0.0.2:65535"},
        {" a:1 ,\tb.example.org:22 ",
         {{"a", "1"}, {"b.example.org", "22"}},
         "a:1,b.example.org:22"},
        {"[::1]:4001,[fe80::1:2]:9",
         {{"::1", "4001"}, {"fe80::1:2", "9"}},
         "[::1]:4001,[fe80::1:2]:9"},
        {"a:1,a:1", {{"a", "1"}, {"a", "1"}}, "a:1,a:1"}, // a repeat is tried twice
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::vector<TServerAddress> servers = ParseServerList(c.text);
        EXPECT_EQ(servers, c.servers);
        EXPECT_EQ(ServerListText(servers), c.written);
    }
}

TEST(ServerList, MalformedListsAreRefusedNamingTheEntry) {
    const struct {
        std::string text;
        std::string why; // a part of the message
    } cases[] = {
        {"db1", "entry 1 \"db1\" has no port"},
        {"db1:", "entry 1 \"db1:\" has no port"},
        {":4001", "entry 1 \":4001\" has no host"},
        {"a:1,,b:2", "entry 2 \"\" is empty"},
        {"a:1,", "entry 2 \"\" is empty"},
        {",a:1", "entry 1 \"\" is empty"},
        {"a:0", "not a number from 1 to 65535"},
        {"a:65536", "not a number from 1 to 65535"},
        {"a:01", "not a number from 1 to 65535"},
        {"a:+1", "not a number from 1 to 65535"},
        {"a:1x", "not a number from 1 to 65535"},
        {"a:123456", "not a number from 1 to 65535"},
        {"::1:4001", "has an IPv6 address outside brackets"},
        {"[::1:4001", "opens a bracket it does not close"},
        {"[::1]", "entry 1 \"[::1]\" has no port"},
        {"[::1]4001", "has no port"},
        {"[db1]:4001", "has no IPv6 address in its brackets"},
        {"a b:1", "has a host with a space or a bracket"},
        {"a]:1", "has a host with a space or a bracket"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseServerList(c.text);
            ADD_FAILURE() << "taken";
        } catch (const EMConnectError& e) {
            EXPECT_EQ(e.ErrorCode, ceCannotChangeProperty);
            EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
        }
    }
}

} // namespace
} // namespace qdo
