#pragma once
// The client's trace logs. Every module writes its messages through these
// functions; none of them ever fails its caller or reports an error.
//
// Usage: h = vskLogOpen("CLIENT.log"); vskLogWrite(h, text, "BKRV"); vskLogClose(h);
// or, for one line, vskLogTrace("BKRV", "format", ...).
//
// The declarations are portable: in the Windows library they write the
// client's log files, in native builds they go to a replaceable sink.
#include <cstdint>

using VskLogHandle = std::uint32_t;

// Kinds of failed calls traced by vskLogApiError.
enum : int { kVskApiWindows = 1, kVskApiCLibrary = 2, kVskApiWinSock = 3 };

// Message codes that this library sends (severity in bits 31-30, message
// number in bits 15-0). Their texts live in the client's message library.
inline constexpr std::uint32_t kVskMsgInstallError = 0xC0001B65;  // 7013: the caller's message
inline constexpr std::uint32_t kVskMsgHostError = 0xC0001B6A;     // 7018: no text
inline constexpr std::uint32_t kVskMsgShareError = 0xC0004E20;    // 20000: host name not found
inline constexpr std::uint32_t kVskMsgNetworkError = 0xC00003EB;  // 1003: message and number

VskLogHandle vskLogOpen(const char* fileName);
void vskLogWrite(VskLogHandle handle, const char* message, const char* category);
void vskLogClose(VskLogHandle handle);

// Traces a failed system call: kind 1 Windows (error = GetLastError()),
// 2 C library (errno), 3 WinSock. sourceFile is the module's relative path.
void vskLogApiError(int kind, const char* category, const char* info, std::int32_t error,
                    const char* sourceFile, std::int32_t line);

// Sends a coded message (event log and MAIN.LOG). text and sourceFile may be null.
void vskLogEvent(std::uint32_t code, const char* category, const char* text, std::int32_t number,
                 const char* sourceFile, std::int32_t line);

// Formats one line (cut at 1023 bytes) and writes it to CLIENT.log.
void vskLogTrace(const char* category, const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
