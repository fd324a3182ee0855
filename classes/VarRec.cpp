#include "classes/VarRec.h"

namespace qdo {

TVarRec TVarRec::ShortString(std::string_view text) {
    TVarRec r;
    r.VType = vtString;
    r.VText = text.substr(0, 255);
    return r;
}

TVarRec TVarRec::PChar(const char* text) {
    TVarRec r;
    r.VType = vtPChar;
    r.VPChar = text;
    return r;
}

TVarRec TVarRec::Pointer(const void* pointer) {
    TVarRec r;
    r.VType = vtPointer;
    r.VPointer = pointer;
    return r;
}

TVarRec TVarRec::Char(char value) {
    TVarRec r;
    r.VType = vtChar;
    r.VChar = value;
    return r;
}

TVarRec TVarRec::OfKind(uint8_t kind) {
    TVarRec r;
    r.VType = kind;
    return r;
}

} // namespace qdo
