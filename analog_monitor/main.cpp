// vomo: prints the die temperature and supply voltages of the SoC's analog
// monitor, one line per channel.
#include "vomo_core.h"

#include <cstdio>
#include <cstring>
#include <cerrno>

int
main(int, char **)
{
	int status = get_iio_node();

	// A report that did not reach its reader is no success.
	if (fflush(stdout) == EOF || ferror(stdout)) {
		fprintf(stderr, "stdout: %s\n", strerror(errno));
		return 1;
	}
	return status;
}
