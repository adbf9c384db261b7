// What a site is made of: its hosts and the programs and trees installed in their views.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct SiteConfig {
    std::string name;
    std::vector<std::string> hosts;
    std::string agent;         // the tarko_remote2 installed in every view
    std::string rsh;           // the program installed as /usr/bin/rsh (simsite itself)
    std::string audium;        // directory of the Audium stand-in scripts; may not exist
    bool audium_given = false; // audium came from --audium (and so must exist)
    std::string java_home;     // JAVA_HOME of every host
    std::string tz;            // TZ of every host when not empty
    bool net = false;          // every host its own network, with a real sshd (see net.h)
    bool foreground = false;
    pid_t owner = 0; // the site ends when this process ends (0: no owner)
};
