// Preloaded into a program under test (LD_PRELOAD), it makes one chosen socket call
// fail once, as if the kernel had reported that error: the way to try a program's
// handling of ICMP errors and shortages without raw sockets or routes.
// DROVIK_TEST_FAULT="CALL NTH ERRNO" (for example "recv 50 113") fails the NTH call of
// CALL (recv or send) with ERRNO, and no other.
#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Fault {
    char call[16] = {};
    long nth = 0;
    int error = 0;
};

const Fault& fault() {
    static const Fault chosen = [] {
        Fault f;
        if (const char* text = std::getenv("DROVIK_TEST_FAULT")) {
            std::sscanf(text, "%15s %ld %d", f.call, &f.nth, &f.error);
        }
        return f;
    }();
    return chosen;
}

// True when this call of `call` is the one to fail.
bool fails(const char* call, std::atomic<long>& calls) {
    return std::strcmp(fault().call, call) == 0 && ++calls == fault().nth;
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::atomic<long> recv_calls{0};
std::atomic<long> send_calls{0};

}  // namespace

extern "C" ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    if (fails("recv", recv_calls)) {
        errno = fault().error;
        return -1;
    }
    static const auto real = next<ssize_t (*)(int, void*, size_t, int)>("recv");
    return real(fd, buffer, size, flags);
}

extern "C" ssize_t send(int fd, const void* buffer, size_t size, int flags) {
    if (fails("send", send_calls)) {
        errno = fault().error;
        return -1;
    }
    static const auto real = next<ssize_t (*)(int, const void*, size_t, int)>("send");
    return real(fd, buffer, size, flags);
}
