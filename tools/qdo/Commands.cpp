#include "tools/qdo/Commands.h"

#include "classes/Streams.h"
#include "encodings/Mlist.h"
#include "tools/qdo/Display.h"
#include "tools/qdo/Progress.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace qdo::tool {

namespace {

void Print(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

// What a BLOB transfer's result says when it is not the BLOB's identifier.
void CheckLocked(int32_t result, int32_t id) {
    if (result != id)
        throw std::runtime_error("BLOB " + std::to_string(id) +
                                 " is held by another client (the server's lock was not obtained)");
}

// The bytes the header of BLOB `id` counts (its third "~" piece); fails when there is none.
int64_t BlobSize(TQdoConnect& connect, int32_t id) {
    const std::string node = "^BLOB(" + std::to_string(id) + ")";
    if (connect.Read("$data(" + node + ")#2") != "1")
        throw std::runtime_error("there is no BLOB " + std::to_string(id));
    return std::stoll("0" + connect.Read("+$piece(" + node + ",\"~\",3)"));
}

// Clears a handler of the connection when the command that set it ends, however it ends: a
// handler left behind would be called by later requests (an Execute hands its reply to
// OnGroupRead) with the captures of a command that is gone.
template <typename Handler>
struct THandlerScope {
    Handler& Slot;
    ~THandlerScope() { Slot = nullptr; }
};
template <typename Handler>
THandlerScope(Handler&) -> THandlerScope<Handler>;

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
    THandlerScope clear{connect.OnTerminalOutput};
    connect.ExecuteTerminal(line);
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
    THandlerScope clear{connect.OnGroupRead};
    print(connect.GroupRead(reference));
    if (output.Json)
        Print(first ? "[]\n" : "\n]\n");
}

void BlobPut(TQdoConnect& connect, const std::string& file, const std::string& name) {
    TFileStream source(file, fmOpenRead);
    TProgressStream progress(source, "put " + file, source.Size(), isatty(2) != 0);
    const int32_t id =
        connect.CreateBLOB(name.empty() ? std::filesystem::path(file).filename().string() : name);
    if (id <= 0)
        throw std::runtime_error("the server made no BLOB");
    CheckLocked(connect.WriteBLOB(id, &progress), id);
    Print(std::to_string(id) + "\n");
}

void BlobGet(TQdoConnect& connect, int32_t id, const std::string& file) {
    const int64_t size = BlobSize(connect, id);
    TFileStream target(file, fmCreate);
    TProgressStream progress(target, "get " + std::to_string(id), size, isatty(2) != 0);
    CheckLocked(connect.ReadBLOB(id, &progress), id);
}

void BlobRemove(TQdoConnect& connect, int32_t id) {
    BlobSize(connect, id);
    CheckLocked(connect.DeleteBLOB(id), id);
}

} // namespace qdo::tool
