// The agent's whole request loop, black-box: a generator of request sequences that the
// protocol's structure shapes (hellos, numbered requests of every operation and of none,
// counted strings at and around their caps, negative and huge lengths, data phases with
// right and wrong checksums, relays to a second host and to far agents that misbehave,
// cut-off input, input that arrives a few bytes at a time) runs the sanitizer agent of
// this tree inside the view of a simulated site, never on this machine's own files. Each
// run must end by itself with status 0 and without a sanitizer report, and may change
// files only where its requests point: the generator's directories, the agent's log, the
// Audium tree and the application logs (and the Java runtime's own scratch files of a
// deployment).
//
//   agent_loop_fuzz RUNS SECONDS SEED FINDINGS_DIR    generated runs, bounded both ways
//   agent_loop_fuzz --replay FILE...                  one run per saved input
//
// A failing input is kept as FINDINGS_DIR/agent_loop-<hash> (agent_loop-<hash>-pN when
// it was written in pieces of up to N bytes, as its replay then is), printed in hex,
// and the program ends with status 1 (2 when no site can be brought up).
#include "client.h"
#include "proc.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string simsite = testproc::bin("simsite");
const std::string site = "fuzz" + std::to_string(getpid());
long answered = 0; // runs in which the agent answered at all, to show that it ran
// Every file path a request has named so far, relative to the root ("" directories
// name files there): the runs' changes are kept, so this grows with them.
std::set<std::string> named;

// One run's requests, built up as the station would send them.
class Gen {
  public:
    explicit Gen(std::uint32_t seed) : rng_(seed) {}

    // The next run's input; *piece is 0, or the largest piece it is written in.
    std::string sequence(std::size_t *piece) {
        out_.clear();
        seq_ = 0;
        int n = 1 + pick(12);
        for (int i = 0; i < n; i++)
            frame();
        if (chance(10)) // cut off anywhere
            out_.resize(pick(static_cast<int>(out_.size()) + 1));
        // A few bytes a millisecond: only short inputs, so that runs stay short.
        *piece = out_.size() <= 1500 && chance(20) ? 1 + static_cast<std::size_t>(pick(7)) : 0;
        return out_;
    }

  private:
    std::mt19937 rng_;
    std::string out_;
    std::int32_t seq_ = 0;
    std::map<std::string, std::pair<std::int32_t, std::uint32_t>> stored_; // what put sent

    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    template <typename T, std::size_t N>
    const T &one_of(const std::array<T, N> &a) {
        return a[pick(N)];
    }

    void byte(unsigned char b) { station::put_byte(out_, b); }
    void shortv(std::int16_t v) { station::put_short(out_, v); }
    void longv(std::int32_t v) { station::put_long(out_, v); }

    // A counted string, now and then with a length that lies.
    void text(const std::string &s) {
        if (chance(4)) {
            static constexpr std::array<std::int32_t, 6> lies = {-1,    INT32_MIN, INT32_MAX,
                                                                 65536, 4096,      97};
            longv(chance(50) ? one_of(lies) : static_cast<std::int32_t>(s.size()) + pick(3) - 1);
        } else {
            longv(static_cast<std::int32_t>(s.size()));
        }
        out_.append(s);
    }

    std::string dir() {
        static const std::array<std::string, 9> dirs = {"/srv/fz",
                                                        "/srv/fz/d",
                                                        "/srv/fz/d/e/f",
                                                        "/srv/fz/" + std::string(87, 'x'),
                                                        "/srv/fz/" + std::string(88, 'y'),
                                                        "/srv/fz/../fz",
                                                        "",
                                                        "srv/fz",
                                                        "/srv/fz/f1"};
        return one_of(dirs);
    }
    std::string name() {
        static const std::array<std::string, 10> names = {
            "f1",  "f2", "f3",      std::string(31, 'n'), std::string(32, 'm'), "..", ".",
            "a/b", "",   "f1-TARKO"};
        return one_of(names);
    }
    std::string host() {
        static const std::array<std::string, 5> hosts = {"b", "b", "a", "nohost",
                                                         std::string(64, 'h')};
        // Far agents that misbehave (see broken_rsh); the two that keep the agent
        // waiting come seldom.
        static const std::array<std::string, 10> broken = {
            "broken-close", "broken-garbage", "broken-answers", "broken-ready",  "broken-ready",
            "broken-cut",   "broken-flood",   "broken-close",   "broken-silent", "broken-mute"};
        return chance(30) ? one_of(broken) : one_of(hosts);
    }
    std::string appl() {
        static const std::array<std::string, 5> appls = {"app1", "app2", "../x", "a b",
                                                         std::string(95, 'p')};
        return one_of(appls);
    }
    std::string data() {
        static constexpr std::array<int, 6> sizes = {0, 1, 1023, 1024, 1025, 70000};
        int n = chance(70) ? pick(3000) : one_of(sizes);
        std::string d(static_cast<std::size_t>(n), '\0');
        for (auto &c : d)
            c = static_cast<char>(rng_());
        return d;
    }

    // Length, bytes and checksum of an upload, sometimes wrong or short.
    void upload(const std::string &key) {
        std::string d = data();
        std::uint32_t sum = station::checksum_of(d);
        if (chance(10))
            sum ^= 1u << pick(32);
        longv(static_cast<std::int32_t>(d.size()) + (chance(3) ? pick(5) - 2 : 0));
        out_.append(d);
        longv(static_cast<std::int32_t>(sum));
        stored_[key] = {static_cast<std::int32_t>(d.size()), sum};
    }

    static void name_path(const std::string &d, const std::string &n) {
        std::string p = std::filesystem::path("/" + d + "/" + n).lexically_normal().string();
        named.insert(p.substr(
            p.find_first_not_of('/') == std::string::npos ? p.size() : p.find_first_not_of('/')));
    }

    void frame() {
        if (chance(8)) {
            byte('H');
            return;
        }
        if (chance(4)) {
            for (int k = 1 + pick(6); k > 0; k--)
                byte(static_cast<unsigned char>(rng_()));
            return;
        }
        byte('A');
        longv(chance(3) ? seq_ + pick(5) - 1 : ++seq_);
        static constexpr std::array<std::int16_t, 16> ops = {1, 1, 1, 1, 2, 2, 5, 5,
                                                             5, 6, 6, 3, 3, 4, 8, 7};
        static constexpr std::array<std::int16_t, 5> bad_ops = {0, 9, -1, 32767, 16};
        std::int16_t op = chance(5) ? one_of(bad_ops) : one_of(ops);
        shortv(op);
        switch (op) {
        case 1: {
            std::string d = dir(), n = name();
            name_path(d, n);
            text(d);
            text(n);
            upload(d + "/" + n);
            break;
        }
        case 2:
        case 5:
        case 6: {
            std::string d = dir(), n = name();
            name_path(d, n);
            text(d);
            text(n);
            break;
        }
        case 3: {
            std::string h = host(), d = dir(), n = name();
            name_path(d, n);
            text(h);
            text(d);
            text(n);
            auto it = stored_.find(d + "/" + n);
            bool known = it != stored_.end() && chance(80);
            longv(known ? it->second.first : pick(5000));
            longv(static_cast<std::int32_t>(known ? it->second.second : rng_()));
            break;
        }
        case 4: {
            std::string h = host(), d = dir(), n = name();
            name_path(d, n);
            text(h);
            text(d);
            text(n);
            break;
        }
        case 7:
            text(appl());
            upload("");
            break;
        case 8:
            text(appl());
            break;
        default:
            break;
        }
    }
};

std::string hex(const std::string &s) {
    std::string h;
    char b[4];
    for (std::size_t i = 0; i < s.size(); i++) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(s[i]));
        h += b;
        h += (i % 32 == 31 || i + 1 == s.size()) ? '\n' : ' ';
    }
    return h;
}

// What a run may change, relative to a view's root.
constexpr std::array<std::string_view, 7> may_change = {"srv/fz",
                                                        "zav/log/tarko/",
                                                        "zav/log/audium/",
                                                        "opt/audium/applications",
                                                        "tmp/hsperfdata_root",
                                                        "root/.java",
                                                        "tmp/"};

// The changes of each view are its overlay's upper layer, beside the root that
// `simsite path` shows. Entries there when the site came up are the site's own.
std::map<std::string, std::set<std::string>> site_files;

std::string upper_layer(const std::string &host) {
    static std::map<std::string, std::string> known;
    if (auto it = known.find(host); it != known.end())
        return it->second;
    auto r = testproc::run({simsite, "path", site, host, "/"});
    std::string root = r.out.substr(0, r.out.find('\n'));
    return known[host] =
               std::filesystem::path(root).lexically_normal().parent_path().parent_path().string() +
               "/upper";
}

std::set<std::string> changed(const std::string &host) {
    std::set<std::string> out;
    std::error_code ec;
    std::string top = upper_layer(host);
    for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_directory())
            out.insert(it->path().string().substr(top.size() + 1));
    return out;
}

// Files changed outside what a run may change, one per line; "" when none.
std::string stray_changes() {
    std::string stray;
    for (const char *host : {"a", "b"})
        for (const auto &f : changed(host)) {
            bool ok = site_files[host].count(f) > 0;
            for (auto p : may_change)
                ok = ok || f.starts_with(p);
            // A named file, its upload's temporary, or (a name that is a directory's)
            // anything beneath it.
            for (const auto &n : named)
                ok = ok || (!n.empty() && f.starts_with(n));
            if (!ok)
                stray += std::string(host) + ":/" + f + "\n";
        }
    return stray;
}

// One run of the agent in host a's view, its input written whole or in pieces of up to
// piece bytes; returns "" or what went wrong.
std::string run_once(const std::string &input, std::size_t piece) {
    testproc::Options opt;
    opt.input = input;
    opt.input_piece = piece;
    opt.timeout_ms = 60000;
    auto r = testproc::run({simsite, "exec", site, "a", "--", "/usr/local/bin/tarko_remote2"}, opt);
    answered += r.out.empty() ? 0 : 1;
    if (r.timed_out)
        return "the agent did not end within 60 s";
    for (const char *report : {"Sanitizer", "runtime error:"})
        if (r.err.find(report) != std::string::npos)
            return "sanitizer report:\n" +
                   r.err.substr(r.err.find(report) > 200 ? r.err.find(report) - 200 : 0, 4000);
    if (r.status != 0)
        return "exit status " + std::to_string(r.status) + "\n" + r.err.substr(0, 2000);
    if (std::string stray = stray_changes(); !stray.empty()) {
        // Counted once: the next runs start from here.
        for (const char *host : {"a", "b"})
            site_files[host] = changed(host);
        return "files changed where no request points:\n" + stray;
    }
    return "";
}

void site_down() {
    testproc::run({simsite, "down", site});
}

// Host a's rsh in the fuzz site: the hosts named broken-* are answered here by far
// agents that misbehave, each within a fraction of the agent's relay read limit; every
// other host goes to the site's own rsh.
constexpr const char *broken_rsh = R"(#!/bin/sh
case $1 in
broken-close) exit 0 ;;
broken-garbage) printf 'HELLO_v2x\n\001R\377' ;;
broken-answers) printf 'HELLO_v22\nzzR\000\000\000\007\000\000R\000\000\000\001\377\377R\000\000\000\002\000\001' ;;
broken-ready) printf 'HELLO_v22\nR\000\000\000\001\000\001'; head -c 100 >/dev/null ;;
broken-cut) printf 'HELLO_v22\nR\000\000' ;;
broken-flood) printf 'HELLO_v22\n'; head -c 20000 /dev/zero ;;
broken-silent) sleep 0.2 ;;
broken-mute) printf 'HELLO_v22\n'; sleep 0.2 ;;
*) exec /usr/local/lib/fuzz-site/rsh "$@" ;;
esac
)";

// Puts broken_rsh in place of host a's rsh, which moves aside under its own name.
bool install_broken_rsh() {
    auto r = testproc::run({simsite, "path", site, "a", "/usr/bin/rsh"});
    std::string rsh = r.out.substr(0, r.out.find('\n'));
    std::filesystem::path aside =
        std::filesystem::path(rsh).parent_path().parent_path() / "local/lib/fuzz-site/rsh";
    std::error_code ec;
    std::filesystem::create_directories(aside.parent_path(), ec);
    std::filesystem::rename(rsh, aside, ec);
    if (ec || r.status != 0)
        return false;
    std::ofstream(rsh) << broken_rsh;
    std::filesystem::permissions(rsh, std::filesystem::perms(0755), ec);
    return !ec;
}

bool site_up() {
    testproc::Options opt;
    opt.timeout_ms = 60000;
    auto r = testproc::run({simsite, "up", "--agent", testproc::bin("tarko_remote2"), "--owner",
                            std::to_string(getpid()), site, "a", "b"},
                           opt);
    if (r.status != 0) {
        std::fprintf(stderr, "agent_loop_fuzz: no simulated site: %s%s", r.out.c_str(),
                     r.err.c_str());
        return false;
    }
    if (!install_broken_rsh()) {
        std::fprintf(stderr, "agent_loop_fuzz: cannot put the stand-in rsh in place\n");
        site_down();
        return false;
    }
    for (const char *host : {"a", "b"})
        site_files[host] = changed(host);
    return true;
}

bool report(const std::string &findings, const std::string &input, std::size_t piece,
            const std::string &why) {
    std::string path = findings + "/agent_loop-" +
                       std::to_string(std::hash<std::string>{}(input) % 1000000007) +
                       (piece > 0 ? "-p" + std::to_string(piece) : "");
    std::ofstream(path, std::ios::binary) << input;
    std::printf("agent_loop_fuzz: %s\ninput (%zu bytes, kept as %s):\n%s", why.c_str(),
                input.size(), path.c_str(), hex(input).c_str());
    return false;
}

} // namespace

int main(int argc, char **argv) {
    bool replay = argc >= 3 && std::string(argv[1]) == "--replay";
    if (!replay && argc != 5) {
        std::fprintf(stderr, "usage: agent_loop_fuzz RUNS SECONDS SEED FINDINGS_DIR\n"
                             "       agent_loop_fuzz --replay FILE...\n");
        return 2;
    }
    if (!site_up())
        return 2;
    bool ok = true;
    if (replay) {
        for (int i = 2; i < argc; i++) {
            std::stringstream in;
            in << std::ifstream(argv[i], std::ios::binary).rdbuf();
            // Written in pieces as when it was found (a name ending in -pN).
            std::string file = argv[i];
            std::size_t at = file.rfind("-p");
            std::size_t piece = 0;
            if (at != std::string::npos && file.find('/', at) == std::string::npos)
                piece = std::strtoul(file.c_str() + at + 2, nullptr, 10);
            std::string why = run_once(in.str(), piece);
            std::printf("%s: %s\n", argv[i], why.empty() ? "ok" : why.c_str());
            ok = ok && why.empty();
        }
    } else {
        long runs = std::atol(argv[1]);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atol(argv[2]));
        Gen gen(static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
        long done = 0;
        for (; done < runs && std::chrono::steady_clock::now() < end; done++) {
            std::size_t piece = 0;
            std::string input = gen.sequence(&piece);
            if (std::string why = run_once(input, piece); !why.empty())
                ok = report(argv[4], input, piece, why);
        }
        std::printf("agent_loop_fuzz: %ld runs (%ld answered), %s\n", done, answered,
                    ok ? "no failure" : "failures kept");
    }
    site_down();
    return ok ? 0 : 1;
}
