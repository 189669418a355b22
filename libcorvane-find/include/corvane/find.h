/* Finding Corvane boards on the local network.
 *
 * A finder sends the boards' discovery request (as a broadcast on every
 * interface that is up, on the interfaces named, or to the targets named)
 * three times within its wait, and reports each board that answers, once,
 * as soon as its answer arrives. A run never lasts longer than the wait.
 * Link with `pkg-config --libs corvane-find`, or in CMake with
 * find_package(CorvaneFind) and the target Corvane::find. */
#ifndef CORVANE_FIND_H
#define CORVANE_FIND_H

#ifdef __cplusplus
extern "C" {
#endif

#define CORVANE_FIND_PORT 49100 /* where boards listen */

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

struct corvane_finder;

struct corvane_finder *corvane_finder_new(void); /* NULL when out of memory */
void corvane_finder_free(struct corvane_finder *finder);

/* Each returns 0, or -1 with a reason from corvane_finder_error. */
int corvane_finder_set_wait(struct corvane_finder *finder, double seconds); /* default 1 s */
int corvane_finder_set_count(struct corvane_finder *finder, unsigned count); /* 0: no limit */
int corvane_finder_add_interface(struct corvane_finder *finder, const char *name);
int corvane_finder_add_target(struct corvane_finder *finder, const char *target); /* HOST[:PORT] */
int corvane_finder_set_warn(struct corvane_finder *finder, corvane_warn_fn fn, void *arg);

/* Returns how many boards it reported (0 when none answered), or -1 with a
   reason. A finder can be run again. */
int corvane_finder_run(struct corvane_finder *finder, corvane_board_fn fn, void *arg);

/* The reason the last call that failed gave: one line, valid until the
   next call on this finder. "" when none failed. */
const char *corvane_finder_error(const struct corvane_finder *finder);

#ifdef __cplusplus
}
#endif

#endif
