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

bool acceptable_request(const char *appl, const char *home, AudiumPaths &p, bool deploy) {
    if (!valid_appl_name(appl)) {
        log_entry("Refused application name \"%s\": empty, \".\", \"..\" or holding \"/\"", appl);
        return false;
    }
    bool fits = form(p.live_tree, "%s/applications", home) &&
                form(p.old_tree, "%s/applications.old", home) &&
                form(p.live_copy, "%s/%s", p.live_tree.data(), appl) &&
                form(p.old_copy, "%s/%s", p.old_tree.data(), appl) &&
                form(p.log_dir, "/zav/log/audium/%s", appl);
    if (fits && deploy)
        fits = form(p.work_tree, "%s/applications.work", home) &&
               form(p.work_copy, "%s/%s", p.work_tree.data(), appl) &&
               form(p.archive, "%s/%s.jar", p.work_tree.data(), appl) &&
               form(p.log_probe, "%s/junkfile", p.log_dir.data()) &&
               form(p.log_link, "%s/logs", p.work_copy.data()) &&
               form(p.admin_dir, "%s/admin", p.work_copy.data()) &&
               form(p.admin_probe, "%s/junkfile", p.admin_dir.data()) &&
               form(p.master_admin, "%s/admin/appScripts", home);
    if (!fits) {
        log_entry("Audium home %s and application name %s too long for the paths", home, appl);
        return false;
    }
    if (deploy) {
        std::array<char, APPL_PATH_CAP> jar{};
        if (jar_program(jar.data(), jar.size()) == 2) {
            log_entry("JAVA_HOME %s too long for the jar path", std::getenv("JAVA_HOME"));
            return false;
        }
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
