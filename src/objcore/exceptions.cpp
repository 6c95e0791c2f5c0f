// The exception types. Their out-of-line destructors make this library the one
// home of each class's virtual table and type record.
#include "objcore/objcore.h"

namespace oc {

#define OC_DEFINE_EXCEPTION(Name)                                                         \
  Name::Name() noexcept : std::exception() {}                                             \
  Name::Name(const Name& other) noexcept : std::exception(other) {}                       \
  Name& Name::operator=(const Name& other) noexcept {                                     \
    std::exception::operator=(other);                                                     \
    return *this;                                                                         \
  }                                                                                       \
  Name::~Name() {}

OC_DEFINE_EXCEPTION(NullPtrException)
OC_DEFINE_EXCEPTION(InvalidWeakPtrException)
OC_DEFINE_EXCEPTION(IncompleteObjectException)
OC_DEFINE_EXCEPTION(BadCastException)
OC_DEFINE_EXCEPTION(ArgException)

#undef OC_DEFINE_EXCEPTION

}  // namespace oc
