// Additions to the exported functions: server events, and server callbacks whose function can
// fail.
#include "capi/Boundary.h"
#include "capi/qdosc.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"

namespace qdo {

void TOutput::ServerEventBridge(TObject*, const std::string& EventName,
                                const std::string& EventParams) {
    if (ServerEventProc != nullptr)
        ServerEventProc(Connect, ServerEventContext, EventName.data(), EventName.size(),
                        EventParams.data(), EventParams.size());
}

void CallbackExBridge(TOutput& output, const std::string& Command, std::string& CallBackResult) {
    QDOAnswer answer;
    const int32_t succeeded = output.CallbackExProc(output.Connect, output.CallbackExContext,
                                                    Command.data(), Command.size(), &answer);
    if (succeeded != 0) {
        CallBackResult = std::move(answer.Text);
        return;
    }
    Exception failure(answer.Text.empty() ? "The callback function failed." : answer.Text);
    if (output.Connect->ReplyRunning())
        throw failure; // the connection answers the empty text and the call fails with this
    // Pushed between calls (and handled by QDOProcessMessages, or as a call starts) nobody
    // would see the failure raised: keep it for QDOGetLastError.
    output.StoreLastError(std::make_exception_ptr(failure));
    CallBackResult.clear();
}

namespace {

// Runs a subscription command with its reply dropped rather than handed to the
// QDOSetGroupRead function.
template <typename Command>
void Subscription(QDOHandle handle, TQdoConnect& connect, Command command) {
    TUseScope use(connect);
    TSinkScope sink(*OutputOf(handle), [](const std::string&) { return true; });
    command();
}

} // namespace

} // namespace qdo

using qdo::Guarded;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT int32_t QDOSubscribeEvent(QDOHandle handle, const char* name, size_t nameLength,
                                     int32_t acknowledged) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        const std::string_view text = qdo::SizedText(name, nameLength);
        qdo::Subscription(handle, connect,
                          [&] { connect.SubscribeEvent(text, acknowledged != 0); });
    });
}

QDO_EXPORT int32_t QDOUnsubscribeEvent(QDOHandle handle, const char* name, size_t nameLength) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        const std::string_view text = qdo::SizedText(name, nameLength);
        qdo::Subscription(handle, connect, [&] { connect.UnsubscribeEvent(text); });
    });
}

QDO_EXPORT int32_t QDOSetServerEvent(QDOHandle handle, QDOServerEventProc proc, void* context) {
    qdo::TOutput* output = qdo::OutputOf(handle);
    if (output == nullptr)
        return 0;
    output->ServerEventProc = proc;
    output->ServerEventContext = context;
    return 1;
}

QDO_EXPORT int32_t QDOSetCallbackEx(QDOHandle handle, QDOCallbackExProc proc, void* context) {
    qdo::TOutput* output = qdo::OutputOf(handle);
    if (output == nullptr)
        return 0;
    output->CallbackExProc = proc;
    output->CallbackExContext = context;
    return 1;
}

QDO_EXPORT int32_t QDOAnswerSet(QDOAnswer* answer, const char* text, size_t length) {
    if (answer == nullptr || (text == nullptr && length > 0))
        return 0;
    try {
        answer->Text.assign(text == nullptr ? "" : text, length);
        return 1;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
