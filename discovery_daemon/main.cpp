// tarvo: answers discovery requests from host software on UDP port 49100.
//
// The daemon stays in the foreground: no fork, no signal handlers, no pid
// file. The main thread only starts the service thread and then sleeps.
#include "endpoint.h"
#include "hold.h"
#include "ring.h"
#include "rtnl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Datagrams are taken from the socket, and their answers sent, up to
// batch_len at a time: under a burst a wake-up costs the wait, one receive
// and one send, however many datagrams it serves.
// A socket is served at most serve_batches batches in a row, so that one
// flow faster than the board cannot starve the other sockets or rtnetlink.
// With the ring, a socket's queue is read after the datagram it received
// at least every guess_every datagrams.
enum : unsigned { batch_len = 8, serve_batches = 4, guess_every = 16 };

// The datagrams of one receive and their answers, in arrival order. The
// service thread keeps its one batch on its stack.
struct dgram_batch {
	unsigned char recv_buf[batch_len][TARVO_RECV_BUF_LEN];
	struct sockaddr_in s_addr[batch_len];
	alignas(struct cmsghdr) unsigned char control[batch_len][CMSG_SPACE(sizeof(struct in_pktinfo))];
	struct iovec recv_iov[batch_len];
	struct mmsghdr in[batch_len];
	unsigned char send_buf[batch_len][TARVO_DGRAM_LEN];
	struct iovec send_iov[batch_len];
	alignas(struct cmsghdr) unsigned char out_control[batch_len][CMSG_SPACE(sizeof(struct in_pktinfo))];
	struct mmsghdr out[batch_len];
};

static void
init_batch(struct dgram_batch *b)
{
	for (unsigned i = 0; i < batch_len; i++) {
		// Each receive accepts at most 1471 bytes.
		b->recv_iov[i] = {.iov_base = b->recv_buf[i], .iov_len = sizeof(b->recv_buf[i]) - 1};
		b->in[i] = {.msg_hdr = {.msg_name = &b->s_addr[i], .msg_namelen = 0,
		    .msg_iov = &b->recv_iov[i], .msg_iovlen = 1, .msg_control = b->control[i],
		    .msg_controllen = 0, .msg_flags = 0}, .msg_len = 0};
		b->send_iov[i] = {.iov_base = b->send_buf[i], .iov_len = sizeof(b->send_buf[i])};
		b->out[i] = {.msg_hdr = {.msg_name = nullptr, .msg_namelen = 0,
		    .msg_iov = &b->send_iov[i], .msg_iovlen = 1, .msg_control = nullptr,
		    .msg_controllen = 0, .msg_flags = 0}, .msg_len = 0};
	}
}

// Receives what is queued, into the batch from datagram `from` on.
// Returns how many datagrams came; 0 when none was waiting (or the
// receive failed).
static unsigned
receive_batch(int sock, struct dgram_batch *b, unsigned from)
{
	for (unsigned i = from; i < batch_len; i++) {
		b->in[i].msg_hdr.msg_namelen = sizeof(b->s_addr[i]);
		b->in[i].msg_hdr.msg_controllen = sizeof(b->control[i]);
	}
	int n;
	while ((n = recvmmsg(sock, b->in + from, batch_len - from, MSG_DONTWAIT, nullptr)) == -1 &&
	    errno == EINTR)
		;
	return n > 0 ? static_cast<unsigned>(n) : 0;
}

static int64_t
now_ns(void)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The service thread's view of the kernel: its routes through rtnetlink,
// and the holds on senders it must resolve. About 100 KiB, kept off the
// thread's stack.
static struct rtnl kernel;
static struct hold_table holds;
// The wait, where the kernel has a ring for it; epoll otherwise.
static struct ring ring;
static int poller = -1;

// Whether an answer to addr may go at now_ns. To a sender the board
// reaches without resolving it, or with no knowledge at all: always. To
// one it must resolve: as the hold says, asking the kernel when it must.
static bool
admit(uint32_t addr, int64_t now_ns)
{
	int oif;
	if (!rtnl_resolves(&kernel, addr, &oif))
		return true;
	unsigned slot;
	enum hold_verdict v = hold_decide(&holds, addr, now_ns, &slot);
	if (v == hold_ask)
		v = hold_learn(&holds, slot, addr, rtnl_ask(&kernel, addr, oif), now_ns);
	return v == hold_answer;
}

// Builds the answers to the first n datagrams, each addressed to its
// sender from the address it asked, which is `bound` for a spare socket's;
// a sender still unresolved gets one answer at a time. Returns how many
// there are.
static unsigned
answer_batch(struct dgram_batch *b, unsigned n, uint32_t bound, int64_t now)
{
	unsigned answers = 0;
	for (unsigned i = 0; i < n; i++) {
		auto len = static_cast<ssize_t>(b->in[i].msg_len);
		if (!build_answer(b->recv_buf[i], len, &b->s_addr[i], b->send_buf[answers]) ||
		    !admit(ntohl(b->s_addr[i].sin_addr.s_addr), now))
			continue;
		b->out[answers].msg_hdr.msg_name = &b->s_addr[i];
		b->out[answers].msg_hdr.msg_namelen = b->in[i].msg_hdr.msg_namelen;
		reply_from_address_asked(&b->in[i].msg_hdr, bound, &b->out[answers].msg_hdr,
		    b->out_control[answers], sizeof(b->out_control[answers]));
		answers++;
	}
	return answers;
}
static_assert(unsigned{batch_len} <= unsigned{hold_batch_max}, "every answer of a batch may be held");

// Sends answers in order from reply socket `cur` on, which `full` of them
// have already found full. When a socket's send buffer is full the answer
// is tried on the next one, and the rest follow it there; an answer that
// no socket takes, or that fails for any other reason, is reported and
// skipped, and the rest still go out.
static void
send_from(const struct tarvo_endpoint *ep, unsigned cur, unsigned full, struct mmsghdr *out,
    unsigned n, struct send_log *log)
{
	unsigned done = 0;
	while (done < n) {
		int sent = sendmmsg(ep->out[cur], out + done, n - done, 0);
		if (sent > 0) {
			done += static_cast<unsigned>(sent);
			full = 0;
		} else if (errno == EINTR) {
			continue;
		} else if (errno == EAGAIN && ++full < ep->n_out) {
			cur = (cur + 1) % ep->n_out;
		} else {
			report_send_failure(log, errno);
			done++;
			full = 0;
		}
	}
}

enum : unsigned { rtnetlink_tag = TARVO_RECV_SOCKS };

// The ring's tags: a receive's names the socket, and the generation of
// the socket in that place; a send's names the answer and its socket.
enum : uint64_t {
	tag_poll = 1ull << 56, tag_receive = 2ull << 56, tag_send = 3ull << 56,
	tag_kind = 0xffull << 56,
};

static uint64_t
receive_tag(unsigned socket, unsigned generation)
{
	return tag_receive | (uint64_t{generation & 0xff} << 8) | socket;
}

static uint64_t
send_tag(unsigned answer, unsigned socket)
{
	return tag_send | (uint64_t{socket} << 8) | answer;
}

// With the ring, answers are handed to it and go with the next call into
// the kernel (the wait, or the hand-over before their batch is reused);
// one whose socket was full then goes as without it, from the next.
static void
send_answers(const struct tarvo_endpoint *ep, unsigned from, struct dgram_batch *b,
    unsigned n, struct send_log *log)
{
	if (ring.fd == -1) {
		send_from(ep, from % ep->n_out, 0, b->out, n, log);
		return;
	}
	for (unsigned k = 0; k < n; k++)
		ring_send(&ring, ep->out[from % ep->n_out], &b->out[k].msg_hdr,
		    send_tag(k, from % ep->n_out));
}

// Where the ring receives a socket's datagram.
struct landing {
	unsigned char buf[TARVO_RECV_BUF_LEN];
	struct sockaddr_in addr;
	alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in_pktinfo))];
	struct iovec iov;
	struct msghdr msg;
	unsigned len;
};

// What the waits found: the sockets with new datagrams (with the ring,
// received into their landings), and whether rtnetlink spoke.
struct wake {
	unsigned ready;
	unsigned receiving;  // sockets with a receive in the ring
	bool tables;
	bool tables_watched;  // rtnetlink's poll is in the ring
	uint8_t generation[TARVO_RECV_SOCKS];  // of each socket in its place
	uint8_t unguessed[TARVO_RECV_SOCKS];   // datagrams since one read on
	struct landing landing[TARVO_RECV_SOCKS];
};

// Takes what the ring did: answers whose socket was full go from the
// next (their batch is still as it was), receives bring a socket's
// first datagram, and the poll says rtnetlink spoke.
static void
reap(const struct tarvo_endpoint *ep, struct dgram_batch *b, struct wake *w,
    struct send_log *log)
{
	struct ring_done d;
	while (ring_next(&ring, &d)) {
		unsigned low = static_cast<unsigned>(d.tag & 0xff);
		unsigned mid = static_cast<unsigned>((d.tag >> 8) & 0xff);
		if ((d.tag & tag_kind) == tag_send) {
			if (d.res == -EAGAIN && ep->n_out > 1)
				send_from(ep, (mid + 1) % ep->n_out, 1, &b->out[low], 1, log);
			else
				report_send_failure(log, -d.res);
		} else if ((d.tag & tag_kind) == tag_poll) {
			w->tables = true;
			w->tables_watched = false;
		} else if ((d.tag & tag_kind) == tag_receive && mid == w->generation[low]) {
			// A socket whose receive failed gets another at the turn's end.
			w->receiving &= ~(1u << low);
			if (d.res >= 0) {
				w->landing[low].len = static_cast<unsigned>(d.res);
				w->ready |= 1u << low;
			}
		}
	}
}

// The answers handed to the ring go to the kernel before their batch's
// buffers take new datagrams.
static void
hand_over(const struct tarvo_endpoint *ep, struct dgram_batch *b, struct wake *w,
    struct send_log *log)
{
	if (ring.fd == -1 || ring.queued == 0)
		return;
	ring_enter(&ring, 0);
	reap(ep, b, w, log);
}

// Socket i's next datagram comes to its landing, in the ring.
static void
receive_in_ring(const struct tarvo_endpoint *ep, unsigned i, struct wake *w)
{
	struct landing *l = &w->landing[i];
	l->iov = {.iov_base = l->buf, .iov_len = sizeof(l->buf) - 1};
	l->msg = {.msg_name = &l->addr, .msg_namelen = sizeof(l->addr), .msg_iov = &l->iov,
	    .msg_iovlen = 1, .msg_control = l->control, .msg_controllen = sizeof(l->control),
	    .msg_flags = 0};
	ring_receive(&ring, ep->fd[i], &l->msg, receive_tag(i, w->generation[i]));
	w->receiving |= 1u << i;
}

// The datagram that landed for socket i, as the batch's first.
static void
take_landed(unsigned i, struct dgram_batch *b, struct wake *w)
{
	const struct landing *l = &w->landing[i];
	memcpy(b->recv_buf[0], l->buf, l->len);
	b->s_addr[0] = l->addr;
	memcpy(b->control[0], l->control, l->msg.msg_controllen);
	b->in[0].msg_hdr.msg_namelen = l->msg.msg_namelen;
	b->in[0].msg_hdr.msg_controllen = l->msg.msg_controllen;
	b->in[0].msg_len = l->len;
	w->ready &= ~(1u << i);
}

// Takes the datagrams queued on socket i, up to serve_batches batches,
// and answers them as of now. A batch that is not full had emptied the
// queue. After more than one datagram, more are likely on their way, and
// one more receive costs less than a wait that returns at once. After a
// single one that is a guess: socket i's bit in *eager says whether the
// last such receive found more (or a batch of several came since), and
// only then is it made. Returns whether datagrams may be left, for the
// next turn. With the ring the first is the one it received for the
// socket, which gets another receive at the turn's end.
static bool
serve(const struct tarvo_endpoint *ep, unsigned i, struct dgram_batch *b, int64_t now,
    unsigned *eager, struct wake *w, struct send_log *log)
{
	const unsigned bit = 1u << i;
	unsigned n = 0;
	for (unsigned turns = 0, last = 0; turns < serve_batches; turns++, last = n) {
		hand_over(ep, b, w, log);
		if (turns == 0 && (w->ready & bit) != 0) {
			// A receive in the ring does not say whether more is
			// queued: reading on is a guess as after a single datagram,
			// and made now and then even while it has found nothing.
			take_landed(i, b, w);
			bool guess = (*eager & bit) != 0 || ++w->unguessed[i] >= guess_every;
			n = 1 + (guess ? receive_batch(ep->fd[i], b, 1) : 0);
			if (guess) {
				w->unguessed[i] = 0;
				*eager = n >= 2 ? *eager | bit : *eager & ~bit;
			}
		} else {
			n = receive_batch(ep->fd[i], b, 0);
			if (last == 1 || n >= 2)
				*eager = n > 0 ? *eager | bit : *eager & ~bit;
		}
		send_answers(ep, i, b, answer_batch(b, n, ep->bound[i], now), log);
		hold_sent(&holds);
		if (n == 0 || (n == 1 && (*eager & bit) == 0))
			return false;
	}
	return true;
}

// fd becomes ready for reading as `tag`: a socket's index, or
// rtnetlink_tag. In epoll a socket is reported only when a datagram
// comes to it (edge-triggered): the wait need not look at it again after
// a wake-up that emptied it. rtnetlink is reported while it has
// something to say. The ring receives a socket's datagram itself.
static void
watch(const struct tarvo_endpoint *ep, struct wake *w, int fd, unsigned tag)
{
	if (ring.fd != -1) {
		if (tag != rtnetlink_tag) {
			receive_in_ring(ep, tag, w);
		} else {
			ring_poll(&ring, fd, tag_poll);
			w->tables_watched = true;
		}
		return;
	}
	uint32_t events = tag == rtnetlink_tag ? EPOLLIN : EPOLLIN | EPOLLET;
	struct epoll_event ev = {.events = events, .data = {.u32 = tag}};
	if (epoll_ctl(poller, EPOLL_CTL_ADD, fd, &ev) == -1) {
		perror("epoll_ctl()");
		exit(1);
	}
}

// The spare sockets follow the board's addresses. A socket closed has
// left epoll with its descriptor; a receive in the ring holds it open
// until cancelled, at once, and what it may have received goes with it.
static void
follow_spares(struct tarvo_endpoint *ep, struct wake *w)
{
	uint32_t addrs[TARVO_RECV_SOCKS];
	unsigned changed = follow_addresses(ep, addrs, rtnl_locals(&kernel, addrs, TARVO_RECV_SOCKS));
	for (unsigned i = 1; i < TARVO_RECV_SOCKS; i++) {
		if ((changed & (1u << i)) == 0)
			continue;
		if (ring.fd != -1) {
			if ((w->receiving & (1u << i)) != 0)
				ring_cancel(&ring, receive_tag(i, w->generation[i]));
			w->generation[i]++;
			w->receiving &= ~(1u << i);
			w->ready &= ~(1u << i);
		}
		if (ep->fd[i] != -1)
			watch(ep, w, ep->fd[i], i);
	}
	if (ring.fd != -1)
		ring_enter(&ring, 0);
}

// Waits up to timeout_ms for sockets to become ready or rtnetlink to
// speak, handing the ring what it holds first.
static void
wait_for(const struct tarvo_endpoint *ep, struct dgram_batch *b, struct wake *w,
    int timeout_ms, struct send_log *log)
{
	if (ring.fd != -1) {
		ring_enter(&ring, timeout_ms);
		reap(ep, b, w, log);
		return;
	}
	struct epoll_event ready[TARVO_RECV_SOCKS + 1];
	int n = epoll_wait(poller, ready, TARVO_RECV_SOCKS + 1, timeout_ms);
	for (int k = 0; k < n; k++) {
		unsigned i = ready[k].data.u32;
		if (i != rtnetlink_tag)
			w->ready |= 1u << i;
		else
			w->tables = true;
	}
}

// After a turn the ring has a receive on every socket, and a poll on
// rtnetlink once what it said has been taken.
static void
rearm(const struct tarvo_endpoint *ep, struct wake *w)
{
	for (unsigned i = 0; i < TARVO_RECV_SOCKS; i++)
		if (ep->fd[i] != -1 && (w->receiving & (1u << i)) == 0 && (w->ready & (1u << i)) == 0)
			receive_in_ring(ep, i, w);
	if (!w->tables_watched && rtnl_fd(&kernel) != -1)
		watch(ep, w, rtnl_fd(&kernel), rtnetlink_tag);
}

static void *
udp_check_thread(void *args)
{
	(void)args;
	struct dgram_batch batch;

	struct tarvo_endpoint ep;
	open_endpoint(TARVO_PORT, &ep);
	int sock_find = ep.fd[0];
	if (sock_find < 0) {
		// Unreachable in practice: a failed bind has ended the process.
		puts("error in get udp sock");
		fflush(stdout);
		for (;;)
			pause();
	}
	fcntl(sock_find, F_SETFL, O_NONBLOCK);

	init_batch(&batch);
	struct send_log log = {-1, 0};
	hold_init(&holds);
	rtnl_open(&kernel);
	// One wait for every socket, which reports only those ready.
	if (!ring_open(&ring, 64) && (poller = epoll_create1(EPOLL_CLOEXEC)) == -1) {
		perror("epoll_create1()");
		exit(1);
	}
	static struct wake w;
	watch(&ep, &w, ep.fd[0], 0);
	if (rtnl_fd(&kernel) != -1)
		watch(&ep, &w, rtnl_fd(&kernel), rtnetlink_tag);
	// The sockets left with datagrams at their turn's end: epoll does not
	// report them again, so they are served next without waiting.
	unsigned unfinished = 0, eager = 0;
	// The clock is read once a wake-up: the turn that follows takes
	// microseconds, and a re-read's wait may start that much late.
	int64_t now = now_ns();
	for (;;) {
		wait_for(&ep, &batch, &w, unfinished != 0 || w.ready != 0 || w.tables ? 0 :
		    rtnl_timeout_ms(&kernel, now), &log);
		now = now_ns();
		// The kernel's tables are taken when they said something, or
		// when a re-read is due, whatever else arrives.
		bool tables = w.tables || rtnl_timeout_ms(&kernel, now) == 0;
		unsigned turn = unfinished | w.ready;
		if (ring.fd == -1)
			w.ready = 0;
		w.tables = false;
		unfinished = 0;
		for (unsigned i = 0; i < TARVO_RECV_SOCKS; i++)
			if ((turn & (1u << i)) && serve(&ep, i, &batch, now, &eager, &w, &log))
				unfinished |= 1u << i;
		if (tables && rtnl_process(&kernel, now))
			follow_spares(&ep, &w);
		if (ring.fd != -1)
			rearm(&ep, &w);
	}
}

int
main(int, char **)
{
	pthread_t checkout_thread;

	int rc = pthread_create(&checkout_thread, nullptr, udp_check_thread, nullptr);
	if (rc != 0) {
		printf("pthread_create error:error_code = %s\n", strerror(rc));
		fflush(stdout);
	} else {
		pthread_detach(checkout_thread);
	}

	// Nothing here needs a timer: sleep until a signal ends the process.
	for (;;)
		pause();
}
