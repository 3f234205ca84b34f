#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/loopback.hpp"
#include "system/clock.hpp"
#include "system/datagram.hpp"
#include "system/network.hpp"
#include "system/stop_signals.hpp"

namespace drovik {
namespace {

TEST(ReadyElapsed, TruncatesAndNeverExceedsTheTimeout) {
    EXPECT_EQ(ready_elapsed_ms(0, 99'900'000, 100), 99);
    EXPECT_EQ(ready_elapsed_ms(0, 100'000'000, 100), 100);
    EXPECT_EQ(ready_elapsed_ms(0, 250'000'000, 100), 100);
    EXPECT_EQ(ready_elapsed_ms(5, 5, 0), 0);
    EXPECT_EQ(to_ms(-1'700'000), -1);
    EXPECT_EQ(to_ms(700'000), 0);
}

TEST(WaitForDatagram, ZeroTimeoutReturnsAtOnce) {
    test::UdpSocket receiver;
    const WaitResult idle = wait_for_datagram(receiver.fd(), 0);
    EXPECT_FALSE(idle.ready);
    EXPECT_EQ(idle.elapsed_ms, 0);

    test::UdpSocket sender;
    sender.send_to(receiver.port(), "x");
    // A blocking wait first, so the datagram is surely queued before the zero wait.
    ASSERT_TRUE(wait_for_datagram(receiver.fd(), 5000).ready);
    const WaitResult waiting = wait_for_datagram(receiver.fd(), 0);
    EXPECT_TRUE(waiting.ready);
    EXPECT_EQ(waiting.elapsed_ms, 0);
}

TEST(WaitForDatagram, TimeOutReportsExactlyTheTimeout) {
    test::UdpSocket receiver;
    const WaitResult result = wait_for_datagram(receiver.fd(), 30);
    EXPECT_FALSE(result.ready);
    EXPECT_EQ(result.elapsed_ms, 30);
}

TEST(WaitForDatagram, ReadyReportsTheTimeWaitedWithinTheTimeout) {
    test::UdpSocket receiver;
    test::UdpSocket sender;
    const std::int64_t start = monotonic_ns();
    std::thread late_sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sender.send_to(receiver.port(), "x");
    });
    const WaitResult result = wait_for_datagram(receiver.fd(), 5000);
    const std::int32_t upper = to_ms(monotonic_ns() - start);
    late_sender.join();
    EXPECT_TRUE(result.ready);
    EXPECT_GE(result.elapsed_ms, 0);
    EXPECT_LE(result.elapsed_ms, upper);
    EXPECT_LT(result.elapsed_ms, 5000);
}

TEST(WaitForDatagram, ErrorOrHangUpFlagsRaise) {
    // A connected socket whose peer port is closed: the ICMP error sets POLLERR.
    test::UdpSocket socket_with_error;
    const sockaddr_in closed_peer = test::loopback_address(test::free_udp_port());
    ASSERT_EQ(
        connect(socket_with_error.fd(), reinterpret_cast<const sockaddr*>(&closed_peer), sizeof closed_peer),
        0);
    ASSERT_EQ(send(socket_with_error.fd(), "x", 1, 0), 1);
    try {
        wait_for_datagram(socket_with_error.fd(), 5000);
        FAIL() << "an error flag must not count as ready";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "poll returned value different than POLLIN");
    }

    // Shut down both ways: POLLHUP together with POLLIN.
    test::UdpSocket hung_up;
    ASSERT_EQ(connect(hung_up.fd(), reinterpret_cast<const sockaddr*>(&closed_peer), sizeof closed_peer), 0);
    ASSERT_EQ(shutdown(hung_up.fd(), SHUT_RDWR), 0);
    EXPECT_THROW(wait_for_datagram(hung_up.fd(), 5000), std::runtime_error);
}

TEST(WaitForDatagram, ClosedDescriptorRaises) {
    // poll reports POLLNVAL for a descriptor that is not open.
    test::UdpSocket receiver;
    const int closed_fd = dup(receiver.fd());
    close(closed_fd);
    EXPECT_THROW(wait_for_datagram(closed_fd, 0), std::runtime_error);
}

TEST(WaitForDatagram, InterruptedPollRaisesTheSystemCallError) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const itimerval in_20ms{{0, 0}, {0, 20000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &in_20ms, nullptr), 0);
    test::UdpSocket receiver;
    try {
        wait_for_datagram(receiver.fd(), 5000);
        ADD_FAILURE() << "an interrupted poll must raise";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Error while executing poll: Interrupted system call.");
    }
    sigaction(SIGALRM, &previous, nullptr);
}

// An interrupted send is made again and never counted; one cut short says so, with no stale
// errno's text.
TEST(SendDatagram, RetriesAnInterruptionAndNamesACutSend) {
    int calls = 0;
    const auto interrupted_twice = [&] {
        errno = EINTR;
        return ++calls < 3 ? ssize_t{-1} : ssize_t{5};
    };
    EXPECT_EQ(send_datagram(5, "send", interrupted_twice), Sent::whole);
    EXPECT_EQ(calls, 3);
    errno = 0;
    const Sent cut = send_datagram(5, "send", [] { return ssize_t{2}; });
    ASSERT_EQ(cut, Sent::cut);
    try {
        throw_send_error("send", cut);
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Error while executing send: only part of the datagram was sent.");
    }
}

// Stops that come once the program's end is under way are dropped, pending or later; once
// the stop signals go, the mask and the dispositions are as they were.
TEST(StopSignals, OnceDroppedNoStopEndsTheProgramAndAllIsRestoredAfter) {
    const int stops[] = {SIGINT, SIGTERM, SIGHUP};
    std::vector<sighandler_t> before;
    for (const int stop_signal : stops) {
        struct sigaction action {};
        ASSERT_EQ(sigaction(stop_signal, nullptr, &action), 0);
        before.push_back(action.sa_handler);
    }
    {
        const StopSignals stop;
        ASSERT_EQ(raise(SIGINT), 0);
        stop.drop_from_now_on();
        ASSERT_EQ(raise(SIGTERM), 0);
    }
    sigset_t pending;
    ASSERT_EQ(sigpending(&pending), 0);
    sigset_t blocked;
    ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &blocked), 0);
    for (std::size_t k = 0; k < before.size(); ++k) {
        struct sigaction action {};
        ASSERT_EQ(sigaction(stops[k], nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, before[k]) << strsignal(stops[k]);
        EXPECT_FALSE(sigismember(&pending, stops[k])) << strsignal(stops[k]);
        EXPECT_FALSE(sigismember(&blocked, stops[k])) << strsignal(stops[k]);
    }
}

}  // namespace
}  // namespace drovik
