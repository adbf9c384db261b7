// Operations on the agent's own files: put (1), delete (2), get with and without data
// (5, 6), and the data-phase loops shared with the relay and the deployment.
//
// The wire moves data in pieces of PIECE bytes. Here the pieces are handled in batches
// of BATCH bytes (a whole number of pieces), which gives the same bytes, checksums,
// statuses and file contents while costing one system call per batch.
#include "fileops.h"

#include "cksum.h"
#include "cleanup.h"
#include "dirs.h"
#include "fdio.h"
#include "format.h"
#include "lock.h"
#include "log.h"
#include "ownfile.h"
#include "wire.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Directory (95) + "/" + name (31) + "-TARKO" + terminator fit with room to spare.
constexpr std::size_t PATH_CAP = 160;
using Path = std::array<char, PATH_CAP>;

// Uploads are taken in batches of four of the wire's, as the station hands them over
// (its pipe to the agent holds that much), so that a put costs a quarter of the reads;
// sends keep the wire's batch, which the reader on the other side takes at a time.
// Static rather than on the stack, one per process is enough.
constexpr std::size_t XFER = 4 * BATCH;
std::array<unsigned char, XFER> transfer_buf;

using Dir = std::array<char, DIR_CAP>;

// Reads the directory and file name of a request and joins them as they came, without
// any normalisation.
void read_target(Path &target, Dir &dir) {
    std::array<char, NAME_CAP> name{};
    read_char_string(dir.data(), dir.size(), std_in);
    read_char_string(name.data(), name.size(), std_in);
    static_assert(DIR_CAP + NAME_CAP + sizeof "-TARKO" <= PATH_CAP);
    std::snprintf(target.data(), target.size(), "%s/%s", dir.data(), name.data());
}

} // namespace

Status receive_data(int fd) {
    std::int32_t len = read_long(std_in);
    std::uint32_t crc;
    cksum_init(&crc);
    Status st = Status::Ok;
    std::int64_t left = len > 0 ? len : 0;
    while (left > 0) {
        std::size_t want =
            left < static_cast<std::int64_t>(XFER) ? static_cast<std::size_t>(left) : XFER;
        std::size_t got = stream_read(std_in, transfer_buf.data(), want);
        if (got < want) {
            // The pieces that came whole were written before the short one; the short
            // piece itself is not.
            if (fd >= 0)
                write_all(fd, transfer_buf.data(), got - got % PIECE);
            if (fd >= 0)
                close(fd);
            return Status::ShortRead;
        }
        cksum_calc(transfer_buf.data(), got, &crc);
        if (fd >= 0 && !write_all(fd, transfer_buf.data(), got)) {
            // Keep reading so that the stream stays in step with the client.
            st = Status::ShortWrite;
            close(fd);
            fd = -1;
        }
        left -= static_cast<std::int64_t>(got);
    }
    if (fd >= 0 && close(fd) < 0 && st == Status::Ok)
        st = Status::ShortWrite; // data that never reached the disk
    cksum_final(len, &crc);
    auto theirs = static_cast<std::uint32_t>(read_long(std_in));
    if (st != Status::Ok)
        return st;
    return theirs == crc ? Status::Ok : Status::BadChecksum;
}

Status send_file_data(int *fd, std::int64_t len, Stream *out, std::uint32_t *crc) {
    bool short_read = false, short_write = false;
    bool cleared = false; // transfer_buf holds only zero bytes
    while (len > 0) {
        std::size_t want =
            len < static_cast<std::int64_t>(BATCH) ? static_cast<std::size_t>(len) : BATCH;
        if (*fd >= 0) {
            std::size_t got = read_full(*fd, transfer_buf.data(), want);
            if (got < want) {
                // The file shrank: the missing tail goes out as zero bytes, and so does
                // every piece after it.
                short_read = true;
                close(*fd);
                *fd = -1;
                std::memset(transfer_buf.data() + got, 0, BATCH - got);
                cleared = got == 0;
            }
        } else if (!cleared) {
            std::memset(transfer_buf.data(), 0, BATCH);
            cleared = true;
        }
        if (crc)
            cksum_calc(transfer_buf.data(), want, crc);
        if (out && stream_write(*out, transfer_buf.data(), want) != want)
            short_write = true;
        len -= static_cast<std::int64_t>(want);
    }
    // A failed write makes every later piece fail too, so of the two failures the
    // write is always the last one recorded.
    if (short_write)
        return Status::ShortWrite;
    return short_read ? Status::ShortRead : Status::Ok;
}

Status put_file_on_machine(std::int32_t seq) {
    Path target{}, temp{};
    Dir dir{};
    read_target(target, dir);
    if (!format_fits(temp, "%s-TARKO", target.data()))
        return Status::CannotCreate; // cannot happen with the capacities above
    if (target_is_directory(target.data()))
        return Status::IsDirectory;
    struct stat st;
    if (stat(dir.data(), &st) < 0) {
        if (int e = makedir(target.data()); e != 0) {
            log_entry("mkdir failed %s (%s)", target.data(), std::strerror(e));
            return Status::MkdirFailed;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        return Status::NotDirectory;
    }
    // One writer per target: a second upload of it waits here until the first has put
    // its file in place, and then writes a temporary file of its own.
    int fd = open_locked(temp.data());
    if (fd < 0) {
        log_entry("Could not write to %s (%s)", temp.data(), std::strerror(errno));
        return Status::CannotCreate;
    }
    cleanup_file(temp.data());
    send_response(seq, Status::Ready);
    // The data go through a second descriptor, so that the lock stays until the rename;
    // without one, the data are still read but nothing is written.
    int data_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    Status result = receive_data(data_fd);
    if (data_fd < 0 && result != Status::ShortRead)
        result = Status::ShortWrite;
    if (result == Status::Ok && rename(temp.data(), target.data()) < 0)
        result = Status::CannotCreate;
    if (result != Status::Ok)
        unlink(temp.data());
    cleanup_file(nullptr);
    close(fd);
    return result;
}

Status delete_file_on_machine() {
    Path target{};
    Dir dir{};
    read_target(target, dir);
    if (target_is_directory(target.data()))
        return Status::IsDirectory;
    if (unlink(target.data()) == 0 || errno == ENOENT)
        return Status::Ok;
    return Status::Failed;
}

Status get_file_from_machine(std::int32_t seq, bool send_data) {
    Path target{};
    Dir dir{};
    read_target(target, dir);
    if (target_is_directory(target.data()))
        return Status::IsDirectory;
    // A named pipe, socket or device is no file to send: opening one could wait forever.
    int fd = open_regular(target.data());
    if (fd < 0) {
        log_entry("Could not read file %s (%s)", target.data(), std::strerror(errno));
        return Status::CannotOpen;
    }
    struct stat st;
    int err = fstat(fd, &st) < 0 ? errno : 0;
    // The wire's length is a signed 32-bit value: a longer file cannot be described,
    // and sending a wrapped length would report a wrong file as a success.
    if (err == 0 && st.st_size > INT32_MAX)
        err = EOVERFLOW;
    if (err != 0) {
        log_entry("Could not get filesize of %s (%s)", target.data(), std::strerror(err));
        close(fd);
        return Status::Failed;
    }
    send_response(seq, Status::Ready);
    auto len = static_cast<std::int32_t>(st.st_size);
    send_long(len, std_out);
    std::uint32_t crc;
    cksum_init(&crc);
    Status result = send_file_data(&fd, len, send_data ? &std_out : nullptr, &crc);
    if (fd >= 0)
        close(fd);
    cksum_final(len, &crc);
    send_long(static_cast<std::int32_t>(crc), std_out);
    return result;
}
