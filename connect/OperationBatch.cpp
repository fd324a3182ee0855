#include "connect/OperationBatch.h"

#include "connect/DataLines.h"

namespace qdo {

namespace {

// The local of a batch's generated lines may not be named by its operations.
const TMRef& Usable(const TMRef& ref) {
    lines::CheckNotReserved(ref);
    return ref;
}

} // namespace

size_t TMOperationBatch::Get(const TMRef& ref) {
    return Add('r', lines::Checked(Usable(ref).Text(), "Get"));
}

size_t TMOperationBatch::Get(const TMRef& ref, std::string_view fallback) {
    return Add('r', lines::GetOrDefault(Usable(ref), fallback));
}

size_t TMOperationBatch::Set(const TMRef& ref, std::string_view value) {
    return Add('w', lines::Checked(Usable(ref).Text(), "Set"), value);
}

size_t TMOperationBatch::Kill(const TMRef& ref) {
    return Add('k', lines::Checked(Usable(ref).Text(), "Kill"));
}

size_t TMOperationBatch::Increment(const TMRef& ref, const TMSubscript& by) {
    // A string is taken as the text of a number, and must be a canonical one.
    return Add('r',
               lines::Increment(Usable(ref), by.IsNumber() ? by : TMSubscript::Number(by.Value())));
}

size_t TMOperationBatch::Data(const TMRef& ref) {
    return Add('r', lines::Data(Usable(ref)));
}

size_t TMOperationBatch::Add(char kind, std::string code, std::string_view value) {
    operations_.push_back({kind, std::move(code), std::string(value)});
    return operations_.size() - 1;
}

EMBatchError::EMBatchError(size_t failedIndex, std::vector<std::string> results, std::string eCode,
                           std::string serverText)
    : EMServerError("Operation " + std::to_string(failedIndex) +
                        " of a batch failed: " + serverText,
                    std::move(eCode), serverText),
      FailedIndex(failedIndex), Results(std::move(results)) {}

EMBatchError::~EMBatchError() = default;

} // namespace qdo
