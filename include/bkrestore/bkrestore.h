/*
 * bkrestore: backup and restore of the files a software package installation
 * overwrites.
 *
 * All strings are zero-terminated ANSI text. The functions must not be called
 * concurrently from several threads of one process: calls are serialised
 * inside the library.
 */
#ifndef BKRESTORE_BKRESTORE_H
#define BKRESTORE_BKRESTORE_H

#include <stdint.h>

#if defined(_WIN32)
#define BKRESTORE_CALL __cdecl
#else
#define BKRESTORE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Saves the current contents of `directoryName` (a directory or file, at most
 * 260 characters) before resource (`resourceName` 1-44 characters, `version`
 * 1-8, `generation` 1-4) is installed over it.
 * Returns 0 when backed up, 1 on any failure (bad arguments included).
 */
uint32_t BKRESTORE_CALL vskAPIBackup(const char* resourceName, const char* version,
                                     const char* generation, const char* directoryName);

/*
 * Puts back the state saved for the resource, then deletes the backup. Before
 * anything is changed the saved files are checked against the checksums kept
 * with them; then the paths the installation added are removed (the listed
 * ones that did not exist, and whatever was added inside the saved folders
 * after the backup), and the saved files and folders are put back with their
 * times and attributes. A link found where a saved file or folder belongs is
 * removed as a link, never written through.
 * Returns 0 restored; 1 no usable backup for the resource; 2 bad arguments, or
 * a restore step failed: the backup is kept, so that calling again once the
 * cause is gone (a file in use released, space freed) finishes the job; only a
 * backup whose archive can never be restored is deleted (unless protected);
 * 3 a restore step failed and such a backup could not be deleted, or restoring
 * succeeded but deleting the used backup failed.
 */
uint32_t BKRESTORE_CALL vskAPIRestore(const char* resourceName, const char* version,
                                      const char* generation);

/*
 * Writes the file list of the resource's archive to `path` (at most 260
 * characters). Returns 0 written; 1 no such resource; 2 any other failure.
 */
uint32_t BKRESTORE_CALL vskAPIGetResourceFileName(const char* resourceName, const char* version,
                                                  const char* generation, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* BKRESTORE_BKRESTORE_H */
