#include "resolver/sandbox.h"

#include <cap-ng.h>
#include <cerrno>
#include <fcntl.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace helper {

void ForbidInspection()
{
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

bool DropCapabilities()
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    capng_clear(CAPNG_SELECT_ALL);
    // The bounding set shrinks only with CAP_SETPCAP: without it this fails,
    // and the empty sets below, with no new privileges, already keep every
    // capability out of reach.
    capng_apply(CAPNG_SELECT_BOUNDS);
    if (capng_apply(CAPNG_SELECT_CAPS) != 0 || capng_apply(CAPNG_SELECT_AMBIENT) != 0)
        return false;
    // Read back from the kernel rather than trusted.
    if (capng_get_caps_process() != 0)
        return false;
    return capng_have_capabilities(CAPNG_SELECT_CAPS) == CAPNG_NONE &&
           capng_have_capabilities(CAPNG_SELECT_AMBIENT) == CAPNG_NONE;
}

namespace {

class Filter
{
public:
    Filter() : context(seccomp_init(SCMP_ACT_KILL_PROCESS)) {}
    ~Filter()
    {
        if (context)
            seccomp_release(context);
    }
    Filter(const Filter &) = delete;
    Filter &operator=(const Filter &) = delete;

    // Lets the call through, with at most one condition on its arguments.
    // A call that this architecture does not have is skipped.
    template <typename... Conditions> void Allow(const char *name, Conditions... conditions)
    {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR || number < 0)
            return;
        const scmp_arg_cmp compared[] = {conditions..., scmp_arg_cmp{0, SCMP_CMP_EQ, 0, 0}};
        if (seccomp_rule_add_array(context, SCMP_ACT_ALLOW, number, sizeof...(conditions),
                                   compared) != 0)
            failed = true;
    }

    bool Load() { return context && !failed && seccomp_load(context) == 0; }

private:
    scmp_filter_ctx context;
    bool failed = false;
};

// Conditions on argument `arg`: equal to `value`; none of `bits` set.
scmp_arg_cmp Equals(unsigned arg, uint64_t value)
{
    return scmp_arg_cmp{arg, SCMP_CMP_EQ, value, 0};
}

scmp_arg_cmp Lacks(unsigned arg, uint64_t bits)
{
    return scmp_arg_cmp{arg, SCMP_CMP_MASKED_EQ, bits, 0};
}

} // namespace

bool ConfineToServing()
{
    Filter filter;
    // Requests in, replies and the last word out: the standard descriptors
    // only. Everything else travels on sockets.
    filter.Allow("read", Equals(0, STDIN_FILENO));
    filter.Allow("write", Equals(0, STDOUT_FILENO));
    filter.Allow("write", Equals(0, STDERR_FILENO));
    // The wait for input, answers and the next frame due.
    filter.Allow("poll");
    filter.Allow("ppoll");
    filter.Allow("clock_gettime");
    filter.Allow("gettimeofday");
    filter.Allow("clock_nanosleep");
    filter.Allow("nanosleep");
    // Frames on the packet sockets and the echo on the ICMPv6 socket, all
    // opened before the drop (the echo's replies are filtered out, never
    // read); the listing of the interfaces on a netlink socket of its own;
    // the lock that lets one helper at a time send on an interface, a UNIX
    // socket. No other kind of socket may be opened.
    filter.Allow("sendto");
    filter.Allow("recvfrom");
    filter.Allow("recvmsg");
    filter.Allow("getsockopt");
    filter.Allow("socket", Equals(0, AF_NETLINK));
    filter.Allow("socket", Equals(0, AF_UNIX));
    filter.Allow("bind");
    filter.Allow("getsockname");
    filter.Allow("close");
    // Memory, never executable.
    filter.Allow("brk");
    filter.Allow("mmap", Lacks(2, PROT_EXEC));
    filter.Allow("mprotect", Lacks(2, PROT_EXEC));
    filter.Allow("mremap");
    filter.Allow("munmap");
    filter.Allow("madvise");
    // The end, and the kernel's own returns.
    filter.Allow("exit_group");
    filter.Allow("exit");
    filter.Allow("rt_sigreturn");
    filter.Allow("restart_syscall");
    return filter.Load();
}

} // namespace helper
