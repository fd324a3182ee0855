// Additions to the exported functions: server events, and server callbacks whose function can
// fail.
#include "capi/Boundary.h"
#include "capi/qdosc.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"

namespace qdo {

namespace {

// Runs a subscription command with its reply dropped rather than handed to the
// QDOSetGroupRead function.
template <typename Command>
void Subscription(QDOHandle handle, TQdoConnect& connect, Command command) {
    TUseScope use(connect);
    TSinkScope sink(*HandleOf(handle), [](const std::string&) { return true; });
    command();
}

} // namespace

} // namespace qdo

using qdo::RunOnHandle;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT int32_t QDOSubscribeEvent(QDOHandle handle, const char* name, size_t nameLength,
                                     int32_t acknowledged) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        const std::string_view text = qdo::SizedText(name, nameLength);
        qdo::Subscription(handle, connect,
                          [&] { connect.SubscribeEvent(text, acknowledged != 0); });
    });
}

QDO_EXPORT int32_t QDOUnsubscribeEvent(QDOHandle handle, const char* name, size_t nameLength) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        const std::string_view text = qdo::SizedText(name, nameLength);
        qdo::Subscription(handle, connect, [&] { connect.UnsubscribeEvent(text); });
    });
}

QDO_EXPORT int32_t QDOSetServerEvent(QDOHandle handle, QDOServerEventProc proc, void* context) {
    qdo::TFlatHandle* state = qdo::HandleOf(handle);
    if (state == nullptr)
        return 0;
    state->ServerEventProc = proc;
    state->ServerEventContext = context;
    return 1;
}

QDO_EXPORT int32_t QDOSetCallbackEx(QDOHandle handle, QDOCallbackExProc proc, void* context) {
    qdo::TFlatHandle* state = qdo::HandleOf(handle);
    if (state == nullptr)
        return 0;
    state->CallbackExProc = proc;
    state->CallbackExContext = context;
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
