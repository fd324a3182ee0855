#include "classes/Object.h"

namespace qdo {

// Defined out of line so that the class's vtable and type information live in the library.
TObject::~TObject() = default;

} // namespace qdo
