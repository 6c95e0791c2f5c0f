// Service steps that are not built yet. Each reports failure, so that the
// exports give their failure results until the real step replaces it here.
#include "service/service.h"

int vskWriteInstallList(const char*) { return 1; }
int vskAPIMakeBackup(const char*, const char*, const char*) { return 1; }
int vskRestoreFindBackup(const char*, const char*, const char*) { return 10; }
int vskRestoreRemoveAddedPaths() { return 30; }
int vskRestoreSavedFiles() { return 1; }
void vskRestorePutBackEntry() {}
