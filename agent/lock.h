// Exclusive use of an upload's temporary file, and of an application's deployment,
// among the agents of one host.
#pragma once

// Opens path for writing as a regular file of the agent's own (see open_own: anything
// planted there is replaced, never written through) and takes an exclusive advisory
// lock on it, waiting while another agent holds it. The locked file must still be the
// one at path: a holder that finished has renamed it into place or removed it, and the
// file now at path is opened instead. Once the lock is held the file is emptied.
// Returns the descriptor (close-on-exec; closing it releases the lock), or -1 with
// errno set. The wait ends with the lock or with the request's time limit.
int open_locked(const char *path);

// Takes an exclusive advisory lock on the existing directory path, waiting while
// another agent holds it. Returns the descriptor that holds the lock, or -1 with errno
// set (ENOENT when there is no such directory).
int lock_directory(const char *path);

// Holds a lock's descriptor (or -1) and lets go of it at the end of the scope.
struct Lock {
    int fd;
    explicit Lock(int f) : fd(f) {}
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    ~Lock();
};
