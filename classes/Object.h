// The root of the class hierarchy.
#pragma once

#include "classes/Export.h"

namespace qdo {

// Every class of the library that the design roots in the class library's root object derives
// from TObject. Its only virtual operation is the destructor, so deleting through a TObject*
// destroys the whole object.
class QDO_API TObject {
public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject();
};

} // namespace qdo
