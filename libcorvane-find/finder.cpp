// The C interface. Every entry point catches what the standard library
// may throw (out of memory, in practice) or a C++ callback might: nothing
// crosses into C.
#include "search.h"

#include <net/if.h>

#include <cmath>
#include <cstdio>
#include <new>

#define CORVANE_API extern "C" __attribute__((visibility("default")))

static const char out_of_memory[] = "out of memory";

// Runs body, or fails with "out of memory" if it throws.
template <typename Body>
static int
guarded(corvane_finder *f, Body body)
{
	try {
		f->error.clear();
		return body() ? 0 : -1;
	} catch (const std::bad_alloc &) {
		f->error.assign(out_of_memory);
	} catch (...) {
		f->error.assign("the search was ended by an exception");
	}
	return -1;
}

CORVANE_API struct corvane_finder *
corvane_finder_new(void)
{
	try {
		return new corvane_finder{1.0, 0, {}, {}, nullptr, nullptr, {}};
	} catch (...) {
		return nullptr;
	}
}

CORVANE_API void
corvane_finder_free(struct corvane_finder *finder)
{
	delete finder;
}

CORVANE_API int
corvane_finder_set_wait(struct corvane_finder *f, double seconds)
{
	return guarded(f, [&] {
		if (!std::isfinite(seconds) || !(seconds > 0) || seconds > find_wait_max_s) {
			char text[64];
			snprintf(text, sizeof(text), "wait %g s: not above 0 and at most 3600", seconds);
			return fail(f, text);
		}
		f->wait_s = seconds;
		return true;
	});
}

CORVANE_API int
corvane_finder_set_count(struct corvane_finder *f, unsigned count)
{
	return guarded(f, [&] {
		f->count = count;
		return true;
	});
}

CORVANE_API int
corvane_finder_add_interface(struct corvane_finder *f, const char *name)
{
	return guarded(f, [&] {
		if (name == nullptr || *name == '\0')
			return fail(f, "an interface needs a name");
		if (!f->targets.empty())
			return fail(f, std::string(name) +
			    ": an interface cannot be combined with a TARGET");
		if (if_nametoindex(name) == 0)
			return fail(f, std::string(name) + ": no such interface");
		f->ifaces.emplace_back(name);
		return true;
	});
}

CORVANE_API int
corvane_finder_add_target(struct corvane_finder *f, const char *target)
{
	return guarded(f, [&] {
		if (target == nullptr)
			return fail(f, "a TARGET needs a host");
		std::string host, why;
		uint16_t port;
		if (!split_target(target, &host, &port, &why))
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
	return guarded(f, [&] {
		f->warn = fn;
		f->warn_arg = arg;
		return true;
	});
}

CORVANE_API int
corvane_finder_run(struct corvane_finder *f, corvane_board_fn fn, void *arg)
{
	int found = -1;
	int rc = guarded(f, [&] {
		if (fn == nullptr)
			return fail(f, "no function to report boards to");
		found = run_search(f, fn, arg);
		return found >= 0;
	});
	return rc == 0 ? found : -1;
}

CORVANE_API const char *
corvane_finder_error(const struct corvane_finder *f)
{
	return f->error.c_str();
}
