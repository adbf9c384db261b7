// Deployment (operation 7) and removal (operation 8) of Audium applications. A
// deployment is built in the work tree, swapped into the live tree while the previous
// version becomes the old copy, and loaded through the server's admin scripts; if the
// server refuses it, the previous version goes back.
#include "deploy.h"

#include "audium.h"
#include "cleanup.h"
#include "deploy_paths.h"
#include "dirs.h"
#include "fileops.h"
#include "lock.h"
#include "log.h"
#include "ownfile.h"
#include "wire.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes sure one tree exists, creating it through a path one level below it.
Status ensure_tree(const char *tree, const char *below, const char *failure) {
    struct stat st;
    if (stat(tree, &st) < 0) {
        int err = makedir(below);
        if (err != 0) {
            log_entry(failure, below, std::strerror(err));
            return Status::MkdirFailed;
        }
        return Status::Ok;
    }
    if (!S_ISDIR(st.st_mode)) {
        log_entry("The directory path %s is blocked by a file.", tree);
        return Status::NotDirectory;
    }
    return Status::Ok;
}

Status check_master_admin(const char *master) {
    struct stat st;
    if (stat(master, &st) < 0) {
        log_entry("Master admin directory %s does not exist (%s)", master, std::strerror(errno));
        return Status::NoAdminDir;
    }
    if (!S_ISDIR(st.st_mode)) {
        log_entry("Master admin directory %s not a directory (%s)", master, std::strerror(ENOTDIR));
        return Status::NoAdminDir;
    }
    return Status::Ok;
}

// Steps of a deployment that build the new copy in the work tree: unpack, equip.
Status build_work_copy(const AudiumPaths &p, const char *appl) {
    if (chdir(p.work_tree.data()) < 0) {
        log_entry("Could not change to directory %s (%s)", p.work_tree.data(),
                  std::strerror(errno));
        return Status::Failed;
    }
    int rc = unjar(p.archive.data(), appl);
    if (rc != 0)
        return static_cast<Status>(rc);
    int err = makedir(p.admin_probe.data());
    if (err != 0) {
        log_entry("Could not create application admin directory %s (%s)", p.admin_dir.data(),
                  std::strerror(err));
        return Status::MkdirFailed;
    }
    if (copySHfiles(p.master_admin.data(), p.admin_dir.data()) != 0)
        return Status::Failed;
    if (symlink(p.log_dir.data(), p.log_link.data()) < 0) {
        log_entry("Symbolic Linking Log Dir Failed (%s)", std::strerror(errno));
        return Status::LinkFailed;
    }
    return Status::Ok;
}

// Everything after the data phase: unpack, equip, swap in, load; on refusal swap back.
Status install(const AudiumPaths &p, const char *appl, const char *home) {
    int rc = rmdir_recursive(p.work_copy.data());
    if (rc != 0)
        return static_cast<Status>(rc);
    // A copy that could not be finished would only take the space of the next one.
    cleanup_tree(p.work_copy.data());
    Status st = build_work_copy(p, appl);
    cleanup_tree(nullptr);
    if (st != Status::Ok) {
        rmdir_recursive(p.work_copy.data());
        return st;
    }

    // The swap: only one earlier version is kept.
    rmdir_recursive(p.old_copy.data());
    if (rename(p.live_copy.data(), p.old_copy.data()) < 0)
        log_entry("Moving appl from live directory to old directory failed (%s)",
                  std::strerror(errno));
    if (rename(p.work_copy.data(), p.live_copy.data()) < 0) {
        log_entry("Could not move %s to %s (%s) (work to live)", p.work_copy.data(),
                  p.live_copy.data(), std::strerror(errno));
        if (rename(p.old_copy.data(), p.live_copy.data()) < 0)
            log_entry("Could not move %s to %s.  Restore failed too (%s) (old to live)",
                      p.old_copy.data(), p.live_copy.data(), std::strerror(errno));
        return Status::Failed;
    }
    if (unlink(p.archive.data()) < 0)
        log_entry("Could not remove %s", p.archive.data());

    if (audium_server_load(appl, home) == 0)
        return Status::Ok;

    // No script reloads the previous version: the server picks it up from the live tree.
    log_entry("Application not loaded by Audium, putting back old program");
    if (rename(p.live_copy.data(), p.work_copy.data()) < 0)
        log_entry("Could not restore %s to %s (%s) (live to work)", p.live_copy.data(),
                  p.work_copy.data(), std::strerror(errno));
    if (rename(p.old_copy.data(), p.live_copy.data()) < 0)
        log_entry("Could not restore %s to %s (%s) (old to live)", p.old_copy.data(),
                  p.live_copy.data(), std::strerror(errno));
    return Status::Failed;
}

} // namespace

Status put_audium_appl_on_machine(std::int32_t seq) {
    std::array<char, APPL_CAP> appl{};
    read_char_string(appl.data(), appl.size(), std_in);
    open_log_file();
    log_entry("Received request to copy %s audium app", appl.data());

    const char *home = std::getenv("AUDIUM_HOME");
    if (home == nullptr) {
        log_entry("No Audium Home");
        return Status::NoAudiumHome;
    }
    AudiumPaths p{};
    if (!acceptable_deployment(appl.data(), home, p))
        return Status::Failed;

    Status st = ensure_tree(p.work_tree.data(), p.work_copy.data(), "workdir mkdir failed %s (%s)");
    if (st == Status::Ok)
        st = ensure_tree(p.live_tree.data(), p.live_copy.data(), "livedir mkdir failed %s (%s)");
    if (st == Status::Ok)
        st = ensure_tree(p.old_tree.data(), p.old_copy.data(), "olddir mkdir failed %s (%s)");
    if (st == Status::Ok)
        st = ensure_tree(p.log_dir.data(), p.log_probe.data(), "logdir mkdir failed %s (%s)");
    if (st == Status::Ok)
        st = check_master_admin(p.master_admin.data());
    if (st != Status::Ok)
        return st;
    if (target_is_directory(p.archive.data()))
        return Status::IsDirectory;
    // One deployment or removal of an application at a time: the live, old and work
    // copies are never the work of two requests.
    Lock held(lock_directory(p.log_dir.data()));
    // The work tree is open to every account: whatever was planted at the archive's
    // name is replaced, never written through.
    int fd = open_own_empty(p.archive.data(), 0666);
    if (fd < 0) {
        log_entry("Cannot write jar file %s (%s)", p.archive.data(), std::strerror(errno));
        return Status::CannotCreate;
    }

    cleanup_file(p.archive.data());
    send_response(seq, Status::Ready);
    st = receive_data(fd);
    if (st == Status::Ok)
        st = install(p, appl.data(), home);
    // An archive that does not match its checksum stays for a look; any other failure
    // leaves none (a deployment that went through has removed it already).
    if (st != Status::Ok && st != Status::BadChecksum)
        unlink(p.archive.data());
    cleanup_file(nullptr);
    return st;
}

Status delete_audium_appl_from_machine() {
    std::array<char, APPL_CAP> appl{};
    read_char_string(appl.data(), appl.size(), std_in);
    open_log_file();
    log_entry("Received request to delete %s audium app", appl.data());

    const char *home = std::getenv("AUDIUM_HOME");
    if (home == nullptr)
        return Status::NoAudiumHome;
    AudiumPaths p{};
    if (!acceptable_removal(appl.data(), home, p))
        return Status::Failed;

    struct stat st;
    if (stat(p.old_tree.data(), &st) < 0) {
        int err = makedir(p.old_copy.data());
        if (err != 0) {
            log_entry("olddir2 mkdir failed %s (%s)", p.old_copy.data(), std::strerror(err));
            return Status::MkdirFailed;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        return Status::NotDirectory;
    }
    // Serialised with deployments of the application; one that was never deployed has
    // no log directory and nothing to wait for.
    Lock held(lock_directory(p.log_dir.data()));
    rmdir_recursive(p.old_copy.data());
    // The server is asked to let go first; the live copy still holds the script.
    run_audium_script(appl.data(), home, "releaseApp.sh", 15);
    rename(p.live_copy.data(), p.old_copy.data());
    return Status::Ok;
}
