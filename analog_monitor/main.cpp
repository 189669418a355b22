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

	// A report that did not reach its reader is no success. The reason is
	// the first failed write's: errno may have changed since.
	int flush_errno = fflush(stdout) == EOF ? errno : 0;
	if (flush_errno != 0 || ferror(stdout)) {
		int reason = report_write_errno();
		if (reason == 0)
			reason = flush_errno != 0 ? flush_errno : EIO;
		fprintf(stderr, "stdout: %s\n", strerror(reason));
		return 1;
	}
	return status;
}
