#pragma once

// What the resolver helper does to itself so that, once its packet sockets
// are open, nothing in it is worth taking: no capability, no way back to
// one, no process that the user who started it may inspect, and only the
// system calls that serving requests needs.

namespace helper {

// Makes the process non-dumpable: no core file, no ptrace and no access to
// its /proc files (its memory, its descriptors) by its own user, whatever
// fs.suid_dumpable says. First thing in main.
void ForbidInspection();

// Leaves the process with no capability at all and no way to gain one:
// empty effective, permitted, inheritable and ambient sets, as small a
// bounding set as it may make (dropping from it needs CAP_SETPCAP, which the
// helper holds only when run as root), and no new privileges on exec. False
// when a capability is left.
bool DropCapabilities();

// Installs a seccomp filter that lets through only the system calls the
// helper makes while it serves; any other kills the process. Irrevocable.
bool ConfineToServing();

} // namespace helper
