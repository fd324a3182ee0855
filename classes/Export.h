// Visibility of the library's C++ API.
//
// libqdo.so is built with hidden visibility: only what is marked QDO_API (the classes and free
// functions of the public units) and the QDO* functions of capi/qdo.h can be exported, and the
// linker version script capi/libqdo.map narrows that down to namespace qdo and the listed QDO*
// names. Everything else stays inside the library.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QDO_API __attribute__((visibility("default")))
#else
#define QDO_API
#endif
