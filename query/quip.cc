// quip, quipwide, quipdgram, quipdgramwide: put one question to the service on a port
// and print its answer.
//
//   <prog> portnum str1 str2 str3 [nettimeout]
//
// One fixed-size request record (type 2 and the three texts) goes to the service over
// TCP (quip, quipwide) or a connected UDP socket (quipdgram, quipdgramwide); the
// fixed-size text answer that comes back within nettimeout seconds (default 25) is
// printed with a newline. portnum is "<port>[@<host>]"; without a host the query goes
// to the site's server host "quipsrv" (default_server_host in zavlib.h).
//
// The build chooses the variant: QUIP_PROG (the program name), QUIP_WIDE (420-byte
// request, 256-byte answer instead of 244 and 80) and QUIP_DGRAM (UDP instead of TCP).
#include "record.h"
#include "sys_hdrs.h"
#include "zavlib.h"

#include <array>

#if !defined(QUIP_PROG) || !defined(QUIP_WIDE) || !defined(QUIP_DGRAM)
#error "QUIP_PROG, QUIP_WIDE and QUIP_DGRAM choose the variant"
#endif

namespace {

constexpr bool wide = QUIP_WIDE;
constexpr bool dgram = QUIP_DGRAM;
constexpr const char *prog = QUIP_PROG;
constexpr quiprec::Layout rec = quiprec::layout(wide, dgram);

constexpr int default_nettimeout = 25;
constexpr std::size_t portspec_size = 176;

int nettimeout = default_nettimeout;
std::array<char, portspec_size> portspec{};
std::array<unsigned char, rec.request_size> request{};
// One byte more than the answer, always zero: a full-size answer without a NUL still
// ends there.
std::array<char, rec.answer_size + 1> answer{};

bool open_connection(char *spec) {
    if constexpr (dgram) {
        int port = 0;
        const char *host = nullptr;
        split_port_spec(spec, &port, &host);
        port_sock = connect_dgram_port(port, host);
        return port_sock >= 0;
    } else {
        return connect_port(spec, wide ? ConnectMessages::with_errno : ConnectMessages::plain) == 1;
    }
}

// Sends the request and gathers the answer. The library repeats interrupted write,
// select and read calls itself, and errno may still read EINTR after a later success;
// so a step is repeated only when the call itself ended with an interruption, and a
// request already sent never goes out twice, nor is an answer gathered thrown away.
void query_port(char *spec) {
    answer.fill(0);
    if (!open_connection(spec))
        return;

    int rc;
    do {
        errno = 0;
        rc = timed_send(port_sock, request.data(), static_cast<int>(rec.request_size), nettimeout);
    } while (rc == -1 && errno == EINTR);

    do {
        errno = 0;
        rc = timed_recv(port_sock, answer.data(), static_cast<int>(rec.answer_size), nettimeout);
    } while ((rc == -1 || rc == -3) && errno == EINTR);

    if constexpr (!dgram) {
        // With linger 0 this resets the connection at once.
        close(port_sock);
        port_sock = -1;
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s portnum str1 str2 str3 [nettimeout]\n", prog);
        return 1;
    }
    // Over-long texts are cut to their fields; bytes the client does not set stay zero.
    std::size_t speclen = strnlen(argv[1], portspec.size() - 1);
    std::memcpy(portspec.data(), argv[1], speclen);
    portspec[speclen] = '\0';

    quiprec::build_request(rec, request.data(), argv[2], argv[3], argv[4]);

    nettimeout = default_nettimeout;
    if (argc == 6)
        nettimeout = static_cast<int>(std::strtol(argv[5], nullptr, 10));

    query_port(portspec.data());

    std::fwrite(answer.data(), 1, quiprec::answer_length(rec, answer.data()), stdout);
    std::fputc('\n', stdout);
    return 0;
}
