#include "compare/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "system/clock.hpp"
#include "system/format.hpp"
#include "system/network.hpp"
#include "system/udp_port.hpp"

namespace drovik::compare {

namespace {
constexpr std::int64_t SECOND_NS = 1000000000;
// How often a wait for a bind looks at the kernel's socket table.
constexpr int BIND_POLL_MS = 2;
// As much of a line of a program's errors as a reason quotes.
constexpr std::size_t MAX_LINE = 200;

// The file at `path`, or /dev/null, as a program's output; opened here, so that a failure is
// this program's to report.
Descriptor open_output(const std::string& path) {
    Descriptor fd(
        open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        throw_syscall_error("open " + path);
    }
    return fd;
}

// The child between fork and exec: a group of its own, the signals back to their defaults, the
// files in place. Exec's error goes through `report`, which a successful exec closes.
[[noreturn]] void become(char* const* args, const int (&files)[3], int report) {
    setpgid(0, 0);
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        signal(stop, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int target = 0; target < 3; ++target) {
        dup2(files[target], target);
    }
    execv(args[0], args);
    const int error = errno;
    if (write(report, &error, sizeof error) < 0) {
        _exit(127);
    }
    _exit(127);
}

// True when `child` ended within `timeout_ms`; a stop signal raises Interrupted.
bool ended_within(const Child& child, const StopSignals& stop, std::int64_t timeout_ms) {
    pollfd fds[] = {{child.fd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(std::max<std::int64_t>(timeout_ms, 0))) < 0 && errno != EINTR) {
        throw_syscall_error("poll");
    }
    if ((fds[1].revents & POLLIN) != 0) {
        throw Interrupted{stop.take()};
    }
    return (fds[0].revents & POLLIN) != 0;
}

// fork and exec rather than posix_spawn: the vfork behind it would lend this program's memory
// to the child's peak.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out_path, const std::string& err_path) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const Descriptor in(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const Descriptor out = open_output(out_path);
    const Descriptor err = open_output(err_path);
    int report[2];
    if (in.get() < 0 || pipe2(report, O_CLOEXEC) != 0) {
        throw_syscall_error("pipe2");
    }
    const Descriptor report_read(report[0]);
    Descriptor report_write(report[1]);
    const pid_t pid = fork();
    if (pid < 0) {
        throw_syscall_error("fork");
    }
    if (pid == 0) {
        become(args.data(), {in.get(), out.get(), err.get()}, report_write.get());
    }
    setpgid(pid, pid);  // here too, so that the group is there before anything signals it
    report_write.reset();
    int error = 0;
    ssize_t got = 0;
    while ((got = read(report_read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof error)) {
        waitpid(pid, nullptr, 0);
        throw std::system_error(error, std::generic_category(), "cannot run " + argv[0]);
    }
    return pid;
}

// Debian 12's C library declares pidfd_open without C linkage.
int open_pidfd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

std::int64_t ms_until(std::int64_t deadline_ns) {
    return (deadline_ns - monotonic_ns() + 999999) / 1000000;
}
}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& out_path, const std::string& err_path)
    : id(spawn(argv, out_path, err_path)), pid_fd(open_pidfd(id)) {
    if (pid_fd.get() < 0) {
        const int error = errno;
        kill(-id, SIGKILL);
        waitpid(id, nullptr, 0);
        reaped = true;
        throw std::system_error(error, std::generic_category(), "pidfd_open");
    }
}

Child::~Child() {
    if (!reaped) {
        kill(-id, SIGKILL);
        waitpid(id, nullptr, 0);
    }
}

bool Child::ended() const {
    pollfd entry{fd(), POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

void Child::signal_group(int signal) const {
    kill(-id, signal);
}

Ended Child::reap() {
    // The program may be gone already, but its group lives on while any member does.
    kill(-id, SIGKILL);
    Ended ended;
    while (wait4(id, &ended.status, 0, &ended.usage) < 0) {
        if (errno != EINTR) {
            throw_syscall_error("wait4");
        }
    }
    reaped = true;
    return ended;
}

bool wait_for_end(const Child& child, const StopSignals& stop, std::int64_t deadline_ns,
                  const std::function<void()>& tick) {
    std::int64_t next_tick_ns = monotonic_ns() + SECOND_NS;
    for (;;) {
        const std::int64_t left_ms = ms_until(deadline_ns);
        if (left_ms <= 0) {
            return false;
        }
        if (ended_within(child, stop, std::min(left_ms, ms_until(next_tick_ns)))) {
            return true;
        }
        if (tick && monotonic_ns() >= next_tick_ns) {
            tick();
            next_tick_ns += SECOND_NS;
        }
    }
}

Binding wait_for_port(const Child& child, std::uint16_t port, const StopSignals& stop,
                      std::int64_t deadline_ns) {
    for (;;) {
        if (udp_port_bound(port)) {
            return Binding::bound;
        }
        if (ms_until(deadline_ns) <= 0) {
            return Binding::timed_out;
        }
        if (ended_within(child, stop, BIND_POLL_MS)) {
            return Binding::ended;
        }
    }
}

Ended stop_child(Child& child, int signal, std::int64_t grace_ns, const StopSignals& stop) {
    child.signal_group(signal);
    wait_for_end(child, stop, monotonic_ns() + grace_ns);
    return child.reap();
}

std::string ending(int status, const std::string& err_path) {
    if (WIFSIGNALED(status)) {
        return format("killed by signal {} ({})", WTERMSIG(status), strsignal(WTERMSIG(status)));
    }
    std::ifstream err(err_path);
    std::string last;
    // The hint that follows a usage error tells nothing of the error itself.
    for (std::string line; std::getline(err, line);) {
        last = line.empty() || line.starts_with("Run with --help") ? last : line;
    }
    if (last.size() > MAX_LINE) {
        last = last.substr(0, MAX_LINE) + "...";
    }
    const std::string code = format("exit {}", WEXITSTATUS(status));
    return last.empty() ? code : code + ": " + last;
}

}  // namespace drovik::compare
