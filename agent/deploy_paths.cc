// Forming and checking the paths of a deployment before anything is changed.
#include "deploy_paths.h"

#include "format.h"
#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool valid_appl_name(const char *name) {
    return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           std::strchr(name, '/') == nullptr;
}

namespace {

// The paths that a removal needs: the live and old trees, the application's copies in
// them, and its log directory.
bool removal_paths(const char *appl, const char *home, AudiumPaths &p) {
    return format_fits(p.live_tree, "%s/applications", home) &&
           format_fits(p.old_tree, "%s/applications.old", home) &&
           format_fits(p.live_copy, "%s/%s", p.live_tree.data(), appl) &&
           format_fits(p.old_copy, "%s/%s", p.old_tree.data(), appl) &&
           format_fits(p.log_dir, "/zav/log/audium/%s", appl);
}

bool refuse_name(const char *appl) {
    if (valid_appl_name(appl))
        return false;
    log_entry("Refused application name \"%s\": empty, \".\", \"..\" or holding \"/\"", appl);
    return true;
}

bool refuse_length(const char *appl, const char *home) {
    log_entry("Audium home %s and application name %s too long for the paths", home, appl);
    return false;
}

} // namespace

bool acceptable_removal(const char *appl, const char *home, AudiumPaths &p) {
    if (refuse_name(appl))
        return false;
    return removal_paths(appl, home, p) || refuse_length(appl, home);
}

bool acceptable_deployment(const char *appl, const char *home, AudiumPaths &p) {
    if (refuse_name(appl))
        return false;
    bool fits = removal_paths(appl, home, p) &&
                format_fits(p.work_tree, "%s/applications.work", home) &&
                format_fits(p.work_copy, "%s/%s", p.work_tree.data(), appl) &&
                format_fits(p.archive, "%s/%s.jar", p.work_tree.data(), appl) &&
                format_fits(p.log_probe, "%s/junkfile", p.log_dir.data()) &&
                format_fits(p.log_link, "%s/logs", p.work_copy.data()) &&
                format_fits(p.admin_dir, "%s/admin", p.work_copy.data()) &&
                format_fits(p.admin_probe, "%s/junkfile", p.admin_dir.data()) &&
                format_fits(p.master_admin, "%s/admin/appScripts", home);
    if (!fits)
        return refuse_length(appl, home);
    std::array<char, APPL_PATH_CAP> jar{};
    if (jar_program(jar.data(), jar.size()) == 2) {
        log_entry("JAVA_HOME %s too long for the jar path", std::getenv("JAVA_HOME"));
        return false;
    }
    return true;
}

int jar_program(char *buf, std::size_t cap) {
    const char *java = std::getenv("JAVA_HOME");
    if (java == nullptr)
        return 20;
    int n = std::snprintf(buf, cap, "%s/bin/jar", java);
    return n >= 0 && static_cast<std::size_t>(n) < cap ? 0 : 2;
}
