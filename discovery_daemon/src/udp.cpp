// The discovery endpoint: the bound socket and the reply builder.
#include "endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

static int
bind_to(int sock, uint32_t addr, int port)
{
	struct sockaddr_in at = {.sin_family = AF_INET,
	    .sin_port = htons(static_cast<uint16_t>(port)), .sin_addr = {.s_addr = htonl(addr)},
	    .sin_zero = {}};
	return bind(sock, reinterpret_cast<struct sockaddr *>(&at), sizeof(at));
}

int
init_udp(int port)
{
	int sock = socket(AF_INET, SOCK_DGRAM, 0);

	// A failed socket() leaves -1, which bind() rejects below: both
	// failures end the daemon the same way.
	if (bind_to(sock, INADDR_ANY, port) == -1) {
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

// Each socket may charge up to twice this (or twice net.core.wmem_max,
// if that is less) to its send buffer.
enum : int { endpoint_sndbuf = 1 << 20 };

// A socket that may share the port, with each datagram's destination
// given (pktinfo) where its bound address does not say it. Returns -1
// when the kernel lacks any of it.
static int
shared_socket(bool pktinfo)
{
	int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (sock == -1)
		return -1;
	int one = 1;
	if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) == -1 ||
	    (pktinfo && setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) == -1)) {
		close(sock);
		return -1;
	}
	return sock;
}

// A reply socket: bound to a loopback address and connected to that
// address and the port itself, so that the kernel hands it no datagram
// (none can come from there but this daemon's own sockets, which answer
// only requests) and it never wakes the daemon. Its answers name their
// source. The address is 127.0.0.2, which nobody asks and which keeps the
// reply sockets out of the way of requests to 127.0.0.1 (a group with a
// connected socket costs every lookup in it a full search), or 127.0.0.1
// where the loopback has no other. -1 where it has neither.
static int
reply_socket(int port)
{
	for (uint32_t addr : {INADDR_LOOPBACK + 1, uint32_t{INADDR_LOOPBACK}}) {
		int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
		if (sock == -1)
			return -1;
		struct sockaddr_in self = {.sin_family = AF_INET,
		    .sin_port = htons(static_cast<uint16_t>(port)), .sin_addr = {.s_addr = htonl(addr)},
		    .sin_zero = {}};
		int one = 1, least = 1;
		if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) == 0 &&
		    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &least, sizeof(least)) == 0 &&
		    bind_to(sock, addr, port) == 0 &&
		    connect(sock, reinterpret_cast<struct sockaddr *>(&self), sizeof(self)) == 0)
			return sock;
		close(sock);
	}
	return -1;
}

// The port is first bound alone, exactly as get_udp binds it: whoever
// holds it already (a second tarvo included) makes that bind fail and
// ends the process. Only then is it bound again by sockets that share it.
// Only processes of the same user may share the port: one could join
// later, as it could do anything else this daemon does.
void
open_endpoint(int port, struct tarvo_endpoint *ep)
{
	*ep = {.port = port, .shared = false, .fd = {}, .bound = {}, .out = {}, .n_out = 0};
	for (int &fd : ep->fd)
		fd = -1;
	ep->fd[0] = get_udp(port);
	int first = shared_socket(true);
	if (first != -1) {
		close(ep->fd[0]);
		if (bind_to(first, INADDR_ANY, port) == -1) {
			perror("bind()");  // taken in the moment it was free
			exit(1);
		}
		ep->fd[0] = first;
		ep->shared = true;
		while (ep->n_out < TARVO_REPLY_SOCKS) {
			int reply = reply_socket(port);
			if (reply == -1)
				break;
			ep->out[ep->n_out++] = reply;
		}
	}
	if (ep->n_out == 0)
		ep->out[ep->n_out++] = ep->fd[0];
	int sndbuf = endpoint_sndbuf;
	for (unsigned i = 0; i < ep->n_out; i++)
		setsockopt(ep->out[i], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
}

unsigned
follow_addresses(struct tarvo_endpoint *ep, const uint32_t *addrs, unsigned n)
{
	const unsigned spares = TARVO_RECV_SOCKS - 1;
	const unsigned each = n == 0 ? 1 : std::max(1u, spares / n);
	unsigned changed = 0;
	for (unsigned i = 1; i <= spares; i++) {
		const unsigned k = (i - 1) / each;
		const uint32_t want = ep->shared && k < n ? addrs[k] : 0;
		if (ep->fd[i] != -1 && ep->bound[i] == want)
			continue;
		if (ep->fd[i] != -1) {
			close(ep->fd[i]);
			ep->fd[i] = -1;
			changed |= 1u << i;
		}
		ep->bound[i] = 0;
		if (want == 0)
			continue;
		int sock = shared_socket(false);
		if (sock != -1 && bind_to(sock, want, ep->port) == -1) {
			close(sock);
			sock = -1;
		}
		if (sock == -1)
			continue;  // fd[0] takes its requests
		ep->fd[i] = sock;
		ep->bound[i] = want;
		changed |= 1u << i;
	}
	return changed;
}

// The answer's control message names src (network order) as its source.
static void
name_source(struct msghdr *out, unsigned char *control, size_t control_len, struct in_addr src)
{
	struct in_pktinfo from = {.ipi_ifindex = 0, .ipi_spec_dst = src, .ipi_addr = {}};
	memset(control, 0, control_len);
	out->msg_control = control;
	out->msg_controllen = CMSG_SPACE(sizeof(from));
	struct cmsghdr *oc = CMSG_FIRSTHDR(out);
	oc->cmsg_level = IPPROTO_IP;
	oc->cmsg_type = IP_PKTINFO;
	oc->cmsg_len = CMSG_LEN(sizeof(from));
	memcpy(CMSG_DATA(oc), &from, sizeof(from));
}

void
reply_from_address_asked(struct msghdr *in, uint32_t bound, struct msghdr *out,
    unsigned char *control, size_t control_len)
{
	out->msg_control = nullptr;
	out->msg_controllen = 0;
	if (bound != 0) {
		name_source(out, control, control_len, {.s_addr = htonl(bound)});
		return;
	}
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(in); cm != nullptr; cm = CMSG_NXTHDR(in, cm)) {
		if (cm->cmsg_level != IPPROTO_IP || cm->cmsg_type != IP_PKTINFO)
			continue;
		struct in_pktinfo asked;
		memcpy(&asked, CMSG_DATA(cm), sizeof(asked));
		name_source(out, control, control_len, asked.ipi_spec_dst);
		return;
	}
}

void
get_checkou_pass(const unsigned char *recv_buf, unsigned char *send_buf)
{
	corvane_tarvo_find_data_t req;
	memcpy(&req, recv_buf, sizeof(req));
	if (ntohl(req.id) != CORVANE_CTRL_ID_WAZZUP_BR0)
		return;

	corvane_tarvo_find_data_t reply{};
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

// A reply can only reach a unicast host on a real port. Anything else is
// spoofed or broken, and trying to answer it only fills the log.
bool
is_sender_reachable(const struct sockaddr_in *from)
{
	uint32_t addr = ntohl(from->sin_addr.s_addr);
	if (from->sin_port == 0)
		return false;
	if ((addr >> 24) == 0)               // 0.0.0.0/8, "this network"
		return false;
	if ((addr >> 28) == 0xE)             // 224.0.0.0/4, multicast
		return false;
	return addr != INADDR_BROADCAST;
}

bool
build_answer(const unsigned char *recv_buf, ssize_t len, const struct sockaddr_in *from,
    unsigned char *send_buf)
{
	if (!is_answered(recv_buf, len) || !is_sender_reachable(from))
		return false;
	memset(send_buf, 0, TARVO_DGRAM_LEN);
	get_checkou_pass(recv_buf, send_buf);
	return true;
}

bool
send_log_admit(struct send_log *log, int64_t now_ns, int64_t interval_ns,
    unsigned long *held_before)
{
	if (log->last_ns >= 0 && now_ns - log->last_ns < interval_ns) {
		log->held++;
		return false;
	}
	*held_before = log->held;
	log->held = 0;
	log->last_ns = now_ns;
	return true;
}

// The line is the usual "sendto(): REASON". When failures were held back
// since the previous line, it says how many.
void
report_send_failure(struct send_log *log, int err)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	unsigned long held;
	if (!send_log_admit(log, int64_t{now.tv_sec} * 1000000000 + now.tv_nsec,
	        send_log_interval_ns, &held))
		return;
	if (held == 0)
		fprintf(stderr, "sendto(): %s\n", strerror(err));
	else
		fprintf(stderr, "sendto(): %s (%lu more failed sends not shown)\n", strerror(err),
		    held);
}
