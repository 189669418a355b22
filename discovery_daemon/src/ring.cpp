// The ring over the bare system calls: the board's C library has no
// wrapper for them, and the daemon needs five operations.
#include "ring.h"

#include <linux/io_uring.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

// Skipped results need 5.17, and work done only when the daemon waits
// 6.1: a kernel with the last has the rest.
constexpr unsigned ring_setup = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
constexpr unsigned ring_features = IORING_FEAT_SINGLE_MMAP | IORING_FEAT_NODROP |
    IORING_FEAT_EXT_ARG | IORING_FEAT_CQE_SKIP;

// The kernel reads and writes the rings' heads and tails beside us.
static unsigned
load_acquire(const unsigned *p)
{
	return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}


static void *
map(int fd, size_t len, off_t what)
{
	void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, what);
	return p == MAP_FAILED ? nullptr : p;
}

bool
ring_open(struct ring *r, unsigned entries)
{
	*r = {.fd = -1, .sq_tail = nullptr, .sq_mask = 0, .sq_entries = 0, .sq_head = nullptr,
	    .sq_array = nullptr, .sqes = nullptr, .cq_head = nullptr, .cq_tail = nullptr,
	    .cq_mask = 0, .cqes = nullptr, .queued = 0};
	struct io_uring_params p;
	memset(&p, 0, sizeof(p));
	p.flags = ring_setup;
	int fd = static_cast<int>(syscall(__NR_io_uring_setup, entries, &p));
	if (fd == -1)
		return false;
	size_t sq_len = p.sq_off.array + p.sq_entries * sizeof(unsigned);
	size_t cq_len = p.cq_off.cqes + p.cq_entries * sizeof(struct io_uring_cqe);
	auto *rings = (p.features & ring_features) == ring_features ?
	    static_cast<char *>(map(fd, sq_len > cq_len ? sq_len : cq_len, IORING_OFF_SQ_RING)) :
	    nullptr;
	void *sqes = rings != nullptr ?
	    map(fd, p.sq_entries * sizeof(struct io_uring_sqe), IORING_OFF_SQES) : nullptr;
	if (sqes == nullptr) {
		// The mappings go with the descriptor.
		close(fd);
		return false;
	}
	*r = {.fd = fd, .sq_tail = reinterpret_cast<unsigned *>(rings + p.sq_off.tail),
	    .sq_mask = *reinterpret_cast<unsigned *>(rings + p.sq_off.ring_mask),
	    .sq_entries = p.sq_entries,
	    .sq_head = reinterpret_cast<unsigned *>(rings + p.sq_off.head),
	    .sq_array = reinterpret_cast<unsigned *>(rings + p.sq_off.array),
	    .sqes = static_cast<struct io_uring_sqe *>(sqes),
	    .cq_head = reinterpret_cast<unsigned *>(rings + p.cq_off.head),
	    .cq_tail = reinterpret_cast<unsigned *>(rings + p.cq_off.tail),
	    .cq_mask = *reinterpret_cast<unsigned *>(rings + p.cq_off.ring_mask),
	    .cqes = reinterpret_cast<struct io_uring_cqe *>(rings + p.cq_off.cqes), .queued = 0};
	return true;
}

static int
enter(struct ring *r, unsigned flags, unsigned wait_for, void *arg, size_t arg_len)
{
	long rc;
	while ((rc = syscall(__NR_io_uring_enter, r->fd, r->queued, wait_for, flags, arg,
	    arg_len)) == -1 && errno == EINTR)
		;
	if (rc >= 0)
		r->queued -= static_cast<unsigned>(rc) < r->queued ? static_cast<unsigned>(rc) : r->queued;
	return rc == -1 ? -errno : 0;
}

// The next free entry, cleared; a full queue is handed over first.
static struct io_uring_sqe *
entry(struct ring *r)
{
	unsigned tail = *r->sq_tail;
	if (tail - load_acquire(r->sq_head) >= r->sq_entries) {
		enter(r, 0, 0, nullptr, 0);
		tail = *r->sq_tail;
	}
	unsigned i = tail & r->sq_mask;
	struct io_uring_sqe *e = &r->sqes[i];
	memset(e, 0, sizeof(*e));
	r->sq_array[i] = i;
	return e;
}

static void
queue(struct ring *r)
{
	__atomic_store_n(r->sq_tail, *r->sq_tail + 1, __ATOMIC_RELEASE);
	r->queued++;
}

void
ring_poll(struct ring *r, int fd, uint64_t tag)
{
	struct io_uring_sqe *e = entry(r);
	e->opcode = IORING_OP_POLL_ADD;
	e->fd = fd;
	e->poll32_events = POLLIN;
	e->user_data = tag;
	queue(r);
}

// A receive or a send of one message, whose result is reported only
// when it failed if `quiet`.
static void
message(struct ring *r, uint8_t opcode, int fd, const struct msghdr *msg, uint64_t tag,
    bool quiet)
{
	struct io_uring_sqe *e = entry(r);
	e->opcode = opcode;
	e->fd = fd;
	e->addr = reinterpret_cast<uintptr_t>(msg);
	e->len = 1;
	// A full send buffer is an answer for the next socket, never a wait.
	e->msg_flags = opcode == IORING_OP_SENDMSG ? MSG_DONTWAIT : 0;
	e->user_data = tag;
	e->flags = quiet ? IOSQE_CQE_SKIP_SUCCESS : 0;
	queue(r);
}

void
ring_receive(struct ring *r, int fd, struct msghdr *msg, uint64_t tag)
{
	message(r, IORING_OP_RECVMSG, fd, msg, tag, false);
}

void
ring_cancel(struct ring *r, uint64_t tag)
{
	struct io_uring_sqe *e = entry(r);
	e->opcode = IORING_OP_ASYNC_CANCEL;
	e->fd = -1;
	e->addr = tag;
	e->user_data = tag;
	e->flags = IOSQE_CQE_SKIP_SUCCESS;
	queue(r);
}

void
ring_send(struct ring *r, int fd, const struct msghdr *msg, uint64_t tag)
{
	message(r, IORING_OP_SENDMSG, fd, msg, tag, true);
}

int
ring_enter(struct ring *r, int timeout_ms)
{
	struct __kernel_timespec ts = {.tv_sec = timeout_ms / 1000,
	    .tv_nsec = static_cast<long long>(timeout_ms % 1000) * 1000000};
	struct io_uring_getevents_arg arg = {.sigmask = 0, .sigmask_sz = _NSIG / 8, .pad = 0,
	    .ts = timeout_ms < 0 ? 0 : reinterpret_cast<uintptr_t>(&ts)};
	// Without a wait the kernel still does the work that came in, so that
	// the polls report it.
	return enter(r, IORING_ENTER_GETEVENTS | IORING_ENTER_EXT_ARG, timeout_ms == 0 ? 0 : 1,
	    &arg, sizeof(arg));
}

bool
ring_next(struct ring *r, struct ring_done *d)
{
	unsigned head = *r->cq_head;
	if (head == load_acquire(r->cq_tail))
		return false;
	const struct io_uring_cqe *c = &r->cqes[head & r->cq_mask];
	*d = {.tag = c->user_data, .res = c->res};
	__atomic_store_n(r->cq_head, head + 1, __ATOMIC_RELEASE);
	return true;
}
