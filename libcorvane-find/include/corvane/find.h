/* Finding Corvane boards on the local network.
 *
 * A finder sends the boards' discovery request (as a broadcast on every
 * interface that is up, on the interfaces named, or to the targets named)
 * three times within its wait, and reports each board that answers, once,
 * as soon as its answer arrives. A run never lasts longer than the wait.
 * A watch asks again every interval, for as long as it runs, and reports
 * boards as they come and go.
 * Link with `pkg-config --libs corvane-find`, or in CMake with
 * find_package(CorvaneFind) and the target Corvane::find.
 *
 * Threads: a finder belongs to one thread at a time. Different finders
 * may run at once on different threads. corvane_finder_cancel is the
 * exception: any thread, and a signal handler, may call it at any time.
 *
 * Callbacks run on the thread that runs the search. From inside them, a
 * program may call corvane_finder_cancel and corvane_finder_error on the
 * same finder, and corvane_finder_free, which ends the run and frees the
 * finder as the run returns (the run then gives what it has found, or 0
 * for a watch; the finder must not be used again). Every other call on the
 * same finder is refused with -1 while it runs. */
#ifndef CORVANE_FIND_H
#define CORVANE_FIND_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* On Windows the library is a DLL whose functions a program imports. The
   library's own build defines CORVANE_FIND_EXPORTS. */
#if defined(_WIN32) && defined(CORVANE_FIND_EXPORTS)
#define CORVANE_FIND_API __declspec(dllexport)
#elif defined(_WIN32)
#define CORVANE_FIND_API __declspec(dllimport)
#elif defined(CORVANE_FIND_EXPORTS)
#define CORVANE_FIND_API __attribute__((visibility("default")))
#else
#define CORVANE_FIND_API
#endif

#define CORVANE_FIND_PORT 49100 /* where boards listen */

/* The version of this header; corvane_find_version gives the library's. */
#define CORVANE_FIND_VERSION_MAJOR 1
#define CORVANE_FIND_VERSION_MINOR 3
#define CORVANE_FIND_VERSION_PATCH 0

struct corvane_board {
	const char *address;   /* dotted quad of the board that answered */
	unsigned port;         /* the port the answer came from */
	unsigned proto_ver;    /* as the board states it */
	const char *interface; /* where the answer came in; "" when unknown */
	double rtt_ms;         /* since the request that it answered */
};

/* Called once per board, in the order the boards answer, on the thread
   that runs the search; *board is valid during the call only. Return 0 to
   go on, non-zero to stop. */
typedef int (*corvane_board_fn)(const struct corvane_board *board, void *arg);

/* Called for each destination a request could not be sent to, with a
   one-line reason; the search goes on. */
typedef void (*corvane_warn_fn)(const char *reason, void *arg);

/* What a watch reports: a board found (its first answer, or its first
   since it was lost), or lost (it missed 3 request rounds in a row; the
   board is as it last answered). */
enum {
	CORVANE_BOARD_FOUND = 1,
	CORVANE_BOARD_LOST = 2
};
struct corvane_event {
	int kind;
	const struct corvane_board *board;
};
/* Called once per event; *event is valid during the call only. Return 0
   to go on, non-zero to end the watch. */
typedef int (*corvane_event_fn)(const struct corvane_event *event, void *arg);

/* The search's account of itself, one line at a time: warnings (a request
   that could not be sent, a run that stopped listing boards), and at
   CORVANE_LOG_INFO where each request went and what came back. */
enum {
	CORVANE_LOG_WARNING = 1,
	CORVANE_LOG_INFO = 2
};
typedef void (*corvane_log_fn)(int level, const char *line, void *arg);

struct corvane_finder;

/* "1.3.0": the version of the library that is loaded. */
CORVANE_FIND_API const char *corvane_find_version(void);

CORVANE_FIND_API struct corvane_finder *corvane_finder_new(void); /* NULL when out of memory */
CORVANE_FIND_API void corvane_finder_free(struct corvane_finder *finder);

/* Each returns 0, or -1 with a reason from corvane_finder_error. */
/* The wait: 1 s unless set. The count: 0 (no limit) unless set. */
CORVANE_FIND_API int corvane_finder_set_wait(struct corvane_finder *finder, double seconds);
CORVANE_FIND_API int corvane_finder_set_count(struct corvane_finder *finder, unsigned count);
/* An interface to broadcast on, by name (on Windows the adapter's friendly
   name, as ipconfig shows it: "Ethernet"). */
CORVANE_FIND_API int corvane_finder_add_interface(struct corvane_finder *finder,
    const char *name);
/* HOST[:PORT], or a block ADDRESS/PREFIX[:PORT] (PREFIX 16 to 32), whose
   host addresses are each asked. */
CORVANE_FIND_API int corvane_finder_add_target(struct corvane_finder *finder,
    const char *target);
CORVANE_FIND_API int corvane_finder_set_warn(struct corvane_finder *finder, corvane_warn_fn fn,
    void *arg);
CORVANE_FIND_API int corvane_finder_set_log(struct corvane_finder *finder, corvane_log_fn fn,
    void *arg);

/* Returns how many boards it reported (0 when none answered), or -1 with a
   reason. A run reports at most 65536 boards. A finder can be run again. */
CORVANE_FIND_API int corvane_finder_run(struct corvane_finder *finder, corvane_board_fn fn,
    void *arg);

/* Sends a request round every interval_s seconds (0.01 to 3600) and
   reports boards found and lost, until it is cancelled or fn returns
   non-zero: then 0. -1 with a reason when it cannot start. The wait and
   the count play no part. */
CORVANE_FIND_API int corvane_finder_watch(struct corvane_finder *finder, double interval_s,
    corvane_event_fn fn, void *arg);

/* The same run or watch, for a program with an event loop of its own (a
   GUI, asyncio), in the manner of c-ares: started without waiting, then
   moved on by corvane_finder_dispatch whenever corvane_finder_fd is ready
   for reading or corvane_finder_timeout milliseconds have passed. The
   callbacks run inside corvane_finder_dispatch. While it runs, the finder
   refuses every other call but cancel, error, fd, timeout, dispatch and
   free (which ends it). 0, or -1 with a reason. */
CORVANE_FIND_API int corvane_finder_start_run(struct corvane_finder *finder,
    corvane_board_fn fn, void *arg);
CORVANE_FIND_API int corvane_finder_start_watch(struct corvane_finder *finder,
    double interval_s, corvane_event_fn fn, void *arg);
/* The descriptor to poll for reading (on Windows an event HANDLE to wait
   on, and a cancel from another thread is seen at the next timeout), or
   -1 when nothing is started. */
CORVANE_FIND_API intptr_t corvane_finder_fd(struct corvane_finder *finder);
/* Milliseconds until the finder must be dispatched even if its descriptor
   stays quiet: 0 when now; -1 when nothing is started. */
CORVANE_FIND_API int corvane_finder_timeout(const struct corvane_finder *finder);
/* Does what is due without waiting: takes the answers, sends the rounds,
   calls the callbacks. 1 while the run or watch goes on, 0 when it has
   ended (the finder can be started or run again), -1 with a reason (it
   has ended too). */
CORVANE_FIND_API int corvane_finder_dispatch(struct corvane_finder *finder);

/* Ends the finder's run or watch within 50 ms; the run returns the boards
   reported so far. Async-signal-safe, and safe from any thread. A cancel
   that comes while the finder is not running ends its next run as soon as
   that starts; a run that returns has used it up. 0, or -1 for no finder. */
CORVANE_FIND_API int corvane_finder_cancel(struct corvane_finder *finder);

/* The reason the last call that failed gave: one line, valid until the
   next call on this finder. "" when none failed. */
CORVANE_FIND_API const char *corvane_finder_error(const struct corvane_finder *finder);

#ifdef __cplusplus
}
#endif

#endif
