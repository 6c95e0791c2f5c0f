#pragma once
// The user log "USER_CLT.LOG": messages formatted from the client's user-log
// message library "VSUSRLOG.DLL" (in the BIN folder) in English, wrapped into
// records: the first line whole up to the record width, every further piece
// and line indented by 28 blanks.
#include <cstdint>

inline constexpr int kVskMaxUserLogValues = 16;

// values: up to 16 insertion values (text pointers or numbers, as the
// message's markers require) ended by a 0 slot, or null. Nothing is written
// when the library or the message is not available.
void vskLogUserMessage(std::uint32_t code, const std::uintptr_t* values, const char* category);
