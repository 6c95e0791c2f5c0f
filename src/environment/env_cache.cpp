// The process-wide cache of the client's registry values.
#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "environment/env.h"
#include "platform/unique_handle.h"

namespace {

struct CachedValue {
  char name[kVskNameSize];
  char value[kVskValueSize];
};

// Values live in arrival order in `values`; `order` keeps their indexes
// sorted by name for the binary search. No allocation happens during a load,
// so a load can only fail on the registry.
struct ValueCache {
  CachedValue values[kVskMaxValues];
  std::size_t order[kVskMaxValues];
  std::size_t count = 0;
  bool loaded = false;
  // Set by every load, whatever its result, until the release: a load that
  // stopped early still holds the values read before the stop.
  bool attempted = false;
};

ValueCache g_cache;

int CompareNames(const char* a, const char* b) { return std::strncmp(a, b, kVskNameSize); }

// Position in `order` of the first name not less than `name`.
std::size_t LowerBound(const char* name) {
  std::size_t lo = 0, hi = g_cache.count;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (CompareNames(g_cache.values[g_cache.order[mid]].name, name) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

const CachedValue* Find(const char* name) {
  const std::size_t pos = LowerBound(name);
  if (pos < g_cache.count && CompareNames(g_cache.values[g_cache.order[pos]].name, name) == 0)
    return &g_cache.values[g_cache.order[pos]];
  return nullptr;
}

void CopyValueText(char (&dst)[kVskValueSize], const unsigned char* data, DWORD size) {
  const std::size_t n = std::min<std::size_t>(size, kVskValueSize - 1);
  std::memcpy(dst, data, n);
  dst[n] = '\0';
}

// Adds or replaces one value. Beyond the table's capacity further values are
// ignored, so the first values read stay available.
void Insert(const char* name, const unsigned char* data, DWORD size) {
  const std::size_t pos = LowerBound(name);
  if (pos < g_cache.count && CompareNames(g_cache.values[g_cache.order[pos]].name, name) == 0) {
    CopyValueText(g_cache.values[g_cache.order[pos]].value, data, size);
    return;
  }
  if (g_cache.count == kVskMaxValues) return;
  const std::size_t slot = g_cache.count;
  CachedValue& entry = g_cache.values[slot];
  bk::CopyText(entry.name, sizeof entry.name, name);
  CopyValueText(entry.value, data, size);
  std::memmove(&g_cache.order[pos + 1], &g_cache.order[pos],
               (g_cache.count - pos) * sizeof g_cache.order[0]);
  g_cache.order[pos] = slot;
  ++g_cache.count;
}

}  // namespace

bool vskEnvKeyIsAbsent(long error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_RESOURCE_DATA_NOT_FOUND;
}

int vskEnvLoad() {
  if (g_cache.loaded) return 1;
  g_cache.attempted = true;
  bk::win::unique_hkey key;
  LONG rc = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVskRegistryKey, 0, KEY_ALL_ACCESS, key.put());
  if (rc != ERROR_SUCCESS)
    rc = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVskRegistryKey, 0, KEY_READ, key.put());
  if (rc != ERROR_SUCCESS) {
    // A missing key is a valid configuration: every getter gives its default.
    if (vskEnvKeyIsAbsent(rc)) {
      g_cache.loaded = true;
      return 1;
    }
    return 0;
  }
  for (DWORD index = 0;; ++index) {
    char name[kVskNameSize];
    DWORD nameLength = kVskNameSize;
    unsigned char data[kVskValueMaxData];
    DWORD dataSize = kVskValueMaxData;
    rc = ::RegEnumValueA(key.get(), index, name, &nameLength, nullptr, nullptr, data, &dataSize);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    // Any other result (a value longer than 128 bytes among them) ends the
    // load; the values read so far stay cached.
    if (rc != ERROR_SUCCESS) return 0;
    name[std::min<DWORD>(nameLength, kVskNameSize - 1)] = '\0';
    Insert(name, data, dataSize);
  }
  g_cache.loaded = true;
  return 1;
}

void vskEnvRelease() {
  g_cache.count = 0;
  g_cache.loaded = false;
  g_cache.attempted = false;
}

bool vskEnvIsLoaded() { return g_cache.loaded; }
bool vskEnvIsLoadAttempted() { return g_cache.attempted; }

int vskEnvGetValue(const char* name, char* out, std::size_t outSize) {
  if (name == nullptr || out == nullptr || outSize == 0) return 0;
  const CachedValue* entry = Find(name);
  if (entry == nullptr) return 0;
  const std::size_t n = std::min(std::strlen(entry->value), outSize - 1);
  std::memcpy(out, entry->value, n);
  out[n] = '\0';
  return 1;
}
