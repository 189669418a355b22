#include "neighbours.h"
#include "endpoint.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <climits>
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

// rtnetlink through socket pairs: each message is a fixed part, then
// 32-bit attributes.
template <typename Head>
static void
say(int fd, uint16_t type, uint16_t flags, uint32_t seq, Head head,
    std::initializer_list<std::pair<uint16_t, uint32_t>> attrs)
{
	unsigned char msg[128] = {};
	size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(head));
	memcpy(msg + NLMSG_HDRLEN, &head, sizeof(head));
	for (auto [attr, v] : attrs) {
		struct rtattr a = {static_cast<unsigned short>(RTA_LENGTH(4)), attr};
		memcpy(msg + at, &a, sizeof(a));
		memcpy(msg + at + RTA_LENGTH(0), &v, 4);
		at += RTA_LENGTH(4);
	}
	struct nlmsghdr h = {static_cast<uint32_t>(at), type, flags, seq, 0};
	memcpy(msg, &h, sizeof(h));
	ASSERT_EQ(send(fd, msg, at, 0), static_cast<ssize_t>(at));
}

enum : uint32_t { no_gateway = 0 };

static void
say_route(int fd, uint16_t type, uint16_t flags, uint8_t table, uint8_t kind, uint32_t dst,
    uint8_t prefix, uint32_t oif, uint32_t gateway = no_gateway)
{
	rtmsg rt = {AF_INET, prefix, 0, 0, table, RTPROT_KERNEL, RT_SCOPE_LINK, kind, 0};
	if (gateway == no_gateway)
		say(fd, type, flags, 0, rt, {{RTA_DST, htonl(dst)}, {RTA_OIF, oif}});
	else
		say(fd, type, flags, 0, rt,
		    {{RTA_DST, htonl(dst)}, {RTA_OIF, oif}, {RTA_GATEWAY, htonl(gateway)}});
}

struct Kernel {
	int links[2], ask[2];
	Kernel(neighbours *nb)
	{
		neigh_clear(nb);
		socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, links);
		socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, ask);
		nb->fd = links[0];
		nb->ask_fd = ask[0];
		nb->dumping = neigh_dump_done;
	}
	~Kernel()
	{
		for (int fd : {links[0], links[1], ask[0], ask[1]})
			close(fd);
	}
	// The answer to the next question about a neighbour: a state, or an
	// error (as -errno).
	void answer(const neighbours &nb, int said)
	{
		uint32_t seq = nb.ask_seq + 1;
		if (said < 0)
			say(ask[1], NLMSG_ERROR, 0, seq, nlmsgerr{said, {}}, {});
		else
			say(ask[1], RTM_NEWNEIGH, 0, seq,
			    ndmsg{AF_INET, 0, 0, 0, static_cast<uint16_t>(said), 0, 0}, {});
	}
};

// A board at 10.82.0.1/16 on link 2, with a router to 10.82.200.0/24 and
// to everything else, and 10.0.0.0/24 on a tunnel (link 3).
static void
board_routes(const Kernel &k, neighbours *nb)
{
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0x0A520000, 16, 2);
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0x0A52C800, 24, 2,
	    0x0A520007);
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0, 0, 2, 0x0A520007);
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0x0A000000, 24, 3);
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_LOCAL, RTN_BROADCAST, 0x0A52FFFF, 32, 2);
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_LOCAL, RTN_LOCAL, 0x0A520001, 32, 2);
	say(k.links[1], RTM_NEWLINK, 0, 0, ifinfomsg{AF_UNSPEC, 0, 0, 3, IFF_UP | IFF_NOARP, 0}, {});
	neigh_read(nb, 0);
}

// A transcript's step: a sender's request at a time, what the kernel says
// when it is asked (not_asked: it must not be), and whether it is answered.
constexpr int not_asked = INT_MIN;
struct admit_step {
	uint32_t addr;
	int64_t at;
	int kernel_says;  // a NUD_ state, or an error as -errno
	bool admitted;
};

static void
replay(Kernel &k, neighbours *nb, const std::vector<admit_step> &steps, int64_t t0)
{
	for (const admit_step &s : steps) {
		uint32_t asked = nb->ask_seq;
		if (s.kernel_says != not_asked)
			k.answer(*nb, s.kernel_says);
		auto step = testing::Message() << std::hex << s.addr << std::dec << " at "
		                               << (s.at - t0) / 1000 << " us";
		EXPECT_EQ(neigh_admit(nb, s.addr, s.at), s.admitted) << step;
		EXPECT_EQ(nb->ask_seq - asked, s.kernel_says != not_asked ? 1u : 0u) << step;
	}
}

// One answer at a time to a sender the board must resolve, until the
// kernel resolves it or gives up, or the hold passes; the kernel is asked
// only when such a sender asks again, and then ever more rarely. Everyone
// else is always answered.
TEST(Neighbours, OneAnswerAtATimeToAnUnresolvedSender)
{
	static neighbours nb;
	Kernel k(&nb);
	board_routes(k, &nb);
	const uint32_t forged = 0x0A52ABCD, host = 0x0A520009, behind = 0x0A52C809,
	    far = 0xC0000201, tunnel = 0x0A000005, net = 0x0A520000, bcast = 0x0A52FFFF;
	const int64_t t = 5000000000, ms = 1000000, us = 1000;
	const int none = not_asked;
	replay(k, &nb, {
		{forged, t, none, true}, {forged, t, -ENOENT, false},  // its answer not sent yet
		{forged, t + 500 * us, NUD_INCOMPLETE, false},
		{forged, t + ms, none, false}, {forged, t + 100 * ms, NUD_INCOMPLETE, false},
		{forged, t + 110 * ms, none, false}, {forged, t + 3000 * ms, none, true},
		{forged, t + 3100 * ms, NUD_FAILED, true}, {forged, t + 3200 * ms, -ENOENT, true},
		{forged, t + 3200 * ms + 500 * us, none, false},
		{forged, t + 3300 * ms, NUD_STALE, true}, {forged, t + 4299 * ms, none, true},
		{forged, t + 4300 * ms, NUD_INCOMPLETE, false},
		{host, t, none, true}, {host, t + 200 * us, NUD_REACHABLE, true}, {host, t + ms, none, true},
		{net, t, none, true}, {net, t + ms, NUD_INCOMPLETE, false},
		{behind, t, none, true}, {behind, t, none, true}, {far, t, none, true}, {far, t, none, true},
		{tunnel, t, none, true}, {tunnel, t, none, true}, {bcast, t, none, true}, {bcast, t, none, true},
	}, t);
	// A question the kernel cannot answer (qemu-user carries none) lets
	// the answer go.
	EXPECT_TRUE(neigh_admit(&nb, forged + 1, t));
	k.answer(nb, -EOPNOTSUPP);
	EXPECT_TRUE(neigh_admit(&nb, forged + 1, t + ms));
	EXPECT_TRUE(neigh_admit(&nb, forged + 1, t + 2 * ms));  // no answer waiting
	// Without rtnetlink, nothing is known and every answer goes.
	nb.fd = -1;
	EXPECT_TRUE(neigh_admit(&nb, 0x0A52ABCE, t) && neigh_admit(&nb, 0x0A52ABCE, t));
}

// Addresses that share every slot they may take, as an attacker would pick
// them if the hash were known (here its key is). Once the window is full of
// holds, a new address waits (the kernel has not resolved it) and no hold
// is cut short, however many come; a host the kernel has resolved is
// answered without a slot; when the holds pass, the newcomer gets one.
TEST(Neighbours, ACrowdedWindowNeverCutsAHoldShort)
{
	static neighbours nb;
	Kernel k(&nb);
	nb.hash_key[0] = 1;
	nb.hash_key[1] = 2;
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0x0A000000, 8, 2);
	neigh_read(&nb, 0);
	std::vector<uint32_t> same;
	const unsigned home = neigh_home(&nb, 0x0A000100);
	for (uint32_t a = 0x0A000100; same.size() < neigh_probes + 3; a++) {
		if (neigh_home(&nb, a) == home)
			same.push_back(a);
	}
	const uint32_t host = same[neigh_probes + 1], other = same[neigh_probes + 2];
	const uint32_t newcomer = same[neigh_probes - 1];
	const int64_t t = 5000000000, ms = 1000000;
	const int none = not_asked;
	EXPECT_TRUE(neigh_admit(&nb, host, t));
	k.answer(nb, NUD_REACHABLE);
	EXPECT_TRUE(neigh_admit(&nb, host, t + ms));
	for (unsigned i = 0; i + 1 < neigh_probes; i++)  // the host has the 32nd slot
		EXPECT_TRUE(neigh_admit(&nb, same[i], t + i * ms)) << i;
	replay(k, &nb, {
		{newcomer, t + 100 * ms, -ENOENT, false},  // no room: it waits
		{newcomer, t + 101 * ms, -ENOENT, false},
		{same[0], t + 102 * ms, NUD_INCOMPLETE, false},  // still held
		{other, t + 103 * ms, NUD_STALE, true},          // resolved: no slot needed
		{host, t + 104 * ms, none, true},
		{same[0], t + 3000 * ms, none, true},         // its hold has passed
		{newcomer, t + 3020 * ms, none, true},  // and so has another's
	}, t);
}

// Routes and links as the kernel announces them decide who is resolved
// first: the longest prefix without a gateway, on a link that resolves.
TEST(Neighbours, WhatTheKernelSays)
{
	static neighbours nb;
	Kernel k(&nb);
	board_routes(k, &nb);
	auto resolves = [&](uint32_t addr) {
		neigh_read(&nb, 0);
		int oif = 0;
		return neigh_resolves(&nb, addr, &oif) ? oif : 0;
	};
	struct {
		uint32_t addr;
		int oif;
	} board[] = {
		{0x0A52ABCD, 2}, {0x0A520000, 2}, {0x0A52C809, 0}, {0xC0000201, 0}, {0x0A000005, 0},
		{0x0A52FFFF, 0}, {0x0A520001, 0},
	};
	for (const auto &b : board)
		EXPECT_EQ(resolves(b.addr), b.oif) << std::hex << b.addr;
	uint32_t bcast[4];
	ASSERT_EQ(neigh_broadcasts(&nb, bcast, 4), 1u);
	EXPECT_EQ(bcast[0], 0x0A52FFFFu);

	// A /32 board with a route to its link's /16.
	say_route(k.links[1], RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0x0A5A0000, 16, 4);
	EXPECT_EQ(resolves(0x0A5A0203), 4);
	// Replaced by a route through a router; then the router's route gone.
	say_route(k.links[1], RTM_NEWROUTE, NLM_F_REPLACE, RT_TABLE_MAIN, RTN_UNICAST, 0x0A5A0000,
	    16, 2, 0x0A520007);
	EXPECT_EQ(resolves(0x0A5A0203), 0);
	say_route(k.links[1], RTM_DELROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0x0A52C800, 24, 2,
	    0x0A520007);
	EXPECT_EQ(resolves(0x0A52C809), 2);
	// The tunnel resolves addresses again; renumbered, the old subnet is
	// no longer the board's; a link down takes its routes.
	say(k.links[1], RTM_NEWLINK, 0, 0, ifinfomsg{AF_UNSPEC, 0, 0, 3, IFF_UP, 0}, {});
	EXPECT_EQ(resolves(0x0A000005), 3);
	say_route(k.links[1], RTM_DELROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST, 0x0A520000, 16, 2);
	EXPECT_EQ(resolves(0x0A52ABCD), 0);
	say(k.links[1], RTM_NEWLINK, 0, 0, ifinfomsg{AF_UNSPEC, 0, 0, 3, 0, 0}, {});
	EXPECT_EQ(resolves(0x0A000005), 0);
	ASSERT_EQ(neigh_broadcasts(&nb, bcast, 4), 1u);
	say_route(k.links[1], RTM_DELROUTE, 0, RT_TABLE_LOCAL, RTN_BROADCAST, 0x0A52FFFF, 32, 2);
	neigh_read(&nb, 0);
	EXPECT_EQ(neigh_broadcasts(&nb, bcast, 4), 0u);
}
