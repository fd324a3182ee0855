// The errors a connection detects, and the path of socket failures.
#include "classes/Application.h"
#include "connect/Qdoconnect.h"
#include "connect/Transport.h"
#include "connect/Wire.h"

namespace qdo {

EMConnectError::~EMConnectError() = default;
EMServerError::~EMServerError() = default;
EMConnectionLost::~EMConnectionLost() = default;

std::string ConnectErrorMessage(TConnectError error) {
    switch (error) {
    case ceNoJob:
        return "Can't create new job.";
    case ceBadFormat:
        return "Not compatible server data format.";
    case ceNotConnected:
        return "Connect does not exist.";
    case ceCannotChangeProperty:
        return "Can't change property.";
    case ceInvalidType:
        return "Invalid command type.";
    case ceNoSession:
        return "Can't create session.";
    case ceSocketNotConnected:
        return "Socket is not connected.";
    case ceDataNotSended:
        return "Socket data not sent.";
    case ceUnknown:
        return "Unknown error.";
    case ceServerError:
        return "M error on the server.";
    case ceBusy:
        return "Connection is busy.";
    case ceTimeOut:
        return "Time-out.";
    case ceTls:
        return "TLS failure.";
    }
    return "Unknown error.";
}

std::string SocketErrorText(int32_t errorCode) {
    return "Windows socket error. Code " + std::to_string(errorCode) + ": " +
           SocketErrorCodeToMessage(errorCode);
}

void SocketErrorProc(int32_t errorCode) {
    throw Exception(SocketErrorText(errorCode));
}

void TQdoConnect::HandleError(TConnectError error) {
    if (errorHandler_ == htException)
        throw EMConnectError(ConnectErrorMessage(error), error);
    if (OnConnectError)
        OnConnectError(this, error);
}

void TQdoConnect::SocketError(TObject*, int32_t ErrorCode) {
    if (wire_->handlingSocketError_)
        return;
    wire_->handlingSocketError_ = true;
    try {
        wire_->transport_->Close();
    } catch (...) {
    }
    wire_->handlingSocketError_ = false;
    active_ = false;
    // A connection that could not be made in time is a time-out like any other wait that ran
    // out; the message stays the socket's.
    if (ErrorCode == 10060)
        throw EMConnectError(SocketErrorText(ErrorCode), ceTimeOut);
    SocketErrorProc(ErrorCode);
}

void TQdoConnect::CheckConnect() {
    if (!active_)
        wire_->ReopenAfterLoss();
    if (!active_)
        HandleError(ceNotConnected);
}

void TQdoConnect::PropertyChangeAlert(const std::string& propertyName) {
    const std::string text =
        "Can't change property '" + propertyName + "' while connect session is active.";
    if (IsDesigning())
        ShowDesignMessage(text, "Quendo Connect component");
    else
        HandleError(ceCannotChangeProperty);
}

} // namespace qdo
