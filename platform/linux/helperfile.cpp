#include "platform/linux/helperfile.h"
#include "platform/linux/helperplaces.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform::linuxarp {

namespace {

bool InFolder(const std::string &path, const std::string &folder)
{
    return !folder.empty() && path.size() > folder.size() + 1 &&
           path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string FolderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

uint32_t Little32(const uint8_t *data)
{
    return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
           uint32_t(data[3]) << 24;
}

// What is wrong with a folder on the way to the helper; empty when nothing.
std::string FolderFault(const struct stat &folder)
{
    if (!S_ISDIR(folder.st_mode))
        return "n'est pas un dossier";
    if (folder.st_uid != 0)
        return "dossier qui n'appartient pas à root";
    if ((folder.st_mode & S_IWOTH) || ((folder.st_mode & S_IWGRP) && folder.st_gid != 0))
        return "dossier modifiable par d'autres que root";
    return {};
}

} // namespace

std::string ProgramPath()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path)
        return {};
    return std::string(path, static_cast<std::size_t>(length));
}

std::string HelperPlace(const std::string &programPath)
{
    const std::string folder = FolderOf(programPath);
    if (folder == TRELVAN_INSTALLED_BINDIR)
        return TRELVAN_INSTALLED_HELPER;
    if (folder == TRELVAN_PACKAGED_BINDIR)
        return TRELVAN_PACKAGED_HELPER;
    if (InFolder(programPath, TRELVAN_BUILD_DIR))
        return TRELVAN_BUILD_HELPER;
    return {};
}

bool GrantsRawNetwork(const uint8_t *attribute, std::size_t size)
{
    if (size != XATTR_CAPS_SZ_2 && size != XATTR_CAPS_SZ_3)
        return false;
    const uint32_t magic = Little32(attribute);
    const uint32_t revision = magic & VFS_CAP_REVISION_MASK;
    if (revision == VFS_CAP_REVISION_2) {
        if (size != XATTR_CAPS_SZ_2)
            return false;
    } else if (revision == VFS_CAP_REVISION_3) {
        if (size != XATTR_CAPS_SZ_3 || Little32(attribute + offsetof(vfs_ns_cap_data, rootid)) != 0)
            return false;
    } else {
        return false;
    }
    if (!(magic & VFS_CAP_FLAGS_EFFECTIVE))
        return false;
    // data[i] is {permitted, inheritable}, 8 bytes, after the 4-byte magic.
    const uint32_t permitted = Little32(attribute + 4 + 8 * CAP_TO_INDEX(CAP_NET_RAW));
    return (permitted & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

FileDescriptor OpenGenuineHelper(const std::string &path, std::string *why)
{
    if (path.empty() || path[0] != '/') {
        *why = "chemin relatif";
        return FileDescriptor();
    }
    // Down from /, one name at a time, never through a link: each folder is
    // checked through the descriptor the next name is opened from.
    FileDescriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::size_t at = 1;
    for (;;) {
        struct stat status
        {
        };
        if (!folder.valid() || ::fstat(folder.get(), &status) != 0) {
            *why = std::strerror(errno);
            return FileDescriptor();
        }
        const std::string fault = FolderFault(status);
        if (!fault.empty()) {
            *why = fault;
            return FileDescriptor();
        }
        const std::size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            break;
        const std::string name = path.substr(at, slash - at);
        at = slash + 1;
        if (name.empty() || name == "." || name == "..") {
            *why = "chemin qui n'est pas canonique";
            return FileDescriptor();
        }
        folder = FileDescriptor(
            ::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) {
            *why = errno == ENOTDIR || errno == ELOOP ? "lien symbolique ou autre chose qu'un "
                                                        "dossier sur le chemin"
                                                      : std::strerror(errno);
            return FileDescriptor();
        }
    }

    const std::string name = path.substr(at);
    // Opened for reading, not only as a path, so that its attribute can be
    // read through the descriptor; never as a terminal, never blocking on a
    // FIFO that would stand in its place.
    FileDescriptor file(::openat(folder.get(), name.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        *why = errno == ELOOP ? "lien symbolique" : std::strerror(errno);
        return FileDescriptor();
    }
    struct stat status
    {
    };
    if (::fstat(file.get(), &status) != 0) {
        *why = std::strerror(errno);
        return FileDescriptor();
    }
    if (!S_ISREG(status.st_mode)) {
        *why = "n'est pas un fichier ordinaire";
        return FileDescriptor();
    }
    if (status.st_uid != 0) {
        *why = "n'appartient pas à root";
        return FileDescriptor();
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = "modifiable par d'autres que root";
        return FileDescriptor();
    }
    uint8_t attribute[XATTR_CAPS_SZ_3 + 1];
    const ssize_t size =
        ::fgetxattr(file.get(), "security.capability", attribute, sizeof attribute);
    if (size < 0 || !GrantsRawNetwork(attribute, static_cast<std::size_t>(size))) {
        *why = "sans la capacité cap_net_raw";
        return FileDescriptor();
    }
    return file;
}

} // namespace platform::linuxarp
