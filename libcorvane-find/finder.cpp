// The C interface. Every entry point catches what the standard library
// may throw (out of memory, in practice) or a C++ callback might: nothing
// crosses into C. The one exception is a thread's own end: a thread that
// is cancelled, or exits, inside a run unwinds through it and ends as it
// was told. Every entry point takes a NULL finder, and a finder that is
// running, as an error.
#include "search.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#define CORVANE_API extern "C" CORVANE_FIND_API

static const char out_of_memory[] = "out of memory";

static const char no_finder[] = "no finder (NULL)";

static void unwind(corvane_finder *f);

// The one boundary between C and C++: runs body and gives what it gives,
// or -1 with a reason if it throws. A thread's own end unwinds with no
// C++ exception behind it (std::current_exception gives none): that goes
// on, the finder left idle, since swallowed it would abort the process.
template <typename Body>
static int
guarded(corvane_finder *f, Body body)
{
	try {
		f->error.clear();
		return body();
	} catch (const std::bad_alloc &) {
		f->error.assign(out_of_memory);
	} catch (...) {
		if (!std::current_exception()) {
			unwind(f);
			throw;
		}
		f->error.assign("the search was ended by an exception");
	}
	return -1;
}

// A change to a finder: refused while it runs (from its own callback).
template <typename Body>
static int
change(corvane_finder *f, const char *what, Body body)
{
	if (f == nullptr)
		return -1;
	if (f->running) {
		f->error = std::string(what) + ": not while the finder is running";
		return -1;
	}
	return guarded(f, [&] { return body() ? 0 : -1; });
}

static void
destroy(corvane_finder *f)
{
	net_wake_close(&f->wake);
	net_stop();
	delete f;
}

// Ends a run or a watch: a cancel that came during it is used up. Returns
// false when the finder was freed from a callback, and is gone now.
static bool
stop_running(corvane_finder *f)
{
	if (f->started != nullptr) {
		search_end(f->started);
		f->started = nullptr;
	}
	f->running = false;
	f->inside = false;
	f->cancelled.store(false);
	net_wake_clear(&f->wake);
	if (!f->free_asked)
		return true;
	destroy(f);
	return false;
}

static void
unwind(corvane_finder *f)
{
	if (f->running)
		stop_running(f);
}

// A blocking run or watch.
template <typename Body>
static int
running(corvane_finder *f, const char *what, Body body)
{
	if (f == nullptr)
		return -1;
	if (f->running) {
		f->error = std::string(what) + ": not while the finder is running";
		return -1;
	}
	f->running = f->inside = true;
	int result = guarded(f, body);
	// Freed from a callback: the finder is gone, and the run gives what
	// it had.
	if (!stop_running(f))
		return result < 0 ? 0 : result;
	return result;
}

// A cancel may come from a signal handler.
static_assert(std::atomic<bool>::is_always_lock_free);

CORVANE_API const char *
corvane_find_version(void)
{
	return CORVANE_FIND_VERSION;
}

CORVANE_API struct corvane_finder *
corvane_finder_new(void)
{
	net_wake wake;
	if (!net_start())
		return nullptr;
	if (!net_wake_open(&wake)) {
		net_stop();
		return nullptr;
	}
	try {
		return new corvane_finder{.wait_s = 1.0, .count = 0, .rate = routed_rate_default,
		    .warn = nullptr,
		    .warn_arg = nullptr, .log = nullptr, .log_arg = nullptr, .cancelled = {false},
		    .wake = wake, .running = false, .free_asked = false};
	} catch (...) {
		net_wake_close(&wake);
		net_stop();
		return nullptr;
	}
}

CORVANE_API void
corvane_finder_free(struct corvane_finder *finder)
{
	if (finder == nullptr)
		return;
	if (finder->inside) {
		finder->free_asked = true;
		corvane_finder_cancel(finder);
		return;
	}
	if (finder->running)
		stop_running(finder);
	destroy(finder);
}

CORVANE_API int
corvane_finder_set_wait(struct corvane_finder *f, double seconds)
{
	return change(f, "set_wait", [&] {
		if (!std::isfinite(seconds) || !(seconds > 0) || seconds > find_wait_max_s)
			return fail(f, "wait " + shortest(seconds) + " s: not above 0 and at most 3600");
		f->wait_s = seconds;
		return true;
	});
}

CORVANE_API int
corvane_finder_set_count(struct corvane_finder *f, unsigned count)
{
	return change(f, "set_count", [&] {
		f->count = count;
		return true;
	});
}

CORVANE_API const char *
corvane_board_mac(const struct corvane_board *board)
{
	return search_board_mac(board);
}

CORVANE_API int
corvane_finder_set_rate(struct corvane_finder *f, unsigned per_second)
{
	return change(f, "set_rate", [&] {
		if (per_second < 1 || per_second > routed_rate_max)
			return fail(f, "rate " + std::to_string(per_second) +
			    ": not from 1 to 1000000 addresses a second");
		f->rate = per_second;
		return true;
	});
}

CORVANE_API int
corvane_finder_add_interface(struct corvane_finder *f, const char *name)
{
	return change(f, "add_interface", [&] {
		if (name == nullptr || *name == '\0')
			return fail(f, "an interface needs a name");
		if (!f->targets.empty())
			return fail(f, std::string(name) +
			    ": an interface cannot be combined with a TARGET");
		if (net_iface_index(name) == 0)
			return fail(f, std::string(name) + ": no such interface");
		f->ifaces.emplace_back(name);
		return true;
	});
}

CORVANE_API int
corvane_finder_add_target(struct corvane_finder *f, const char *target)
{
	return change(f, "add_target", [&] {
		if (target == nullptr)
			return fail(f, "a TARGET needs a host");
		std::string host, why;
		uint16_t port;
		uint32_t net, mask;
		if (!split_target(target, &host, &port, &why))
			return fail(f, why);
		why.clear();
		if (!split_block(host, &net, &mask, &why) && !why.empty())
			return fail(f, why);
		if (!f->ifaces.empty())
			return fail(f, std::string(target) +
			    ": a TARGET cannot be combined with an interface");
		f->targets.emplace_back(target);
		return true;
	});
}

CORVANE_API int
corvane_finder_set_warn(struct corvane_finder *f, corvane_warn_fn fn, void *arg)
{
	return change(f, "set_warn", [&] {
		f->warn = fn;
		f->warn_arg = arg;
		return true;
	});
}

CORVANE_API int
corvane_finder_set_log(struct corvane_finder *f, corvane_log_fn fn, void *arg)
{
	return change(f, "set_log", [&] {
		f->log = fn;
		f->log_arg = arg;
		return true;
	});
}

// What a run or a watch is given, checked alike whether it waits or is
// dispatched.
static bool
search_args(corvane_finder *f, bool watch, double interval_s, bool has_fn)
{
	if (!has_fn)
		return fail(f, watch ? "no function to report events to"
		                     : "no function to report boards to");
	if (watch && (!std::isfinite(interval_s) || interval_s < watch_interval_min_s ||
	                 interval_s > find_wait_max_s))
		return fail(f, "interval " + shortest(interval_s) + " s: not from 0.01 to 3600");
	return true;
}

CORVANE_API int
corvane_finder_run(struct corvane_finder *f, corvane_board_fn fn, void *arg)
{
	return running(f, "run", [&] {
		return search_args(f, false, 0, fn != nullptr) ? run_search(f, fn, arg) : -1;
	});
}

CORVANE_API int
corvane_finder_watch(struct corvane_finder *f, double interval_s, corvane_event_fn fn, void *arg)
{
	return running(f, "watch", [&] {
		return search_args(f, true, interval_s, fn != nullptr) ? run_watch(f, interval_s, fn, arg)
		                                                         : -1;
	});
}

// Starts a run or a watch that dispatch moves on.
static int
start(corvane_finder *f, const char *what, bool watch, double interval_s,
    corvane_board_fn board_fn, corvane_event_fn event_fn, void *arg)
{
	return change(f, what, [&] {
		if (!search_args(f, watch, interval_s,
		        watch ? event_fn != nullptr : board_fn != nullptr))
			return false;
		f->started = watch ? search_begin_watch(f, interval_s, event_fn, arg)
		                   : search_begin_run(f, board_fn, arg);
		if (f->started == nullptr)
			return false;
		f->running = true;
		return true;
	});
}

CORVANE_API int
corvane_finder_start_run(struct corvane_finder *f, corvane_board_fn fn, void *arg)
{
	return start(f, "start_run", false, 0, fn, nullptr, arg);
}

CORVANE_API int
corvane_finder_start_watch(struct corvane_finder *f, double interval_s, corvane_event_fn fn,
    void *arg)
{
	return start(f, "start_watch", true, interval_s, nullptr, fn, arg);
}

CORVANE_API intptr_t
corvane_finder_fd(struct corvane_finder *f)
{
	if (f == nullptr || f->started == nullptr)
		return -1;
	return net_poll_handle(search_sockets(f->started), &f->wake);
}

CORVANE_API int
corvane_finder_timeout(const struct corvane_finder *f)
{
	if (f == nullptr || f->started == nullptr)
		return -1;
	double ms = std::ceil((search_due(f->started) - now_s()) * 1000);
	return ms <= 0 ? 0 : ms >= 1e9 ? 1000000000 : static_cast<int>(ms);
}

CORVANE_API int
corvane_finder_dispatch(struct corvane_finder *f)
{
	if (f == nullptr)
		return -1;
	if (f->inside) {
		f->error = "dispatch: not from inside the finder's own callback";
		return -1;
	}
	if (f->started == nullptr) {
		f->error = "dispatch: nothing started";
		return -1;
	}
	// A wake-up is used up here, before the cancel is looked at: one
	// that comes later keeps the descriptor ready for the next call.
	net_wake_clear(&f->wake);
	f->inside = true;
	int rc = guarded(f, [&] { return search_step(f->started); });
	f->inside = false;
	if (f->free_asked) {
		stop_running(f);
		return 0;
	}
	if (rc != 1)
		stop_running(f);
	return rc;
}

CORVANE_API int
corvane_finder_cancel(struct corvane_finder *f)
{
	// Only what a signal handler may do: a lock-free store and a write.
	if (f == nullptr)
		return -1;
	f->cancelled.store(true);
	net_wake_signal(&f->wake);
	return 0;
}

CORVANE_API const char *
corvane_finder_error(const struct corvane_finder *f)
{
	return f == nullptr ? no_finder : f->error.c_str();
}
