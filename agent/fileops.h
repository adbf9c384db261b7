// Operations on files of the agent's own host: put (1), delete (2), get (5 and 6),
// and the data-phase loops that the relay and the deployment share.
#pragma once

#include "protocol.h"
#include "status.h"
#include "stream.h"

#include <cstdint>

Status put_file_on_machine(std::int32_t seq);
Status delete_file_on_machine();
Status get_file_from_machine(std::int32_t seq, bool send_data);

// Receives a data phase from standard input (length, data, checksum) into the open
// descriptor fd, which it closes. Returns Ok; BadChecksum; ShortRead when the input
// ended inside the data (the checksum is then not read); ShortWrite when a write to
// fd failed (the rest of the data was still read, and the checksum too).
Status receive_data(int fd);

// Sends len bytes of the open file *fd to out (nothing is written when out is null),
// in pieces of PIECE bytes. A short read from the file closes it (*fd = -1) and records
// ShortRead; the missing bytes go out as zero bytes. A short write records ShortWrite.
// Every piece is fed to *crc as sent when crc is not null. Returns Ok or the last
// failure recorded.
Status send_file_data(int *fd, std::int64_t len, Stream *out, std::uint32_t *crc);
