/* A host program that finds boards, as a user of the installed library
   writes it: consumer SECONDS COUNT RUNS [TARGET]... runs one finder RUNS
   times and prints one line per board it reports. */
#include <corvane/find.h>

#include <stdio.h>
#include <stdlib.h>

static int
show(const struct corvane_board *b, void *arg)
{
	(void)arg;
	printf("%s %u %u %s\n", b->address, b->port, b->proto_ver, b->interface);
	return 0;
}

int
main(int argc, char **argv)
{
	struct corvane_finder *f = corvane_finder_new();
	int ok = f != NULL && argc >= 4 &&
	    corvane_finder_set_wait(f, atof(argv[1])) == 0 &&
	    corvane_finder_set_count(f, (unsigned)atoi(argv[2])) == 0;
	for (int i = 4; ok && i < argc; i++)
		ok = corvane_finder_add_target(f, argv[i]) == 0;
	int found = ok ? 0 : -1;
	for (int run = 0; found >= 0 && run < atoi(argv[3]); run++)
		found = corvane_finder_run(f, show, NULL);
	if (found == -1)
		fprintf(stderr, "consumer: %s\n", f ? corvane_finder_error(f) : "out of memory");
	corvane_finder_free(f);
	return found > 0 ? 0 : found == 0 ? 1 : 2;
}
