// Runs one command and reports what it cost: wall time, CPU time and peak
// resident memory, taken from the kernel's accounting when the child ends.
// The child's standard output is discarded, or with --lines FILE each of its
// lines is written to FILE behind the seconds since the start.
// Usage: bench-run [--timeout SECONDS] [--lines FILE] -- COMMAND [ARG...]
// Prints: wall_s user_s sys_s peak_rss_kb exit_status (124 after a time-out)
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "system/clock.hpp"
#include "system/format.hpp"
#include "system/network.hpp"

namespace {

struct Options {
    double timeout_s = 300;
    std::optional<std::string> lines_file;
    std::vector<char*> command;
};

Options parse_options(int argc, char* argv[]) {
    Options options;
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; i += 2) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            throw std::invalid_argument("missing value for " + name);
        }
        if (name == "--timeout") {
            options.timeout_s = std::stod(argv[i + 1]);
        } else if (name == "--lines") {
            options.lines_file = argv[i + 1];
        } else {
            throw std::invalid_argument("unknown option " + name);
        }
    }
    options.command.assign(argv + std::min(i + 1, argc), argv + argc);
    if (options.command.empty()) {
        throw std::invalid_argument("Usage: bench-run [--timeout S] [--lines FILE] -- COMMAND [ARG...]");
    }
    options.command.push_back(nullptr);
    return options;
}

pid_t start_child(std::vector<char*>& command, int stdout_fd, int unused_fd) {
    const pid_t pid = fork();
    if (pid < 0) {
        drovik::throw_syscall_error("fork");
    }
    if (pid == 0) {
        dup2(stdout_fd, STDOUT_FILENO);
        close(stdout_fd);
        close(unused_fd);
        execvp(command[0], command.data());
        std::perror(command[0]);
        _exit(127);
    }
    return pid;
}

double seconds_since(std::int64_t start_ns) {
    return static_cast<double>(drovik::monotonic_ns() - start_ns) / 1e9;
}

// Copies the child's output until it closes it; false when the time ran out first.
bool collect_output(int fd, std::int64_t start_ns, double timeout_s, std::ostream* lines) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const double left_s = timeout_s - seconds_since(start_ns);
        pollfd entry{fd, POLLIN, 0};
        if (left_s <= 0 || poll(&entry, 1, static_cast<int>(left_s * 1000) + 1) == 0) {
            return false;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return true;
        }
        const double at_s = seconds_since(start_ns);
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            if (lines) {
                *lines << drovik::format("{:.4f}\t{}\n", at_s, pending.substr(0, end));
            }
        }
    }
}

double to_seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

int run(Options& options) {
    std::ofstream lines_out;
    if (options.lines_file) {
        lines_out.exceptions(std::ios_base::failbit | std::ios_base::badbit);
        lines_out.open(*options.lines_file);
    }
    int pipe_fds[2];
    if (pipe(pipe_fds) < 0) {
        drovik::throw_syscall_error("pipe");
    }
    const std::int64_t start_ns = drovik::monotonic_ns();
    const pid_t pid = start_child(options.command, pipe_fds[1], pipe_fds[0]);
    close(pipe_fds[1]);
    const bool finished =
        collect_output(pipe_fds[0], start_ns, options.timeout_s, options.lines_file ? &lines_out : nullptr);
    if (!finished) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) {
        drovik::throw_syscall_error("wait4");
    }
    const double wall_s = seconds_since(start_ns);
    const int exit_status = !finished           ? 124
                            : WIFEXITED(status) ? WEXITSTATUS(status)
                                                : 128 + WTERMSIG(status);
    std::cout << drovik::format("{:.4f} {:.4f} {:.4f} {} {}\n", wall_s, to_seconds(usage.ru_utime),
                                to_seconds(usage.ru_stime), usage.ru_maxrss, exit_status);
    return exit_status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        Options options = parse_options(argc, argv);
        return run(options);
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 2;
    }
}
