#include "system/datagram.hpp"

#include <stdexcept>

#include "system/format.hpp"

namespace drovik {

void throw_send_error(std::string_view call_name, Sent sent) {
    if (sent == Sent::cut) {
        throw std::runtime_error(
            format("Error while executing {}: only part of the datagram was sent.", call_name));
    }
    throw_syscall_error(call_name);
}

}  // namespace drovik
