#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace drovik::test {

namespace {
void read_available(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        into.append(buffer, static_cast<std::size_t>(n));
    }
}
}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& args) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd = out_pipe[0];
    err_fd = err_pipe[0];
    fcntl(out_fd, F_SETFL, O_NONBLOCK);
    fcntl(err_fd, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
    if (!status) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    close(out_fd);
    close(err_fd);
}

void Process::drain_pipes() {
    read_available(out_fd, out_text);
    read_available(err_fd, err_text);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!status) {
        int raw = 0;
        rusage usage{};
        if (wait4(child, &raw, WNOHANG, &usage) == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            peak = usage.ru_maxrss;
            break;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds::zero()) {
            break;
        }
        // Output or the child's end wakes us; the cap only bounds how late we notice an exit.
        pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        const auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        poll(fds, 2, static_cast<int>(std::min<long long>(slice, 10)));
        drain_pipes();
    }
    drain_pipes();
    return status;
}

bool Process::running() {
    return !wait_exit(std::chrono::milliseconds(0));
}

void Process::signal(int signal_number) const {
    kill(child, signal_number);
}

const std::string& Process::out() {
    drain_pipes();
    return out_text;
}

const std::string& Process::err() {
    drain_pipes();
    return err_text;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds limit) {
    Process process(program, args);
    const std::optional<int> status = process.wait_exit(limit);
    if (!status) {
        throw std::runtime_error(program + " did not end in time");
    }
    return {*status, process.out(), process.err()};
}

void adopt_orphans() {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        throw std::runtime_error("prctl PR_SET_CHILD_SUBREAPER failed");
    }
}

std::vector<pid_t> children_left(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::ifstream list("/proc/self/task/" + std::to_string(getpid()) + "/children");
    std::vector<pid_t> left;
    for (pid_t pid = 0; list >> pid;) {
        // A pidfd is readable once its process has ended: no polling of the process table.
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        pollfd entry{fd, POLLIN, 0};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (fd >= 0 && poll(&entry, 1, static_cast<int>(std::max<long long>(wait.count(), 0))) != 1) {
            left.push_back(pid);
            kill(pid, SIGKILL);
        }
        waitpid(pid, nullptr, 0);
        close(fd);
    }
    return left;
}

namespace {
// Whether the status file's line `field` ("ShdPnd:", "SigPnd:") has `signal_number` in its mask.
bool in_mask(pid_t pid, const std::string& field, int signal_number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field)) {
            return ((std::stoull(line.substr(field.size()), nullptr, 16) >> (signal_number - 1)) & 1U) != 0;
        }
    }
    return false;
}
}  // namespace

bool wait_signal_taken(pid_t pid, int signal_number, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (in_mask(pid, "ShdPnd:", signal_number) || in_mask(pid, "SigPnd:", signal_number)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // The kernel's status file is the only witness of another process's pending signals.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace drovik::test
