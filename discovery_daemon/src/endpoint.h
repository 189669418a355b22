// The daemon's UDP endpoint and reply builder, over the wire record of
// udp.h.
#ifndef TARVO_ENDPOINT_H
#define TARVO_ENDPOINT_H

#include "udp.h"

#include <sys/types.h>

struct msghdr;
struct sockaddr_in;

int init_udp(int port);
int get_udp(int port);

// The port is served by several sockets. An answer to a host that does
// not exist waits seconds in the kernel for address resolution and stays
// charged to the send buffer of its socket all that time: a host spoofing
// many such sources could fill one socket's buffer, and every answer from
// it would then fail. Each socket receives its share of the requests, and
// an answer whose socket is full leaves from the next one.
enum : unsigned { TARVO_SEND_SOCKS = 8 };

struct tarvo_endpoint {
	int fd[TARVO_SEND_SOCKS]; // fd[0] answers what went to a group
	unsigned n;               // sockets open, at least 1
};

// Opens the endpoint on port: binds the port first as get_udp does, so a
// port already taken ends the process the same way. Without the kernel's
// help for a shared port it keeps that one socket.
void open_endpoint(int port, struct tarvo_endpoint *ep);

// Makes the spare sockets drop, in the kernel, their copies of datagrams
// to these subnet broadcast addresses (host order; at most
// TARVO_BROADCASTS_MAX), as they drop multicasts and 255.255.255.255.
enum : unsigned { TARVO_BROADCASTS_MAX = 64 };
void drop_broadcasts(const struct tarvo_endpoint *ep, const uint32_t *bcast, unsigned n);

// Whether a datagram, received with its IP_PKTINFO, went to a broadcast or
// multicast address rather than to one of this host's own. Every socket
// of the endpoint gets a copy of such a datagram, and only fd[0] answers
// it; a datagram to this host reaches one socket, which answers it however
// its frame was addressed.
bool sent_to_group(struct msghdr *msg);

// Makes the answer `out` leave from the local address its request `in`
// was sent to, when that was one of this host's own (a host may hold
// several, on one link or on others); an answer to a broadcast leaves
// from the interface's address, as the kernel chooses. control holds the
// answer's control message.
void reply_from_address_asked(struct msghdr *in, struct msghdr *out, unsigned char *control,
    size_t control_len);
void get_checkou_pass(const unsigned char *recv_buf, unsigned char *send_buf);
bool is_answered(const unsigned char *recv_buf, ssize_t len);
bool is_sender_reachable(const struct sockaddr_in *from);

// Decides the fate of one received datagram: false when it gets no
// answer, otherwise true with the 40-byte answer built in send_buf.
bool build_answer(const unsigned char *recv_buf, ssize_t len,
    const struct sockaddr_in *from, unsigned char *send_buf);

// Failed sends are reported at most once per second, however many there
// are: a LAN host must not be able to fill the board's log.
struct send_log {
	int64_t last_ns;    // when the last line was written; -1 before any
	unsigned long held; // failures since then that got no line
};
constexpr int64_t send_log_interval_ns = 1000000000;

// Whether a failure at now_ns gets a line, at most one each interval_ns.
// If so, *held_before is how many failures were held back since the
// previous line.
bool send_log_admit(struct send_log *log, int64_t now_ns, int64_t interval_ns,
    unsigned long *held_before);
void report_send_failure(struct send_log *log, int err);

#endif
