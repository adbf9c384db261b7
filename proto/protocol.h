// The agent protocol as both of its ends see it: operation numbers, the capacities of
// the counted strings, the data piece, the hello texts and the byte order of the wire.
// The agent, the station and the benchmarks take every one of these from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The operation of a request, the 16-bit value after its sequence number.
enum class Op : std::int16_t {
    Put = 1,          // store a file sent in the data phase
    Delete = 2,       // remove a file
    Push = 3,         // send a file of this host to another host's agent
    DeleteRemote = 4, // remove a file on another host
    Get = 5,          // send a file's length, data and checksum
    Sum = 6,          // send a file's length and checksum only
    Deploy = 7,       // install an Audium application from the archive of the data phase
    Undeploy = 8,     // withdraw an Audium application
};

// The operation's wire value.
constexpr std::int16_t op_code(Op op) {
    return static_cast<std::int16_t>(op);
}

// Capacities of the agent's buffers for the counted strings of a request, terminator
// included: a string may hold at most one byte fewer.
constexpr std::size_t DIR_CAP = 96;
constexpr std::size_t NAME_CAP = 32;
constexpr std::size_t HOST_CAP = 64;
constexpr std::size_t APPL_CAP = 96;

// The wire's data piece. Both ends move a data phase in batches of BATCH bytes, a whole
// number of pieces: the same bytes at one system call per batch.
constexpr std::size_t PIECE = 1024;
constexpr std::size_t BATCH = 64 * PIECE;
static_assert(BATCH % PIECE == 0);

// The agent's answer to 'H', and the older answer that a client accepts as well. The
// relay compares only the text before the newline and leaves the newline in its stream.
constexpr std::string_view HELLO = "HELLO_v22\n";
constexpr std::string_view HELLO_OLD = "HELLO_v20\n";
constexpr std::size_t HELLO_TEXT_LEN = HELLO.size() - 1;

// The frame markers: a request, a hello, a response.
constexpr char REQUEST_MARK = 'A';
constexpr char HELLO_MARK = 'H';
constexpr char RESPONSE_MARK = 'R';

// Big-endian (most significant byte first) shorts and longs, as the wire carries them.
constexpr void put_be16(unsigned char *p, std::int16_t v) {
    auto u = static_cast<std::uint16_t>(v);
    p[0] = static_cast<unsigned char>(u >> 8);
    p[1] = static_cast<unsigned char>(u);
}

constexpr void put_be32(unsigned char *p, std::int32_t v) {
    auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

constexpr std::int16_t get_be16(const unsigned char *p) {
    return static_cast<std::int16_t>((p[0] << 8) | p[1]);
}

constexpr std::int32_t get_be32(const unsigned char *p) {
    return static_cast<std::int32_t>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                     (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]});
}
