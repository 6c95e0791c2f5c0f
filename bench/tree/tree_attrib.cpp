// tree_attrib LISTFILE BASE: gives the generated benchmark tree its Windows
// attributes. Each line of LISTFILE is "FLAGS<TAB>relative\path" with FLAGS
// made of R (read-only), H (hidden) and S (system); the path is taken below
// BASE. Under Wine, hidden and system are kept in an extended attribute that
// only Wine writes, which is why this runs as a Win32 program.
// Exit code 0 all set, 1 any failure.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tree_attrib LISTFILE BASE\n");
    return 2;
  }
  std::FILE* list = std::fopen(argv[1], "r");
  if (list == nullptr) {
    std::fprintf(stderr, "tree_attrib: cannot open %s\n", argv[1]);
    return 1;
  }
  const std::string base = argv[2];
  char line[1024];
  unsigned count = 0;
  int result = 0;
  while (std::fgets(line, sizeof line, list) != nullptr) {
    std::size_t length = std::strcspn(line, "\r\n");
    line[length] = '\0';
    const char* tab = std::strchr(line, '\t');
    if (tab == nullptr) continue;
    DWORD attributes = 0;
    for (const char* flag = line; flag < tab; ++flag) {
      if (*flag == 'R') attributes |= FILE_ATTRIBUTE_READONLY;
      if (*flag == 'H') attributes |= FILE_ATTRIBUTE_HIDDEN;
      if (*flag == 'S') attributes |= FILE_ATTRIBUTE_SYSTEM;
    }
    const std::string path = base + "\\" + (tab + 1);
    if (path.size() >= MAX_PATH || !::SetFileAttributesA(path.c_str(), attributes)) {
      std::fprintf(stderr, "tree_attrib: cannot set %s (error %lu)\n", path.c_str(), ::GetLastError());
      result = 1;
      continue;
    }
    ++count;
  }
  std::fclose(list);
  std::printf("tree_attrib: %u paths set\n", count);
  return result;
}
