// References across the flat interface: QDORef and QDOSubscript read into TMRef and TMSubscript,
// and TMRef lent back as a QDORef. Internal to the library.
#pragma once

#include "capi/qdo.h"
#include "connect/Walk.h"
#include "encodings/MRef.h"

#include <vector>

namespace qdo {

// The subscript `subscript` describes: a string of its bytes, or a number whose text must be
// canonical (EMRefError otherwise). A null record is a failure.
TMSubscript SubscriptOf(const QDOSubscript* subscript);
// `count` subscripts from `subscripts` (null only with count 0).
std::vector<TMSubscript> SubscriptsOf(const QDOSubscript* subscripts, size_t count);
// The reference `ref` describes; EMRefError for a bad name or number.
TMRef RefOf(const QDORef* ref);
// The walk options `options` describes (null: the defaults, values fetched).
TMWalkOptions WalkOptionsOf(const QDOWalkOptions* options);

// A TMRef lent as a QDORef: its parts point into the TMRef, which must outlive the view.
class TLentRef {
public:
    explicit TLentRef(const TMRef& ref);
    const QDORef* get() const noexcept { return &ref_; }

private:
    std::vector<QDOSubscript> subscripts_;
    QDORef ref_;
};

} // namespace qdo
