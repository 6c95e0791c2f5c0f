// Service steps that are not built yet. Each reports failure, so that the
// exports give their failure results until the real step replaces it here.
#include "service/service.h"

int vskGetResourceFileList(const char*, const char*, const char*, const char*) { return 2; }
