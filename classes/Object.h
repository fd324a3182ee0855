// The root of the class hierarchy.
#pragma once

#include "classes/Export.h"

#include <string>

namespace qdo {

// The root of the class library: components, sockets, lists, streams and the connection all
// derive from TObject. Deleting through a TObject* destroys the whole object.
class QDO_API TObject {
public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject();

    // The name of the object's class without its namespace: "TMList", "TTcpClient".
    std::string ClassName() const;
};

} // namespace qdo
