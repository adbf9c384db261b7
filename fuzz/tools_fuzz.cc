// The command lines of kalendo, epochify and oldscan, run whole. Each program's main is
// built into this target under another name (see CMakeLists.txt), and its calls to exit
// come back here instead of ending the fuzzer. The script's first byte picks the program
// and, for kalendo, the name it is started under; the rest of the input is its arguments,
// split at NUL bytes. The pieces beneath the parsing are checked against what they
// promise as well.
#include "age.h"
#include "dates.h"
#include "epochify.h"
#include "fuzz_input.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

int kalendo_main(int argc, char **argv);
int epochify_main(int argc, char **argv);
int oldscan_main(int argc, char **argv);

namespace {

std::jmp_buf ended;
bool in_tool = false;

constexpr std::array<const char *, 8> kalendo_names = {
    "kpast", "kahead", "kday", "kordinal", "kweekday", "kstamp", "kunstamp", "/usr/local/bin/kx"};

int run(int (*tool_main)(int, char **), std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0; // getopt starts afresh, as in a new process
    in_tool = true;
    int status = 0;
    if (setjmp(ended) == 0)
        status = tool_main(static_cast<int>(args.size()), argv.data());
    in_tool = false;
    std::fflush(stdout);
    return status;
}

// oldscan's -f would open whatever the input names (a FIFO or a device could hold the
// run forever); its list is fed through -i from the input instead.
bool names_a_list_file(const std::string &arg) {
    return arg.size() > 1 && arg[0] == '-' && arg.find('f') != std::string::npos;
}

void check_pieces(const std::vector<std::string> &args) {
    for (const auto &a : args) {
        const char *t = a.c_str();
        std::tm tm{};
        if ((parse_date(t, &tm) == 0) != (std::strlen(t) == 8))
            fuzzin::fail("parse_date and the length of \"%s\" disagree", t);
        if ((parse_time(t, &tm) == 0) != (std::strlen(t) == 6))
            fuzzin::fail("parse_time and the length of \"%s\" disagree", t);
        char out[VALUE_SIZE];
        std::size_t n = format_value(1700000000, t, out);
        if (n >= VALUE_SIZE || std::strlen(out) != n)
            fuzzin::fail("format_value of \"%s\": length %zu", t, n);
        long long v = leading_number(t);
        int iv = leading_int(t);
        if (iv != (v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v))
            fuzzin::fail("leading_int of \"%s\" is not leading_number held in int", t);
        if (a.size() < ARG_SIZE) {
            char work[ARG_SIZE];
            std::memcpy(work, t, a.size() + 1);
            char *f[3];
            int k = split_fields(work, '/', f, 3);
            if (k < 0 || k > 3)
                fuzzin::fail("split_fields count %d", k);
            for (int i = 0; i < k; i++)
                if (f[i][0] == '\0' || std::strchr(f[i], '/') != nullptr)
                    fuzzin::fail("split_fields field holds a separator");
        }
    }
}

// A name is a word of the list; a NUL byte in it would end its text early, so the
// check reads the list with NUL bytes made ordinary characters.
void check_read_name(std::string_view list) {
    std::string text(list);
    std::replace(text.begin(), text.end(), '\0', 'x');
    std::FILE *in = fmemopen(text.data(), text.size(), "r");
    if (in == nullptr)
        return; // an empty text
    static char name[NAME_SIZE];
    for (int r; (r = read_name(in, name)) != 0;) {
        std::size_t n = std::strlen(name);
        if (n == 0 || n > NAME_SIZE - 1 || (r < 0 && n != NAME_SIZE - 1) || (r != 1 && r != -1))
            fuzzin::fail("read_name gave %d for a name of %zu characters", r, n);
        for (std::size_t i = 0; i < n; i++)
            if (std::isspace(static_cast<unsigned char>(name[i])))
                fuzzin::fail("read_name kept white space");
    }
    std::fclose(in);
}

} // namespace

// Every exit of the programs' units lands here (the link wraps exit); anything else
// that exits, the fuzzer itself, goes on to the real one.
extern "C" [[noreturn]] void __real_exit(int);
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (in_tool)
        std::longjmp(ended, 1);
    __real_exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzzin::Script script(data, size);
    unsigned char pick = script.ops.empty() ? 0 : script.ops[0];
    auto args = fuzzin::split_nul(script.data, 8);
    check_pieces(args);
    switch (pick % 3) {
    case 0:
        args.insert(args.begin(), kalendo_names[(pick / 3) % kalendo_names.size()]);
        run(kalendo_main, args);
        break;
    case 1:
        args.insert(args.begin(), "epochify");
        run(epochify_main, args);
        break;
    default: {
        std::erase_if(args, names_a_list_file);
        args.insert(args.begin(), "oldscan");
        check_read_name(script.data);
        std::string list(script.data);
        std::FILE *saved = stdin;
        stdin = fmemopen(list.data(), list.size(), "r");
        if (stdin == nullptr)
            stdin = std::fopen("/dev/null", "r");
        run(oldscan_main, args);
        std::fclose(stdin);
        stdin = saved;
        break;
    }
    }
    return 0;
}
