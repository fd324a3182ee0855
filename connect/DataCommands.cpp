// The data commands: read, write, execute, kill, terminal execute, group read and its cancel.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "connect/Wire.h"
#include "protocol/FrameReader.h"
#include "protocol/Requests.h"

namespace qdo {

namespace request = protocol::request;

std::string detail::TConnectWire::RunRequest(char command, std::string_view argument) {
    TUseScope use(c);
    c.CheckConnect();
    TBusyScope busy(c);
    request::OneArgument(request_, command, argument);
    c.PostGet();
    return reply_;
}

std::string TQdoConnect::Read(std::string_view expression) {
    return wire_->RunRequest('r', expression);
}

std::string TQdoConnect::Kill(std::string_view name) {
    return wire_->RunRequest('k', name);
}

std::string TQdoConnect::Write(std::string_view name, std::string_view value) {
    TUseScope use(*this);
    CheckConnect();
    TBusyScope busy(*this);
    request::Write(wire_->request_, name, value);
    PostGet();
    return wire_->reply_;
}

std::string TQdoConnect::Execute(std::string_view commandLine) {
    TUseScope use(*this);
    std::string result = wire_->RunRequest('x', commandLine);
    // The loop hands over every chunk but the last as the next arrives; the last one goes to
    // the handler here, so that it sees the whole reply in order.
    if (OnGroupRead) {
        bool keepReading = true;
        OnGroupRead(this, result, keepReading);
    }
    return result;
}

std::string TQdoConnect::ExecuteTerminal(std::string_view commandLine) {
    TUseScope use(*this);
    CheckConnect();
    TBusyScope busy(*this);
    request::OneArgument(wire_->request_, 't', commandLine);
    protocol::TFrameReader& reader = *wire_->receive_;
    // A terminal stream starts between frames: what came before the request is handled first.
    wire_->HandleBufferedFrames();
    while (reader.WaitState() == wsLength) {
        std::string pushed;
        wire_->ReadFrame(pushed);
        wire_->HandlePushedFrames({pushed});
    }
    reader.StartTerminal();
    try {
        PostGet();
    } catch (...) {
        reader.EndTerminal();
        throw;
    }
    reader.EndTerminal();
    return wire_->reply_;
}

std::string TQdoConnect::Batch(std::string_view payload) {
    return wire_->RunRequest('b', payload);
}

std::string TQdoConnect::GroupRead(std::string_view argument) {
    TUseScope use(*this);
    TBusyScope busy(*this);
    CheckConnect();
    const TVarRec fields[] = {TVarRec(argument)};
    request::WithList(wire_->request_, "fl:", wire_->listBuilder_->lb(fields, 0));
    PostGet();
    return wire_->reply_;
}

void TQdoConnect::CancelGroupRead() {
    // A short-lived side connection carries the request, so that the main socket, which may be
    // in the middle of the group read, carries no byte of it. It touches nothing of the
    // connection's request state, so that any thread may call it while a group read runs.
    const std::unique_ptr<TTransport> side = wire_->transport_->NewLink();
    side->Aim(!host_.empty() || serverAddress_.empty() ? host_ : serverAddress_,
              std::to_string(serverPort_));
    side->SetConnectTimeOut(timeOut_);
    side->SetNotifying(false);
    side->Open();
    if (!side->Active()) {
        HandleError(ceSocketNotConnected);
        return;
    }
    std::string cancel;
    request::Terminated(cancel, "MR:bfl:", wire_->sessionId_);
    wire_->SendWhole(*side, cancel.data(), static_cast<int32_t>(cancel.size()));
}

void detail::TConnectWire::RunParam(std::string (TQdoConnect::*operation)(std::string_view)) {
    const std::string result = (c.*operation)(c.query_->Text());
    c.queryResult_->SetText(result);
}

void TQdoConnect::ReadParam() {
    wire_->RunParam(&TQdoConnect::Read);
}
void TQdoConnect::ExecuteParam() {
    wire_->RunParam(&TQdoConnect::Execute);
}
void TQdoConnect::KillParam() {
    wire_->RunParam(&TQdoConnect::Kill);
}

} // namespace qdo
