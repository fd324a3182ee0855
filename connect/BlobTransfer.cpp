// BLOB transfer: binary objects copied between a stream and the server's global ^BLOB, one
// block node per request, under the server lock on the BLOB's header node.
//
// ^BLOB(id) holds a text of "~" pieces whose second is the number of blocks; ^BLOB(id,k) holds
// block k. Everything is done with Read, Write, Execute and Kill, so every step tests the
// connection and every Execute hands its reply to OnGroupRead.
#include "classes/IntegerText.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Wire.h"
#include "encodings/Mpiece.h"
#include "encodings/Mutils.h"

namespace qdo {

namespace {

// The most a block holds: what one request carries in each direction.
constexpr int32_t BlockSize = 2048;

std::string HeaderNode(int32_t id) {
    return "^BLOB(" + std::to_string(id) + ")";
}

std::string BlockNode(int32_t id, int32_t block) {
    return "^BLOB(" + std::to_string(id) + "," + std::to_string(block) + ")";
}

// The server-side local that holds the outcome of the lock step (0 obtained, -1 not),
// subscripted by the session identifier. Reading and writing use the identifier without the
// NUL that ends it as stored; deleting uses it whole. The server sees two different locals,
// each used consistently by its own methods.
std::string LockVariable(std::string_view sessionId, bool whole) {
    if (!whole && !sessionId.empty())
        sessionId.remove_suffix(1);
    std::string variable = "LockResult(\"";
    variable += sessionId;
    variable += "\")";
    return variable;
}

// Runs `work` under the server lock on ^BLOB(id), with the busy count raised throughout so that
// the socket blocks for the whole sequence. Returns id, or -1 when the lock was not obtained
// within the server's 10 seconds (then `work` does not run). The lock variable is killed after
// a sequence that did not fail. The unlock line is sent whatever happened, then `closing` runs;
// a failure of the unlock reaches the caller in place of an earlier one.
template <typename Work, typename Closing>
int32_t UnderBlobLock(TQdoConnect& connect, int32_t id, bool deleting, Work work, Closing closing) {
    // After a lost connection the sequence starts on a new session over the server list, as a
    // single request does; once it runs, its steps never move to another (see ReopenAfterLoss).
    if (!connect.Active())
        detail::TConnectWire::Of(connect).ReopenAfterLoss();
    TRequestScope scope(connect); // one thread for the whole sequence
    const std::string header = HeaderNode(id);
    const std::string variable = LockVariable(connect.SessionIdentifier(), deleting);
    const auto unlock = [&] {
        try {
            connect.Execute("l -" + header);
        } catch (...) {
            closing();
            throw;
        }
        closing();
    };
    int32_t result = -1;
    try {
        if (deleting)
            connect.Execute("s " + variable + "=0");
        else
            connect.Write(variable, "0");
        // The argumentless ELSE (hence two blanks) runs when LOCK timed out.
        connect.Execute("l +" + header + ":10 e  s " + variable + "=-1");
        if (StrToIntDef(connect.Read(variable), 0) != -1) {
            work();
            result = id;
        }
        connect.Kill(variable);
    } catch (...) {
        unlock();
        throw;
    }
    unlock();
    return result;
}

void RequireStream(const TStream* stream) {
    if (stream == nullptr)
        throw EStreamError("No stream was given for the BLOB.");
}

// Reads up to one block from the stream: as many reads as it takes to fill the block or reach
// the stream's end, so that a stream whose reads return less than asked loses no bytes.
int32_t ReadBlock(TStream& stream, char (&block)[BlockSize]) {
    int32_t filled = 0;
    while (filled < BlockSize) {
        const int32_t got = stream.Read(block + filled, BlockSize - filled);
        if (got <= 0)
            break;
        filled += got;
    }
    return filled;
}

// d AddBLOBBlock(id,"bytes") with every double quote of the bytes doubled; all other bytes,
// control bytes and NUL included, go as they are.
void AddBlockLine(std::string& line, int32_t id, const char* bytes, int32_t count) {
    line.assign("d AddBLOBBlock(");
    line += std::to_string(id);
    line += ",\"";
    for (int32_t i = 0; i < count; ++i) {
        if (bytes[i] == '"')
            line += '"';
        line += bytes[i];
    }
    line += "\")";
}

} // namespace

int32_t TQdoConnect::CreateBLOB(std::string_view name) {
    return StrToIntDef(Read("$$CreateBLOB(" + MText(name) + ")"), 0);
}

int32_t TQdoConnect::DeleteBLOB(int32_t id) {
    return UnderBlobLock(
        *this, id, true, [&] { Execute("d DeleteBLOB(" + std::to_string(id) + ")"); }, [] {});
}

int32_t TQdoConnect::ReadUncompressedBLOB(int32_t id, TStream* stream) {
    RequireStream(stream);
    const auto read = [&] {
        // A header without a second piece, or one that is not a number, counts as no block.
        const int32_t blocks = StrToIntDef(TMPiece(Read(HeaderNode(id)), '~').GetPiece(1), 0);
        stream->SetPosition(0);
        for (int32_t k = 1; k <= blocks; ++k) {
            // Blocks hold at most 2048 bytes as this library writes them; a longer one written
            // by someone else is taken whole all the same.
            const std::string block = Read(BlockNode(id, k));
            stream->WriteBuffer(block.data(), static_cast<int32_t>(block.size()));
        }
        // The stream holds the BLOB and nothing else: what an older, longer content left
        // beyond it goes.
        stream->SetSize(stream->Position());
        stream->SetPosition(0);
        if (OnBlobRead)
            OnBlobRead(this, stream);
        if (stream != nullptr)
            stream->SetPosition(0);
    };
    return UnderBlobLock(*this, id, false, read, [] {});
}

int32_t TQdoConnect::WriteUncompressedBLOB(int32_t id, TStream* stream) {
    RequireStream(stream);
    const auto write = [&] {
        stream->SetPosition(0);
        if (OnBlobWrite)
            OnBlobWrite(this, stream);
        if (stream == nullptr)
            throw EStreamError("OnBlobWrite left no stream to write to the BLOB.");
        Execute("d ClearBLOB(" + std::to_string(id) + ",0)");
        // The BLOB is what the stream's reads give from position 0 to its end, so a stream
        // that cannot tell its size beforehand (a pipe, a caller's read function) is written
        // whole, and a stream that ends before its Size said adds no empty blocks.
        stream->SetPosition(0);
        char block[BlockSize];
        std::string line; // one block quoted at a time
        while (true) {
            const int32_t filled = ReadBlock(*stream, block);
            if (filled == 0)
                break;
            AddBlockLine(line, id, block, filled);
            Execute(line);
            if (filled < BlockSize)
                break;
        }
    };
    const auto rewind = [&] {
        if (stream != nullptr)
            stream->SetPosition(0);
    };
    return UnderBlobLock(*this, id, false, write, rewind);
}

} // namespace qdo
