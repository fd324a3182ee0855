// TPersistent: the base of objects that can copy their state from another object.
#pragma once

#include "classes/Object.h"

namespace qdo {

class QDO_API TPersistent : public TObject {
public:
    ~TPersistent() override;

    // Copies the state of `source` into this object. The base version asks `source` to copy
    // itself into this object (AssignTo) and fails with EConvertError "Cannot assign a X to a
    // Y" when neither side knows how.
    virtual void Assign(const TPersistent* source);

protected:
    virtual void AssignTo(TPersistent* destination) const;
};

} // namespace qdo
