#include "system/standard_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "system/network.hpp"

namespace drovik {

void hold_standard_descriptors() {
    for (;;) {
        const int fd = open("/dev/null", O_RDONLY);
        if (fd < 0) {
            throw_syscall_error("open /dev/null");
        }
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
}

bool open_for_writing(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

}  // namespace drovik
