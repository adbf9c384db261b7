// The query clients' records: a request built from any three texts, for each of the
// four variants, must be exactly the record the service expects; an answer of any bytes
// from a stream or datagram peer must be gathered within its buffer. The script picks
// the variant, the peer's transport and the sizes of its datagrams; the rest of the
// input is str1, str2, str3 and the answer's bytes, split at NUL bytes.
#include "fuzz_input.h"
#include "record.h"
#include "zavlib.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::array<quiprec::Layout, 4> variants = {
    quiprec::layout(false, false), quiprec::layout(true, false), quiprec::layout(false, true),
    quiprec::layout(true, true)};

// The record as the service reads it, worked out field by field.
std::vector<unsigned char> expected_request(const quiprec::Layout &l, const std::string &s1,
                                            const std::string &s2, const std::string &s3) {
    std::vector<unsigned char> r(l.request_size, 0);
    std::memcpy(r.data(), &quiprec::query_type, 4);
    auto place = [&](std::size_t at, std::size_t keep, const std::string &s) {
        std::memcpy(r.data() + at, s.data(), std::min(keep, s.size()));
    };
    place(quiprec::str1_offset, 79, s1);
    place(quiprec::str2_offset, 79, s2);
    place(quiprec::str3_offset, l.str3_runs_on ? l.request_size - quiprec::str3_offset - 1 : 80,
          s3);
    return r;
}

void check_request(const quiprec::Layout &l, const std::vector<std::string> &t) {
    static auto *request = new unsigned char[quiprec::largest_request];
    // The record at the end of the allocation: a byte past it is a sanitizer report.
    unsigned char *r = request + quiprec::largest_request - l.request_size;
    quiprec::build_request(l, r, t[0].c_str(), t[1].c_str(), t[2].c_str());
    if (std::memcmp(r, expected_request(l, t[0], t[1], t[2]).data(), l.request_size) != 0)
        fuzzin::fail("request record of %zu bytes differs", l.request_size);
}

// The peer sends bytes (as datagrams of the script's sizes when dgram) and goes away;
// the answer gathered must be what a reader of exactly answer_size bytes gets.
void check_answer(const quiprec::Layout &l, bool dgram, const std::vector<unsigned char> &sizes,
                  std::string_view bytes) {
    int sv[2];
    if (socketpair(AF_UNIX, (dgram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    std::string want;
    std::size_t at = 0, k = 0;
    bool ended = false;
    bytes = bytes.substr(0, 4096);
    // At most 64 datagrams, so that the peer's queue never fills.
    while (at < bytes.size() && !ended && k < 64) {
        std::size_t n = dgram && !sizes.empty() ? sizes[k++ % sizes.size()] : bytes.size() - at;
        n = std::min(n, bytes.size() - at);
        if (send(sv[1], bytes.data() + at, n, MSG_DONTWAIT) != static_cast<ssize_t>(n))
            fuzzin::fail("the peer could not send %zu bytes", n);
        std::size_t missing = l.answer_size - std::min(l.answer_size, want.size());
        want.append(bytes.substr(at, std::min(n, missing)));
        ended = n == 0;
        at += n;
    }
    // A datagram peer that goes away is not seen; an empty datagram ends the answer.
    if (dgram && !ended)
        send(sv[1], "", 0, MSG_DONTWAIT);
    close(sv[1]);
    static auto *answer = new char[quiprec::largest_answer + 1];
    char *a = answer + quiprec::largest_answer - l.answer_size;
    std::memset(a, 0, l.answer_size + 1);
    int rc = timed_recv(sv[0], a, static_cast<int>(l.answer_size), 5);
    close(sv[0]);
    bool full = want.size() >= l.answer_size;
    if (rc != (full ? 0 : -4))
        fuzzin::fail("answer of %zu of %zu bytes (%s): timed_recv gave %d", want.size(),
                     l.answer_size, dgram ? "datagrams" : "stream", rc);
    if (std::memcmp(a, want.data(), std::min(want.size(), l.answer_size)) != 0)
        fuzzin::fail("answer bytes differ");
    if (quiprec::answer_length(l, a) > l.answer_size)
        fuzzin::fail("answer length past the answer");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzzin::Script script(data, size);
    unsigned char pick = script.ops.empty() ? 0 : script.ops[0];
    std::vector<unsigned char> sizes;
    if (script.ops.size() > 1)
        sizes.assign(script.ops.begin() + 1, script.ops.end());
    auto parts = fuzzin::split_nul(script.data, 4);
    parts.resize(4);
    const auto &l = variants[pick % variants.size()];
    check_request(l, parts);
    check_answer(l, (pick / 4) % 2 == 1, sizes, parts[3]);
    return 0;
}
