// Deployment (operation 7) and removal (operation 8) of Audium applications.
#pragma once

#include "status.h"

#include <cstdint>

// Operation 7: receives the archive of the application named in the request (after
// the interim response 1, sent here with seq), unpacks it into the work tree, swaps it
// into the live tree and has the server load it; a refusal puts the previous version
// back. Returns Ok (loaded); NoAudiumHome; Failed (bad name or paths too long, before
// anything changed; work copy removal, directory change, jar, script copy or
// work-to-live rename failed; or the server did not load it); IsDirectory (archive
// path); NotDirectory (a tree blocked by a file); BadChecksum; MkdirFailed;
// CannotCreate (archive); ShortRead; ShortWrite; ForkFailed and NoJavaHome (jar);
// LinkFailed (log link); NoAdminDir (master admin directory).
Status put_audium_appl_on_machine(std::int32_t seq);

// Operation 8: has the server release the application and moves its live copy to the
// old tree. Returns Ok (also when the server or the live tree lacks it); NoAudiumHome;
// Failed (bad name or paths too long, nothing changed); NotDirectory (old tree blocked
// by a file); MkdirFailed (old tree cannot be created).
Status delete_audium_appl_from_machine();

// Unpacks "<appl>/data" and "<appl>/java" of the archive into the current directory
// with "$JAVA_HOME/bin/jar". Returns 0, 20 (no JAVA_HOME), 14 (no process) or 2.
int unjar(const char *archive, const char *appl);

// Copies every "*.sh" file (name longer than 3) of src into dst with mode 0777.
// Returns 0 or 2.
int copySHfiles(const char *src, const char *dst);
