// Uses both libraries: the three exports through the import library, and
// objcore's strong and weak references and an exception thrown inside
// objcore.dll and caught here.
#include <objcore/objcore.h>

#include <cstdio>

extern "C" int consumer_check_exports(void);

namespace {

class Counter : public oc::Object {
 public:
  explicit Counter(int& alive) : alive_(alive) { ++alive_; }
  ~Counter() { --alive_; }

 private:
  int& alive_;
};

int CheckObjcore() {
  int alive = 0;
  oc::WeakPtr<Counter> weak;
  {
    oc::StrongPtr<Counter> strong(new Counter(alive));
    oc::StrongPtr<Counter> second = strong;
    if (strong.UseCount() != 2 || alive != 1) return 1;
    weak = oc::WeakPtr<Counter>(strong);
  }
  if (alive != 0) return 2;
  try {
    oc::StrongPtr<Counter> revived(weak);
    return 3;
  } catch (const oc::InvalidWeakPtrException&) {
  }
  return 0;
}

}  // namespace

int main() {
  if (const int e = consumer_check_exports()) {
    std::printf("exports: failed check %d\n", e);
    return 10 + e;
  }
  if (const int o = CheckObjcore()) {
    std::printf("objcore: failed check %d\n", o);
    return 20 + o;
  }
  std::printf("consumer ok\n");
  return 0;
}
