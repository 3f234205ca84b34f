// Sends a bounded burst of request datagrams to a receiver on loopback as fast
// as one socket can, then reports what the receiver took in and at what cost.
// "invalid": texts the server must drop (bad grammar, or numbers out of range).
// "valid": well-formed requests, sent after enough others to fill the
// server's reply queue, so nearly all of them are shed at admission.
// The receiver's drops and queued bytes come from /proc/net/udp, its CPU time
// from /proc/PID/schedstat.
// Usage: bench-load PORT PID COUNT invalid|valid
// Prints: sent absorbed seconds receiver_cpu_seconds
#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_socket.hpp"
#include "system/clock.hpp"
#include "system/format.hpp"
#include "system/network.hpp"

namespace {

// Requests that fill the server's reply queue before a "valid" burst: each
// admitted request queues 0.625 replies on average, and 1000 fill it.
constexpr int PREFILL_REQUESTS = 3000;
constexpr int PREFILL_BATCH = 100;
constexpr double DRAIN_TIMEOUT_S = 10;

struct SocketState {
    std::uint64_t queued_bytes = 0;
    std::uint64_t drops = 0;
};

// The receive queue and drop count of the socket bound to `port`, whatever its address.
SocketState socket_state(std::uint16_t port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    const std::string wanted = drovik::format(":{:04X}", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode, refs,
            pointer;
        SocketState result;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
            inode >> refs >> pointer >> result.drops;
        if (local.ends_with(wanted)) {
            result.queued_bytes = std::stoull(queues.substr(queues.find(':') + 1), nullptr, 16);
            return result;
        }
    }
    throw std::runtime_error(drovik::format("nothing is bound to UDP port {}", port));
}

double cpu_seconds(int pid) {
    std::ifstream schedstat(drovik::format("/proc/{}/schedstat", pid));
    std::uint64_t on_cpu_ns = 0;
    if (!(schedstat >> on_cpu_ns)) {
        throw std::runtime_error(drovik::format("cannot read the CPU time of process {}", pid));
    }
    return static_cast<double>(on_cpu_ns) / 1e9;
}

std::vector<std::string> burst_texts(const std::string& kind) {
    if (kind == "invalid") {
        return {"GET 0 0\n",  "GET 100000001 1\n", "GET 0 1001\n",   "GET 1000000000 1\n",
                "GET 0 1000", "get 0 1000\n",      "GET 0 1000\r\n", "DATA 0 1000\n"};
    }
    if (kind == "valid") {
        std::vector<std::string> texts;
        for (int k = 0; k < 1000; ++k) {
            texts.push_back(drovik::format("GET {} 1000\n", k * 1000));
        }
        return texts;
    }
    throw std::invalid_argument("the kind is invalid or valid");
}

void send_all(int socket_fd, const std::vector<std::string>& texts, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string& text = texts[static_cast<std::size_t>(i) % texts.size()];
        if (send(socket_fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            drovik::throw_syscall_error("sendto");
        }
    }
}

// Returns once the receiver has read everything queued for it.
void wait_drained(std::uint16_t port) {
    const std::int64_t start_ns = drovik::monotonic_ns();
    while (socket_state(port).queued_bytes != 0) {
        if (static_cast<double>(drovik::monotonic_ns() - start_ns) / 1e9 > DRAIN_TIMEOUT_S) {
            throw std::runtime_error("the receiver stopped reading");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// Fills the reply queue without losing a request to a full socket buffer.
void prefill(int socket_fd, std::uint16_t port) {
    const std::vector<std::string> texts = burst_texts("valid");
    for (int sent = 0; sent < PREFILL_REQUESTS; sent += PREFILL_BATCH) {
        send_all(socket_fd, texts, PREFILL_BATCH);
        wait_drained(port);
    }
}

void measure(std::uint16_t port, int pid, int count, const std::string& kind) {
    const std::vector<std::string> texts = burst_texts(kind);
    const int socket_fd = drovik::bench::connected_socket(INADDR_LOOPBACK, port);
    if (kind == "valid") {
        prefill(socket_fd, port);
    }
    const SocketState before = socket_state(port);
    const double cpu_before = cpu_seconds(pid);
    const std::int64_t start_ns = drovik::monotonic_ns();
    send_all(socket_fd, texts, count);
    wait_drained(port);
    const double seconds = static_cast<double>(drovik::monotonic_ns() - start_ns) / 1e9;
    const double cpu = cpu_seconds(pid) - cpu_before;
    const std::uint64_t dropped = socket_state(port).drops - before.drops;
    std::cout << drovik::format("{} {} {:.6f} {:.6f}\n", count, static_cast<std::uint64_t>(count) - dropped,
                                seconds, cpu);
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        if (argc != 5) {
            throw std::invalid_argument("Usage: bench-load PORT PID COUNT invalid|valid");
        }
        measure(static_cast<std::uint16_t>(std::stoi(argv[1])), std::stoi(argv[2]), std::stoi(argv[3]),
                argv[4]);
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
