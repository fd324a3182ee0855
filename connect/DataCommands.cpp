// The data commands: read, write, execute, kill, terminal execute, group read and its cancel.
#include "connect/BusyScope.h"
#include "connect/Qdoconnect.h"
#include "connect/RequestText.h"

namespace qdo {

std::string TQdoConnect::RunRequest(char command, std::string_view argument) {
    CheckConnect();
    TBusyScope busy(*this);
    request::OneArgument(request_, command, argument);
    PostGet();
    return reply_;
}

std::string TQdoConnect::Read(std::string_view expression) {
    return RunRequest('r', expression);
}

std::string TQdoConnect::Kill(std::string_view name) {
    return RunRequest('k', name);
}

std::string TQdoConnect::Write(std::string_view name, std::string_view value) {
    CheckConnect();
    TBusyScope busy(*this);
    request::Write(request_, name, value);
    PostGet();
    return reply_;
}

std::string TQdoConnect::Execute(std::string_view commandLine) {
    std::string result = RunRequest('x', commandLine);
    // The loop hands over every chunk but the last as the next arrives; the last one goes to
    // the handler here, so that it sees the whole reply in order.
    if (OnGroupRead) {
        bool keepReading = true;
        OnGroupRead(this, result, keepReading);
    }
    return result;
}

std::string TQdoConnect::ExecuteTerminal(std::string_view commandLine) {
    CheckConnect();
    TBusyScope busy(*this);
    request::OneArgument(request_, 't', commandLine);
    const TWaitState saved = receive_.WaitState;
    receive_.WaitState = wsTerminal;
    try {
        PostGet();
    } catch (...) {
        receive_.WaitState = saved;
        throw;
    }
    receive_.WaitState = saved;
    return reply_;
}

std::string TQdoConnect::GroupRead(std::string_view argument) {
    TBusyScope busy(*this);
    CheckConnect();
    const TVarRec fields[] = {TVarRec(argument)};
    request::WithList(request_, "fl:", listBuilder_->lb(fields, 0));
    PostGet();
    return reply_;
}

void TQdoConnect::CancelGroupRead() {
    // A short-lived side connection carries the request, so that the main socket, which may be
    // in the middle of the group read, carries no byte of it.
    auto side = std::make_unique<TTcpClient>();
    TTcpClient* remembered = socket_;
    try {
        side->SetRemotePort(std::to_string(serverPort_));
        side->SetRemoteHost(!host_.empty() || serverAddress_.empty() ? host_ : serverAddress_);
        side->SetBlockMode(bmBlocking);
        side->SetActive(true);
        socket_ = side.get();
        request_ = "MR:bfl:" + sessionId_;
        request_ += '\0';
        SysPost();
    } catch (...) {
        socket_ = remembered;
        throw;
    }
    socket_ = remembered;
}

void TQdoConnect::RunParam(std::string (TQdoConnect::*operation)(std::string_view)) {
    const std::string result = (this->*operation)(query_->Text());
    queryResult_->SetText(result);
}

void TQdoConnect::ReadParam() {
    RunParam(&TQdoConnect::Read);
}
void TQdoConnect::ExecuteParam() {
    RunParam(&TQdoConnect::Execute);
}
void TQdoConnect::KillParam() {
    RunParam(&TQdoConnect::Kill);
}

} // namespace qdo
