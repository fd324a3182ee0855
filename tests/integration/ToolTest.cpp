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
#include <thread>
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

TEST(Tool, ServersFailOverPastARefusingServerAndAMalformedListIsAUsageError) {
    int32_t refusing = 0;
    {
        test::Listener closed;
        refusing = closed.Port();
    }
    const std::string refused = "127.0.0.1:" + std::to_string(refusing);
    std::string out;
    EXPECT_EQ(Qdo({"--servers", refused + ",127.0.0.1:" + std::to_string(Shared().Port()), "x",
                   "write 6*7"},
                  out),
              0)
        << out;
    EXPECT_EQ(out, "42");
    EXPECT_EQ(Qdo({"--servers", "nope", "x", "write 1"}, out), 2);
    EXPECT_NE(out.find("entry 1 \"nope\" has no port"), std::string::npos) << out;
    EXPECT_EQ(Qdo({"--servers", refused, "x", "write 1"}, out), 3);
    EXPECT_NE(out.find("No server of 1 answered: " + refused), std::string::npos) << out;
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

// The commands on typed references: each REF is read into parts and reaches M as data, so a
// subscript that looks like code names a node and runs nothing; what ls and tree print can be
// typed back.
TEST(Tool, DataCommandsReadTypedReferencesIntoPartsAndPrintThemTypeable) {
    auto connect = test::Open(Shared());
    connect->Execute("kill ^ToolD set ^ToolDCanary=1,^ToolD(1)=\"one\",^ToolD(2,\"a\")=2,"
                     "^ToolD(\"q\"\"\",$C(0))=$C(7)");
    std::string out;
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output; // exactly, or for a failure a part of the message
    } cases[] = {
        {{"ls", "^ToolD"},
         0,
         "^ToolD(1)=\"one\"\n^ToolD(2) (has children)\n^ToolD(\"q\"\"\") (has children)\n"},
        {{"ls", "-r", "^ToolD(\"q\"\"\")"}, 0, "^ToolD(\"q\"\"\",$C(0))=$C(7)\n"},
        {{"tree", "^ToolD"},
         0,
         "^ToolD(1)=\"one\"\n^ToolD(2,\"a\")=2\n^ToolD(\"q\"\"\",$C(0))=$C(7)\n"},
        {{"tree", "^ToolD", "--reverse"},
         0,
         "^ToolD(\"q\"\"\",$C(0))=$C(7)\n^ToolD(2,\"a\")=2\n^ToolD(1)=\"one\"\n"},
        {{"data", "^ToolD(\"q\"\"\",$C(0))"}, 0, "1\n"}, // as ls printed it
        {{"data", "^ToolD(2)"}, 0, "10\n"},
        {{"data", "^ToolD(\"2\")"}, 0, "10\n"}, // the string "2" is the number 2
        {{"data", "^ToolD(\"02\")"}, 0, "0\n"},
        {{"order", "^ToolD(\"\")"}, 0, "1\n"},
        {{"order", "^ToolD(\"\")", "-r"}, 0, "\"q\"\"\"\n"},
        {{"order", "^ToolD(\"q\"\"\")"}, 0, "\"\"\n"},
        {{"query", "^ToolD(1)"}, 0, "^ToolD(2,\"a\")\n"},
        {{"query", "^ToolD(\"q\"\"\",$C(0))"}, 0, ""},
        {{"incr", "^ToolD(\"n\")"}, 0, "1\n"},
        {{"incr", "^ToolD(\"n\")", "-2.5"}, 0, "-1.5\n"},
        {{"set", "^ToolD(3)", "x"}, 0, ""},
        {{"data", "^ToolD(\") k ^ToolDCanary s x=(\")"}, 0, "0\n"},
        {{"ls", "^ToolD(\"\",0) k ^ToolDCanary w (\"\")"}, 2, "unexpected ' '"},
        {{"call", "-f", "FUNC^%DH", "255", "4"}, 0, "00FF\n"},
        {{"call", "-f", "FUNC^%DH", "\"255\"_$C(0)"}, 0, ""}, // checked below: runs, as data
        {{"lock", "^ToolD", "0"}, 0, ""},
        {{"unlock"}, 0, ""},
        {{"data", "^ToolD(01)"}, 2, "\"01\" is not a canonical number"},
        {{"data", "^ToolD(1E3)"}, 2, "not a canonical number"},
        {{"data", "^ToolD(a)"}, 2, "expected a number"},
        {{"data", "@^ToolD"}, 2, "unexpected '@'"},
        {{"ls", "^ToolD(\"open)"}, 2, "not closed"},
        {{"incr", "^ToolD(\"n\")", "1E3"}, 2, "not a canonical number"},
        {{"call", "Nope^ToolNoRoutine"}, 1, "ZLINKFILE"},
        {{"call", "a^b^c"}, 1, "Invalid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back());
        EXPECT_EQ(Qdo(c.arguments, out), c.status) << out;
        if (c.status == 0 && !c.output.empty())
            EXPECT_EQ(out, c.output);
        else
            EXPECT_NE(out.find(c.output), std::string::npos) << out;
    }
    EXPECT_EQ(connect->Read("$G(^ToolDCanary)"), "1") << "a typed subscript ran as code";
    EXPECT_EQ(connect->Read("^ToolD(3)"), "x");
    connect->Execute("kill ^ToolD,^ToolDCanary");
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

// Sends EVENT with PARAMS (standard input) until a session listens to it: the listener of a test
// subscribes a moment after it starts. Returns whether one did within 10 s.
bool SendOnceHeard(const std::string& event, const std::string& params) {
    std::string out;
    for (int attempt = 0; attempt < 200; ++attempt) {
        EXPECT_EQ(Qdo({"send", event, "-"}, out, params), 0) << out;
        if (out == "1\n")
            return true;
        EXPECT_EQ(out, "0\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(Tool, ListenPrintsTheEventsThatAnotherClientSendsThenStops) {
    Shared(); // started here, before two threads would both start it
    // Three events, shown as the display rules say; an event of another name is not printed.
    std::string heard;
    int status = -1;
    std::thread listener([&] {
        status = Qdo({"listen", "--count", "3", "--timeout", "20", "ToolEvA", "ToolEvB"}, heard);
    });
    const bool reached = SendOnceHeard("ToolEvA", "hello world");
    std::string out;
    EXPECT_EQ(Qdo({"send", "ToolEvOther", "not for it"}, out), 0);
    EXPECT_EQ(out, "0\n"); // nobody listens to it
    EXPECT_EQ(Qdo({"send", "ToolEvB", "-"}, out, std::string("x\x01y\xff\x7f", 5)), 0) << out;
    EXPECT_EQ(Qdo({"send", "ToolEvA"}, out), 0) << out; // no parameters
    listener.join();
    ASSERT_TRUE(reached) << status << ": " << heard;
    EXPECT_EQ(status, 0) << heard;
    EXPECT_EQ(heard, "ToolEvA hello world\n"
                     "ToolEvB \"x\"_$C(1)_\"y\"_$C(255,127)\n"
                     "ToolEvA \n");

    // Parameters of 20,000 bytes of every value, more than a line of M code may hold, come
    // through byte for byte with --raw.
    std::string bytes;
    while (bytes.size() < 20000)
        bytes += test::AllBytes();
    bytes.resize(20000);
    std::thread rawListener([&] {
        status = Qdo({"--raw", "listen", "--count", "1", "--timeout", "20", "ToolEvRaw"}, heard);
    });
    const bool rawReached = SendOnceHeard("ToolEvRaw", bytes);
    rawListener.join();
    ASSERT_TRUE(rawReached);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::ToHex(heard), test::ToHex("ToolEvRaw " + bytes + "\n"));

    // JSON lines carry any bytes.
    std::thread jsonListener([&] {
        status = Qdo({"listen", "--json", "--count", "1", "--timeout", "20", "ToolEvJ"}, heard);
    });
    const bool jsonReached = SendOnceHeard("ToolEvJ", std::string("q\"\0\xe9", 4));
    jsonListener.join();
    ASSERT_TRUE(jsonReached);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(heard, "{\"event\": \"ToolEvJ\", \"params\": \"q\\\"\\u0000\\u00e9\"}\n");

    // The listener unsubscribed as it stopped, and the parameters' variable is gone.
    EXPECT_EQ(Qdo({"send", "ToolEvA", "late"}, out), 0);
    EXPECT_EQ(out, "0\n");
    EXPECT_EQ(Qdo({"x", "write $data(%qdoToolEventParams)"}, out), 0);
    EXPECT_EQ(out, "0");
}

TEST(Tool, ListenEndsWithAConnectionFailureWhenTheServerGoes) {
    ServerProcess server;
    const auto qdo = [&](std::vector<std::string> arguments, std::string& out) {
        arguments.insert(arguments.begin(),
                         {QDO_TOOL_PROGRAM, "--port", std::to_string(server.Port())});
        return ServerProcess::Run(arguments, out);
    };
    std::string said, out;
    int status = -1;
    // What it hears goes to a file as it comes, so that the server stops only once the event
    // has reached the client: a stop may end a job before it passes on an event it holds.
    const std::string heardFile = server.DataDirectory() + "/../heard.txt";
    std::thread listener([&] {
        status = ServerProcess::Run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >\"" + heardFile + "\"",
                                     QDO_TOOL_PROGRAM, "--port", std::to_string(server.Port()),
                                     "listen", "--timeout", "20", "ToolEvGone"},
                                    said);
    });
    const auto heardSoFar = [&] {
        std::ifstream in(heardFile);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    bool subscribed = false;
    for (int attempt = 0; attempt < 200 && !subscribed; ++attempt) {
        subscribed = qdo({"send", "ToolEvGone", "p"}, out) == 0 && out == "1\n";
        if (!subscribed)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int i = 0; i < 200 && heardSoFar().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Stop();
    listener.join();
    const std::string heard = heardSoFar() + said;
    ASSERT_TRUE(subscribed);
    EXPECT_EQ(status, 3) << heard;
    EXPECT_EQ(heard.find("ToolEvGone p\n"), 0u) << heard;
    EXPECT_NE(heard.find("the server closed the connection"), std::string::npos) << heard;
}

TEST(Tool, ListenThatHearsTooFewEventsInTimeFailsAndBadArgumentsAreUsageErrors) {
    std::string out;
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output; // a part of what it says
    } cases[] = {
        {{"listen", "--count", "1", "--timeout", "0.3", "ToolEvNobody"}, 1, "0 of 1 events"},
        {{"listen", "--timeout", "0.3", "ToolEvNobody"}, 0, ""}, // time was all it waited for
        {{"listen"}, 2, "EVENT is required"},
        {{"listen", "--count", "0", "E"}, 2, "count"},
        {{"listen", "--timeout", "1e300", "E"}, 2, "timeout"},
        {{"send"}, 2, "EVENT is required"},
        {{"send", std::string(101, 'e'), "p"}, 1, "EVENTTOOLONG"}, // the server's limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        EXPECT_EQ(Qdo(c.arguments, out), c.status) << out;
        EXPECT_NE(out.find(c.output), std::string::npos) << out;
    }
}

TEST(Tool, UserLogsOnWithThePasswordOfTheEnvironment) {
    char pattern[] = "/tmp/qdo-tool-auth-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    std::string out;
    ASSERT_EQ(ServerProcess::RunProgram({"passwd", "--auth", folder + "/auth", "alice"}, out,
                                        "wonderland\n"),
              0)
        << out;
    {
        ServerProcess server({"--auth", folder + "/auth", "--handshake-timeout", "2"});
        const auto run = [&](const std::vector<std::string>& arguments, const std::string& password,
                             const std::string& input = {}) {
            std::vector<std::string> command{QDO_TOOL_PROGRAM, "--port",
                                             std::to_string(server.Port()), "--user", "alice"};
            command.insert(command.end(), arguments.begin(), arguments.end());
            return ServerProcess::Run(command, out, input, {"QDO_PASSWORD=" + password});
        };
        EXPECT_EQ(run({"set", "^ToolAuth", "in"}, "wonderland"), 0) << out;
        EXPECT_EQ(run({"get", "^ToolAuth"}, "wonderland"), 0) << out;
        EXPECT_EQ(out, "in\n");
        // The shell logs on the same way.
        EXPECT_EQ(run({}, "wonderland", "get ^ToolAuth\n"), 0) << out;
        EXPECT_EQ(out, "in\n");
        EXPECT_EQ(run({"get", "^ToolAuth"}, "not the password"), 3) << out;
        EXPECT_EQ(out.find("in\n"), std::string::npos) << out;
        EXPECT_NE(out.find("cannot open a session"), std::string::npos) << out;
    }
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace qdo
