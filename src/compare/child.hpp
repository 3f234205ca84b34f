#pragma once
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "system/descriptor.hpp"
#include "system/stop_signals.hpp"

namespace drovik::compare {

// A stop signal came: the comparison ends at once.
struct Interrupted {
    int signal;
};

// How a program ended: its wait status and what it used.
struct Ended {
    int status = 0;
    rusage usage{};
};

// A program started without a shell (std::system_error when it cannot be) in a process group
// of its own, standard input from /dev/null, standard output and error to the files named
// (/dev/null where empty), with the signals this program blocks or ignores back to their
// defaults. Until it is reaped, dropping it kills its whole group.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& out_path, const std::string& err_path);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return id; }
    // Readable once the program has ended.
    int fd() const { return pid_fd.get(); }
    bool ended() const;
    void signal_group(int signal) const;
    // Kills what is left of its group (the children a program leaves behind) and reaps it,
    // waiting for its end: call once, when it has ended or after a SIGKILL.
    Ended reap();

private:
    pid_t id = -1;
    Descriptor pid_fd;
    bool reaped = false;
};

// Waits for `child` to end, at most until `deadline_ns` (monotonic): true when it ended.
// `tick` runs about once a second meanwhile; a stop signal raises Interrupted.
bool wait_for_end(const Child& child, const StopSignals& stop, std::int64_t deadline_ns,
                  const std::function<void()>& tick = {});

enum class Binding { bound, ended, timed_out };

// Waits until some socket has bound UDP `port`, `child` has ended or `deadline_ns` has passed;
// a stop signal raises Interrupted.
Binding wait_for_port(const Child& child, std::uint16_t port, const StopSignals& stop,
                      std::int64_t deadline_ns);

// Sends `signal` to the group of `child`, gives it until `grace_ns` from now to end, then kills
// what is left and reaps it.
Ended stop_child(Child& child, int signal, std::int64_t grace_ns, const StopSignals& stop);

// "exit N: LAST LINE OF ITS STANDARD ERROR" (": ..." only when it wrote one), or "killed by
// signal N (NAME)", for a program that ended with `status` and wrote its errors to `err_path`.
std::string ending(int status, const std::string& err_path);

}  // namespace drovik::compare
