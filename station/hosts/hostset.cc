#include "hostset.h"

#include "groupsource.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr int MAX_DEPTH = 16;         // groups within groups, files within files
constexpr std::size_t NUMBER_CAP = 9; // digits of one range bound
constexpr std::size_t MAX_FILE = 1 << 20;

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool separator(char c) {
    return c == ',' || c == ' ' || c == '\t';
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// One expansion: where its names go, where its texts come from, and the fault.
struct Expansion {
    HostSet &set;
    bool remove;
    const HostSources &src;
    HostFault &fault;
    int depth = 0;
    const char *groups[MAX_DEPTH] = {}; // the groups being expanded, outermost first
    int ngroups = 0;
    bool plain = false; // a source's answer: names and ranges only
};

// The text being read now, for positions in faults.
struct Text {
    std::string_view all;
    const char *where;
};

int refuse(Expansion &x, const Text &t, std::size_t offset, const char *fmt, ...) {
    snprintf(x.fault.where, sizeof x.fault.where, "%s", t.where);
    snprintf(x.fault.text, sizeof x.fault.text, "%.*s", static_cast<int>(t.all.size()),
             t.all.data());
    x.fault.column = offset + 1;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(x.fault.reason, sizeof x.fault.reason, fmt, ap);
    va_end(ap);
    return 1;
}

// Reads a whole file of expressions. Returns 0, or the errno value.
int read_text(const char *path, std::string &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int e = errno ? errno : ENOENT;
        return e;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    if (out.size() > MAX_FILE)
        return EFBIG;
    return 0;
}

int emit(Expansion &x, const Text &t, std::size_t offset, const char *name) {
    if (x.remove) {
        // Only the index forgets it now; run() closes the gaps once, at the end.
        x.set.index.erase(name);
        return 0;
    }
    if (x.set.index.count(name))
        return 0;
    if (x.set.names.size() == SET_MAX_HOSTS)
        return refuse(x, t, offset, "more than %zu hosts", SET_MAX_HOSTS);
    x.set.index.emplace(name, x.set.names.size());
    x.set.names.emplace_back(name);
    return 0;
}

int expand(Expansion &x, const Text &t, std::size_t from, std::size_t to);

// Reads the number of a range at pos; its digits end at *end.
int number(Expansion &x, const Text &t, std::size_t pos, std::size_t to, long &value,
           std::size_t &end) {
    std::size_t p = pos;
    while (p < to && digit(t.all[p]))
        p++;
    if (p == pos)
        return refuse(x, t, pos, "a range wants a number here");
    if (p - pos > NUMBER_CAP)
        return refuse(x, t, pos, "a number of a range has more than %zu digits", NUMBER_CAP);
    value = 0;
    for (std::size_t i = pos; i < p; i++)
        value = value * 10 + (t.all[i] - '0');
    end = p;
    return 0;
}

// Expands the host pattern t.all[pos, to) behind the name built so far (len bytes of
// name). item is where the pattern starts, for faults that concern all of it.
int pattern(Expansion &x, const Text &t, std::size_t item, std::size_t pos, std::size_t to,
            char *name, std::size_t len) {
    while (pos < to && t.all[pos] != '[') {
        char c = t.all[pos];
        if (c == ']')
            return refuse(x, t, pos, "\"]\" without \"[\"");
        if (!name_char(c))
            return refuse(x, t, pos, "'%c' cannot stand in a host name", c);
        if (len == SET_NAME_CAP - 1)
            return refuse(x, t, item, "a host name is longer than %zu bytes", SET_NAME_CAP - 1);
        name[len++] = c;
        pos++;
    }
    if (pos == to) {
        name[len] = '\0';
        return emit(x, t, item, name);
    }
    // A bracket: numbers and ranges separated by commas.
    std::size_t open = pos, close = pos + 1;
    while (close < to && t.all[close] != ']') {
        if (t.all[close] == '[')
            return refuse(x, t, close, "brackets do not nest");
        close++;
    }
    if (close == to)
        return refuse(x, t, open, "\"[\" is not closed");
    std::size_t p = open + 1;
    while (true) {
        long lo = 0, hi = 0;
        std::size_t start = p, end = 0;
        if (number(x, t, p, close, lo, end))
            return 1;
        // The zeros in front of a range's start give the width of every number in it.
        int width = (end - start > 1 && t.all[start] == '0') ? static_cast<int>(end - start) : 0;
        hi = lo;
        p = end;
        if (p < close && t.all[p] == '-') {
            if (number(x, t, p + 1, close, hi, end))
                return 1;
            if (hi < lo)
                return refuse(x, t, start, "the range %.*s runs backwards",
                              static_cast<int>(end - start), t.all.data() + start);
            p = end;
        }
        if (p < close && t.all[p] != ',')
            return refuse(x, t, p, "a range wants \",\", \"-\" or \"]\" here");
        for (long v = lo; v <= hi; v++) {
            char num[16];
            int n = snprintf(num, sizeof num, "%0*ld", width, v);
            if (len + static_cast<std::size_t>(n) > SET_NAME_CAP - 1)
                return refuse(x, t, item, "a host name is longer than %zu bytes", SET_NAME_CAP - 1);
            memcpy(name + len, num, static_cast<std::size_t>(n));
            if (pattern(x, t, item, close + 1, to, name, len + static_cast<std::size_t>(n)))
                return 1;
        }
        if (p == close)
            return 0;
        p++; // past the comma
    }
}

// Expands every line of a file of expressions; comments start with "#".
int lines(Expansion &x, const char *path, const std::string &body,
          int (*each)(Expansion &, const Text &, std::size_t, std::size_t, void *), void *arg) {
    std::size_t start = 0, lineno = 0;
    char where[192];
    while (start < body.size()) {
        std::size_t nl = body.find('\n', start);
        if (nl == std::string::npos)
            nl = body.size();
        lineno++;
        std::string_view line(body.data() + start, nl - start);
        std::size_t hash = line.find('#');
        std::size_t end = hash == std::string_view::npos ? line.size() : hash;
        if (end > 0 && line[end - 1] == '\r')
            end--;
        snprintf(where, sizeof where, "%s:%zu", path, lineno);
        Text t{line, where};
        if (each(x, t, 0, end, arg))
            return 1;
        start = nl + 1;
    }
    return 0;
}

int file_line(Expansion &x, const Text &t, std::size_t from, std::size_t to, void *) {
    return expand(x, t, from, to);
}

int from_file(Expansion &x, const Text &t, std::size_t offset, const char *path) {
    std::string body;
    if (int e = read_text(path, body))
        return refuse(x, t, offset, "cannot read %s (%s)", path, strerror(e));
    x.depth++;
    int r = lines(x, path, body, file_line, nullptr);
    x.depth--;
    return r;
}

bool source_char(char c) {
    return name_char(c) && c != '.';
}

// A declaration of a group source: "@SOURCE = COMMAND".
struct SourceLine {
    std::string_view name, command;
};

// Takes apart the source line that starts with '@' at p. Returns 0, or 1 with the fault.
int source_line(Expansion &x, const Text &t, std::size_t p, std::size_t to, SourceLine &out) {
    std::size_t e = p + 1;
    while (e < to && source_char(t.all[e]))
        e++;
    std::size_t eq = e;
    while (eq < to && (t.all[eq] == ' ' || t.all[eq] == '\t'))
        eq++;
    if (e == p + 1 || eq == to || t.all[eq] != '=')
        return refuse(x, t, e == p + 1 ? p : eq,
                      "a source line reads \"@source = command\" (source: letters, digits, "
                      "'_' and '-')");
    std::size_t c = eq + 1, end = to;
    while (c < end && (t.all[c] == ' ' || t.all[c] == '\t'))
        c++;
    while (end > c && (t.all[end - 1] == ' ' || t.all[end - 1] == '\t'))
        end--;
    if (c == end)
        return refuse(x, t, eq, "the source %.*s has no command", static_cast<int>(e - p - 1),
                      t.all.data() + p + 1);
    out = {t.all.substr(p + 1, e - p - 1), t.all.substr(c, end - c)};
    return 0;
}

struct SourceLookup {
    std::string_view name;
    std::string command; // empty until found
};

int find_source_line(Expansion &x, const Text &t, std::size_t from, std::size_t to, void *arg) {
    auto &l = *static_cast<SourceLookup *>(arg);
    std::size_t p = from;
    while (p < to && (t.all[p] == ' ' || t.all[p] == '\t'))
        p++;
    SourceLine d;
    if (p == to || t.all[p] != '@')
        return 0;
    if (source_line(x, t, p, to, d))
        return 1;
    if (d.name == l.name && l.command.empty())
        l.command = d.command;
    return 0;
}

// @SOURCE:GROUP: the hosts that the source's command prints for the group, each a name
// or a range.
int source_group(Expansion &x, const Text &t, std::size_t offset, std::string_view source,
                 std::string_view group) {
    std::string sname(source), gname(group);
    if (sname.empty())
        return refuse(x, t, offset, "a source wants a name before \":\"");
    for (std::size_t i = 0; i < sname.size(); i++)
        if (!source_char(sname[i]))
            return refuse(x, t, offset + 1 + i, "'%c' cannot stand in a source name", sname[i]);
    if (gname.empty())
        return refuse(x, t, offset + 1 + sname.size(), "the source %s wants a group after \":\"",
                      sname.c_str());
    const char *file = x.src.hosts_file;
    std::string body;
    if (!file)
        return refuse(x, t, offset, "unknown source %s: no host file", sname.c_str());
    if (int e = read_text(file, body))
        return refuse(x, t, offset, "unknown source %s: cannot read the host file %s (%s)",
                      sname.c_str(), file, strerror(e));
    SourceLookup l{source, {}};
    if (lines(x, file, body, find_source_line, &l))
        return 1;
    if (l.command.empty())
        return refuse(x, t, offset, "unknown source %s (no line \"@%s = command\" in %s)",
                      sname.c_str(), sname.c_str(), file);
    // The command runs where the host file is, so that it may name its files beside it.
    std::string dir(file);
    std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    std::string out, why;
    if (!source_ask(sname, l.command, dir, gname, out, why))
        return refuse(x, t, offset, "source %s, group %s: %s", sname.c_str(), gname.c_str(),
                      why.c_str());
    std::string label = "the hosts of @" + sname + ":" + gname;
    x.depth++;
    bool plain = x.plain;
    x.plain = true;
    int r = lines(x, label.c_str(), out, file_line, nullptr);
    x.plain = plain;
    x.depth--;
    return r;
}

struct GroupLookup {
    std::string_view name;
    bool found = false;
};

// One line of the host file: "group: EXPRESSION...", expanded when it is the group
// looked for.
int group_line(Expansion &x, const Text &t, std::size_t from, std::size_t to, void *arg) {
    auto &g = *static_cast<GroupLookup *>(arg);
    std::size_t p = from;
    while (p < to && (t.all[p] == ' ' || t.all[p] == '\t'))
        p++;
    if (p == to)
        return 0;
    if (t.all[p] == '@') {
        SourceLine ignored;
        return source_line(x, t, p, to, ignored);
    }
    std::size_t colon = t.all.find(':', p);
    if (colon == std::string_view::npos || colon >= to)
        return refuse(x, t, p, "a line of the host file reads \"group: hosts...\"");
    std::size_t e = colon;
    while (e > p && (t.all[e - 1] == ' ' || t.all[e - 1] == '\t'))
        e--;
    if (e == p)
        return refuse(x, t, p, "the group has no name");
    for (std::size_t i = p; i < e; i++)
        if (!name_char(t.all[i]))
            return refuse(x, t, i, "'%c' cannot stand in a group name", t.all[i]);
    if (t.all.substr(p, e - p) != g.name)
        return 0;
    g.found = true;
    return expand(x, t, colon + 1, to);
}

int group(Expansion &x, const Text &t, std::size_t offset, std::string_view name) {
    char gname[SET_NAME_CAP];
    snprintf(gname, sizeof gname, "%.*s", static_cast<int>(name.size()), name.data());
    if (name == "failed") {
        if (!x.src.failed_file)
            return refuse(x, t, offset, "no record of failed hosts is kept here");
        std::string body;
        if (int e = read_text(x.src.failed_file, body))
            return refuse(x, t, offset, "no record of failed hosts: %s (%s)", x.src.failed_file,
                          strerror(e));
        return from_file(x, t, offset, x.src.failed_file);
    }
    for (int i = 0; i < x.ngroups; i++)
        if (name == x.groups[i])
            return refuse(x, t, offset, "the group %s names itself", gname);
    const char *file = x.src.hosts_file;
    std::string body;
    if (!file)
        return refuse(x, t, offset, "unknown group %s: no host file", gname);
    if (int e = read_text(file, body))
        return refuse(x, t, offset, "unknown group %s: cannot read the host file %s (%s)", gname,
                      file, strerror(e));
    GroupLookup g{name};
    x.groups[x.ngroups++] = gname;
    x.depth++;
    int r = lines(x, file, body, group_line, &g);
    x.depth--;
    x.ngroups--;
    if (r == 0 && !g.found)
        return refuse(x, t, offset, "unknown group %s (not in %s)", gname, file);
    return r;
}

// One item: a pattern, @group or ^FILE.
int item(Expansion &x, const Text &t, std::size_t from, std::size_t to) {
    std::string_view s = t.all.substr(from, to - from);
    if (s[0] == '@' || s[0] == '^') {
        if (x.depth >= MAX_DEPTH)
            return refuse(x, t, from, "groups and files nest deeper than %d", MAX_DEPTH);
        if (s.size() == 1)
            return refuse(x, t, from, s[0] == '@' ? "a group wants a name" : "a file wants a name");
    }
    if (x.plain && (s[0] == '@' || s[0] == '^'))
        return refuse(x, t, from, "a source gives host names and ranges only");
    if (s[0] == '@') {
        std::size_t colon = s.find(':');
        if (colon != std::string_view::npos)
            return source_group(x, t, from, s.substr(1, colon - 1), s.substr(colon + 1));
        for (std::size_t i = 1; i < s.size(); i++)
            if (!name_char(s[i]))
                return refuse(x, t, from + i, "'%c' cannot stand in a group name", s[i]);
        return group(x, t, from, s.substr(1));
    }
    if (s[0] == '^') {
        char path[4096];
        snprintf(path, sizeof path, "%.*s", static_cast<int>(s.size() - 1), s.data() + 1);
        return from_file(x, t, from, path);
    }
    char name[SET_NAME_CAP];
    return pattern(x, t, from, from, to, name, 0);
}

// Splits t.all[from, to) into items at commas and blanks outside brackets.
int expand(Expansion &x, const Text &t, std::size_t from, std::size_t to) {
    std::size_t p = from;
    while (true) {
        while (p < to && (t.all[p] == ' ' || t.all[p] == '\t'))
            p++;
        std::size_t start = p;
        bool in_bracket = false;
        while (p < to && (in_bracket || !separator(t.all[p]))) {
            if (t.all[p] == '[')
                in_bracket = true;
            else if (t.all[p] == ']')
                in_bracket = false;
            p++;
        }
        if (p > start) {
            if (item(x, t, start, p))
                return 1;
        } else if (p < to && t.all[p] == ',') {
            return refuse(x, t, p, "empty host name");
        }
        while (p < to && (t.all[p] == ' ' || t.all[p] == '\t'))
            p++;
        if (p >= to)
            break;
        if (t.all[p] == ',') {
            p++;
            std::size_t q = p;
            while (q < to && (t.all[q] == ' ' || t.all[q] == '\t'))
                q++;
            if (q == to)
                return refuse(x, t, p - 1, "empty host name after \",\"");
        }
    }
    return 0;
}

// Drops the names that the index no longer holds and renumbers the rest.
void compact(HostSet &set) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < set.names.size(); i++) {
        auto at = set.index.find(set.names[i]);
        if (at == set.index.end())
            continue;
        at->second = kept;
        if (kept != i)
            set.names[kept] = std::move(set.names[i]);
        kept++;
    }
    set.names.resize(kept);
}

int run(HostSet &set, bool remove, const char *expr, const char *where, const HostSources &src,
        HostFault &fault) {
    Expansion x{set, remove, src, fault};
    Text t{expr, where};
    std::size_t n = strlen(expr);
    if (strspn(expr, " \t") == n)
        return refuse(x, t, 0, "no host named");
    int r = expand(x, t, 0, n);
    if (remove)
        compact(set);
    return r;
}

} // namespace

int hostset_add(HostSet &set, const char *expr, const char *where, const HostSources &src,
                HostFault &fault) {
    return run(set, false, expr, where, src, fault);
}

int hostset_remove(HostSet &set, const char *expr, const char *where, const HostSources &src,
                   HostFault &fault) {
    return run(set, true, expr, where, src, fault);
}

long hostset_find(const HostSet &set, const char *name) {
    auto at = set.index.find(name);
    return at == set.index.end() ? -1 : static_cast<long>(at->second);
}

void hostfault_format(const HostFault &f, char *buf, std::size_t cap) {
    snprintf(buf, cap, "%s: \"%s\": position %zu: %s", f.where, f.text, f.column, f.reason);
}

namespace {

// A name cut at its last number: prefix, digits, suffix. No number: digits empty.
struct Split {
    std::string_view prefix, digits, suffix;
};

Split split(std::string_view name) {
    std::size_t end = name.size();
    while (end > 0 && !digit(name[end - 1]))
        end--;
    std::size_t start = end;
    while (start > 0 && digit(name[start - 1]))
        start--;
    if (end == start || end - start > NUMBER_CAP)
        return {name, {}, {}};
    return {name.substr(0, start), name.substr(start, end - start), name.substr(end)};
}

bool padded(std::string_view digits) {
    return digits.size() > 1 && digits[0] == '0';
}

// Names that fold into one bracket: the same prefix and suffix, and either all written
// with zero padding to one width, or all without (width 0).
struct Family {
    std::string_view prefix, suffix;
    std::size_t width;
    std::string_view first; // the name when the family has only one
    std::vector<long> numbers;
};

} // namespace

std::string hostset_fold(const char *const *names, std::size_t n) {
    std::vector<Split> splits;
    splits.reserve(n);
    for (std::size_t i = 0; i < n; i++)
        splits.push_back(split(names[i]));
    // A number of width w belongs to the padded family of width w when any name of the
    // same prefix and suffix is written with zeros to that width. Keys are hashed so
    // that tens of thousands of names fold in one pass each.
    auto key = [](const Split &s, std::size_t width) {
        std::string k(s.prefix);
        k += '\0';
        k += s.suffix;
        k += '\0';
        k += std::to_string(width);
        return k;
    };
    std::unordered_set<std::string> padded_keys;
    for (auto &s : splits)
        if (!s.digits.empty() && padded(s.digits))
            padded_keys.insert(key(s, s.digits.size()));
    std::vector<Family> families;
    std::unordered_map<std::string, std::size_t> family_of;
    std::vector<std::string_view> loose; // names without a number, in order
    std::unordered_set<std::string_view> loose_seen;
    std::vector<std::pair<bool, std::size_t>> order; // (family?, index)
    for (std::size_t i = 0; i < n; i++) {
        const Split &s = splits[i];
        if (s.digits.empty()) {
            if (loose_seen.insert(s.prefix).second) {
                loose.push_back(s.prefix);
                order.push_back({false, loose.size() - 1});
            }
            continue;
        }
        std::size_t w = padded_keys.count(key(s, s.digits.size())) ? s.digits.size() : 0;
        long v = 0;
        for (char c : s.digits)
            v = v * 10 + (c - '0');
        auto [f, fresh] = family_of.emplace(key(s, w), families.size());
        if (fresh) {
            families.push_back({s.prefix, s.suffix, w, names[i], {}});
            order.push_back({true, families.size() - 1});
        }
        families[f->second].numbers.push_back(v);
    }
    std::string expr;
    for (auto [is_family, k] : order) {
        if (!expr.empty())
            expr += ',';
        if (!is_family) {
            expr += loose[k];
            continue;
        }
        Family &f = families[k];
        std::sort(f.numbers.begin(), f.numbers.end());
        f.numbers.erase(std::unique(f.numbers.begin(), f.numbers.end()), f.numbers.end());
        if (f.numbers.size() == 1) {
            expr += f.first;
            continue;
        }
        expr += f.prefix;
        expr += '[';
        int w = static_cast<int>(f.width);
        char num[40];
        for (std::size_t i = 0; i < f.numbers.size();) {
            std::size_t j = i;
            while (j + 1 < f.numbers.size() && f.numbers[j + 1] == f.numbers[j] + 1)
                j++;
            if (i > 0)
                expr += ',';
            if (j == i)
                snprintf(num, sizeof num, "%0*ld", w, f.numbers[i]);
            else
                snprintf(num, sizeof num, "%0*ld-%0*ld", w, f.numbers[i], w, f.numbers[j]);
            expr += num;
            i = j + 1;
        }
        expr += ']';
        expr += f.suffix;
    }
    return expr;
}

std::size_t hostset_fold(const char *const *names, std::size_t n, char *out, std::size_t cap) {
    std::string expr = hostset_fold(names, n);
    if (cap > 0) {
        std::size_t k = std::min(expr.size(), cap - 1);
        memcpy(out, expr.data(), k);
        out[k] = '\0';
    }
    return expr.size();
}
