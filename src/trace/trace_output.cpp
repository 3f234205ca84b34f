#include "trace/trace_output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "system/format.hpp"
#include "system/network.hpp"
#include "system/standard_descriptors.hpp"

namespace drovik::trace {

namespace {
// How often a named pipe without a reader is tried again.
constexpr int READER_WAIT_MS = 50;
constexpr int WRITE_FLAGS = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

bool is_fifo(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// `path` opened for writing; -1 when a stop signal came while a named pipe waited for its
// reader (opened without blocking, it has none until one opens it: ENXIO).
int open_named(const std::string& path, const StopSignals& signals) {
    for (;;) {
        const int fd = open(path.c_str(), WRITE_FLAGS | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) {
            return fd;
        }
        if (errno != ENXIO || !is_fifo(path)) {
            throw std::runtime_error(format("Cannot open {} for writing: {}.", path, std::strerror(errno)));
        }
        pollfd stop{signals.fd(), POLLIN, 0};
        if (poll(&stop, 1, READER_WAIT_MS) > 0) {
            signals.take();
            return -1;
        }
    }
}

// Standard output opened anew, or -1 where it is written as it is: a file, whose writes never
// wait for a reader (and whose offset others may share), a socket, and a pipe whose reader has
// gone (ENXIO).
int reopen_standard_output() {
    if (!open_for_writing(STDOUT_FILENO)) {
        throw std::runtime_error("Cannot write the trace to standard output: it is not open for writing.");
    }
    struct stat info {};
    if (fstat(STDOUT_FILENO, &info) != 0) {
        throw_syscall_error("fstat");
    }
    if (S_ISREG(info.st_mode) || S_ISSOCK(info.st_mode)) {
        return -1;
    }
    const int fd = open("/proc/self/fd/1", WRITE_FLAGS);
    if (fd < 0 && errno != ENXIO) {
        throw std::runtime_error(format("Cannot open standard output anew, to write it without blocking: {}.",
                                        std::strerror(errno)));
    }
    return fd;
}
}  // namespace

TraceOutput::TraceOutput(const std::string& path, const StopSignals& signals)
    : own(path.empty() ? reopen_standard_output() : open_named(path, signals)),
      output_fd(own.get() >= 0 || !path.empty() ? own.get() : STDOUT_FILENO),
      output_name(path.empty() ? "standard output" : path) {
    previous_sigpipe = signal(SIGPIPE, SIG_IGN);
    previous_sigxfsz = signal(SIGXFSZ, SIG_IGN);
    struct stat info {};
    if (output_fd < 0 || fstat(output_fd, &info) != 0) {
        return;
    }
    if (S_ISREG(info.st_mode)) {
        kind = Kind::file;
    } else if (S_ISSOCK(info.st_mode)) {
        kind = Kind::socket;
    } else if (own.get() < 0) {
        kind = Kind::gone;
    }
}

TraceOutput::~TraceOutput() {
    signal(SIGPIPE, previous_sigpipe);
    signal(SIGXFSZ, previous_sigxfsz);
}

ssize_t TraceOutput::write(const char* data, std::size_t size) const {
    switch (kind) {
    case Kind::socket:
        return send(output_fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    case Kind::gone:
        errno = EPIPE;
        return -1;
    default:
        return ::write(output_fd, data, size);
    }
}

void TraceOutput::cut_back(std::size_t bytes) const {
    if (kind != Kind::file) {
        return;
    }
    // At worst the row stays begun: the trace has failed already, and says so.
    const off_t end = lseek(output_fd, 0, SEEK_CUR);
    if (end >= static_cast<off_t>(bytes)) {
        static_cast<void>(ftruncate(output_fd, end - static_cast<off_t>(bytes)));
    }
}

}  // namespace drovik::trace
