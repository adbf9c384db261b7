// The transfer checksum: the table, the known values, the three feeding paths proved
// identical, the running state across pieces, and the coreutils cksum as referee.
#include "cksum.h"
#include "cksum_impl.h"
#include "files.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes random_bytes(std::mt19937_64 &rng, std::size_t n) {
    Bytes b(n);
    for (auto &c : b)
        c = static_cast<unsigned char>(rng());
    return b;
}

// The whole checksum of data, fed in pieces of the given size as the agent does.
std::uint32_t checksum(const unsigned char *p, std::size_t n, std::size_t piece = 1024) {
    std::uint32_t s;
    cksum_init(&s);
    for (std::size_t off = 0; off < n; off += piece)
        cksum_calc(p + off, std::min(piece, n - off), &s);
    cksum_final(static_cast<std::int64_t>(n), &s);
    return s;
}

std::uint32_t checksum(const std::string &text) {
    return checksum(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

// The definition written out bit by bit, independent of any table.
std::uint32_t crc_bitwise(std::uint32_t s, const unsigned char *p, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) {
        s ^= std::uint32_t(p[i]) << 24;
        for (int bit = 0; bit < 8; bit++)
            s = (s << 1) ^ ((s & 0x80000000u) ? 0x04C11DB7u : 0);
    }
    return s;
}

using Path = std::uint32_t (*)(std::uint32_t, const unsigned char *, std::size_t);

struct NamedPath {
    const char *name;
    Path fn;
};

// The fast paths this processor can run; the portable one always.
std::vector<NamedPath> paths() {
    std::vector<NamedPath> v{{"slice8", cksum_slice8}};
    if (cksum_pclmul_usable())
        v.push_back({"pclmul", cksum_pclmul});
    if (cksum_vpclmul_usable())
        v.push_back({"vpclmul", cksum_vpclmul});
    return v;
}

TEST(CksumTable, IsTheRegisterAfterEachByte) {
    for (unsigned i = 0; i < 256; i++) {
        unsigned char b = static_cast<unsigned char>(i);
        EXPECT_EQ(crctab[i], crc_bitwise(0, &b, 1)) << "entry " << i;
    }
}

TEST(Cksum, KnownValues) {
    EXPECT_EQ(checksum(""), 0xFFFFFFFFu);
    EXPECT_EQ(checksum("abc"), 0x48AA78A2u);
    EXPECT_EQ(checksum("123456789"), 930766865u);
}

TEST(Cksum, FinalFeedsTheLengthLeastSignificantByteFirst) {
    // 0x0102 bytes of data: the length goes in as 02 then 01.
    std::mt19937_64 rng(7);
    Bytes data = random_bytes(rng, 0x0102);
    std::uint32_t s = crc_bitwise(0, data.data(), data.size());
    const unsigned char len[] = {0x02, 0x01};
    std::uint32_t want = ~crc_bitwise(s, len, 2);
    EXPECT_EQ(checksum(data.data(), data.size()), want);

    // A length with a zero byte inside still feeds the bytes up to its highest one.
    std::uint32_t t = 0x12345678;
    const unsigned char len2[] = {0x00, 0x00, 0x01};
    std::uint32_t want2 = ~crc_bitwise(t, len2, 3);
    cksum_final(0x10000, &t);
    EXPECT_EQ(t, want2);
}

TEST(Cksum, FinalOfZeroOrNegativeLengthOnlyComplements) {
    for (std::int64_t total : {std::int64_t(0), std::int64_t(-1), std::int64_t(-4096)}) {
        std::uint32_t s = 0x0F0F1234;
        cksum_final(total, &s);
        EXPECT_EQ(s, ~0x0F0F1234u) << total;
    }
}

// Every length from 0 to a few KiB, at every misalignment within 16 bytes, from a
// random state: the three paths agree with each other and with the bitwise definition.
TEST(CksumPaths, AgreeOnRandomLengthsAndAlignments) {
    std::mt19937_64 rng(12345);
    Bytes buf = random_bytes(rng, 5000 + 32);
    const std::vector<NamedPath> all = paths();
    for (std::size_t n = 0; n <= 5000; n++) {
        std::size_t off = rng() % 32;
        auto s0 = static_cast<std::uint32_t>(rng());
        const unsigned char *p = buf.data() + off;
        std::uint32_t want = cksum_bytes(s0, p, n);
        for (const NamedPath &path : all) {
            ASSERT_EQ(path.fn(s0, p, n), want) << path.name << " n=" << n << " off=" << off;
        }
        if (n < 600) {
            ASSERT_EQ(crc_bitwise(s0, p, n), want) << "n=" << n;
        }
    }
}

TEST(CksumPaths, AgreeOnLargeInputs) {
    std::mt19937_64 rng(99);
    Bytes buf = random_bytes(rng, (3 << 20) + 64);
    for (std::size_t n : {std::size_t(1) << 20, (std::size_t(1) << 20) + 3, std::size_t(3) << 20,
                          std::size_t(2999999)}) {
        std::size_t off = rng() % 64;
        auto s0 = static_cast<std::uint32_t>(rng());
        std::uint32_t want = cksum_bytes(s0, buf.data() + off, n);
        for (const NamedPath &path : paths())
            EXPECT_EQ(path.fn(s0, buf.data() + off, n), want) << path.name << " n=" << n;
    }
}

// Data whose polynomial is sparse or full catches a wrong folding constant that random
// data could hide only by chance, and a state that is all ones catches a lost state.
TEST(CksumPaths, AgreeOnPatterns) {
    for (unsigned char fill : {0x00, 0xFF, 0x80, 0x01}) {
        Bytes buf(4096, fill);
        for (std::size_t n : {64, 65, 79, 80, 127, 128, 129, 255, 256, 257, 383, 384, 1024, 4096})
            for (std::uint32_t s0 : {0u, 0xFFFFFFFFu, 0x80000000u, 1u}) {
                std::uint32_t want = cksum_bytes(s0, buf.data(), n);
                for (const NamedPath &path : paths())
                    EXPECT_EQ(path.fn(s0, buf.data(), n), want) << path.name << " n=" << n;
            }
    }
}

// The processor's features as the kernel lists them, read apart from the checksum unit.
bool cpu_has(const std::string &flag) {
    std::string info = testfiles::read_file("/proc/cpuinfo");
    std::size_t at = info.find("\nflags");
    if (at == std::string::npos)
        return false;
    std::string line = info.substr(at + 1, info.find('\n', at + 1) - at - 1);
    return (line + " ").find(" " + flag + " ") != std::string::npos;
}

// The widest path this processor can run is the one that cksum_calc chose, and what it
// computes agrees with the byte-table definition.
TEST(CksumPaths, TheWidestPathThisProcessorHasIsChosen) {
#if defined(__x86_64__)
    const bool clmul = cpu_has("pclmulqdq") && cpu_has("ssse3");
    const bool wide = clmul && cpu_has("avx2") && cpu_has("vpclmulqdq");
#else
    const bool clmul = false, wide = false;
#endif
    EXPECT_EQ(cksum_pclmul_usable(), clmul);
    EXPECT_EQ(cksum_vpclmul_usable(), wide);
    const char *want = wide ? "vpclmul" : clmul ? "pclmul" : "slice8";
    EXPECT_STREQ(cksum_chosen_path(), want);
    std::mt19937_64 rng(7);
    Bytes data = random_bytes(rng, 300000);
    std::uint32_t s = 0x1234567;
    cksum_calc(data.data(), data.size(), &s);
    EXPECT_EQ(s, cksum_bytes(0x1234567, data.data(), data.size()));
    std::string ran;
    for (const NamedPath &path : paths())
        ran += std::string(ran.empty() ? "" : ", ") + path.name;
    RecordProperty("paths_run", ran);
    RecordProperty("chosen", cksum_chosen_path());
    std::printf("checksum paths run on this processor: %s; cksum_calc uses %s\n", ran.c_str(),
                cksum_chosen_path());
}

// The running state carries across calls of any size, as the agent feeds it.
TEST(Cksum, PiecesOfAnySizeGiveTheWholeChecksum) {
    std::mt19937_64 rng(4242);
    Bytes data = random_bytes(rng, 200000);
    std::uint32_t whole = checksum(data.data(), data.size(), data.size());
    for (std::size_t piece : {1, 3, 63, 64, 100, 1024, 4096, 65536})
        EXPECT_EQ(checksum(data.data(), data.size(), piece), whole) << piece;

    std::uint32_t s;
    cksum_init(&s);
    std::size_t off = 0;
    while (off < data.size()) {
        std::size_t n = std::min<std::size_t>(rng() % 3000, data.size() - off);
        cksum_calc(data.data() + off, n, &s);
        off += n;
    }
    cksum_final(static_cast<std::int64_t>(data.size()), &s);
    EXPECT_EQ(s, whole);
}

// The coreutils cksum over the same bytes in files.
TEST(Cksum, MatchesTheCksumUtility) {
    const char *tool = "/usr/bin/cksum";
    if (access(tool, X_OK) != 0)
        GTEST_SKIP() << tool << " is not installed";
    char dir[] = "/tmp/cksum_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::mt19937_64 rng(2024);
    for (std::size_t n : {0, 1, 3, 1023, 1024, 1025, 65537, (1 << 20) + 3}) {
        Bytes data = random_bytes(rng, n);
        std::string path = std::string(dir) + "/f" + std::to_string(n);
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        if (n > 0) {
            ASSERT_EQ(std::fwrite(data.data(), 1, n, f), n);
        }
        ASSERT_EQ(std::fclose(f), 0);

        testproc::Result r = testproc::run({tool, path});
        unlink(path.c_str());
        ASSERT_EQ(r.status, 0) << r.err;
        std::string want = std::to_string(checksum(data.data(), n)) + " " + std::to_string(n) + " ";
        EXPECT_EQ(r.out.substr(0, want.size()), want) << "size " << n << ": " << r.out;
    }
    rmdir(dir);
}

} // namespace
