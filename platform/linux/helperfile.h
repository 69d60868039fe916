#pragma once

// Which resolver helper the program may start, and the checks that make sure
// that the file it starts is the genuine one: a file only root could have put
// there, with the capability the package gives it.

#include "platform/linux/linuxlinks.h"

#include <cstddef>
#include <string>

namespace platform::linuxarp {

// The running program's own file, as /proc/self/exe names it; empty when
// it cannot be read.
std::string ProgramPath();

// The one file this program may start as its helper, given the program's own
// file as /proc/self/exe names it: the installed helper for a program
// installed by CMake or by the package, the build tree's own helper for a
// program of the build tree; empty for any other (a copy elsewhere, say).
std::string HelperPlace(const std::string &programPath);

// Whether a security.capability attribute grants CAP_NET_RAW, permitted and
// effective, in the machine's own user namespace: revision 2, or revision 3
// whose root id is 0. A revision 3 attribute with another root id is one that
// any user may set inside a user namespace of their own.
bool GrantsRawNetwork(const uint8_t *attribute, std::size_t size);

// Opens the file at the absolute `path` without following any link, and
// checks through what it opened that it is a regular file that root owns and
// neither its group nor others may write, in folders that root owns and
// others may not write (nor a group other than root's), up to /, and that
// its capability attribute grants CAP_NET_RAW. Returns the descriptor to
// start it from; an invalid one, with *why saying what was wrong, when it
// may not be used.
FileDescriptor OpenGenuineHelper(const std::string &path, std::string *why);

} // namespace platform::linuxarp
