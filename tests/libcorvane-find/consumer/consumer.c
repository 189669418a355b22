/* A host program that finds boards, as a user of the installed library
   writes it: consumer SECONDS COUNT [TARGET]... prints one line per board. */
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
	int ok = f != NULL && argc >= 3 &&
	    corvane_finder_set_wait(f, atof(argv[1])) == 0 &&
	    corvane_finder_set_count(f, (unsigned)atoi(argv[2])) == 0;
	for (int i = 3; ok && i < argc; i++)
		ok = corvane_finder_add_target(f, argv[i]) == 0;
	int found = ok ? corvane_finder_run(f, show, NULL) : -1;
	if (found == -1)
		fprintf(stderr, "consumer: %s\n", f ? corvane_finder_error(f) : "out of memory");
	corvane_finder_free(f);
	return found > 0 ? 0 : found == 0 ? 1 : 2;
}
