#include "server/Handshake.h"

#include "encodings/Mlist.h"

namespace qdo::server {

TGreeting ReadGreeting(const TRequestReader& reader, std::string_view bytes, size_t maxBytes) {
    using TStep = TGreeting::TStep;
    TGreeting greeting;
    TRequestKind kind;
    const auto prefix = TRequestReader::KindOf(bytes, kind);
    if (prefix == TRequestReader::TResult::NeedMore)
        return greeting;
    if (prefix == TRequestReader::TResult::Malformed) {
        greeting.Step = TStep::NotARequest;
        return greeting;
    }
    switch (kind) {
    case TRequestKind::CancelGroupRead:
    case TRequestKind::OpenSession:
    case TRequestKind::Create: {
        std::string reason;
        const auto result = reader.Next(bytes, greeting.Request, greeting.Consumed, reason);
        if (result == TRequestReader::TResult::NeedMore && bytes.size() < maxBytes) {
            greeting.Consumed = 0;
            return greeting;
        }
        if (result != TRequestReader::TResult::Whole) {
            greeting.Step = TStep::Broken;
            greeting.Consumed = 0;
            return greeting;
        }
        greeting.Step = kind == TRequestKind::Create        ? TStep::Create
                        : kind == TRequestKind::OpenSession ? TStep::OpenSession
                                                            : TStep::Cancel;
        return greeting;
    }
    default:
        greeting.Step = TStep::Request;
        return greeting;
    }
}

TLogonRead ReadLogon(const TRequestReader& reader, std::string_view bytes, size_t maxBytes) {
    TLogonRead logon;
    TRequest request;
    size_t consumed = 0;
    std::string reason;
    const auto result = reader.Next(bytes, request, consumed, reason);
    if (result == TRequestReader::TResult::NeedMore && bytes.size() < maxBytes)
        return logon;
    if (result != TRequestReader::TResult::Whole || request.Kind != TRequestKind::Logon) {
        logon.Step = TLogonRead::TStep::Refused;
        return logon;
    }
    logon.Step = TLogonRead::TStep::Logon;
    logon.Token = std::move(request.First);
    logon.Consumed = consumed;
    return logon;
}

TCreateCredentials ReadCreateCredentials(std::string_view list) {
    TMList elements;
    elements.SetAllList(std::string(list));
    return {elements.GetList(1), elements.GetList(2)};
}

} // namespace qdo::server
