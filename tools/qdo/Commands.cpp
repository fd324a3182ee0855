#include "tools/qdo/Commands.h"

#include "encodings/Mlist.h"
#include "tools/qdo/Display.h"

#include <cstdio>

namespace qdo::tool {

namespace {

void Print(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

} // namespace

void Get(TQdoConnect& connect, const std::string& reference, const TOutput& output) {
    const std::string value = connect.Read(reference);
    Print(output.Raw ? value : Shown(value) + "\n");
}

void Set(TQdoConnect& connect, const std::string& reference, const std::string& value) {
    connect.Write(reference, value);
}

void Kill(TQdoConnect& connect, const std::string& reference) {
    connect.Kill(reference);
}

void Execute(TQdoConnect& connect, const std::string& line) {
    Print(connect.Execute(line));
}

void Terminal(TQdoConnect& connect, const std::string& line) {
    connect.OnTerminalOutput = [](TObject*, const std::string& text) {
        Print(text);
        std::fflush(stdout);
    };
    connect.ExecuteTerminal(line);
    connect.OnTerminalOutput = nullptr;
}

void Walk(TQdoConnect& connect, const std::string& reference, const TOutput& output) {
    bool first = true;
    TMList list;
    const auto print = [&](const std::string& chunk) {
        list.SetAllList(chunk);
        for (int32_t i = 1; i + 1 <= list.GetLength(); i += 2) {
            const std::string& name = list.GetList(i);
            const std::string value = list.GetList(i + 1);
            if (output.Json)
                Print(std::string(first ? "[\n" : ",\n") + "  {\"reference\": " + JsonString(name) +
                      ", \"value\": " + JsonString(value) + "}");
            else
                Print(Shown(name) + " = " + Shown(value) + "\n");
            first = false;
        }
    };
    // Every chunk but the last comes through the handler; the last is the call's result.
    connect.OnGroupRead = [&](TObject*, const std::string& chunk, bool&) { print(chunk); };
    print(connect.GroupRead(reference));
    connect.OnGroupRead = nullptr;
    if (output.Json)
        Print(first ? "[]\n" : "\n]\n");
}

} // namespace qdo::tool
