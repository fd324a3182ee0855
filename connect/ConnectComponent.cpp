// TQdoConnect as a component: construction, properties, activation, stored forms.
#include "classes/Application.h"
#include "classes/StoredForm.h"
#include "connect/Qdoconnect.h"
#include "connect/TcpTransport.h"
#include "connect/Wire.h"

namespace qdo {

TMAuthorization::~TMAuthorization() = default;

void TMAuthorization::Assign(const TPersistent* source) {
    if (auto other = dynamic_cast<const TMAuthorization*>(source)) {
        active_ = other->active_;
        userName_ = other->userName_;
        password_ = other->password_;
        application_ = other->application_;
        return;
    }
    TPersistent::Assign(source);
}

TQdoConnect::TQdoConnect(TComponent* owner)
    : TComponent(owner), wire_(std::make_unique<detail::TConnectWire>(*this)),
      authorization_(std::make_unique<TMAuthorization>()) {
    wire_->transport_ = std::make_unique<TTcpTransport>(this);
    wire_->AttachTransport();
    query_ = std::make_unique<TStringList>();
    queryResult_ = std::make_unique<TStringList>();
    nameSpace_ = "%SYS";
}

TQdoConnect::~TQdoConnect() {
    try {
        if (!IsDesigning() && active_)
            Quit();
    } catch (...) {
    }
    // The link goes before the members its handlers use.
    wire_->transport_.reset();
}

void detail::TConnectWire::AttachTransport() {
    TTransport::THandlers handlers;
    handlers.Error = [this](int32_t code) { c.SocketError(c.Socket(), code); };
    handlers.ReadReady = [this] { c.SocketReadHandler(c.Socket()); };
    // Bytes received and not yet handled belong to the link that closed: never read them as the
    // first words of the next one.
    handlers.Closing = [this] { receive_->Clear(); };
    // A TLS failure ends the connection under either error handler, as a socket failure does:
    // a link whose server could not be trusted is no link to go on with.
    handlers.TlsFailure = [this](const std::string& message, bool timedOut) {
        CloseConnection();
        if (timedOut)
            throw EMConnectError(ConnectErrorMessage(ceTimeOut) + ' ' + message +
                                     "; the connection was closed.",
                                 ceTimeOut);
        throw EMConnectError(message, ceTls);
    };
    transport_->SetHandlers(std::move(handlers));
}

void UseTransport(TQdoConnect& connect, std::unique_ptr<TTransport> link) {
    detail::TConnectWire& wire = detail::TConnectWire::Of(connect);
    wire.CloseConnection();
    wire.transport_ = std::move(link);
    wire.AttachTransport();
}

TTcpClient* TQdoConnect::Socket() noexcept {
    return wire_->transport_->Socket();
}

void TQdoConnect::SetServerAddress(std::string value) {
    if (!IsLoading() && active_) {
        PropertyChangeAlert("ServerAddress");
        return;
    }
    serverAddress_ = std::move(value);
}

void TQdoConnect::SetHost(std::string value) {
    if (!IsLoading() && active_) {
        PropertyChangeAlert("Host");
        return;
    }
    host_ = std::move(value);
}

void TQdoConnect::SetServerPort(int32_t value) {
    if (!IsLoading() && active_) {
        PropertyChangeAlert("ServerPort");
        return;
    }
    serverPort_ = value;
}

void TQdoConnect::SetTls(TTlsSettings value) {
    if (!IsLoading() && active_) {
        PropertyChangeAlert("Tls");
        return;
    }
    tls_ = std::move(value);
}

void TQdoConnect::SetServers(std::string_view value) {
    if (!IsLoading() && active_) {
        PropertyChangeAlert("Servers");
        return;
    }
    std::vector<TServerAddress> servers = ParseServerList(value);
    servers_ = ServerListText(servers);
    wire_->servers_ = std::move(servers);
}

void TQdoConnect::SetServerTryTimeOut(int32_t ms) noexcept {
    if (ms >= 0 && ms <= 6000000)
        serverTryTimeOut_ = ms;
}

void TQdoConnect::SetPreferSecondary(bool value) {
    if (!IsLoading() && active_) {
        PropertyChangeAlert("PreferSecondary");
        return;
    }
    preferSecondary_ = value;
}

std::string TQdoConnect::CurrentServer() const {
    return active_ ? wire_->currentServer_ : std::string();
}

void TQdoConnect::SetNameSpace(std::string value) {
    nameSpace_ = std::move(value);
}

void TQdoConnect::SetTimeOut(int32_t minutes) noexcept {
    if (minutes > 0)
        timeOut_ = std::min(minutes, 100) * 60000;
}

void TQdoConnect::SetTimeOutMilliseconds(int32_t ms) noexcept {
    if (ms > 0 && ms <= 6000000)
        timeOut_ = ms;
}

void TQdoConnect::SetQuery(const TStringList* query) {
    if (query != nullptr)
        query_->Assign(query);
}

void TQdoConnect::SetAuthorization(const TMAuthorization* authorization) {
    if (authorization != nullptr)
        authorization_->Assign(authorization);
}

void TQdoConnect::SetActive(bool value) {
    if (IsLoading()) {
        active_ = value;
        return;
    }
    if (IsDesigning()) {
        ShowDesignMessage("Can't do this in design time.", "Quendo Connect component");
        return;
    }
    if (value == active_)
        return;
    if (!value) {
        Quit();
        wire_->transport_->Close();
        active_ = false;
        return;
    }
    try {
        if (OnBeginConnect)
            OnBeginConnect(this);
        OpenSession();
        active_ = wire_->transport_->Active();
    } catch (...) {
        if (OnEndConnect)
            OnEndConnect(this, active_);
        throw;
    }
    if (OnEndConnect)
        OnEndConnect(this, active_);
}

void TQdoConnect::Loaded() {
    TComponent::Loaded();
    if (!active_)
        return;
    if (OnBeginConnect)
        OnBeginConnect(this);
    OpenSession();
    if (OnEndConnect)
        OnEndConnect(this, active_);
}

void TQdoConnect::GetPublishedProperties(std::vector<TPublishedProperty>& properties) {
    TComponent::GetPublishedProperties(properties);
    auto add = [&](std::string name, std::function<std::string()> write,
                   std::function<void(const TFormValue&)> read,
                   std::optional<std::string> fallback = {}) {
        properties.push_back(
            {std::move(name), std::move(write), std::move(read), std::move(fallback)});
    };
    add(
        "RaiseBreakFlowError", [this] { return FormBoolean(raiseBreakFlowError_); },
        [this](const TFormValue& v) { raiseBreakFlowError_ = v.AsBoolean(); });
    add(
        "StoreSession", [this] { return FormBoolean(storeSession_); },
        [this](const TFormValue& v) { storeSession_ = v.AsBoolean(); });
    add(
        "ErrorHandler",
        [this] { return std::string(errorHandler_ == htEvent ? "htEvent" : "htException"); },
        [this](const TFormValue& v) {
            const std::string& name = v.AsIdentifier();
            if (name != "htEvent" && name != "htException")
                throw EReadError("Invalid ErrorHandler value " + name);
            errorHandler_ = name == "htEvent" ? htEvent : htException;
        },
        "htException");
    // While loading, the setters store the value whatever the state.
    add(
        "ServerAddress", [this] { return FormString(serverAddress_); },
        [this](const TFormValue& v) { SetServerAddress(v.AsString()); });
    add(
        "NameSpace", [this] { return FormString(nameSpace_); },
        [this](const TFormValue& v) { SetNameSpace(v.AsString()); });
    add(
        "Host", [this] { return FormString(host_); },
        [this](const TFormValue& v) { SetHost(v.AsString()); });
    add(
        "ServerPort", [this] { return FormInteger(serverPort_); },
        [this](const TFormValue& v) { SetServerPort(static_cast<int32_t>(v.AsInteger())); });
    // The time-out is stored as it reads, in milliseconds, and read back as such: reading it
    // through the writer, which takes minutes, would turn ten seconds into a hundred minutes.
    add(
        "TimeOut", [this] { return FormInteger(timeOut_); },
        [this](const TFormValue& v) {
            const int64_t ms = v.AsInteger();
            if (ms > 0)
                timeOut_ = static_cast<int32_t>(std::min<int64_t>(ms, 6000000));
        });
    add(
        "RequestDeadline", [this] { return FormInteger(requestDeadline_); },
        [this](const TFormValue& v) {
            SetRequestDeadline(
                static_cast<int32_t>(std::clamp<int64_t>(v.AsInteger(), 0, INT32_MAX)));
        },
        "0");
    // TLS is stored field by field, each with its default, so that a form without TLS reads
    // back as plain TCP.
    add(
        "Tls.Enabled", [this] { return FormBoolean(tls_.Enabled); },
        [this](const TFormValue& v) { tls_.Enabled = v.AsBoolean(); }, FormBoolean(false));
    add(
        "Tls.Authorities", [this] { return FormString(tls_.Authorities); },
        [this](const TFormValue& v) { tls_.Authorities = v.AsString(); }, FormString(""));
    add(
        "Tls.ServerName", [this] { return FormString(tls_.ServerName); },
        [this](const TFormValue& v) { tls_.ServerName = v.AsString(); }, FormString(""));
    add(
        "Tls.CertificateFile", [this] { return FormString(tls_.CertificateFile); },
        [this](const TFormValue& v) { tls_.CertificateFile = v.AsString(); }, FormString(""));
    add(
        "Tls.KeyFile", [this] { return FormString(tls_.KeyFile); },
        [this](const TFormValue& v) { tls_.KeyFile = v.AsString(); }, FormString(""));
    add(
        "Tls.Verify", [this] { return FormBoolean(tls_.Verify); },
        [this](const TFormValue& v) { tls_.Verify = v.AsBoolean(); }, FormBoolean(true));
    // The failover settings, each with its default, so that a form without them reads back as
    // a connection to Host and ServerPort alone.
    add(
        "Servers", [this] { return FormString(servers_); },
        [this](const TFormValue& v) { SetServers(v.AsString()); }, FormString(""));
    add(
        "ServerTryTimeOut", [this] { return FormInteger(serverTryTimeOut_); },
        [this](const TFormValue& v) {
            SetServerTryTimeOut(
                static_cast<int32_t>(std::clamp<int64_t>(v.AsInteger(), 0, INT32_MAX)));
        },
        "0");
    add(
        "PreferSecondary", [this] { return FormBoolean(preferSecondary_); },
        [this](const TFormValue& v) { SetPreferSecondary(v.AsBoolean()); }, FormBoolean(false));
    TMAuthorization& auth = *authorization_;
    add(
        "Authorization.Active", [&auth] { return FormBoolean(auth.Active()); },
        [&auth](const TFormValue& v) { auth.SetActive(v.AsBoolean()); });
    add(
        "Authorization.UserName", [&auth] { return FormString(auth.UserName()); },
        [&auth](const TFormValue& v) { auth.SetUserName(v.AsString()); });
    add(
        "Authorization.Password", [&auth] { return FormString(auth.Password()); },
        [&auth](const TFormValue& v) { auth.SetPassword(v.AsString()); });
    add(
        "Authorization.Application", [&auth] { return FormString(auth.Application()); },
        [&auth](const TFormValue& v) { auth.SetApplication(v.AsString()); });
}

void Register() {
    RegisterComponentClass("Quendo", "TQdoConnect",
                           [](TComponent* owner) { return new TQdoConnect(owner); });
}

} // namespace qdo
