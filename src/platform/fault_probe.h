#pragma once
// For tests only: provokes an access violation inside a guarded piece of code
// and reports it under the given operation name, as the platform layer does
// for a fault while tracing. Not exported by bkrestore.dll; test programs
// that link bk_core call it.

// True when the access violation was caught and reported.
bool vskWapiProvokeAccessViolation(const char* operation);
