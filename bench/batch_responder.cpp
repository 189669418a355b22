// The least a responder can spend per request under load: one socket,
// blocking, up to 8 datagrams taken with one recvmmsg and their answers
// sent with one sendmmsg, answering as the daemon does.
//
// With --epoll it waits as the daemon must, on several descriptors at
// once: in epoll_wait, edge-triggered, then takes the datagrams with
// recvmmsg until a receive brings at most one. Against the blocking mode
// that is the cost of the wait alone.
//
// Usage: batch_responder [--epoll] PORT
#include "endpoint.h"

#include <err.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <fcntl.h>

#include <cstdlib>
#include <cstring>

enum : unsigned { batch = 8 };

int
main(int argc, char **argv)
{
	bool waits_in_epoll = argc == 3 && strcmp(argv[1], "--epoll") == 0;
	char *end = nullptr;
	long port = argc == 2 + waits_in_epoll ? strtol(argv[argc - 1], &end, 10) : 0;
	if (argc != 2 + waits_in_epoll || *end != '\0' || port < 1 || port > 65535)
		errx(2, "usage: batch_responder [--epoll] PORT");
	int sock = get_udp(static_cast<int>(port));
	int poller = -1;
	if (waits_in_epoll) {
		struct epoll_event ev = {.events = EPOLLIN | EPOLLET, .data = {.u32 = 0}};
		poller = epoll_create1(EPOLL_CLOEXEC);
		if (poller == -1 || fcntl(sock, F_SETFL, O_NONBLOCK) == -1 ||
		    epoll_ctl(poller, EPOLL_CTL_ADD, sock, &ev) == -1)
			err(1, "epoll");
	}
	static unsigned char recv_buf[batch][TARVO_RECV_BUF_LEN];
	static unsigned char send_buf[batch][TARVO_DGRAM_LEN];
	struct sockaddr_in from[batch];
	struct iovec in_iov[batch], out_iov[batch];
	struct mmsghdr in[batch], out[batch];
	memset(in, 0, sizeof(in));
	memset(out, 0, sizeof(out));
	for (unsigned i = 0; i < batch; i++) {
		in_iov[i] = {recv_buf[i], sizeof(recv_buf[i]) - 1};
		in[i].msg_hdr.msg_name = &from[i];
		in[i].msg_hdr.msg_iov = &in_iov[i];
		in[i].msg_hdr.msg_iovlen = 1;
	}
	int n = 0;
	for (;;) {
		struct epoll_event ready;
		if (waits_in_epoll && n <= 1 && epoll_wait(poller, &ready, 1, -1) == -1)
			continue;
		for (unsigned i = 0; i < batch; i++)
			in[i].msg_hdr.msg_namelen = sizeof(from[i]);
		n = recvmmsg(sock, in, batch, waits_in_epoll ? 0 : MSG_WAITFORONE, nullptr);
		unsigned answers = 0;
		for (int i = 0; i < n; i++) {
			if (!build_answer(recv_buf[i], static_cast<ssize_t>(in[i].msg_len), &from[i],
			        send_buf[answers]))
				continue;
			out_iov[answers] = {send_buf[answers], sizeof(send_buf[answers])};
			out[answers].msg_hdr.msg_name = &from[i];
			out[answers].msg_hdr.msg_namelen = in[i].msg_hdr.msg_namelen;
			out[answers].msg_hdr.msg_iov = &out_iov[answers];
			out[answers].msg_hdr.msg_iovlen = 1;
			answers++;
		}
		if (answers > 0)
			sendmmsg(sock, out, answers, 0);
	}
}
