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
// it would then fail. So answers leave from several reply sockets, and an
// answer whose socket is full leaves from the next one. The reply sockets
// receive nothing, so their buffers drain without waking the daemon.
//
// Requests come in on the wildcard socket, fd[0], which alone gets
// broadcasts and multicasts, and on spare sockets bound to the board's
// own addresses, over which the kernel spreads the requests to each
// address by sender: a host flooding one of them fills only its share.
enum : unsigned { TARVO_RECV_SOCKS = 8, TARVO_REPLY_SOCKS = 8 };

struct tarvo_endpoint {
	int port;
	bool shared;  // the kernel lets sockets share the port
	int fd[TARVO_RECV_SOCKS];  // fd[0] the wildcard; a spare is -1 or bound
	uint32_t bound[TARVO_RECV_SOCKS];  // a spare's address, host order
	int out[TARVO_REPLY_SOCKS];  // the reply sockets; without them, fd[0]
	unsigned n_out;
};

// Opens the endpoint on port: binds the port first as get_udp does, so a
// port already taken ends the process the same way. Without the kernel's
// help for a shared port it keeps that one socket.
void open_endpoint(int port, struct tarvo_endpoint *ep);

// Binds the spare sockets to these addresses of the board (host order),
// as many to each as there are spares for; an address with none is
// served by fd[0]. Returns a bit for each fd[i] that changed.
unsigned follow_addresses(struct tarvo_endpoint *ep, const uint32_t *addrs, unsigned n);

// Makes the answer `out` leave from the local address its request `in`
// was sent to, when that was one of this host's own (a host may hold
// several, on one link or on others), and an answer to a broadcast from
// the interface's address. A spare socket's requests were sent to the
// address it is `bound` to (host order); for fd[0]'s, bound is 0 and the
// kernel gave the reply address with the request. Every answer names its
// source, since a reply socket's own address is the loopback one.
// control holds the answer's control message.
void reply_from_address_asked(struct msghdr *in, uint32_t bound, struct msghdr *out,
    unsigned char *control, size_t control_len);
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
