// Starts a command that sends datagrams, and reports how long it took to send its first
// one and the peak resident memory it reached: the argument PORT is replaced by the port
// of a loopback socket that only listens. The command is sent SIGINT once the first
// datagram came, or after the time-out.
// Usage: bench-first-request [--timeout SECONDS] -- COMMAND [ARG...]
// Prints: first_request_s peak_rss_kb exit_status (first_request_s is "-" after a time-out)
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "bench_socket.hpp"
#include "system/clock.hpp"
#include "system/descriptor.hpp"
#include "system/format.hpp"
#include "system/network.hpp"

namespace {

std::uint16_t port_of(int socket_fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        drovik::throw_syscall_error("getsockname");
    }
    return ntohs(address.sin_port);
}

pid_t start_child(std::vector<std::string> command, std::uint16_t port) {
    std::vector<char*> argv;
    for (std::string& arg : command) {
        if (arg == "PORT") {
            arg = std::to_string(port);
        }
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        drovik::throw_syscall_error("fork");
    }
    if (pid == 0) {
        execvp(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    return pid;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        double timeout_s = 60;
        if (args.size() > 2 && args[0] == "--timeout") {
            timeout_s = std::stod(args[1]);
            args.erase(args.begin(), args.begin() + 2);
        }
        if (args.size() < 2 || args[0] != "--") {
            throw std::invalid_argument("Usage: bench-first-request [--timeout SECONDS] -- COMMAND [ARG...]");
        }
        const drovik::Descriptor listener(drovik::bench::bound_socket(INADDR_LOOPBACK, 0));
        const std::int64_t start_ns = drovik::monotonic_ns();
        const pid_t pid = start_child({args.begin() + 1, args.end()}, port_of(listener.get()));
        pollfd entry{listener.get(), POLLIN, 0};
        const bool came = poll(&entry, 1, static_cast<int>(timeout_s * 1000)) == 1;
        const double first_s = static_cast<double>(drovik::monotonic_ns() - start_ns) / 1e9;
        kill(pid, SIGINT);
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) < 0) {
            drovik::throw_syscall_error("wait4");
        }
        const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::cout << (came ? drovik::format("{:.4f}", first_s) : "-") << ' ' << usage.ru_maxrss << ' '
                  << exit_status << std::endl;
        return came ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 2;
    }
}
