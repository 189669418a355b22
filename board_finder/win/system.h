// What the command needs of Windows: Winsock's address functions, the
// BSD err(3) family, and Ctrl-C.
#ifndef CORVANE_FINDER_SYSTEM_H
#define CORVANE_FINDER_SYSTEM_H

#include <winsock2.h>
#include <ws2tcpip.h>

#define CORVANE_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))

// "corvane-find: " and the message; err adds the C library's error.
[[noreturn]] void err(int status, const char *fmt, ...) CORVANE_PRINTF(2, 3);
[[noreturn]] void errx(int status, const char *fmt, ...) CORVANE_PRINTF(2, 3);
void warnx(const char *fmt, ...) CORVANE_PRINTF(1, 2);

// Calls fn on Ctrl-C, Ctrl-Break and the console's closing; false when it
// cannot.
bool on_interrupt(void (*fn)(void));

// Winsock ready, and a console that shows UTF-8, as interface names come.
void system_start(void);

// Waits until the finder's event is set or ms milliseconds have passed.
bool wait_ready(intptr_t handle, int ms);

// Renames from over to, which may exist: a reader of `to` sees the old
// file or the new. errno says why it failed.
bool replace_with(const char *from, const char *to);

#endif
