// Deployment (operation 7) and removal (operation 8) of Audium applications.
#pragma once

#include "status.h"

#include <cstdint>

Status put_audium_appl_on_machine(std::int32_t seq);
Status delete_audium_appl_from_machine();

// Unpacks "<appl>/data" and "<appl>/java" of the archive into the current directory
// with "$JAVA_HOME/bin/jar". Returns 0, 20 (no JAVA_HOME), 14 (no process) or 2.
int unjar(const char *archive, const char *appl);

// Copies every "*.sh" file (name longer than 3) of src into dst with mode 0777.
// Returns 0 or 2.
int copySHfiles(const char *src, const char *dst);
