#include "classes/Persistent.h"

#include "classes/Exceptions.h"

namespace qdo {

TPersistent::~TPersistent() = default;

void TPersistent::Assign(const TPersistent* source) {
    if (source == nullptr)
        throw EConvertError("Cannot assign nothing to a " + ClassName());
    source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* destination) const {
    throw EConvertError("Cannot assign a " + ClassName() + " to a " + destination->ClassName());
}

} // namespace qdo
