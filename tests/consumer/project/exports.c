/* The public header as a C program sees it. */
#include <bkrestore/bkrestore.h>

/* 0 when the exports refuse missing arguments as documented. */
int consumer_check_exports(void) {
  if (vskAPIBackup(0, 0, 0, 0) != 1) return 1;
  if (vskAPIRestore(0, 0, 0) != 2) return 2;
  if (vskAPIGetResourceFileName(0, 0, 0, 0) != 2) return 3;
  return 0;
}
