// The baseline for the daemon's throughput: a bare blocking responder,
// one receive and one send per datagram, answering as the daemon does.
//
// Usage: bare_responder PORT
#include "udp.h"

#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

int
main(int argc, char **argv)
{
	char *end;
	long port = argc == 2 ? strtol(argv[1], &end, 10) : 0;
	if (argc != 2 || *end != '\0' || port < 1 || port > 65535)
		errx(2, "usage: bare_responder PORT");
	int sock = get_udp(static_cast<int>(port));  // blocking: no wait before a receive
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
