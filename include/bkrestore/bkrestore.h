/*
 * bkrestore: backup and restore of the files a software package installation
 * overwrites.
 *
 * All strings are zero-terminated text in the process's ANSI code page.
 *
 * Threads: the functions may be called from any thread. Inside one process
 * the library runs one call at a time: a call made while another one is
 * running waits until it has returned.
 *
 * Processes: the files that several processes of the client change (the
 * backup root's management file BACKMNG, the installed-software list, the
 * host list, the self-managed log files) are changed under machine-wide
 * locks, each change committed in one step. The install list INSLIST in the
 * backup root and the saved folders themselves are not guarded: at most one
 * process at a time may back up into, or restore from, one backup root.
 *
 * Setup (registry values, folders, the client's DLLs): see the guide in
 * share/doc/bkrestore of the package.
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
 * Saves the current contents of `directoryName` (an existing directory, with
 * everything below it, or file; at most 260 characters) before resource
 * (`resourceName` 1-44 characters, `version` 1-8, `generation` 1-4) is
 * installed over it. One backup per resource key: a second backup of a key
 * that has one fails.
 * Returns 0 when backed up, 1 on any failure (bad arguments included).
 */
uint32_t BKRESTORE_CALL vskAPIBackup(const char* resourceName, const char* version,
                                     const char* generation, const char* directoryName);

/*
 * Puts back the state saved for the resource, then deletes the backup.
 * Before anything is changed the saved files are checked against the
 * checksums kept with them (the archive is read through). Then what was
 * added after the backup is removed: the listed paths that did not exist,
 * and everything inside a saved folder that was not there at backup time.
 * The saved files and folders come back with their contents, times and
 * attributes; files that were there at backup time and deleted since come
 * back too. A link found where a saved file or folder belongs is removed as
 * a link, never written through.
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
