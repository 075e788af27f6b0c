// Adapters that let hosts built in the Visual C++ ABI call the logger
// classes. orukiv.dll is built with GCC's C++ ABI; src/orukiv.def exports
// every public member of QUserLog and QMutex a second time, under its
// Microsoft x64 name. Both ABIs pass `this` and the arguments alike (RCX,
// RDX, R8, R9, then the stack, variadic arguments included; bool and enum
// arguments in the low bits of their register) and return references in
// RAX, so most names lead straight to the member. The exception is a
// constructor: a Visual C++ caller may use the object's address that the
// constructor returns in RAX, and a GCC constructor returns nothing.
#include <new>

#include "orukiv/QUserLog.h"

// Exported as "??0QMutex@@QEAA@XZ" (QMutex::QMutex()).
extern "C" QMutex* orukiv_msvc_QMutex_construct(QMutex* self) {
    return ::new (static_cast<void*>(self)) QMutex();
}
