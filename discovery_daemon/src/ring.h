// The daemon's io_uring, where the kernel has one fit for it. The loop
// waits in it with a receive on each socket and a poll on rtnetlink, and
// hands it the answers of a wake-up: they go to the kernel with the next
// wait, in the same system call. One request at a time then costs one
// system call, where a responder blocked in its receive pays the receive
// and the send.
//
// Where there is none (an older kernel, an emulator, a sandbox that
// forbids it) ring_open fails and the daemon waits in epoll.
#ifndef TARVO_RING_H
#define TARVO_RING_H

#include <cstdint>

struct io_uring_sqe;
struct io_uring_cqe;
struct msghdr;

struct ring {
	int fd;  // -1 without a ring
	unsigned *sq_tail, sq_mask, sq_entries, *sq_head;
	unsigned *sq_array;
	struct io_uring_sqe *sqes;
	unsigned *cq_head, *cq_tail, cq_mask;
	struct io_uring_cqe *cqes;
	unsigned queued;  // entries written and not yet handed to the kernel
};

// What the kernel did with one entry: its tag, and the system call's
// result (a poll's events, a datagram's length, or -errno).
struct ring_done {
	uint64_t tag;
	int32_t res;
};

// Sets up a ring with room for `entries` (a power of two). False, with
// r->fd -1, where the kernel offers none with what the daemon needs.
bool ring_open(struct ring *r, unsigned entries);

// Entries. A poll reports readiness under `tag` once; a receive, one
// datagram into msg; a send's result is reported only when it failed, as
// is a cancel's. What msg points to must last until the result.
void ring_poll(struct ring *r, int fd, uint64_t tag);
void ring_receive(struct ring *r, int fd, struct msghdr *msg, uint64_t tag);
void ring_cancel(struct ring *r, uint64_t tag);
void ring_send(struct ring *r, int fd, const struct msghdr *msg, uint64_t tag);

// Hands the queued entries to the kernel, then waits up to timeout_ms
// (-1 for ever, 0 not at all) for one result. Returns 0, or -errno
// (-ETIME when the time passed).
int ring_enter(struct ring *r, int timeout_ms);
// Takes the next result. False when there is none.
bool ring_next(struct ring *r, struct ring_done *d);

#endif
