// The check of a deployment's archive before any host is contacted: it must be a jar
// (a zip archive) holding the application's directory as the agent unpacks it,
//
//   APP/data/...   the application's data
//   APP/java/...   its classes
//
// (at least one of the two; other entries such as META-INF/ are left alone).
#pragma once

#include <cstddef>

enum class JarLayout {
    Ok,         // a zip archive with entries under APP/data/ or APP/java/
    Unreadable, // the file cannot be opened or read (errno kept)
    NotZip,     // no zip directory at its end: not a jar at all
    NoApp,      // a zip archive, but nothing under APP/data/ or APP/java/
};

// Checks the archive at path for the application app. On NoApp, seen receives the
// first top-level names the archive holds ("other/, META-INF/"), cut to cap; on
// Unreadable *err the errno value.
JarLayout jar_check(const char *path, const char *app, char *seen, std::size_t cap, int *err);
