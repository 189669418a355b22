#include "ring.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

static int
loopback_udp(struct sockaddr_in *self)
{
	int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	*self = {.sin_family = AF_INET, .sin_port = 0, .sin_addr = {.s_addr = htonl(INADDR_LOOPBACK)},
	    .sin_zero = {}};
	socklen_t len = sizeof(*self);
	EXPECT_EQ(bind(s, reinterpret_cast<struct sockaddr *>(self), len), 0);
	EXPECT_EQ(getsockname(s, reinterpret_cast<struct sockaddr *>(self), &len), 0);
	return s;
}

static std::vector<std::pair<uint64_t, int32_t>>
results(struct ring *r, int timeout_ms)
{
	EXPECT_EQ(ring_enter(r, timeout_ms), 0);
	std::vector<std::pair<uint64_t, int32_t>> out;
	for (struct ring_done d; ring_next(r, &d);)
		out.emplace_back(d.tag, d.res);
	std::sort(out.begin(), out.end());
	return out;
}

// What the loop relies on: a receive reports its datagram, a send only
// its failure, a cancelled receive that it ended, and a wait its time.
TEST(Ring, ReportsWhatTheLoopWaitsFor)
{
	struct ring r;
	if (!ring_open(&r, 8))
		GTEST_SKIP() << "no io_uring here";
	struct sockaddr_in a_addr, b_addr, from;
	int a = loopback_udp(&a_addr), b = loopback_udp(&b_addr);
	char in[8], out[] = "hello";
	struct iovec in_iov = {.iov_base = in, .iov_len = sizeof(in)};
	struct iovec out_iov = {.iov_base = out, .iov_len = 5};
	struct msghdr rx = {.msg_name = &from, .msg_namelen = sizeof(from), .msg_iov = &in_iov,
	    .msg_iovlen = 1, .msg_control = nullptr, .msg_controllen = 0, .msg_flags = 0};
	struct msghdr tx = {.msg_name = &b_addr, .msg_namelen = sizeof(b_addr), .msg_iov = &out_iov,
	    .msg_iovlen = 1, .msg_control = nullptr, .msg_controllen = 0, .msg_flags = 0};
	struct msghdr nowhere = {.msg_name = nullptr, .msg_namelen = 0, .msg_iov = &out_iov,
	    .msg_iovlen = 1, .msg_control = nullptr, .msg_controllen = 0, .msg_flags = 0};

	ring_receive(&r, b, &rx, 7);
	EXPECT_TRUE(results(&r, 0).empty());
	ring_send(&r, a, &tx, 9);
	ring_send(&r, a, &nowhere, 10);
	using R = std::vector<std::pair<uint64_t, int32_t>>;
	EXPECT_EQ(results(&r, 1000), (R{{7, 5}, {10, -EDESTADDRREQ}}));
	EXPECT_EQ(from.sin_port, a_addr.sin_port);

	ring_receive(&r, b, &rx, 11);
	ring_cancel(&r, 11);
	EXPECT_EQ(results(&r, 0), (R{{11, -ECANCELED}}));
	EXPECT_EQ(ring_enter(&r, 20), -ETIME);
	close(a);
	close(b);
	close(r.fd);
}
