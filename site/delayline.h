// A delay line in user space, for kernels without netem: the switch's port of a host
// is taken off the bridge and a TAP device joins the bridge in its place; one process
// passes the Ethernet frames both ways between the port and the TAP device, holding
// each of them a fixed time. Frames keep their virtio-net headers on both sides, so the
// large frames of segmentation offload pass whole, and the TAP device goes away with
// the process's descriptor.
#pragma once

#include <cstddef>
#include <string>

// The TAP device that stands in for port on the bridge while a delay line runs.
std::string delay_tap_name(const std::string &port);

// Starts a delay line of delay_ms milliseconds in each direction on port (a port of
// br0, in the calling process's network namespace), as a child that ends with the
// calling process. Returns a pidfd of the child, or -1 with a message in *err, the port
// back on the bridge.
int start_delay_line(const std::string &port, int delay_ms, std::string *err);

// Ends the delay line of pidfd (from start_delay_line; -1 for none), reaps it and puts
// port back on the bridge. Returns true, or false with a message in *err when the port
// could not be put back.
bool stop_delay_line(const std::string &port, int pidfd, std::string *err);

// The delay line's loop between packet_fd (an AF_PACKET socket bound to the port, with
// virtio-net headers, ignoring its own frames) and tap_fd (the TAP device, with
// virtio-net headers), both non-blocking. Returns only when one of them fails: 1.
int run_delay_line(int packet_fd, int tap_fd, int delay_ms);
