// The plain notification event of the class library: a handler called with its sender.
#pragma once

#include "classes/Object.h"

#include <functional>

namespace qdo {

using TNotifyEvent = std::function<void(TObject* Sender)>;

} // namespace qdo
