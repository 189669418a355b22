// Times libcorvane-find to the Nth board: one finder run with count N and
// a long wait, from the call to its return.
//
// Usage: find_nth N
#include <corvane/find.h>

#include <err.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

static int
ignore(const struct corvane_board *, void *)
{
	return 0;
}

int
main(int argc, char **argv)
{
	char *end = nullptr;
	long n = argc == 2 ? strtol(argv[1], &end, 10) : 0;
	if (n < 1 || n > 65535 || *end != '\0')
		errx(2, "usage: find_nth N");
	struct corvane_finder *f = corvane_finder_new();
	if (f == nullptr || corvane_finder_set_wait(f, 30) == -1 ||
	    corvane_finder_set_count(f, static_cast<unsigned>(n)) == -1)
		errx(2, "finder: %s", f ? corvane_finder_error(f) : "out of memory");
	struct timespec t0, t1;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	int found = corvane_finder_run(f, ignore, nullptr);
	clock_gettime(CLOCK_MONOTONIC, &t1);
	if (found == -1)
		errx(2, "%s", corvane_finder_error(f));
	corvane_finder_free(f);
	printf("%.6f %d\n", static_cast<double>(t1.tv_sec - t0.tv_sec) +
	    static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9, found);
}
