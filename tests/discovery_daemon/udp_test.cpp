#include "neighbours.h"
#include "udp.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

using Dgram = std::array<unsigned char, TARVO_DGRAM_LEN>;

static Dgram
request(uint8_t id0, uint8_t id1, uint8_t id2, uint8_t id3, uint8_t fill)
{
	Dgram d;
	d.fill(fill);
	d[4] = id0, d[5] = id1, d[6] = id2, d[7] = id3;
	return d;
}

static Dgram
reply_to(const Dgram &req, unsigned char preset)
{
	Dgram out;
	out.fill(preset);
	get_checkou_pass(req.data(), out.data());
	return out;
}

TEST(ReplyBuilder, DiscoveryRequestGetsTheFixedReply)
{
	const Dgram expected = {0, 0, 0, 2, 0, 0, 0, 0x4D};
	// proto_ver, seq, payload and the trailing bytes are never examined.
	for (uint8_t fill : {uint8_t{0x00}, uint8_t{0x07}, uint8_t{0xFF}}) {
		Dgram req = request(0, 0, 0, 0x6D, fill);
		EXPECT_EQ(reply_to(req, 0), expected) << "fill " << int(fill);
	}
}

TEST(ReplyBuilder, ReplyCoversTheRecordOnly)
{
	Dgram out = reply_to(request(0, 0, 0, 0x6D, 0x55), 0xA5);
	for (size_t i = 8; i < sizeof(corvane_tarvo_find_data_t); i++)
		EXPECT_EQ(out[i], 0) << "byte " << i;
	for (size_t i = sizeof(corvane_tarvo_find_data_t); i < out.size(); i++)
		EXPECT_EQ(out[i], 0xA5) << "byte " << i;
}

TEST(ReplyBuilder, OtherIdsLeaveTheBufferUntouched)
{
	Dgram untouched;
	untouched.fill(0xA5);
	EXPECT_EQ(reply_to(request(0, 0, 0, 77, 0), 0xA5), untouched);
	EXPECT_EQ(reply_to(request(0, 0, 0, 32, 0), 0xA5), untouched);
	EXPECT_EQ(reply_to(request(0x6D, 0, 0, 0, 0), 0xA5), untouched);  // byte-swapped 109
	EXPECT_EQ(reply_to(request(0, 0, 1, 0x6D, 0), 0xA5), untouched);  // 365
}

TEST(Answered, OnlyFortyByteDatagramsThatAreNotAllZero)
{
	Dgram zero{};
	EXPECT_FALSE(is_answered(zero.data(), 40));

	for (size_t i : {size_t{0}, size_t{7}, size_t{39}}) {
		Dgram one{};
		one[i] = 1;
		EXPECT_TRUE(is_answered(one.data(), 40)) << "non-zero byte " << i;
	}

	Dgram req = request(0, 0, 0, 0x6D, 0);
	for (ssize_t len : {-1, 0, 36, 39, 41, 1471})
		EXPECT_FALSE(is_answered(req.data(), len)) << "length " << len;
}

static struct sockaddr_in
sender(const char *addr, uint16_t port)
{
	struct sockaddr_in sin{};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(port);
	inet_pton(AF_INET, addr, &sin.sin_addr);
	return sin;
}

TEST(Answered, OnlySendersAReplyCanReach)
{
	struct { const char *addr; uint16_t port; bool answered; } cases[] = {
		{"10.0.0.7", 5000, true}, {"127.0.0.1", 1, true}, {"10.0.0.255", 49100, true},
		{"223.255.255.255", 65535, true}, {"240.0.0.1", 7, true},
		{"10.0.0.7", 0, false}, {"0.0.0.0", 5000, false}, {"0.1.2.3", 5000, false},
		{"255.255.255.255", 5000, false}, {"224.0.0.1", 5000, false},
		{"239.255.255.250", 1900, false},
	};
	Dgram req = request(0, 0, 0, 0x6D, 0);
	for (const auto &c : cases) {
		struct sockaddr_in from = sender(c.addr, c.port);
		Dgram out;
		out.fill(0xA5);
		EXPECT_EQ(build_answer(req.data(), 40, &from, out.data()), c.answered)
		    << c.addr << ":" << c.port;
		if (c.answered) {
			EXPECT_EQ(out, (Dgram{0, 0, 0, 2, 0, 0, 0, 0x4D}));
		}
	}
}

TEST(SendLog, AtMostOneLinePerSecondCountingTheRest)
{
	struct send_log log = {-1, 0};
	unsigned long held = 99;
	const int64_t s = send_log_interval_ns;
	EXPECT_TRUE(send_log_admit(&log, 5, s, &held));
	EXPECT_EQ(held, 0u);
	for (int64_t t : {int64_t{6}, s / 2, s + 4})
		EXPECT_FALSE(send_log_admit(&log, t, s, &held)) << t;
	EXPECT_TRUE(send_log_admit(&log, s + 5, s, &held));
	EXPECT_EQ(held, 3u);
	EXPECT_TRUE(send_log_admit(&log, 10 * s, s, &held));
	EXPECT_EQ(held, 0u);
}

// The destination as IP_PKTINFO gives it: a broadcast or multicast has the
// interface's address as the reply address, a datagram to this host its
// own destination.
TEST(Endpoint, SentToGroupByItsDestination)
{
	struct { const char *to, *reply_from; bool group; } cases[] = {
		{"10.0.0.5", "10.0.0.5", false}, {"10.0.0.255", "10.0.0.5", true},
		{"255.255.255.255", "10.0.0.5", true}, {"224.0.0.1", "10.0.0.5", true},
	};
	for (const auto &c : cases) {
		alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
		struct msghdr msg = {};
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		struct cmsghdr *cm = CMSG_FIRSTHDR(&msg);
		cm->cmsg_level = IPPROTO_IP;
		cm->cmsg_type = IP_PKTINFO;
		cm->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
		struct in_pktinfo info = {};
		inet_pton(AF_INET, c.to, &info.ipi_addr);
		inet_pton(AF_INET, c.reply_from, &info.ipi_spec_dst);
		memcpy(CMSG_DATA(cm), &info, sizeof(info));
		EXPECT_EQ(sent_to_group(&msg), c.group) << c.to;
	}
	struct msghdr none = {};
	EXPECT_FALSE(sent_to_group(&none));
}

// Answers to an unresolved sender on a link: one at a time, as the kernel
// resolves or gives up, or after the hold; everyone else always.
TEST(Neighbours, OneAnswerAtATimeToAnUnresolvedSender)
{
	static neighbours nb;
	neigh_clear(&nb);
	nb.fd = 0;  // as if rtnetlink had spoken
	neigh_subnet(&nb, 2, 0x0A520001, 16, true);  // 10.82.0.1/16
	neigh_subnet(&nb, 3, 0x0A000001, 24, true);  // 10.0.0.1/24 on a tunnel
	neigh_noarp(&nb, 3, true);
	const uint32_t forged = 0x0A52ABCD, host = 0x0A520009, far = 0xC0000201, tunnel = 0x0A000005;
	const int64_t t = 5000000000, ms = 1000000;
	neigh_learn(&nb, host, true, t);
	struct {
		uint32_t addr;
		int64_t at;
		bool admitted;
	} steps[] = {
		{forged, t, true}, {forged, t + ms, false}, {forged, t + 2999 * ms, false},
		{forged, t + 3000 * ms, true}, {forged, t + 3001 * ms, false},
		{host, t, true}, {host, t + ms, true}, {far, t, true}, {far, t, true},
		{tunnel, t, true}, {tunnel, t, true},
		{0x0A52FFFF, t, true}, {0x0A52FFFF, t, true},  // the subnet's broadcast address
	};
	for (const auto &s : steps)
		EXPECT_EQ(neigh_admit(&nb, s.addr, s.at), s.admitted) << std::hex << s.addr << " " << s.at;
	// The kernel gave up: the next answer goes, and is held again.
	neigh_learn(&nb, forged, false, t + 3002 * ms);
	EXPECT_TRUE(neigh_admit(&nb, forged, t + 3003 * ms));
	EXPECT_FALSE(neigh_admit(&nb, forged, t + 3004 * ms));
	// It answered: resolved from now on.
	neigh_learn(&nb, forged, true, t + 3005 * ms);
	EXPECT_TRUE(neigh_admit(&nb, forged, t + 3006 * ms));
	// Without rtnetlink, nothing is known and every answer goes.
	nb.fd = -1;
	EXPECT_TRUE(neigh_admit(&nb, 0x0A52ABCE, t) && neigh_admit(&nb, 0x0A52ABCE, t));

}

// Addresses that share every slot they may take, as an attacker would pick
// them if the hash were known (here its key is): the 33rd takes the oldest
// hold's slot and is held in turn; a host the kernel resolved keeps its
// own slot.
TEST(Neighbours, ACrowdedWindowStillHoldsEachAddress)
{
	static neighbours nb;
	neigh_clear(&nb);
	nb.hash_key[0] = 1;
	nb.hash_key[1] = 2;
	nb.fd = 0;
	neigh_subnet(&nb, 2, 0x0A000001, 8, true);
	std::vector<uint32_t> same;
	const unsigned home = neigh_home(&nb, 0x0A000100);
	for (uint32_t a = 0x0A000100; same.size() < neigh_probes + 2; a++) {
		if (neigh_home(&nb, a) == home)
			same.push_back(a);
	}
	const uint32_t host = same.back();
	const int64_t t = 5000000000, ms = 1000000;
	neigh_learn(&nb, host, true, t);
	for (unsigned i = 0; i < neigh_probes; i++)
		EXPECT_TRUE(neigh_admit(&nb, same[i], t + i * ms)) << i;
	EXPECT_TRUE(neigh_admit(&nb, same[neigh_probes], t + 100 * ms));
	EXPECT_FALSE(neigh_admit(&nb, same[neigh_probes], t + 101 * ms));
	EXPECT_TRUE(neigh_admit(&nb, same[0], t + 102 * ms));  // its hold was the oldest
	EXPECT_FALSE(neigh_admit(&nb, same[neigh_probes - 1], t + 103 * ms));
	EXPECT_TRUE(neigh_admit(&nb, host, t + 104 * ms) && neigh_admit(&nb, host, t + 105 * ms));
}

// What the kernel says, as rtnetlink messages through a socket pair in
// place of the rtnetlink socket: a fixed part, then one IPv4 address.
template <typename Head>
static void
say(int fd, uint16_t type, Head head, uint16_t attr, uint32_t addr)
{
	unsigned char msg[64] = {};
	size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(head));
	struct nlmsghdr h = {static_cast<uint32_t>(at + RTA_LENGTH(4)), type, 0, 0, 0};
	struct rtattr a = {static_cast<unsigned short>(RTA_LENGTH(4)), attr};
	uint32_t be = htonl(addr);
	memcpy(msg, &h, sizeof(h));
	memcpy(msg + NLMSG_HDRLEN, &head, sizeof(head));
	memcpy(msg + at, &a, sizeof(a));
	memcpy(msg + at + RTA_LENGTH(0), &be, 4);
	ASSERT_EQ(send(fd, msg, h.nlmsg_len, 0), static_cast<ssize_t>(h.nlmsg_len));
}

static void
say_addr(int fd, bool add, uint32_t addr, unsigned char prefix, unsigned ifindex)
{
	say(fd, add ? RTM_NEWADDR : RTM_DELADDR,
	    ifaddrmsg{AF_INET, prefix, 0, RT_SCOPE_UNIVERSE, ifindex}, IFA_LOCAL, addr);
}

static void
say_neigh(int fd, uint32_t addr, uint16_t state)
{
	say(fd, RTM_NEWNEIGH, ndmsg{AF_INET, 0, 0, 0, state, 0, 0}, NDA_DST, addr);
}

TEST(Neighbours, WhatTheKernelSays)
{
	static neighbours nb;
	neigh_clear(&nb);
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv), 0);
	nb.fd = sv[0];
	nb.dumping = neigh_dump_done;
	const uint32_t forged = 0x0A52ABCD, host = 0x0A520009, p2p = 0x0A5B0000;
	const int64_t ms = 1000000;
	int64_t t = 5000000000;
	// Admitted, then whether a second answer at once is held.
	auto held = [&](uint32_t addr) {
		neigh_read(&nb, t);
		bool first = neigh_admit(&nb, addr, t += ms);
		return first && !neigh_admit(&nb, addr, t += ms);
	};
	say_addr(sv[1], true, 0x0A520001, 16, 2);  // 10.82.0.1/16
	say_addr(sv[1], true, 0x0A5B0001, 31, 4);  // 10.91.0.1/31: its other host is .0
	EXPECT_TRUE(held(forged));
	EXPECT_TRUE(held(p2p));
	say_neigh(sv[1], host, NUD_REACHABLE);
	EXPECT_FALSE(held(host));
	say_neigh(sv[1], forged, NUD_FAILED);  // given up: the next answer goes
	EXPECT_TRUE(held(forged));
	say_addr(sv[1], false, 0x0A520001, 16, 2);  // renumbered: off the board's links
	EXPECT_FALSE(held(forged + 1));
	close(sv[0]);
	close(sv[1]);
}
