#include "tools/qdo/CommandLine.h"

#include <cstdio>

namespace qdo::tool {

namespace {

// VALUE read from standard input whole (binary-safe).
std::string StandardInput() {
    std::string value;
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, stdin)) > 0)
        value.append(block, n);
    return value;
}

} // namespace

std::string TCommandSet::ValueOf(const std::string& argument) const {
    return argument == "-" && place_ == TPlace::CommandLine ? StandardInput() : argument;
}

TCommandSet::TCommandSet(CLI::App& app, TOutput& output, TPlace place)
    : output_(output), place_(place) {
    const auto choose = [this](std::function<void(TQdoConnect&)> command) {
        Chosen = std::move(command);
    };
    const auto rawFlag = [this](CLI::App* sub) {
        sub->add_flag("--raw", output_.Raw, "print values byte for byte");
    };
    const auto withReference = [&](const char* name, const char* help) {
        CLI::App* sub = app.add_subcommand(name, help);
        sub->add_option("REF", reference_, "a variable: ^Global(subscripts...) or a local")
            ->required();
        return sub;
    };

    CLI::App* get = withReference("get", "print the value of a variable");
    rawFlag(get);
    get->callback([=, this] { choose([this](TQdoConnect& c) { Get(c, reference_, output_); }); });
    withReference("set", place == TPlace::Shell
                             ? "set a variable to VALUE, the rest of the line as typed"
                             : "set a variable: VALUE, or standard input for -")
        ->callback(
            [=, this] { choose([this](TQdoConnect& c) { Set(c, reference_, ValueOf(value_)); }); })
        ->add_option("VALUE", value_,
                     place == TPlace::Shell ? "the value" : "the value, or - for standard input")
        ->required();
    withReference("kill", "kill a variable and its subtree")->callback([=, this] {
        choose([this](TQdoConnect& c) { Kill(c, reference_); });
    });
    CLI::App* walk = withReference("walk", "print every node of a subtree");
    walk->add_flag("--json", output_.Json, "print a JSON array of {reference, value}");
    rawFlag(walk);
    walk->callback([=, this] { choose([this](TQdoConnect& c) { Walk(c, reference_, output_); }); });
    AddDataCommands(app, choose);
    AddFileCommands(app, choose);
    app.add_subcommand("x", "run an M command line and print what it wrote")
        ->callback([=, this] { choose([this](TQdoConnect& c) { Execute(c, line_); }); })
        ->add_option("LINE", line_, "the command line")
        ->required();
    app.add_subcommand("t", "run an M command line, printing what it writes as it writes it")
        ->callback([=, this] { choose([this](TQdoConnect& c) { Terminal(c, line_); }); })
        ->add_option("LINE", line_, "the command line")
        ->required();

    CLI::App* blob = app.add_subcommand("blob", "move files in and out of BLOBs on the server");
    blob->require_subcommand(1);
    CLI::App* put = blob->add_subcommand("put", "store FILE as a new BLOB; prints its identifier");
    put->add_option("FILE", file_, "the file")->required()->check(CLI::ExistingFile);
    put->add_option("--name", blobName_, "the BLOB's name (default: the file's name)");
    put->callback([=, this] { choose([this](TQdoConnect& c) { BlobPut(c, file_, blobName_); }); });
    CLI::App* getBlob = blob->add_subcommand("get", "write BLOB ID into FILE");
    getBlob->add_option("ID", blobId_, "the BLOB's identifier")->required();
    getBlob->add_option("FILE", file_, "the file (made anew)")->required();
    getBlob->callback(
        [=, this] { choose([this](TQdoConnect& c) { BlobGet(c, blobId_, file_); }); });
    blob->add_subcommand("rm", "delete BLOB ID")
        ->callback([=, this] { choose([this](TQdoConnect& c) { BlobRemove(c, blobId_); }); })
        ->add_option("ID", blobId_, "the BLOB's identifier")
        ->required();

    CLI::App* listen = app.add_subcommand(
        "listen", "print the events EVENT... as they come (\"EVENT PARAMS\" a line), until Ctrl-C");
    listen->add_option("EVENT", events_, "the events' names")->required();
    listen->add_option("--count", listen_.Count, "stop after N events")->check(CLI::PositiveNumber);
    listen
        ->add_option("--timeout", listen_.Seconds,
                     "stop after SECONDS (with --count: a failure when fewer came)")
        ->check(CLI::Range(0.001, 366.0 * 86400)); // up to a year: well within the clock's reach
    listen->add_flag("--json", output_.Json, "print a JSON object {event, params} a line");
    rawFlag(listen);
    listen->callback([=, this] {
        ChosenTakesInterrupts = true;
        choose([this](TQdoConnect& c) { Listen(c, events_, listen_, output_); });
    });
    app.add_subcommand("send", "send the event EVENT with PARAMS to the sessions that listen to "
                               "it; prints how many there are")
        ->callback([=, this] {
            choose([this](TQdoConnect& c) {
                std::printf("%d\n", Send(c, event_, ValueOf(params_)));
                std::fflush(stdout);
            });
        })
        ->add_option("EVENT", event_, "the event's name")
        ->required();
    app.get_subcommand("send")->add_option(
        "PARAMS", params_,
        place == TPlace::Shell ? "its parameters, the rest of the line as typed (default none)"
                               : "its parameters, or - for standard input (default none)");
}

} // namespace qdo::tool
