// JSON import: a SAX parser's events turned into sets of M nodes, sent in batches.
#include "connect/Database.h"
#include "connect/Json.h"
#include "encodings/JsonText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

namespace qdo {

namespace {

// The most subscripts a GT.M reference has.
constexpr size_t MaxSubscripts = 31;

// Where every imported value goes to the server: sets gathered into batches of at most
// `BatchNodes` values or about `BatchBytes` bytes of references and values (TMOperationBatch),
// one round trip each, so that the client holds one batch at most. Flush sends what is pending;
// a set the server refuses raises EMServerError naming its node, the sets before it applied and
// none after it, as one Set each would have left them.
class TBatchedSets {
public:
    TBatchedSets(TMDatabase& database, const TMJsonImportOptions& options)
        : database_(database), nodes_(static_cast<size_t>(std::max(options.BatchNodes, 1))),
          bytes_(static_cast<size_t>(std::max(options.BatchBytes, 1))) {}

    void Set(const TMRef& ref, std::string_view value) {
        batch_.Set(ref, value);
        pendingBytes_ += batch_.Operations().back().Code.size() + value.size();
        if (batch_.Size() >= nodes_ || pendingBytes_ >= bytes_)
            Flush();
    }

    void Flush() {
        if (batch_.Size() == 0)
            return;
        try {
            database_.Run(batch_);
        } catch (const EMBatchError& e) {
            const std::string node = batch_.Operations()[e.FailedIndex].Code;
            Clear();
            throw EMServerError("ImportJson: the server did not set " + node + ": " + e.ServerText,
                                e.ECode, e.ServerText);
        } catch (...) {
            Clear();
            throw;
        }
        Clear();
    }

private:
    void Clear() noexcept {
        batch_.Clear();
        pendingBytes_ = 0;
    }

    TMDatabase& database_;
    size_t nodes_, bytes_;
    TMOperationBatch batch_;
    size_t pendingBytes_ = 0;
};

// Passes a document's bytes on to the parser, with each NUL byte made 0x01. The parser takes a
// NUL as the end of its input, so that "[1]" followed by a NUL and anything at all would pass;
// JSON allows a raw NUL nowhere, and 0x01 is refused wherever it stands, at the NUL's offset.
class TNulGuard : public std::streambuf {
public:
    explicit TNulGuard(std::streambuf* source) : source_(source) {}

    // The offset of the document's first NUL byte, or -1.
    int64_t FirstNul() const noexcept { return firstNul_; }

protected:
    int_type underflow() override {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        start_ += egptr() - eback();
        const std::streamsize count = source_ ? source_->sgetn(buffer_, sizeof buffer_) : 0;
        if (count <= 0)
            return traits_type::eof();
        for (std::streamsize i = 0; i < count; ++i) {
            if (buffer_[i] == '\0') {
                if (firstNul_ < 0)
                    firstNul_ = start_ + i;
                buffer_[i] = '\x01';
            }
        }
        setg(buffer_, buffer_, buffer_ + count);
        return traits_type::to_int_type(*gptr());
    }

private:
    std::streambuf* source_;
    char buffer_[4096];
    int64_t start_ = 0; // the document's offset of the buffer's first byte
    int64_t firstNul_ = -1;
};

class TJsonImporter final : public nlohmann::json_sax<nlohmann::json> {
public:
    TJsonImporter(TBatchedSets& sets, const TMRef& root, const TNulGuard& guard)
        : sets_(sets), root_(root), guard_(guard) {}

    uint64_t Nodes() const noexcept { return nodes_; }
    // Raises the error that stopped the parse, if one did.
    void RethrowError() const {
        if (error_)
            std::rethrow_exception(error_);
    }

    bool null() override {
        return Guard([&] { Advance(); });
    }
    bool boolean(bool value) override { return Value(value ? "1" : "0"); }
    bool number_integer(number_integer_t value) override { return Number(std::to_string(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Number(std::to_string(value)); }
    bool number_float(number_float_t, const string_t& text) override { return Number(text); }
    bool string(string_t& value) override { return Value(value); }
    bool binary(binary_t&) override {
        return Guard([] { throw EMJsonError("ImportJson: binary values are not JSON."); });
    }
    bool key(string_t& key) override {
        frames_.back().Key = std::move(key);
        return true;
    }
    bool start_object(std::size_t) override {
        return Guard([&] { Open(false); });
    }
    bool start_array(std::size_t) override {
        return Guard([&] { Open(true); });
    }
    bool end_object() override {
        return Guard([&] { Close(); });
    }
    bool end_array() override {
        return Guard([&] { Close(); });
    }

    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& error) override {
        // The parser counts the bytes it has read, the offending one included.
        const int64_t offset = position > 0 ? static_cast<int64_t>(position) - 1 : 0;
        std::string reason = error.what();
        if (const size_t colon = reason.find(": "); colon != std::string::npos)
            reason.erase(0, colon + 2); // the library's own prefix and line/column
        if (offset == guard_.FirstNul())
            reason = "a NUL byte, which JSON allows nowhere (a string writes it \\u0000)";
        error_ = std::make_exception_ptr(EMJsonError("ImportJson: invalid JSON at byte offset " +
                                                         std::to_string(offset) + ": " + reason,
                                                     offset));
        return false;
    }

private:
    struct TFrame {
        bool Array = false;
        int64_t NextIndex = 1; // the subscript of an array's next element
        std::string Key;       // the key of an object's current member
    };

    template <typename Step>
    bool Guard(Step step) {
        try {
            step();
            return true;
        } catch (...) {
            error_ = std::current_exception();
            return false;
        }
    }

    bool Number(const std::string& text) {
        return Guard([&] {
            std::string reason;
            const std::optional<std::string> canonical = MNumberFromJson(text, &reason);
            if (!canonical)
                throw EMJsonError("ImportJson: the number " + text + " for " +
                                  Path(ValueDepth()).Text() +
                                  " cannot be held exactly by M: " + reason + ".");
            Set(*canonical);
        });
    }

    bool Value(std::string_view value) {
        return Guard([&] { Set(value); });
    }

    // The path of the current value: within an object under the key "", the object's own node.
    bool OwnValue() const {
        return !frames_.empty() && !frames_.back().Array && frames_.back().Key.empty();
    }
    size_t ValueDepth() const { return frames_.size() - (OwnValue() ? 1 : 0); }

    void Set(std::string_view value) {
        const TMRef ref = Path(ValueDepth());
        if (ref.Subscripts().size() > MaxSubscripts)
            throw EMJsonError("ImportJson: " + ref.Text() + " would have " +
                              std::to_string(ref.Subscripts().size()) + " subscripts, more than " +
                              "the " + std::to_string(MaxSubscripts) + " M allows.");
        sets_.Set(ref, value);
        ++nodes_;
        Advance();
    }

    void Open(bool array) {
        if (OwnValue())
            throw EMJsonError("ImportJson: the key \"\" holds the value of " +
                              Path(frames_.size() - 1).Text() +
                              " itself; it cannot be an object or an array.");
        // A container's members need one subscript more than it has, so no container opens
        // where they would need more than M allows, even one that stays empty.
        if (root_.Subscripts().size() + frames_.size() + 1 > MaxSubscripts)
            throw EMJsonError("ImportJson: the document nests deeper than M's " +
                              std::to_string(MaxSubscripts) + " subscripts allow, below " +
                              Path(frames_.size()).Text() + ".");
        frames_.push_back(TFrame{array, 1, {}});
    }

    void Close() {
        frames_.pop_back();
        Advance();
    }

    // Moves an array on to its next element once one is complete.
    void Advance() {
        if (!frames_.empty() && frames_.back().Array)
            ++frames_.back().NextIndex;
    }

    // The root with the subscripts of the first `depth` open frames.
    TMRef Path(size_t depth) const {
        std::vector<TMSubscript> subscripts = root_.Subscripts();
        for (size_t i = 0; i < depth; ++i) {
            const TFrame& frame = frames_[i];
            if (frame.Array)
                subscripts.emplace_back(frame.NextIndex);
            else
                subscripts.emplace_back(frame.Key);
        }
        return TMRef(root_.Name(), std::move(subscripts));
    }

    TBatchedSets& sets_;
    const TMRef& root_;
    const TNulGuard& guard_;
    std::vector<TFrame> frames_; // the open objects and arrays, outermost first
    uint64_t nodes_ = 0;
    std::exception_ptr error_;
};

} // namespace

uint64_t ImportJson(TMDatabase& database, const TMRef& root, std::istream& in,
                    const TMJsonImportOptions& options) {
    if (options.KillRootFirst)
        database.Kill(root);
    TNulGuard guard(in.rdbuf());
    std::istream guarded(&guard);
    TBatchedSets sets(database, options);
    TJsonImporter importer(sets, root, guard);
    // The values complete before an error's point are set, as the contract says: what is
    // pending goes first, and a failure to send it is the earlier error. That holds too for a
    // stream whose reading throws, out of the parse itself.
    bool parsed = false;
    try {
        parsed = nlohmann::json::sax_parse(guarded, &importer);
    } catch (...) {
        sets.Flush();
        throw;
    }
    sets.Flush();
    importer.RethrowError();
    if (!parsed)
        throw EMJsonError("ImportJson: the parse stopped without an error."); // not reached
    return importer.Nodes();
}

} // namespace qdo
