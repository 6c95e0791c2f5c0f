#include "thrower.h"

#include <exception>

#include "objcore/objcore.h"

namespace octest {

void ThrowFromLibrary(Kind kind) {
  switch (kind) {
    case Kind::kNullPtr:
      throw oc::NullPtrException();
    case Kind::kInvalidWeakPtr:
      throw oc::InvalidWeakPtrException();
    case Kind::kIncompleteObject:
      throw oc::IncompleteObjectException();
    case Kind::kBadCast:
      throw oc::BadCastException();
    case Kind::kArg:
      throw oc::ArgException();
  }
  throw 0;
}

int CatchInLibrary(void (*body)()) {
  try {
    body();
  } catch (const oc::NullPtrException&) {
    return static_cast<int>(Kind::kNullPtr);
  } catch (const oc::InvalidWeakPtrException&) {
    return static_cast<int>(Kind::kInvalidWeakPtr);
  } catch (const oc::IncompleteObjectException&) {
    return static_cast<int>(Kind::kIncompleteObject);
  } catch (const oc::BadCastException&) {
    return static_cast<int>(Kind::kBadCast);
  } catch (const oc::ArgException&) {
    return static_cast<int>(Kind::kArg);
  } catch (const std::exception&) {
    return kOtherException;
  } catch (...) {
    return kUnknown;
  }
  return kNothing;
}

const std::type_info& TypeSeenByLibrary(Kind kind) {
  switch (kind) {
    case Kind::kNullPtr:
      return typeid(oc::NullPtrException);
    case Kind::kInvalidWeakPtr:
      return typeid(oc::InvalidWeakPtrException);
    case Kind::kIncompleteObject:
      return typeid(oc::IncompleteObjectException);
    case Kind::kBadCast:
      return typeid(oc::BadCastException);
    case Kind::kArg:
      return typeid(oc::ArgException);
  }
  return typeid(void);
}

}  // namespace octest
