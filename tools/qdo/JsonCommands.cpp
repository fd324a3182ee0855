// export and import: a subtree as JSON, streamed both ways.
#include "connect/Database.h"
#include "connect/Json.h"
#include "tools/qdo/FileCommands.h"
#include "tools/qdo/RefParser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace qdo::tool {

namespace {

bool IsStandardStream(const std::string& file) {
    return file.empty() || file == "-";
}

std::runtime_error FileError(const char* what, const std::string& file) {
    return std::runtime_error(std::string("cannot ") + what + " " + file + ": " +
                              std::strerror(errno));
}

// Writes the export's pieces to `out`; fails when a write does.
void Write(std::FILE* out, std::string_view text, const std::string& file) {
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out) != text.size())
        throw FileError("write", IsStandardStream(file) ? "standard output" : file);
}

} // namespace

void ExportSubtree(TQdoConnect& connect, const std::string& reference, const std::string& file) {
    const TMRef root = ParseMRef(reference);
    TMDatabase db(connect);
    if (IsStandardStream(file)) {
        ExportJson(db, root, [&](std::string_view text) { Write(stdout, text, file); });
        Write(stdout, "\n", file);
        return;
    }
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr)
        throw FileError("create", file);
    try {
        ExportJson(db, root, [&](std::string_view text) { Write(out, text, file); });
        Write(out, "\n", file);
        if (std::fclose(out) != 0) {
            out = nullptr;
            throw FileError("write", file);
        }
    } catch (...) {
        // Half a document is no export: what was written goes.
        if (out != nullptr)
            std::fclose(out);
        std::remove(file.c_str());
        throw;
    }
}

void ImportSubtree(TQdoConnect& connect, const std::string& reference, const std::string& file,
                   bool replace) {
    const TMRef root = ParseMRef(reference);
    TMDatabase db(connect);
    TMJsonImportOptions options;
    options.KillRootFirst = replace;
    uint64_t set = 0;
    if (IsStandardStream(file)) {
        set = ImportJson(db, root, std::cin, options);
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw FileError("read", file);
        set = ImportJson(db, root, in, options);
    }
    std::printf("%llu\n", static_cast<unsigned long long>(set));
}

} // namespace qdo::tool
