#pragma once
#include <netinet/in.h>

#include <string>

namespace drovik::trace {

// The socket clients talk to, bound to `address`, with large buffers.
int listening_socket(const sockaddr_in& address);

// True when a datagram sent to `destination` from this machine reaches a socket bound to
// `listening`: the same port, and the same address, or any of this machine's when `listening`
// is the wildcard (0.0.0.0). A destination of 0.0.0.0 means this machine's 127.0.0.1.
bool reaches(const sockaddr_in& listening, sockaddr_in destination);

// "IP:PORT".
std::string address_name(const sockaddr_in& address);

}  // namespace drovik::trace
