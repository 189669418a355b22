// What the command needs of a Unix system: the C library has it all.
#ifndef CORVANE_FINDER_SYSTEM_H
#define CORVANE_FINDER_SYSTEM_H

#include <arpa/inet.h>
#include <err.h>

#include <cstdint>
#include <cstdio>

// Calls fn on SIGINT and SIGTERM; false when it cannot.
bool on_interrupt(void (*fn)(void));

inline void
system_start(void)
{
}

// Waits until the finder's descriptor is ready or ms milliseconds have
// passed (a signal ends the wait too).
bool wait_ready(intptr_t handle, int ms);

// Renames from over to: a reader of `to` sees the old file or the new.
inline bool
replace_with(const char *from, const char *to)
{
	return rename(from, to) == 0;
}

#endif
