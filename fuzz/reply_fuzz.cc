// The station's protocol client against any byte stream from its peer. The script picks
// the requests, the rest of the input is everything the "agent" answers before its
// output ends. Every request must end in a status or a client error that the exchange
// allows; never a crash, never a wait for bytes that cannot come.
#include "client.h"
#include "fuzz_input.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The peer's output: a pipe holding all of the data, its write end closed.
int peer_output(std::string_view data) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        std::abort();
    fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t k = write(p[1], data.data() + done, data.size() - done);
        if (k <= 0)
            break; // the pipe is full: the peer said no more than that
        done += static_cast<std::size_t>(k);
    }
    close(p[1]);
    return p[0];
}

// One request; returns its result.
station::Reply request(station::Agent &a, unsigned char op, int sink) {
    switch (op % 10) {
    case 0:
        return station::hello(a);
    case 1:
        return station::rm(a, "/srv/d", "f");
    case 2:
        return station::get_fd(a, "/srv/d", "f", sink);
    case 3: {
        station::FileInfo info;
        return station::sum(a, "/srv/d", "f", &info);
    }
    case 4:
        return station::push(a, "b", "/srv/d", "f", 3, 0x12345678);
    case 5:
        return station::rmremote(a, "b", "/srv/d", "f");
    case 6:
        return station::undeploy(a, "app");
    case 7:
        return station::put(a, "/srv/d", "f", "abc");
    case 8:
        return station::get_fd(a, "/srv/d", "f", -1);
    default: {
        std::int32_t got;
        return station::read_reply(a, a.seq + (op / 10) % 3 - 1, a.timeout_ms, &got);
    }
    }
}

bool allowed(station::Reply r, unsigned char op) {
    using station::ClientError;
    if (r.answered())
        return true; // any status at all: the command decides what it may mean
    switch (r.error()) {
    case ClientError::Closed:
    case ClientError::Protocol:
        return true;
    case ClientError::Hello:
        return op % 10 == 0;
    case ClientError::Checksum:
        return op % 10 == 2 || op % 10 == 8;
    default:
        // Timeout: the whole answer was there and its end was seen, so a time-out
        // means the client waited for nothing. Writing, starting and local files
        // cannot fail here, and nothing interrupts the station.
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzzin::Script script(data, size);
    static station::Agent a;
    static int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int to = open("/dev/null", O_WRONLY | O_CLOEXEC);
    station::agent_attach(a, to, peer_output(script.data));
    a.timeout_ms = 2000;
    for (unsigned char op : script.ops) {
        station::Reply r = request(a, op, sink);
        if (!allowed(r, op))
            fuzzin::fail("request %d ended in client error %d", op % 10,
                         static_cast<int>(r.error()));
        if (a.rpos > a.rlen)
            fuzzin::fail("read-ahead position %zu past its end %zu", a.rpos, a.rlen);
    }
    station::agent_close(a);
    return 0;
}
