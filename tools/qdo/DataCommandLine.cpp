// The commands on references read into parts, as CLI11 subcommands of the client's command set.
#include "tools/qdo/CommandLine.h"
#include "tools/qdo/DataCommands.h"
#include "tools/qdo/RefParser.h"

namespace qdo::tool {

const CLI::Validator TypedReference(
    [](std::string& text) -> std::string {
        try {
            ParseMRef(text);
            return {};
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
    },
    "REF", "a reference");

namespace {

const CLI::Validator TypedValueCheck(
    [](std::string& text) -> std::string {
        try {
            ParseMValue(text);
            return {};
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
    },
    "VALUE", "a value");

} // namespace

void TCommandSet::AddDataCommands(
    CLI::App& app, const std::function<void(std::function<void(TQdoConnect&)>)>& choose) {
    const char* refHelp = "a reference as M writes it: ^X(\"a\",1), with \"strings\" (\"\" for a "
                          "quote), $C(n,...) joined by _, and canonical numbers";
    const auto withReference = [&](const char* name, const char* help, bool required = true) {
        CLI::App* sub = app.add_subcommand(name, help);
        CLI::Option* ref = sub->add_option("REF", reference_, refHelp)->check(TypedReference);
        if (required)
            ref->required();
        return sub;
    };
    const auto reverseFlag = [this](CLI::App* sub) {
        sub->add_flag("-r,--reverse", reverse_, "backward");
    };

    withReference("data", "print $DATA of a node: 0, 1 (a value), 10 (children), 11 (both)")
        ->callback([=, this] { choose([this](TQdoConnect& c) { DataOf(c, reference_); }); });
    CLI::App* order = withReference(
        "order", "print the next subscript at REF's last level ($ORDER; \"\" after the last; "
                 "start with \"\")");
    reverseFlag(order);
    order->callback(
        [=, this] { choose([this](TQdoConnect& c) { OrderOf(c, reference_, reverse_); }); });
    CLI::App* query = withReference("query", "print the next node with a value after REF ($QUERY)");
    reverseFlag(query);
    query->callback(
        [=, this] { choose([this](TQdoConnect& c) { QueryOf(c, reference_, reverse_); }); });
    CLI::App* incr = withReference("incr", "add BY (default 1) to a node atomically "
                                           "($INCREMENT) and print the new value");
    incr->add_option("BY", by_, "a canonical number")->check(TypedValueCheck);
    incr->callback(
        [=, this] { choose([this](TQdoConnect& c) { IncrementOf(c, reference_, by_); }); });
    CLI::App* lock = withReference("lock", "take a lock (LOCK +) for the session, waiting at most "
                                           "SECONDS (default 0); fails when not obtained");
    lock->add_option("SECONDS", seconds_, "how long to wait")->check(CLI::Range(0.0, 86400.0));
    lock->callback(
        [=, this] { choose([this](TQdoConnect& c) { LockOf(c, reference_, seconds_); }); });
    withReference("unlock", "release one level of REF's lock (LOCK -), or every lock without REF",
                  false)
        ->callback([=, this] { choose([this](TQdoConnect& c) { UnlockOf(c, reference_); }); });
    CLI::App* call = app.add_subcommand(
        "call",
        "DO label^routine(ARGS...) and print what it wrote; -f: print $$label^routine(...)");
    call->add_option("ENTRY", entry_, "label^routine or ^routine")->required();
    call->add_option("ARGS", arguments_, "\"strings\" and canonical numbers, passed by value")
        ->check(TypedValueCheck);
    call->add_flag("-f,--function", function_, "call it as a function and print its value");
    call->callback(
        [=, this] { choose([this](TQdoConnect& c) { Call(c, entry_, arguments_, function_); }); });
    CLI::App* ls = withReference("ls", "list the children of a node with their values");
    reverseFlag(ls);
    ls->callback(
        [=, this] { choose([this](TQdoConnect& c) { ListChildren(c, reference_, reverse_); }); });
    CLI::App* tree = withReference("tree", "list the nodes below REF that have values, "
                                           "node=value a line");
    reverseFlag(tree);
    tree->callback(
        [=, this] { choose([this](TQdoConnect& c) { Tree(c, reference_, reverse_); }); });
}

} // namespace qdo::tool
