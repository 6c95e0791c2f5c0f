#pragma once
// Client-wide helpers around the client's control and command files:
// - the reader of the control file C0.ctr (current server and status numbers),
//   written by other programs of the client;
// - the gate to the command-file data, which this library never loads, and
//   the two operations that depend on it and therefore always fail.
#include <cstddef>
#include <cstdint>

// C0.ctr: 276 bytes.
inline constexpr std::size_t kCtrFileSize = 276;
inline constexpr std::size_t kCtrHost = 0;        // 260 bytes, zero-terminated
inline constexpr std::size_t kCtrHostWidth = 260;
inline constexpr std::size_t kCtrSecond = 260;    // 8 bytes, zero-terminated
inline constexpr std::size_t kCtrSecondWidth = 8;
inline constexpr std::size_t kCtrNumberB = 268;   // 32 bits
inline constexpr std::size_t kCtrNumberA = 272;   // 32 bits

// Output buffers: a field's text is never read past its field, and one that
// fills its field without a terminator still gets one in the output.
inline constexpr std::size_t kCtrHostOutSize = kCtrHostWidth;        // cut to 259 characters
inline constexpr std::size_t kCtrSecondOutSize = kCtrSecondWidth + 1;

// The fields of the 276 bytes of C0.ctr (portable; the reader below uses it).
struct CtrFields {
  char host[kCtrHostOutSize] = {};
  char second[kCtrSecondOutSize] = {};
  std::int32_t numberA = 0, numberB = 0;
};
CtrFields vskCtrDecode(const unsigned char* bytes);  // kCtrFileSize bytes

// Reads C0.ctr. Every output may be null; the given ones are cleared first.
// 0 when the file does not exist; 1 otherwise (outputs filled when the 276
// bytes could be read, empty after a failure, which is logged with "cfctl").
int vskCfstuGetExecStatus(std::int32_t* numberA, std::int32_t* numberB, char* host, char* second);

// 0, with *data set to null: the command-file data is not loaded here.
int vskStsReadCommandFileData(void** data);

// Would write the host-registering resource list from the command-file data;
// without that data it logs "Can't Acsses C0 File vskFarMakeHostResList"
// (category "far"), leaves the list path alone and returns -1.
int vskFarMakeHostResList(const char* listPath);

// Would change the drive of a path from the command-file data; logs
// "vskStsReadCommandFileData_ERROR:ON SupCangeDriveNO" (category "setup") and
// returns -1, leaving output untouched.
int SupCangeDriveNO(const char* path, char* output);
