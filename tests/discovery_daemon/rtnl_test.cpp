#include "routes.h"
#include "rtnl_parse.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A message as the kernel sends it: a fixed part, then 32-bit attributes.
template <typename Head>
static Bytes
msg(uint16_t type, uint16_t flags, uint32_t seq, Head head,
    std::initializer_list<std::pair<uint16_t, uint32_t>> attrs = {})
{
	Bytes m(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(head)) + attrs.size() * RTA_LENGTH(4));
	memcpy(m.data() + NLMSG_HDRLEN, &head, sizeof(head));
	size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(head));
	for (auto [type_, v] : attrs) {
		struct rtattr a = {static_cast<unsigned short>(RTA_LENGTH(4)), type_};
		memcpy(m.data() + at, &a, sizeof(a));
		memcpy(m.data() + at + RTA_LENGTH(0), &v, 4);
		at += RTA_LENGTH(4);
	}
	struct nlmsghdr h = {static_cast<uint32_t>(m.size()), type, flags, seq, 0};
	memcpy(m.data(), &h, sizeof(h));
	return m;
}

static rtmsg
rt(uint8_t prefix, uint8_t table = RT_TABLE_MAIN, uint8_t type = RTN_UNICAST,
    uint8_t family = AF_INET)
{
	return {family, prefix, 0, 0, table, RTPROT_KERNEL, RT_SCOPE_LINK, type, 0};
}

static ifinfomsg
link(int index, unsigned flags)
{
	return {AF_UNSPEC, 0, 0, index, flags, 0};
}

static struct rtnl_msg
parse(const Bytes &m)
{
	struct rtnl_msg out;
	EXPECT_EQ(rtnl_parse(m.data(), m.size(), &out), m.size());
	return out;
}

// Each kind of message, and the malformed ones, into what the daemon keeps.
TEST(RtnlParse, RoutesAndLinks)
{
	const uint32_t dst = htonl(0x0A52ABCD), gw = htonl(0x0A520007);
	struct {
		const char *what;
		Bytes m;
		rtnl_kind kind;
		route4 r;
		route_change how;
	} routes[] = {
		{"a /16 on link 2", msg(RTM_NEWROUTE, 0, 0, rt(16), {{RTA_DST, dst}, {RTA_OIF, 2},
		    {RTA_PRIORITY, 7}}), rtnl_route, {0x0A520000, 0xFFFF0000, 7, 2, 254, RTN_UNICAST, true},
		    route_add},
		{"the default route", msg(RTM_NEWROUTE, 0, 0, rt(0), {{RTA_GATEWAY, gw}, {RTA_OIF, 2}}),
		    rtnl_route, {0, 0, 0, 2, 254, RTN_UNICAST, false}, route_add},
		{"a host route replaced", msg(RTM_NEWROUTE, NLM_F_REPLACE, 0, rt(32), {{RTA_DST, dst}}),
		    rtnl_route, {0x0A52ABCD, ~0u, 0, 0, 254, RTN_UNICAST, true}, route_replace},
		{"a broadcast removed", msg(RTM_DELROUTE, 0, 0, rt(32, RT_TABLE_LOCAL, RTN_BROADCAST),
		    {{RTA_DST, dst}}), rtnl_route, {0x0A52ABCD, ~0u, 0, 0, 255, RTN_BROADCAST, true},
		    route_del},
		{"the table in an attribute", msg(RTM_NEWROUTE, 0, 0, rt(8, RT_TABLE_COMPAT),
		    {{RTA_TABLE, 100}}), rtnl_route, {0, 0xFF000000, 0, 0, 100, RTN_UNICAST, true},
		    route_add},
		{"a table above 255", msg(RTM_NEWROUTE, 0, 0, rt(8), {{RTA_TABLE, 1000}}), rtnl_ignored,
		    {}, route_del},
		{"IPv6", msg(RTM_NEWROUTE, 0, 0, rt(64, RT_TABLE_MAIN, RTN_UNICAST, AF_INET6)),
		    rtnl_ignored, {}, route_del},
		{"a prefix of 33", msg(RTM_NEWROUTE, 0, 0, rt(33)), rtnl_ignored, {}, route_del},
		{"a dump's end", msg(NLMSG_DONE, NLM_F_MULTI, 0, 0), rtnl_end, {}, route_del},
		{"a neighbour", msg(RTM_NEWNEIGH, 0, 0, ndmsg{}), rtnl_ignored, {}, route_del},
	};
	for (const auto &c : routes) {
		struct rtnl_msg m = parse(c.m);
		EXPECT_EQ(m.kind, c.kind) << c.what;
		if (c.kind != rtnl_route)
			continue;
		const route4 &r = m.route;
		EXPECT_EQ(std::tie(r.net, r.mask, r.priority, r.oif, r.table, r.type, r.direct, m.how),
		    std::tie(c.r.net, c.r.mask, c.r.priority, c.r.oif, c.r.table, c.r.type, c.r.direct,
		    c.how)) << c.what;
	}
	struct {
		Bytes m;
		int ifindex;
		bool up, noarp;
	} links[] = {
		{msg(RTM_NEWLINK, 0, 0, link(3, IFF_UP | IFF_NOARP)), 3, true, true},
		{msg(RTM_NEWLINK, 0, 0, link(1, IFF_UP | IFF_LOOPBACK)), 1, true, true},
		{msg(RTM_NEWLINK, 0, 0, link(2, IFF_UP)), 2, true, false},
		{msg(RTM_DELLINK, 0, 0, link(2, IFF_UP)), 2, false, false},
	};
	for (const auto &c : links) {
		struct rtnl_msg m = parse(c.m);
		EXPECT_EQ(m.kind, rtnl_link);
		EXPECT_EQ(std::tie(m.ifindex, m.up, m.noarp), std::tie(c.ifindex, c.up, c.noarp))
		    << c.ifindex;
	}

	// A message cut short, an attribute running past its message, and
	// two messages in one buffer.
	Bytes cut = msg(RTM_NEWROUTE, 0, 0, rt(16), {{RTA_DST, dst}});
	struct rtnl_msg m;
	EXPECT_EQ(rtnl_parse(cut.data(), cut.size() - 1, &m), 0u);
	EXPECT_EQ(rtnl_parse(cut.data(), 15, &m), 0u);
	Bytes past = cut;
	past[NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(rtmsg))] = 200;  // the attribute's length
	EXPECT_EQ(parse(past).route.net, 0u);
	Bytes two = cut;
	two.insert(two.end(), cut.begin(), cut.end());
	EXPECT_EQ(rtnl_parse(two.data(), two.size(), &m), cut.size());
}

// The kernel's answer to neighbour question seq: the entry's state.
static Bytes
neigh(uint32_t seq, uint16_t state)
{
	return msg(RTM_NEWNEIGH, 0, seq, ndmsg{AF_INET, 0, 0, 2, state, 0, 0});
}

TEST(RtnlParse, NeighbourAnswers)
{
	struct {
		Bytes m;
		bool answers;
		neigh_said said;
	} cases[] = {
		{neigh(7, NUD_REACHABLE), true, neigh_said_resolved},
		{neigh(7, NUD_STALE), true, neigh_said_resolved},
		{neigh(7, NUD_PERMANENT), true, neigh_said_resolved},
		{neigh(7, NUD_INCOMPLETE), true, neigh_said_pending},
		{neigh(7, NUD_FAILED), true, neigh_said_none},
		{msg(NLMSG_ERROR, 0, 7, nlmsgerr{-ENOENT, {}}), true, neigh_said_none},
		{msg(NLMSG_ERROR, 0, 7, nlmsgerr{-EOPNOTSUPP, {}}), true, neigh_said_unknown},
		{msg(RTM_NEWROUTE, 0, 7, rt(16)), true, neigh_said_unknown},
		{neigh(6, NUD_REACHABLE), false, {}},
	};
	for (const auto &c : cases) {
		neigh_said said = neigh_said_pending;
		ASSERT_EQ(rtnl_neigh_answer(c.m.data(), c.m.size(), 7, &said), c.answers);
		if (c.answers) {
			EXPECT_EQ(said, c.said) << int(c.said);
		}
	}
}

static route4
route(uint32_t net, int prefix, int oif, uint8_t table = route_table_main,
    uint8_t type = RTN_UNICAST, bool direct = true, uint32_t priority = 0)
{
	uint32_t mask = prefix == 0 ? 0 : ~0u << (32 - prefix);
	return {net, mask, priority, oif, table, type, direct};
}

// A board at 10.82.0.1/16 on link 2, with a router to 10.82.200.0/24 and
// to everything else, and 10.0.0.0/24 on a tunnel (link 3). Who the kernel
// resolves: the longest prefix without a gateway, the lowest priority
// among equal ones, on a link that resolves.
TEST(Routes, WhoTheKernelResolves)
{
	static struct routes rs;
	routes_clear(&rs);
	for (const route4 &r : {route(0x0A520000, 16, 2), route(0x0A52C800, 24, 2, 254, 1, false),
	    route(0, 0, 2, 254, 1, false), route(0x0A000000, 24, 3),
	    route(0x0A52FFFF, 32, 2, route_table_local, RTN_BROADCAST),
	    route(0xFFFFFFFF, 32, 2, route_table_local, RTN_BROADCAST),
	    route(0x0A520001, 32, 2, route_table_local, RTN_LOCAL),
	    route(0x7F000000, 8, 1, route_table_local, RTN_LOCAL), route(0x0A530000, 16, 2, 100)})
		routes_change(&rs, &r, route_add);
	routes_link(&rs, 3, true, true);
	auto resolves = [&](uint32_t addr) {
		int oif = 0;
		return routes_resolve(&rs, addr, &oif) ? oif : 0;
	};
	struct {
		uint32_t addr;
		int oif;
	} board[] = {
		{0x0A52ABCD, 2}, {0x0A520000, 2}, {0x0A52C809, 0}, {0xC0000201, 0}, {0x0A000005, 0},
		{0x0A52FFFF, 0}, {0x0A520001, 0}, {0x0A530001, 0},
	};
	for (const auto &b : board)
		EXPECT_EQ(resolves(b.addr), b.oif) << std::hex << b.addr;
	uint32_t own[4];
	ASSERT_EQ(routes_locals(&rs, own, 4), 1u);
	EXPECT_EQ(own[0], 0x0A520001u);

	// Two routes to one prefix: the lower priority wins, whichever came first.
	route4 far = route(0x0A5A0000, 16, 2, 254, RTN_UNICAST, false, 100);
	route4 near = route(0x0A5A0000, 16, 4, 254, RTN_UNICAST, true, 50);
	routes_change(&rs, &far, route_add);
	routes_change(&rs, &near, route_add);
	EXPECT_EQ(resolves(0x0A5A0203), 4);
	routes_change(&rs, &near, route_del);
	EXPECT_EQ(resolves(0x0A5A0203), 0);
	// Replaced through another link; the router's route gone.
	routes_change(&rs, &near, route_add);
	near.oif = 5;
	routes_change(&rs, &near, route_replace);
	EXPECT_EQ(resolves(0x0A5A0203), 5);
	route4 via = route(0x0A52C800, 24, 2, 254, 1, false);
	routes_change(&rs, &via, route_del);
	EXPECT_EQ(resolves(0x0A52C809), 2);
	// The tunnel resolves again; then goes down, and its routes with it.
	routes_link(&rs, 3, true, false);
	EXPECT_EQ(resolves(0x0A000005), 3);
	routes_link(&rs, 3, false, false);
	EXPECT_EQ(resolves(0x0A000005), 0);

	// Past the table's room nobody is held; a route gone then is noted.
	const unsigned gen = rs.gen;
	for (unsigned i = 0; i <= routes_max; i++) {
		route4 r = route(0x0B000000 + i, 32, 2);
		routes_change(&rs, &r, route_add);
	}
	EXPECT_TRUE(rs.lost);
	EXPECT_EQ(resolves(0x0A52ABCD), 0);
	route4 gone = route(0x0B000000 + routes_max, 32, 2);
	routes_change(&rs, &gone, route_del);
	EXPECT_TRUE(rs.gone_while_lost);
	routes_clear(&rs);
	EXPECT_FALSE(rs.lost || rs.gone_while_lost || rs.n);
	EXPECT_NE(rs.gen, gen);
}
