#pragma once
#include <signal.h>

#include <string>

#include "net/descriptor.hpp"

namespace drovik::trace {

// Where the trace goes: the named file, created or truncated, or standard output. While this
// lives the descriptor does not block (its flags come back at the end) and SIGPIPE is ignored,
// so that a stuck reader makes a write wait for nothing and a reader that goes away is an
// error of a write (EPIPE), not the end of the relay.
class TraceOutput {
public:
    explicit TraceOutput(const std::string& path);
    ~TraceOutput();
    TraceOutput(const TraceOutput&) = delete;
    TraceOutput& operator=(const TraceOutput&) = delete;

    int fd() const { return output_fd; }
    // The file's path, or "standard output".
    const std::string& name() const { return output_name; }

private:
    Descriptor file;
    int output_fd;
    std::string output_name;
    int flags = 0;
    sighandler_t previous_sigpipe = SIG_DFL;
};

}  // namespace drovik::trace
