#pragma once
// The client's log manager, as the log writer uses it: it keeps each log file
// as a ring of fixed-length records and hands out where the next record goes.
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Returns the byte offset from the start of the log file at which the next
// record of log `logId` (1..40) is to be written, and fills in the record
// length in bytes (CR LF included) and the record's number. One call per record.
int32_t __cdecl vsLOGMngWritePosition(uint32_t logId, uint32_t* recordLength,
                                      uint32_t* recordNumber);

#ifdef __cplusplus
}
#endif
