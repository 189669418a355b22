// The least a responder can spend per request under load: one socket,
// blocking, up to 8 datagrams taken with one recvmmsg and their answers
// sent with one sendmmsg, answering as the daemon does.
//
// Usage: batch_responder PORT
#include "endpoint.h"

#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

enum : unsigned { batch = 8 };

int
main(int argc, char **argv)
{
	char *end = nullptr;
	long port = argc == 2 ? strtol(argv[1], &end, 10) : 0;
	if (argc != 2 || *end != '\0' || port < 1 || port > 65535)
		errx(2, "usage: batch_responder PORT");
	int sock = get_udp(static_cast<int>(port));
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
	for (;;) {
		for (unsigned i = 0; i < batch; i++)
			in[i].msg_hdr.msg_namelen = sizeof(from[i]);
		int n = recvmmsg(sock, in, batch, MSG_WAITFORONE, nullptr);
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
