// JSON export: the walk of connect/JsonLines.h turned into JSON text, batch by batch.
#include "connect/Database.h"
#include "connect/GroupReadAside.h"
#include "connect/Json.h"
#include "connect/JsonLines.h"
#include "connect/Qdoconnect.h"
#include "encodings/JsonText.h"
#include "encodings/MNumber.h"
#include "encodings/MRecords.h"

#include <ostream>
#include <string>
#include <vector>

namespace qdo {

EMJsonError::~EMJsonError() = default;

namespace {

// `text` with every byte outside printable ASCII written \xHH, for error messages about bytes
// that are not text.
std::string Printable(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

class TJsonExporter {
public:
    TJsonExporter(TMDatabase& database, const TMRef& root, const TMJsonSink& sink,
                  const TMJsonExportOptions& options)
        : connection_(database.Connection()), root_(root), sink_(sink), options_(options) {}

    void Run() {
        const TMJsonRootRecord top = DecodeJsonRoot(Execute(lines::JsonRoot(root_)));
        if (top.Shape == 'X' || top.Shape == 'L') {
            if (top.Shape == 'X')
                out_ += "null";
            else
                Scalar(top.Value, 0);
            Flush();
            return;
        }
        Open(top.Shape == 'A' ? '[' : '{');
        if (top.HasValue)
            OwnValue(top.Value, 0);
        for (bool atEnd = false; !atEnd;) {
            TMBatch<TMJsonNodeRecord> batch = DecodeJsonNodeBatch(Execute(
                lines::JsonNodeBatch(root_, current_, options_.BatchNodes, options_.BatchBytes)));
            for (TMJsonNodeRecord& record : batch.Records)
                Place(record);
            atEnd = batch.AtEnd;
            if (!atEnd)
                Flush(); // the last batch's text goes with the closing brackets
        }
        while (!open_.empty())
            Close();
        Flush();
    }

private:
    struct TContainer {
        bool Array = false;
        bool Empty = true;
        int64_t NextIndex = 1; // the subscript the next element of an array must have
    };

    std::string Execute(const std::string& line) {
        TGroupReadAside aside(connection_);
        return connection_.Execute(line);
    }

    // One node with a value: close what it is not below, enter the nodes down to it.
    void Place(TMJsonNodeRecord& record) {
        if (record.Common > current_.size())
            Changed("a node's path does not follow the node before it");
        current_.resize(record.Common);
        // Open containers are the root's and those of the path below it: one more than depth.
        while (open_.size() > record.Common + 1)
            Close();
        if (open_.size() != record.Common + 1)
            Changed("a node turned up below one that had no children");
        for (size_t i = 0; i < record.Levels.size(); ++i) {
            TMJsonLevel& level = record.Levels[i];
            current_.push_back(std::move(level.Subscript));
            Element(current_.back());
            if (i + 1 < record.Levels.size()) {
                Open(level.Shape == 'A' ? '[' : '{');
            } else if (level.Shape == 'L') {
                Scalar(record.Value, current_.size());
            } else {
                Open('{');
                OwnValue(record.Value, current_.size());
            }
        }
    }

    // Starts the next element of the innermost container: its key, or its place in the array.
    void Element(const std::string& subscript) {
        TContainer& parent = open_.back();
        if (!parent.Empty)
            out_ += ',';
        parent.Empty = false;
        if (parent.Array) {
            if (subscript != std::to_string(parent.NextIndex))
                Changed("an array's element is missing or out of place");
            ++parent.NextIndex;
            return;
        }
        if (!IsValidUtf8(subscript))
            throw EMJsonError("ExportJson: the subscript of " + NodeName(current_.size()) +
                              " is not valid UTF-8; JSON cannot carry it.");
        AppendJsonString(out_, subscript);
        out_ += ':';
    }

    // The value of a node that also has children, under the key "" of its object.
    void OwnValue(const std::string& value, size_t depth) {
        open_.back().Empty = false;
        out_ += "\"\":";
        Scalar(value, depth);
    }

    // A canonical number is a JSON number; any other value a string.
    void Scalar(const std::string& value, size_t depth) {
        if (IsMCanonicalNumber(value)) {
            out_ += JsonNumberFromM(value);
            return;
        }
        if (!IsValidUtf8(value))
            throw EMJsonError("ExportJson: the value of " + NodeName(depth) +
                              " is not valid UTF-8; JSON cannot carry it.");
        AppendJsonString(out_, value);
    }

    void Open(char bracket) {
        out_ += bracket;
        open_.push_back(TContainer{bracket == '[', true, 1});
    }

    void Close() {
        out_ += open_.back().Array ? ']' : '}';
        open_.pop_back();
    }

    void Flush() {
        if (!out_.empty())
            sink_(out_);
        out_.clear();
    }

    // The node at `depth` subscripts of the current path below the root, as M code (bytes
    // outside printable ASCII as \xHH).
    std::string NodeName(size_t depth) const {
        std::vector<TMSubscript> subscripts = root_.Subscripts();
        subscripts.insert(subscripts.end(), current_.begin(),
                          current_.begin() + static_cast<std::ptrdiff_t>(depth));
        return Printable(TMRef(root_.Name(), std::move(subscripts)).Text());
    }

    [[noreturn]] void Changed(const char* what) const {
        throw EMJsonError("ExportJson: the subtree of " + root_.Text() +
                          " changed during the export (" + what + " at " +
                          NodeName(current_.size()) + ").");
    }

    TQdoConnect& connection_;
    const TMRef& root_;
    const TMJsonSink& sink_;
    TMJsonExportOptions options_;
    std::vector<TContainer> open_;     // the root's container, then one per open level below
    std::vector<std::string> current_; // the subscripts below the root of the last node placed
    std::string out_;                  // the text of the batch being placed
};

} // namespace

void ExportJson(TMDatabase& database, const TMRef& root, const TMJsonSink& sink,
                const TMJsonExportOptions& options) {
    TJsonExporter(database, root, sink, options).Run();
}

void ExportJson(TMDatabase& database, const TMRef& root, std::ostream& out,
                const TMJsonExportOptions& options) {
    ExportJson(
        database, root,
        [&out](std::string_view text) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            if (!out)
                throw EWriteError("ExportJson: the output stream failed.");
        },
        options);
}

} // namespace qdo
