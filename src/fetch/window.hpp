#pragma once
#include <cstdint>

namespace drovik::fetch {

// At most this many chunks beyond the first missing one are asked. Written in order
// (standard output, a pipe), the chunks taken ahead of it wait in memory.
inline constexpr std::uint64_t STREAM_WINDOW = 10000;
// Written at their offsets, chunks wait nowhere: the window need only keep every server
// busy for several time-outs (eight reference servers take 6400 chunks a second, a
// time-out is about 1.6 s), while the engine's 32 bytes a chunk stay at 2 MB.
inline constexpr std::uint64_t FILE_WINDOW = 1 << 16;

}  // namespace drovik::fetch
