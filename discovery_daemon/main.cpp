// tarvo: answers discovery requests from host software on UDP port 49100.
//
// The daemon stays in the foreground: no fork, no signal handlers, no pid
// file. The main thread only starts the service thread and then sleeps.
#include "udp.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static void *
udp_check_thread(void *args)
{
	(void)args;
	unsigned char recv_buf[TARVO_RECV_BUF_LEN];
	unsigned char send_buf[TARVO_DGRAM_LEN];
	struct sockaddr_in s_addr;
	fd_set rset;

	int sock_find = get_udp(TARVO_PORT);
	if (sock_find < 0) {
		// Unreachable in practice: a failed bind has ended the process.
		puts("error in get udp sock");
		fflush(stdout);
		for (;;)
			pause();
	}
	fcntl(sock_find, F_SETFL, O_NONBLOCK);

	socklen_t size = sizeof(s_addr);
	struct send_log log = {-1, 0};
	for (;;) {
		FD_ZERO(&rset);
		FD_SET(sock_find, &rset);
		// An interrupted or failed wait falls through: the receive
		// below does not block and simply finds nothing.
		select(sock_find + 1, &rset, nullptr, nullptr, nullptr);
		if (!FD_ISSET(sock_find, &rset))
			continue;
		FD_CLR(sock_find, &rset);

		// Take every queued datagram before waiting again: under a burst
		// that saves a wait per datagram.
		for (;;) {
			ssize_t len = recvfrom(sock_find, recv_buf, sizeof(recv_buf) - 1, 0,
			    reinterpret_cast<struct sockaddr *>(&s_addr), &size);
			if (len == -1 && errno == EINTR)
				continue;
			if (len == -1)
				break;
			if (!build_answer(recv_buf, len, &s_addr, send_buf))
				continue;
			if (sendto(sock_find, send_buf, sizeof(send_buf), 0,
			    reinterpret_cast<struct sockaddr *>(&s_addr), size) == -1)
				report_send_failure(&log, errno);
		}
	}
}

int
main(int, char **)
{
	pthread_t checkout_thread;

	int rc = pthread_create(&checkout_thread, nullptr, udp_check_thread, nullptr);
	if (rc != 0) {
		printf("pthread_create error:error_code = %s\n", strerror(rc));
		fflush(stdout);
	} else {
		pthread_detach(checkout_thread);
	}

	// Nothing here needs a timer: sleep until a signal ends the process.
	for (;;)
		pause();
}
