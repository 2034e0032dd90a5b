// Faulting in memory ahead of its first write, on a background thread.
//
// Used by arenas: the kernel zeroes a fresh page at its first touch, and an
// owner that fills memory at speed would otherwise spend much of its time
// waiting for that. Requests are hints: one that cannot be served (queue
// full, kernel without MADV_POPULATE_WRITE) is dropped and the pages are
// faulted in by their first write as usual. Populating changes no byte of
// the memory, so it may overlap the owner's own writes.
#ifndef ZORV_POPULATE_H
#define ZORV_POPULATE_H

#include <cstddef>

namespace zorv::populate {

// Asks for [from, to) to be faulted in, writable. Returns at once; the range
// must stay mapped until quiesce() has returned.
void ask(char *from, char *to);

// Drops what is queued and waits for the range in progress: after it, no
// asked range is touched any more (for an owner about to unmap memory).
void quiesce();

// False once the kernel has refused a request as unknown.
bool available();

}  // namespace zorv::populate

#endif
