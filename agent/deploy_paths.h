// The paths of one application's deployment, formed once from AUDIUM_HOME and the
// application name, each in a buffer of fixed capacity.
#pragma once

#include <array>
#include <cstddef>

// Capacity of every path of a deployment, terminator included.
constexpr std::size_t APPL_PATH_CAP = 144;
// Capacity of the master admin directory "<home>/admin/appScripts".
constexpr std::size_t MASTER_ADMIN_CAP = 96;

using ApplPath = std::array<char, APPL_PATH_CAP>;

struct AudiumPaths {
    ApplPath work_tree;                              // <home>/applications.work
    ApplPath live_tree;                              // <home>/applications
    ApplPath old_tree;                               // <home>/applications.old
    ApplPath work_copy;                              // <work tree>/<appl>
    ApplPath live_copy;                              // <live tree>/<appl>
    ApplPath old_copy;                               // <old tree>/<appl>
    ApplPath archive;                                // <work tree>/<appl>.jar
    ApplPath log_dir;                                // /zav/log/audium/<appl>
    ApplPath log_probe;                              // <log dir>/junkfile
    ApplPath log_link;                               // <work copy>/logs
    ApplPath admin_dir;                              // <work copy>/admin
    ApplPath admin_probe;                            // <admin dir>/junkfile
    std::array<char, MASTER_ADMIN_CAP> master_admin; // <home>/admin/appScripts
};

// True when name can only ever name one application's own copy: not empty, not "."
// or "..", and without a "/". Anything else would turn the removals of a deployment
// against whole trees.
bool valid_appl_name(const char *name);

// Checks the application name and forms every path of a deployment. Returns true when
// the name is valid, every path fits its buffer and "$JAVA_HOME/bin/jar" fits too; false
// after logging why. Nothing on disk is touched.
bool acceptable_deployment(const char *appl, const char *home, AudiumPaths &p);

// The same for a removal, which needs only the live and old trees and copies and the
// log directory: true when the name is valid and those paths fit; false after logging
// why.
bool acceptable_removal(const char *appl, const char *home, AudiumPaths &p);

// Forms "$JAVA_HOME/bin/jar" into buf (capacity cap). Returns 0, 20 when JAVA_HOME is
// not set, or 2 when the path does not fit.
int jar_program(char *buf, std::size_t cap);
