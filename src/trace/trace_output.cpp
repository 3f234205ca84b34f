#include "trace/trace_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "net/format.hpp"
#include "net/network.hpp"

namespace drovik::trace {

TraceOutput::TraceOutput(const std::string& path)
    : file(path.empty() ? -1 : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)),
      output_fd(path.empty() ? STDOUT_FILENO : file.get()),
      output_name(path.empty() ? "standard output" : path) {
    if (output_fd < 0) {
        throw std::runtime_error(format("Cannot open {} for writing: {}.", path, std::strerror(errno)));
    }
    flags = fcntl(output_fd, F_GETFL);
    if (flags < 0 || fcntl(output_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        throw_syscall_error("fcntl");
    }
    previous_sigpipe = signal(SIGPIPE, SIG_IGN);
}

TraceOutput::~TraceOutput() {
    // Standard output may be shared with the shell that started the relay.
    fcntl(output_fd, F_SETFL, flags);
    signal(SIGPIPE, previous_sigpipe);
}

}  // namespace drovik::trace
