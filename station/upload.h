// Uploads from a local file (operations 1 and 7) with the station's own guard: a file
// that changes while it is sent must never be stored. Its data would be a mix of old
// and new bytes, or zero bytes where it shrank, with a checksum that matches them; so
// the station sends a checksum that cannot match and the agent discards the upload.
#pragma once

#include "client.h"
#include "progress.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>

struct UploadResult {
    std::int64_t length = 0; // bytes announced and sent
    bool changed = false;    // the file changed while it was sent
    int local_errno = 0;     // why the local file could not be used (with kUploadLocal)
};

// The local file is missing, unreadable, not a regular file or longer than the wire's
// 32-bit length; local_errno says which (EFBIG for too long, EINVAL for not regular).
constexpr int kUploadLocal = -100;

// Opens path and sends it as the data of operation op (1 or 7) whose counted strings
// follow the request header. Returns kUploadLocal before anything is sent; otherwise
// the agent's final status (or the status that refused the data phase), or a client
// error (negative, see client.h). When r->changed is set the agent was handed a wrong
// checksum on purpose, so the target stays as it was, whatever the status says.
int upload_file(station::Agent &a, std::int16_t op, std::initializer_list<std::string_view> strings,
                const char *path, ProgressBar &bar, UploadResult *r);

// Length and checksum of a local file, as the agent would compute them for it.
// Returns 0, or the errno value of the failure (EFBIG when longer than 32 bits allow,
// EINVAL when not a regular file).
int local_sum(const char *path, std::int64_t *length, std::uint32_t *crc);
