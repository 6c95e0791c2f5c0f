#pragma once
// Test seam for the file contents that backups and restores write and read.
// Every such write or read asks ShouldFail first; a test arms the seam to make
// exactly the Nth one fail, as if the disk refused it, and so walks a failure
// through every step of an operation. Unarmed, it only counts.
namespace bk::io {

enum class IoKind { kWrite = 0, kRead = 1 };

// Counts the call; true when this call is the armed one.
bool ShouldFail(IoKind kind);

// Restarts both counts; the nth call of `kind` from now on fails (n <= 0:
// none fails).
void ArmFaultForTest(IoKind kind, long n);
// Calls of `kind` counted since the last ArmFaultForTest.
long CountForTest(IoKind kind);

}  // namespace bk::io
