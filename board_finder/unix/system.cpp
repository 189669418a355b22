#include "system.h"

#include <poll.h>
#include <signal.h>

static void (*interrupted)(void);

static void
on_signal(int)
{
	interrupted();
}

bool
on_interrupt(void (*fn)(void))
{
	interrupted = fn;
	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

bool
wait_ready(intptr_t handle, int ms)
{
	struct pollfd p = {static_cast<int>(handle), POLLIN, 0};
	return poll(&p, 1, ms) > 0;
}
