// The discovery endpoint: the bound socket and the reply builder.
#include "endpoint.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int
bind_any(int sock, int port)
{
	struct sockaddr_in addr = {.sin_family = AF_INET,
	    .sin_port = htons(static_cast<uint16_t>(port)), .sin_addr = {.s_addr = htonl(INADDR_ANY)},
	    .sin_zero = {}};
	return bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
}

int
init_udp(int port)
{
	int sock = socket(AF_INET, SOCK_DGRAM, 0);

	// A failed socket() leaves -1, which bind() rejects below: both
	// failures end the daemon the same way.
	if (bind_any(sock, port) == -1) {
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

// A spare socket drops datagrams to multicast addresses, to
// 255.255.255.255 and to the board's subnet broadcasts in the kernel: fd[0]
// has its own copy of each and answers it. The IP header's destination
// address is read whatever the frame's link-layer address was. Returns
// the program's length.
static unsigned short
spare_filter(struct sock_filter *prog, const uint32_t *bcast, unsigned n)
{
	const unsigned drop = 3 + n;
	prog[0] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_NET_OFF + 16));
	prog[1] = BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0xE0000000, static_cast<uint8_t>(drop - 2), 0);
	for (unsigned i = 0; i < n; i++)
		prog[2 + i] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, bcast[i],
		    static_cast<uint8_t>(drop - 3 - i), 0);
	prog[drop - 1] = BPF_STMT(BPF_RET | BPF_K, 0xffffffff);
	prog[drop] = BPF_STMT(BPF_RET | BPF_K, 0);
	return static_cast<unsigned short>(drop + 1);
}
static_assert(TARVO_BROADCASTS_MAX + 2 <= 255, "every jump reaches the drop");

static int
attach_spare_filter(int sock, const uint32_t *bcast, unsigned n)
{
	struct sock_filter prog[TARVO_BROADCASTS_MAX + 4];
	struct sock_fprog fprog = {.len = spare_filter(prog, bcast, n), .filter = prog};
	return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof(fprog));
}

void
drop_broadcasts(const struct tarvo_endpoint *ep, const uint32_t *bcast, unsigned n)
{
	if (n > TARVO_BROADCASTS_MAX)
		n = TARVO_BROADCASTS_MAX;
	for (unsigned i = 1; i < ep->n; i++)
		attach_spare_filter(ep->fd[i], bcast, n);
}

// Each socket may charge up to twice this (or twice net.core.wmem_max,
// if that is less) to its send buffer.
enum : int { endpoint_sndbuf = 1 << 20 };

// A socket that may share the port, with spare_filter attached to it when
// `spare`, and each datagram's destination given with it. Everything is
// set before the bind, so that it never takes a datagram it was not meant
// to. Returns -1 when the kernel lacks any of it.
static int
shared_socket(bool spare)
{
	int sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (sock == -1)
		return -1;
	int one = 1;
	if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) == -1 ||
	    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) == -1 ||
	    (spare && attach_spare_filter(sock, nullptr, 0) == -1)) {
		close(sock);
		return -1;
	}
	return sock;
}

// The port is first bound alone, exactly as get_udp binds it: whoever
// holds it already (a second tarvo included) makes that bind fail and
// ends the process. Only then is it bound again by a group of sockets.
// The kernel spreads datagrams to this host over the group by their
// addresses and ports, so a host's requests always reach the same socket;
// every socket also gets a copy of each broadcast and multicast, which
// only the first answers. Only processes of the same user may share the
// port: one could join the group later, as it could do anything else this
// daemon does.
void
open_endpoint(int port, struct tarvo_endpoint *ep)
{
	ep->fd[0] = get_udp(port);
	ep->n = 1;
	int first = shared_socket(false);
	if (first != -1) {
		close(ep->fd[0]);
		if (bind_any(first, port) == -1) {
			perror("bind()");  // taken in the moment it was free
			exit(1);
		}
		ep->fd[0] = first;
		while (ep->n < TARVO_SEND_SOCKS) {
			int spare = shared_socket(true);
			if (spare == -1)
				break;
			if (bind_any(spare, port) == -1) {
				close(spare);
				break;
			}
			ep->fd[ep->n++] = spare;
		}
	}
	int sndbuf = endpoint_sndbuf;
	for (unsigned i = 0; i < ep->n; i++)
		setsockopt(ep->fd[i], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
}

void
reply_from_address_asked(struct msghdr *in, struct msghdr *out, unsigned char *control,
    size_t control_len)
{
	out->msg_control = nullptr;
	out->msg_controllen = 0;
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(in); cm != nullptr; cm = CMSG_NXTHDR(in, cm)) {
		if (cm->cmsg_level != IPPROTO_IP || cm->cmsg_type != IP_PKTINFO)
			continue;
		struct in_pktinfo asked;
		memcpy(&asked, CMSG_DATA(cm), sizeof(asked));
		if (asked.ipi_addr.s_addr != asked.ipi_spec_dst.s_addr)
			return;  // a broadcast or multicast
		struct in_pktinfo from = {};
		from.ipi_spec_dst = asked.ipi_addr;
		memset(control, 0, control_len);
		out->msg_control = control;
		out->msg_controllen = CMSG_SPACE(sizeof(from));
		struct cmsghdr *oc = CMSG_FIRSTHDR(out);
		oc->cmsg_level = IPPROTO_IP;
		oc->cmsg_type = IP_PKTINFO;
		oc->cmsg_len = CMSG_LEN(sizeof(from));
		memcpy(CMSG_DATA(oc), &from, sizeof(from));
		return;
	}
}

bool
sent_to_group(struct msghdr *msg)
{
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(msg); cm != nullptr; cm = CMSG_NXTHDR(msg, cm)) {
		if (cm->cmsg_level != IPPROTO_IP || cm->cmsg_type != IP_PKTINFO)
			continue;
		struct in_pktinfo info;
		memcpy(&info, CMSG_DATA(cm), sizeof(info));
		// To one of this host's addresses, the kernel's reply address is
		// the destination itself; to a broadcast or multicast address,
		// it is the interface's.
		return info.ipi_addr.s_addr != info.ipi_spec_dst.s_addr;
	}
	return false;
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
