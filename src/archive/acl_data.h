#pragma once
// Security data of archive entries ("PC-ACL" information): the owner, group
// and access list of a file or directory, stored as the bytes of a
// self-relative security descriptor as the system returns them. The audit
// list is neither captured nor applied.
//
// Where the data of an entry comes from depends on the creation's security
// mode: 1 the fixed files of the client installation ("%s\PKG\ACLSETFL.INF"
// for files, "%s\PKG\ACLDIR.INF" for directories, read anew for every entry),
// 2 the entry's own descriptor, any other mode none. No failure stops an
// archive operation: the entry goes without data, or keeps the security it
// has, and the failure is traced with category "ar".
#include <windows.h>

#include <cstdint>

inline constexpr SECURITY_INFORMATION kVskarSecurityInformation =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

inline constexpr int kVskarSecurityFromFiles = 1;
inline constexpr int kVskarSecurityPerEntry = 2;

// Captures the descriptor of path. *payload is a new buffer of *length bytes
// (release with vskarReleaseACLData), or null with *length 0 when nothing
// could be captured. Returns 1.
int vskarGetACLData(const char* path, unsigned char** payload, std::uint32_t* length);

// The data of one entry of an archive creation by security mode, as
// vskarGetACLData gives it. Returns 1.
int vskarCaptureACLData(int securityMode, const char* path, bool isDirectory, unsigned char** payload,
                        std::uint32_t* length);

void vskarReleaseACLData(unsigned char* payload);

// Applies owner, group and access list of a stored payload (length bytes) to
// path. The payload comes from an archive: it is applied only when it is a
// well-formed self-relative descriptor that lies within its length. 1
// applied; 0 not (traced "SetFileSecurity, Path=...").
int vskarSetACLData(const char* path, const unsigned char* payload, std::uint32_t length);

// Replaces the call that applies a descriptor (tests: Wine keeps none); null
// restores the system's SetFileSecurityA.
using VskarSetFileSecurityCall = BOOL(WINAPI*)(LPCSTR path, SECURITY_INFORMATION information,
                                               PSECURITY_DESCRIPTOR descriptor);
void vskarSetFileSecurityCall(VskarSetFileSecurityCall call);
