#pragma once

namespace drovik {

// Which way a datagram crosses a played path: up, from a client towards the server; down,
// back to the client.
enum class Direction { up, down };

// What became of it: passed on (the first copy to leave), passed on once more (a later copy
// of a duplicated one), lost on the way, or dropped because the queue was full.
enum class Fate { relayed, copy, lost, overflow };

}  // namespace drovik
