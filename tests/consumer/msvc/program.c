/* An integrator's program linked by an MSVC-style linker through
 * bkrestore.lib, without a C runtime: its own entry point, kernel32 only.
 * It refuses bad arguments, backs up the folder named by BK_APP, changes it
 * as an installation would (deletes keep.txt, adds added.txt) and restores
 * it. The exit code is 0, or the number of the first check that failed. */
#include <bkrestore/bkrestore.h>

typedef void* Handle;
#define INVALID_HANDLE ((Handle)-1)
#define INVALID_ATTRIBUTES 0xFFFFFFFFu

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableA(const char* name, char* value,
                                                                      unsigned long size);
__declspec(dllimport) Handle __stdcall CreateFileA(const char* path, unsigned long access, unsigned long share,
                                                   void* security, unsigned long disposition,
                                                   unsigned long flags, Handle templateFile);
__declspec(dllimport) int __stdcall CloseHandle(Handle handle);
__declspec(dllimport) int __stdcall DeleteFileA(const char* path);
__declspec(dllimport) unsigned long __stdcall GetFileAttributesA(const char* path);

enum { kPathSize = 300 };

/* dir + "\" + name into out; 0 when it does not fit. */
static int Join(char* out, const char* dir, const char* name) {
  int n = 0;
  for (const char* p = dir; *p != '\0'; ++p) {
    if (n >= kPathSize - 2) return 0;
    out[n++] = *p;
  }
  out[n++] = '\\';
  for (const char* p = name; *p != '\0'; ++p) {
    if (n >= kPathSize - 1) return 0;
    out[n++] = *p;
  }
  out[n] = '\0';
  return 1;
}

static unsigned Run(void) {
  if (vskAPIBackup(0, 0, 0, 0) != 1) return 1;
  if (vskAPIRestore(0, 0, 0) != 2) return 2;
  if (vskAPIGetResourceFileName(0, 0, 0, 0) != 2) return 3;

  char app[kPathSize], keep[kPathSize], added[kPathSize];
  const unsigned long length = GetEnvironmentVariableA("BK_APP", app, kPathSize);
  if (length == 0 || length >= kPathSize) return 4;
  if (!Join(keep, app, "keep.txt") || !Join(added, app, "added.txt")) return 5;

  if (vskAPIBackup("MSVCLINK", "1.0", "1", app) != 0) return 6;
  if (!DeleteFileA(keep)) return 7;
  const Handle file = CreateFileA(added, 0x40000000u /* GENERIC_WRITE */, 0, 0, 1 /* CREATE_NEW */, 0x80u, 0);
  if (file == INVALID_HANDLE) return 8;
  CloseHandle(file);

  if (vskAPIRestore("MSVCLINK", "1.0", "1") != 0) return 9;
  if (GetFileAttributesA(keep) == INVALID_ATTRIBUTES) return 10;
  if (GetFileAttributesA(added) != INVALID_ATTRIBUTES) return 11;
  return 0;
}

void Start(void) { ExitProcess(Run()); }
