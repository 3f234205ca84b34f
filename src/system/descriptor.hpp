#pragma once
#include <unistd.h>

#include <utility>

namespace drovik {

// Owns one open file descriptor and closes it when dropped.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd; }
    void reset() {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
    // Hands the descriptor over, for a close whose outcome counts.
    int release() { return std::exchange(fd, -1); }

private:
    int fd;
};

}  // namespace drovik
