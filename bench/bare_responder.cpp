// The baseline for the daemon's throughput: a bare blocking responder,
// one receive and one send per datagram, answering as the daemon does.
//
// Usage: bare_responder PORT [SNDBUF]
//
// With SNDBUF (bytes), its send buffer is forced to that size (needs
// CAP_NET_ADMIN): large enough, it never fills, whatever is pending.
#include "endpoint.h"

#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <cstdlib>

int
main(int argc, char **argv)
{
	char *end = nullptr, *end_buf = nullptr;
	long port = argc >= 2 ? strtol(argv[1], &end, 10) : 0;
	long sndbuf = argc == 3 ? strtol(argv[2], &end_buf, 10) : 0;
	if (argc < 2 || argc > 3 || *end != '\0' || port < 1 || port > 65535 ||
	    (argc == 3 && (*end_buf != '\0' || sndbuf < 1 || sndbuf > INT_MAX / 2)))
		errx(2, "usage: bare_responder PORT [SNDBUF]");
	int sock = get_udp(static_cast<int>(port));  // blocking: no wait before a receive
	int size_req = static_cast<int>(sndbuf);
	if (argc == 3 && setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &size_req, sizeof(size_req)) == -1)
		err(2, "SO_SNDBUFFORCE");
	unsigned char recv_buf[TARVO_RECV_BUF_LEN];
	unsigned char send_buf[TARVO_DGRAM_LEN];
	for (;;) {
		struct sockaddr_in from;
		socklen_t size = sizeof(from);
		ssize_t len = recvfrom(sock, recv_buf, sizeof(recv_buf) - 1, 0,
		    reinterpret_cast<struct sockaddr *>(&from), &size);
		if (!build_answer(recv_buf, len, &from, send_buf))
			continue;
		sendto(sock, send_buf, sizeof(send_buf), 0,
		    reinterpret_cast<struct sockaddr *>(&from), size);
	}
}
