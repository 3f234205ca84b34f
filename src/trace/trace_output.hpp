#pragma once
#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "system/descriptor.hpp"
#include "system/stop_signals.hpp"

namespace drovik::trace {

// Where the trace goes: the named file, created or truncated, or standard output, written
// without ever waiting for a reader and without changing what others share. A named file is
// opened non-blocking; standard output is opened anew (/proc/self/fd/1), a description of the
// relay's own, when it is a pipe, a terminal or a device; a file is written as it is, and a
// socket with MSG_DONTWAIT. While this lives SIGPIPE and SIGXFSZ are ignored, so that a reader
// that goes away or a file grown past its limit is an error of a write, not the end of the relay.
class TraceOutput {
public:
    // A named pipe waits for its reader, or for a stop signal: then stopped().
    TraceOutput(const std::string& path, const StopSignals& signals);
    ~TraceOutput();
    TraceOutput(const TraceOutput&) = delete;
    TraceOutput& operator=(const TraceOutput&) = delete;

    bool stopped() const { return output_fd < 0; }
    // The descriptor to poll.
    int fd() const { return output_fd; }
    // One write that never waits: the bytes taken, or -1 with errno set.
    ssize_t write(const char* data, std::size_t size) const;
    // Takes back the last `bytes` written to a file; elsewhere they are out of reach.
    void cut_back(std::size_t bytes) const;
    // The file's path, or "standard output".
    const std::string& name() const { return output_name; }

private:
    enum class Kind { file, socket, gone, other };

    Descriptor own;  // the relay's own description, if any
    int output_fd;
    Kind kind = Kind::other;
    std::string output_name;
    sighandler_t previous_sigpipe = SIG_DFL;
    sighandler_t previous_sigxfsz = SIG_DFL;
};

}  // namespace drovik::trace
