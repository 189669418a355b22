// The baseline for the daemon's throughput: a bare blocking responder,
// one receive and one send per datagram, answering as the daemon does.
//
// Usage: bare_responder PORT
#include "udp.h"

#include <arpa/inet.h>
#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

int
main(int argc, char **argv)
{
	char *end;
	long port = argc == 2 ? strtol(argv[1], &end, 10) : 0;
	if (argc != 2 || *end != '\0' || port < 1 || port > 65535)
		errx(2, "usage: bare_responder PORT");
	int sock = socket(AF_INET, SOCK_DGRAM, 0);
	struct sockaddr_in addr;
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	addr.sin_port = htons(static_cast<uint16_t>(port));
	if (bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == -1)
		err(1, "bind");
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
