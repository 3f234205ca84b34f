#pragma once
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

#include "system/network.hpp"

namespace drovik {

// What became of one datagram handed to the kernel.
enum class Sent {
    whole,  // it took all of it
    lost,   // refused in a way that loses only this datagram, as a path might (datagram_lost);
            // errno says why until the next system call
    cut,    // it took only part of it: no datagram the peer could use
};

// Sends one datagram of `size` bytes with `call` (a send, sendto or sendmsg that returns what
// the system call did), again while it is interrupted. Any failure that is not `lost` means the
// socket itself is broken and raises the system-call error of `call_name`.
template <class Call>
Sent send_datagram(std::size_t size, std::string_view call_name, Call call) {
    for (;;) {
        const ssize_t sent = call();
        if (sent == static_cast<ssize_t>(size)) {
            return Sent::whole;
        }
        if (sent >= 0) {
            return Sent::cut;
        }
        if (errno != EINTR) {
            if (!datagram_lost(errno)) {
                throw_syscall_error(call_name);
            }
            return Sent::lost;
        }
    }
}

// The system-call error of a send that did not leave whole: errno's text when the datagram
// was lost, and no stale one when it was cut.
[[noreturn]] void throw_send_error(std::string_view call_name, Sent sent);

}  // namespace drovik
