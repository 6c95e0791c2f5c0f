#pragma once
// The open security record for named kernel objects: a descriptor from the
// local heap with a present but null access list, so that every user and
// terminal session may open an object created with it. The caller owns the
// descriptor and gives it back with vskReleaseSecurity.
#include <windows.h>

// 1 filled (inheritable); 0 failed, with the record untouched and nothing to
// release. Failures are traced with category "cltmlib".
int vskSetSecurity(SECURITY_ATTRIBUTES* record);

// Frees the descriptor of a record that vskSetSecurity filled.
void vskReleaseSecurity(SECURITY_ATTRIBUTES* record);
