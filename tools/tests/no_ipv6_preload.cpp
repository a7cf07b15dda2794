// Preloaded into a program to make it run as on a system without IPv6: every IPv6 socket fails to
// be created with EAFNOSUPPORT, as it does where the kernel has no IPv6; other sockets are the
// system's own.
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

extern "C" int socket(int domain, int type, int protocol) {
    if (domain == AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    using Socket = int (*)(int, int, int);
    static const Socket real = reinterpret_cast<Socket>(dlsym(RTLD_NEXT, "socket"));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(domain, type, protocol);
}
