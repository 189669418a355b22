// The discovery endpoint: the bound socket and the reply builder.
#include "udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int
init_udp(int port)
{
	int sock = socket(AF_INET, SOCK_DGRAM, 0);

	// A failed socket() leaves -1, which bind() rejects below: both
	// failures end the daemon the same way.
	struct sockaddr_in addr;
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	addr.sin_port = htons(static_cast<uint16_t>(port));
	if (bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == -1) {
		perror("bind()");
		exit(1);
	}
	return sock;
}

int
get_udp(int port)
{
	return init_udp(port);
}

void
get_checkou_pass(const unsigned char *recv_buf, unsigned char *send_buf)
{
	corvane_tarvo_find_data_t req;
	memcpy(&req, recv_buf, sizeof(req));
	if (ntohl(req.id) != CORVANE_CTRL_ID_WAZZUP_BR0)
		return;

	corvane_tarvo_find_data_t reply;
	memset(&reply, 0, sizeof(reply));
	reply.id = htonl(CORVANE_CTRL_ID_WAZZUP_DUDE);
	reply.proto_ver = htonl(CORVANE_PROTO_VER);
	memcpy(send_buf, &reply, sizeof(reply));
}

// Only 40-byte datagrams are answered. The all-zero datagram is exactly
// what this daemon sends for an unknown id; answering it would let two
// such daemons (or this one and any echoing service) bounce datagrams at
// each other forever after a single spoofed one.
bool
is_answered(const unsigned char *recv_buf, ssize_t len)
{
	if (len != TARVO_DGRAM_LEN)
		return false;
	for (size_t i = 0; i < TARVO_DGRAM_LEN; i++)
		if (recv_buf[i] != 0)
			return true;
	return false;
}
