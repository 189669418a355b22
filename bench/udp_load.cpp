// A discovery load over loopback: keeps INFLIGHT requests outstanding for
// SECONDS, then prints the replies per second and the replies in all.
// Sent to 127.0.0.1, or to ADDRESS (a broadcast address, say), whose
// replies come from the responder's own address.
//
// Usage: udp_load PORT SECONDS INFLIGHT [ADDRESS]
#include "udp.h"

#include <arpa/inet.h>
#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static double
now_s(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static long
number(const char *text, long max)
{
	char *end;
	long v = strtol(text, &end, 10);
	if (end == text || *end != '\0' || v < 1 || v > max)
		errx(2, "%s: not a number from 1 to %ld", text, max);
	return v;
}

static void
ask(int sock, const struct sockaddr_in *to, const unsigned char *req)
{
	sendto(sock, req, TARVO_DGRAM_LEN, 0, reinterpret_cast<const struct sockaddr *>(to),
	    sizeof(*to));
}

int
main(int argc, char **argv)
{
	if (argc != 4 && argc != 5)
		errx(2, "usage: udp_load PORT SECONDS INFLIGHT [ADDRESS]");
	auto port = static_cast<uint16_t>(number(argv[1], 65535));
	auto seconds = static_cast<double>(number(argv[2], 3600));
	long inflight = number(argv[3], 1024);
	int sock = socket(AF_INET, SOCK_DGRAM, 0);
	struct sockaddr_in to;
	memset(&to, 0, sizeof(to));
	to.sin_family = AF_INET;
	to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	to.sin_port = htons(port);
	if (argc == 5 && inet_pton(AF_INET, argv[4], &to.sin_addr) != 1)
		errx(2, "%s: not an IPv4 address", argv[4]);
	// To a given address the socket stays unconnected: the replies to a
	// broadcast come from the responder's own address.
	int one = 1;
	setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
	if (argc == 4 && connect(sock, reinterpret_cast<struct sockaddr *>(&to), sizeof(to)) == -1)
		err(1, "connect");

	struct timeval wait = {0, 100000};
	setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

	unsigned char req[TARVO_DGRAM_LEN] = {0, 0, 0, 2, 0, 0, 0, 109};
	unsigned char reply[64];
	long replies = 0;
	double start = now_s(), end = start + seconds;
	// A lost datagram would shrink the window for good: after a quiet
	// spell, the whole window is sent again.
	while (now_s() < end) {
		for (long i = 0; i < inflight; i++)
			ask(sock, &to, req);
		while (now_s() < end && recv(sock, reply, sizeof(reply), 0) == TARVO_DGRAM_LEN) {
			replies++;
			ask(sock, &to, req);
		}
	}
	printf("%.0f %ld\n", static_cast<double>(replies) / (now_s() - start), replies);
	return 0;
}
