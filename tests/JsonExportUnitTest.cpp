// JSON export against an in-memory peer: one Execute per batch, each going on from the last node
// of the one before, each batch's text handed on as it arrives; a root without children costs
// one request; replies that a changing tree could give fail the export instead of writing wrong
// JSON.
#include "connect/Database.h"
#include "connect/Json.h"
#include "connect/JsonLines.h"
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::OneArgument;
using test::OpenOn;
using ScriptedPeer = test::MemoryPeer;
using test::Ok;

// Exports `root` against the script; the pieces the sink received, or the error's message.
std::vector<std::string> Export(const TMRef& root, std::vector<ScriptedPeer::Step> script,
                                const TMJsonExportOptions& options, std::string* error) {
    script.insert(script.begin(), AcceptInline());
    ScriptedPeer peer(std::move(script));
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000); // a request the script does not expect fails, not hangs
    TMDatabase db(connect);
    std::vector<std::string> pieces;
    try {
        ExportJson(
            db, root, [&](std::string_view piece) { pieces.emplace_back(piece); }, options);
    } catch (const EMJsonError& e) {
        *error = e.Message();
    }
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    return pieces;
}

TEST(JsonExportRequests, EachBatchGoesOnFromTheLastNodeAndIsHandedOnAsItArrives) {
    const TMRef root("^X", {"r"});
    TMJsonExportOptions options;
    options.BatchNodes = 2;
    options.BatchBytes = 500;
    std::string error;
    const auto pieces = Export(
        root,
        {
            ScriptedPeer::Expect(OneArgument('x', lines::JsonRoot(root))),
            ScriptedPeer::Send(Chunk("O11:v") + Ok),
            ScriptedPeer::Expect(OneArgument('x', lines::JsonNodeBatch(root, {}, 2, 500))),
            // ^X("r","a",1)=1, ^X("r","a",2)="two": an array entered, two leaves
            ScriptedPeer::Send(Chunk("N1:10:2:A1:aL1:1N3:t") + Chunk("wo1:1:L1:2M") + Ok),
            ScriptedPeer::Expect(OneArgument('x', lines::JsonNodeBatch(root, {"a", "2"}, 2, 500))),
            // ^X("r","b")=.5 with a child, ^X("r","b","c")="x\"y"
            ScriptedPeer::Send(Chunk("N2:.50:1:O1:bN3:x\"y1:1:L1:cE") + Ok),
        },
        options, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(pieces, (std::vector<std::string>{R"({"":"v","a":[1,"two")",
                                                R"(],"b":{"":0.5,"c":"x\"y"}})"}));
}

TEST(JsonExportRequests, ARootWithoutChildrenCostsOneRequest) {
    const struct {
        const char* reply;
        const char* json;
    } cases[] = {{"X0", "null"}, {"L13:abc", "\"abc\""}, {"L14:-1.5", "-1.5"}};
    for (const auto& c : cases) {
        const TMRef root("^X");
        std::string error;
        const auto pieces = Export(root,
                                   {ScriptedPeer::Expect(OneArgument('x', lines::JsonRoot(root))),
                                    ScriptedPeer::Send(Chunk(c.reply) + Ok)},
                                   {}, &error);
        EXPECT_EQ(pieces, std::vector<std::string>{c.json}) << c.reply;
    }
}

TEST(JsonExportRequests, RepliesOfATreeThatChangedFailTheExport) {
    const struct {
        const char* root;
        const char* batch;
        const char* message;
    } cases[] = {
        {"A0", "N1:x0:1:L1:2E", "an array's element is missing or out of place"},
        {"A0", "N1:x0:1:L1:1N1:y0:1:L1:3E", "an array's element is missing or out of place"},
        {"O0", "N1:x0:1:L1:aN1:y1:1:L1:bE", "a node turned up below one that had no children"},
        {"O0", "N1:x0:1:L1:aN1:y2:1:L1:bE", "a node's path does not follow the node before it"},
    };
    for (const auto& c : cases) {
        const TMRef root("^X");
        std::string error;
        const auto pieces = Export(
            root,
            {ScriptedPeer::Expect(OneArgument('x', lines::JsonRoot(root))),
             ScriptedPeer::Send(Chunk(c.root) + Ok),
             ScriptedPeer::Expect(OneArgument('x', lines::JsonNodeBatch(root, {}, 1000, 32768))),
             ScriptedPeer::Send(Chunk(c.batch) + Ok)},
            {}, &error);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.batch << ": " << error;
        EXPECT_NE(error.find("changed during the export"), std::string::npos) << error;
    }
}

} // namespace
} // namespace qdo
