#pragma once

namespace drovik {

// Makes sure descriptors 0 to 2 are open, /dev/null read only standing in for any that is
// closed, so that no socket or file of the program takes the place of standard output or
// error (and has a trace or a summary sent to a server); a closed one stays unwritable.
// Called before anything else opens a descriptor.
void hold_standard_descriptors();

// Whether `fd` was opened for writing: false for a closed standard output held by
// hold_standard_descriptors.
bool open_for_writing(int fd);

}  // namespace drovik
