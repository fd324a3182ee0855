// The command-line client `qdo` against the reference server, run as a user runs it: its
// one-shot commands, what they print, and their exit status.
#include "ServerProcess.h"
#include "SharedServer.h"
#include "connect/Qdoconnect.h"
#include "support/Bytes.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qdo {
namespace {

using test::ServerProcess;
using test::Shared;

// Runs qdo on the shared server with `arguments`; its status, and stdout and stderr in `output`.
int Qdo(const std::vector<std::string>& arguments, std::string& output,
        const std::string& input = {}) {
    std::vector<std::string> command{QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port())};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return ServerProcess::Run(command, output, input);
}

TEST(Tool, OneShotCommandsPrintWhatTheyReadAndSayHowTheyEnded) {
    std::string out;
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output; // exactly, or for a failure a part of the message
    } cases[] = {
        {{"set", "^Tool(1)", "hello world"}, 0, ""},
        {{"get", "^Tool(1)"}, 0, "hello world\n"},
        {{"--raw", "get", "^Tool(1)"}, 0, "hello world"},
        {{"set", "^Tool(\"a\",2)", "two"}, 0, ""},
        {{"walk", "^Tool"}, 0, "^Tool(1) = hello world\n^Tool(\"a\",2) = two\n"},
        {{"x", "write \"line\",! write ^Tool(1)"}, 0, "line\nhello world"},
        {{"t", "write \"first\",! hang 0.1 write \"second\",!"}, 0, "first\nsecond\n"},
        {{"kill", "^Tool(1)"}, 0, ""},
        {{"get", "^Tool(1)"}, 1, "GVUNDEF"}, // an M error
        {{"x", "write 1/0"}, 1, "DIVZERO"},  // another
        {{"-n", "NOSUCH", "get", "^Tool"}, 1, "NAMESPACE"},
        {{"get"}, 2, "REF is required"},          // usage
        {{"frobnicate", "^Tool"}, 2, ""},         // no such command
        {{"--port", "0", "get", "^Tool"}, 2, ""}, // a port out of range
        {{"kill", "^Tool"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back());
        EXPECT_EQ(Qdo(c.arguments, out), c.status) << out;
        if (c.status == 0)
            EXPECT_EQ(out, c.output);
        else
            EXPECT_NE(out.find(c.output), std::string::npos) << out;
    }
    // No server there: a connection failure.
    const std::vector<std::string> command{QDO_TOOL_PROGRAM, "--port",
                                           std::to_string(test::ClosedPort()), "get", "^Tool"};
    EXPECT_EQ(ServerProcess::Run(command, out), 3) << out;
}

TEST(Tool, BinaryValuesGoInFromStandardInputAndComeOutRawOrSafe) {
    const std::string bytes = test::AllBytes() + test::AllBytes();
    std::string out;
    ASSERT_EQ(Qdo({"set", "^ToolBin", "-"}, out, bytes), 0) << out;
    ASSERT_EQ(Qdo({"--raw", "get", "^ToolBin"}, out), 0);
    EXPECT_EQ(test::ToHex(out), test::ToHex(bytes));

    // Shown safely: no control byte reaches the terminal, and M reads the text back as the value.
    ASSERT_EQ(Qdo({"get", "^ToolBin"}, out), 0);
    ASSERT_FALSE(out.empty());
    const std::string shown = out.substr(0, out.size() - 1);
    for (const char c : shown)
        EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) << int(c);
    auto connect = test::Open(Shared());
    EXPECT_EQ(test::ToHex(connect->Read(shown)), test::ToHex(bytes));

    // JSON, parsed back by Python's json: each byte a code point of the same number.
    ASSERT_EQ(Qdo({"walk", "--json", "^ToolBin"}, out), 0);
    std::string parsed;
    ASSERT_EQ(
        ServerProcess::Run({"/usr/bin/python3", "-c",
                            "import json, sys\n"
                            "nodes = json.load(sys.stdin)\n"
                            "value = nodes[0]['value'].encode('latin-1')\n"
                            "print(nodes[0]['reference'], ' '.join('%02X' % b for b in value),"
                            " end='')"},
                           parsed, out),
        0)
        << parsed;
    EXPECT_EQ(parsed, "^ToolBin " + test::ToHex(bytes));
    connect->Kill("^ToolBin");
}

TEST(Tool, AFileGoesIntoABlobAndComesBackByteForByte) {
    char pattern[] = "/tmp/qdo-tool-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    std::string bytes(5 * 1024 * 1024 + 123, '\0'); // 5 MiB and a part block
    uint32_t state = 12345;
    for (char& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<char>(state >> 24);
    }
    std::ofstream(folder + "/in.bin", std::ios::binary) << bytes;

    std::string out;
    ASSERT_EQ(Qdo({"blob", "put", folder + "/in.bin"}, out), 0) << out;
    const std::string id = out.substr(0, out.find('\n'));
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(Qdo({"blob", "get", id, folder + "/out.bin"}, out), 0) << out;
    std::ifstream back(folder + "/out.bin", std::ios::binary);
    const std::string read((std::istreambuf_iterator<char>(back)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(read.size(), bytes.size());
    EXPECT_TRUE(read == bytes);

    EXPECT_EQ(Qdo({"blob", "rm", id}, out), 0) << out;
    EXPECT_EQ(Qdo({"blob", "get", id, folder + "/gone.bin"}, out), 1);
    EXPECT_NE(out.find("there is no BLOB " + id), std::string::npos) << out;
    EXPECT_EQ(Qdo({"blob", "rm", id}, out), 1);
    EXPECT_EQ(Qdo({"blob", "put", folder + "/missing.bin"}, out), 2) << out;
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace qdo
