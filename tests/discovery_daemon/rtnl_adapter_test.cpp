#include "rtnl.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

// Adds or removes 127.0.1.0 + i, for i below n, on the loopback: each
// brings the local table's route messages.
static void
loopback_addresses(uint16_t type, unsigned n)
{
	int nl = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
	ASSERT_NE(nl, -1);
	for (unsigned i = 0; i < n; i++) {
		struct {
			struct nlmsghdr h;
			struct ifaddrmsg a;
			struct rtattr r;
			uint32_t v;
		} req = {};
		req.h = {sizeof(req), type, NLM_F_REQUEST | NLM_F_CREATE, i, 0};
		req.a = {AF_INET, 8, 0, RT_SCOPE_HOST, static_cast<uint32_t>(if_nametoindex("lo"))};
		req.r = {RTA_LENGTH(4), IFA_LOCAL};
		req.v = htonl(0x7F000100 + i);
		ASSERT_EQ(send(nl, &req, sizeof(req), 0), static_cast<ssize_t>(sizeof(req)));
	}
	close(nl);
}

// What the adapter has to say within 2 s, taken at now_ns, until it has
// read its tables whole.
static void
settle(struct rtnl *a, int64_t now_ns)
{
	for (int i = 0; i < 20; i++) {
		struct pollfd p = {rtnl_fd(a), POLLIN, 0};
		if (poll(&p, 1, 100) == 0 && a->dumping == rtnl_dump_done)
			return;
		rtnl_process(a, now_ns);
	}
}

static void
overflow(struct rtnl *a, uint16_t type)
{
	int least = 1;
	ASSERT_EQ(setsockopt(a->fd, SOL_SOCKET, SO_RCVBUF, &least, sizeof(least)), 0);
	loopback_addresses(type, 100);
}

// Messages lost to a full buffer: the tables are read again at once, a
// second loss within the second waits for it (and then comes whatever
// else happens), and what is read again is the kernel's tables now.
TEST(RtnlAdapter, LostMessagesAreReadAgainAtMostOnceASecond)
{
	if (unshare(CLONE_NEWNET) != 0)
		GTEST_SKIP() << "needs a network namespace of its own (root)";
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	struct ifreq up = {};
	strcpy(up.ifr_name, "lo");
	up.ifr_flags = IFF_UP;
	ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &up), 0);
	close(s);

	static struct rtnl a;
	rtnl_open(&a);
	ASSERT_NE(rtnl_fd(&a), -1);
	const int64_t t = 5000000000, ms = 1000000;
	settle(&a, t);
	uint32_t own[128];
	ASSERT_EQ(rtnl_locals(&a, own, 128), 1u);

	overflow(&a, RTM_NEWADDR);
	rtnl_process(&a, t);
	EXPECT_EQ(rtnl_timeout_ms(&a, t), -1);  // read again at once
	settle(&a, t);
	EXPECT_EQ(rtnl_locals(&a, own, 128), 101u);

	overflow(&a, RTM_DELADDR);
	rtnl_process(&a, t + 100 * ms);
	EXPECT_EQ(rtnl_timeout_ms(&a, t + 100 * ms), 901);  // not before the second is out
	rtnl_process(&a, t + 1000 * ms);
	EXPECT_EQ(rtnl_timeout_ms(&a, t + 1000 * ms), -1);
	settle(&a, t + 1000 * ms);
	ASSERT_EQ(rtnl_locals(&a, own, 128), 1u);
	EXPECT_EQ(own[0], 0x7F000001u);
}
