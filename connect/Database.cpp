#include "connect/Database.h"

#include "connect/BatchLines.h"
#include "connect/DataLines.h"
#include "connect/GroupReadAside.h"
#include "connect/Qdoconnect.h"
#include "connect/TransactionLine.h"

#include <charconv>

namespace qdo {

namespace {

int DataValue(const std::string& reply) {
    int value = -1;
    const auto [end, error] = std::from_chars(reply.data(), reply.data() + reply.size(), value);
    if (error != std::errc() || end != reply.data() + reply.size() ||
        (value != 0 && value != 1 && value != 10 && value != 11))
        throw EConvertError("$DATA gave \"" + reply.substr(0, 40) + "\", not 0, 1, 10 or 11.");
    return value;
}

} // namespace

std::string TMDatabase::Read(const std::string& expression) {
    TGroupReadAside aside(*connection_);
    return connection_->Read(expression);
}

std::string TMDatabase::Execute(const std::string& line) {
    TGroupReadAside aside(*connection_);
    return connection_->Execute(line);
}

std::string TMDatabase::Get(const TMRef& ref) {
    return Read(lines::Checked(ref.Text(), "Get"));
}

std::string TMDatabase::Get(const TMRef& ref, std::string_view fallback) {
    return Read(lines::GetOrDefault(ref, fallback));
}

void TMDatabase::Set(const TMRef& ref, std::string_view value) {
    connection_->Write(lines::Checked(ref.Text(), "Set"), value);
}

void TMDatabase::Kill(const TMRef& ref) {
    connection_->Kill(lines::Checked(ref.Text(), "Kill"));
}

int TMDatabase::Data(const TMRef& ref) {
    return DataValue(Read(lines::Data(ref)));
}

std::string TMDatabase::Order(const TMRef& ref, int direction) {
    return Read(lines::Order(ref, direction));
}

std::optional<TMRef> TMDatabase::Query(const TMRef& ref, int direction) {
    // $QUERY gives nodes with subscripts only: none comes before a bare name.
    if (direction < 0 && ref.Subscripts().empty()) {
        lines::CheckNotReserved(ref);
        return std::nullopt;
    }
    const auto subscripts = DecodeQueryReply(Execute(lines::Query(ref, direction)));
    if (!subscripts)
        return std::nullopt;
    return TMRef(ref.Name(), std::vector<TMSubscript>(subscripts->begin(), subscripts->end()));
}

std::string TMDatabase::Increment(const TMRef& ref, const TMSubscript& by) {
    // A string is taken as the text of a number, and must be a canonical one.
    return Read(lines::Increment(ref, by.IsNumber() ? by : TMSubscript::Number(by.Value())));
}

void TMDatabase::Merge(const TMRef& to, const TMRef& from) {
    Execute(lines::Merge(to, from));
}

bool TMDatabase::Lock(const TMRef& ref, double timeoutSeconds) {
    const std::string reply = Execute(lines::Lock(ref, timeoutSeconds));
    if (reply != "0" && reply != "1")
        throw EConvertError("LOCK gave \"" + reply.substr(0, 40) + "\", not $TEST.");
    return reply == "1";
}

void TMDatabase::Unlock(const TMRef& ref) {
    Execute(lines::Unlock(ref));
}

void TMDatabase::UnlockAll() {
    Execute("l");
}

std::string TMDatabase::Function(const TMEntryRef& entry,
                                 const std::vector<TMSubscript>& arguments) {
    return Read(lines::Function(entry, arguments));
}

std::string TMDatabase::Procedure(const TMEntryRef& entry,
                                  const std::vector<TMSubscript>& arguments) {
    return Execute(lines::Procedure(entry, arguments));
}

TMTransactionResult TMDatabase::Run(const TMTransaction& transaction) {
    const lines::TTransactionLine line = lines::Transaction(transaction);
    std::string reply;
    try {
        for (size_t index : line.LocalValues)
            connection_->Write(lines::TransactionValueName(index),
                               transaction.Operations()[index].Value);
        reply = Execute(line.Line);
    } catch (const EMServerError&) {
        // The line's own kill did not run: the values sent first would stay in the job.
        if (!line.LocalValues.empty() && connection_->Active()) {
            try {
                connection_->Kill("%qdotv");
            } catch (const Exception&) {
                // The error that ended the transaction is the one to report.
            }
        }
        throw;
    }
    TMTransactionRecords records = DecodeTransactionReply(reply, transaction.ResultCount());
    return {std::move(records.Values), records.Restarts};
}

bool TMDatabase::ServerHasBatches() {
    if (batchRequests_ < 0) {
        try {
            batchRequests_ = Read("$$batch^qdosrv()") == "1" ? 1 : 0;
        } catch (const EMServerError&) {
            batchRequests_ = 0; // no such routine or label: a server without batches
        }
    }
    return batchRequests_ == 1;
}

std::vector<std::string> TMDatabase::Run(const TMOperationBatch& batch,
                                         const TMBatchOptions& options) {
    const auto& operations = batch.Operations();
    std::vector<std::string> results;
    results.reserve(operations.size());
    if (operations.empty())
        return results;
    const bool serverRequest = options.ServerRequest && ServerHasBatches();
    const std::vector<lines::TBatchPart> parts =
        serverRequest ? lines::SplitRequests(operations, options.RequestBytes)
                      : lines::SplitLines(operations);
    TMBatchRecords failure;
    for (const lines::TBatchPart& part : parts)
        if (!RunBatchPart(batch, serverRequest, part.Begin, part.End, part.Alone, results,
                          failure)) {
            const size_t failed = results.size();
            throw EMBatchError(failed, std::move(results), std::move(failure.ECode),
                               std::move(failure.Text));
        }
    return results;
}

bool TMDatabase::RunBatchPart(const TMOperationBatch& batch, bool serverRequest, size_t begin,
                              size_t end, bool alone, std::vector<std::string>& results,
                              TMBatchRecords& failure) {
    const auto& operations = batch.Operations();
    const lines::TBatchPart part{begin, end, alone};
    if (alone) {
        // Too long for a generated line: the operation's own request.
        const TMBatchOperation& op = operations[begin];
        try {
            TGroupReadAside aside(*connection_);
            if (op.Kind == 'r')
                results.push_back(connection_->Read(op.Code));
            else if (op.Kind == 'w')
                results.push_back((connection_->Write(op.Code, op.Value), std::string()));
            else
                results.push_back((connection_->Kill(op.Code), std::string()));
        } catch (const EMServerError& e) {
            failure.ECode = e.ECode;
            failure.Text = e.ServerText;
            return false;
        }
        return true;
    }
    std::string reply;
    {
        TGroupReadAside aside(*connection_);
        reply = serverRequest ? connection_->Batch(lines::BatchPayload(operations, part))
                              : connection_->Execute(lines::BatchLine(operations, part));
    }
    TMBatchRecords records = DecodeBatchReply(reply, lines::ExpectedRecords(operations, part));
    for (std::string& value : records.Values)
        results.push_back(std::move(value));
    if (!records.Failed)
        return true;
    failure = std::move(records);
    return false;
}

TMChildren TMDatabase::Children(const TMRef& parent, const TMWalkOptions& options) {
    lines::CheckDirection(options.Direction);
    return TMChildren(*this, parent, options);
}

TMSubtree TMDatabase::Subtree(const TMRef& root, const TMWalkOptions& options) {
    lines::CheckDirection(options.Direction);
    return TMSubtree(*this, root, options);
}

TMBatch<TMChildRecord> TMDatabase::ChildBatch(const TMRef& parent, std::string_view after,
                                              const TMWalkOptions& options) {
    return DecodeChildBatch(Execute(lines::ChildBatch(parent, after, options)), options.Values);
}

TMBatch<TMNodeRecord> TMDatabase::NodeBatch(const TMRef& root,
                                            const std::vector<std::string>* after,
                                            const TMWalkOptions& options) {
    static const std::vector<std::string> none;
    return DecodeNodeBatch(
        Execute(lines::NodeBatch(root, after == nullptr, after ? *after : none, options)),
        options.Values);
}

} // namespace qdo
