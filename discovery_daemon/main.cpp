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

// Datagrams taken from the socket with one system call. Under a burst the
// calls per answered datagram fall towards one (the send); one datagram at
// a time costs a receive and a send each.
enum : unsigned { recv_batch = 8 };

static void *
udp_check_thread(void *args)
{
	(void)args;
	unsigned char recv_buf[recv_batch][TARVO_RECV_BUF_LEN];
	unsigned char send_buf[TARVO_DGRAM_LEN];
	struct sockaddr_in s_addr[recv_batch];
	struct iovec iov[recv_batch];
	struct mmsghdr msgs[recv_batch];
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

	// Each receive accepts at most 1471 bytes, into a buffer of its own.
	memset(msgs, 0, sizeof(msgs));
	for (unsigned i = 0; i < recv_batch; i++) {
		iov[i] = {recv_buf[i], sizeof(recv_buf[i]) - 1};
		msgs[i].msg_hdr.msg_name = &s_addr[i];
		msgs[i].msg_hdr.msg_iov = &iov[i];
		msgs[i].msg_hdr.msg_iovlen = 1;
	}
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

		// Take every queued datagram before waiting again, in the order
		// they came. A batch that is not full has emptied the queue.
		int n;
		do {
			for (unsigned i = 0; i < recv_batch; i++)
				msgs[i].msg_hdr.msg_namelen = sizeof(s_addr[i]);
			n = recvmmsg(sock_find, msgs, recv_batch, 0, nullptr);
			if (n == -1 && errno == EINTR)
				continue;
			for (int i = 0; i < n; i++) {
				auto len = static_cast<ssize_t>(msgs[i].msg_len);
				if (!build_answer(recv_buf[i], len, &s_addr[i], send_buf))
					continue;
				if (sendto(sock_find, send_buf, sizeof(send_buf), 0,
				    reinterpret_cast<struct sockaddr *>(&s_addr[i]),
				    msgs[i].msg_hdr.msg_namelen) == -1)
					report_send_failure(&log, errno);
			}
		} while (n == static_cast<int>(recv_batch) || (n == -1 && errno == EINTR));
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
