#include "search.h"
#include "sockets.h"

#include <gtest/gtest.h>

#include <array>

static uint32_t
ip(const char *text)
{
	struct in_addr in;
	inet_pton(AF_INET, text, &in);
	return ntohl(in.s_addr);
}

TEST(Targets, HostPortAndWhatIsRefused)
{
	struct { const char *text; bool ok; const char *host; uint16_t port; } cases[] = {
		{"10.0.0.7", true, "10.0.0.7", 49100}, {"board.lan:7", true, "board.lan", 7},
		{"h:65535", true, "h", 65535}, {"h:0", false, "", 0}, {"h:65536", false, "", 0},
		{"h:", false, "", 0}, {":49100", false, "", 0}, {"h:+1", false, "", 0},
		{"h:0000049100", false, "", 0}, {"::1", false, "", 0}, {"[::1]:49100", false, "", 0},
		{"2001:db8::1", false, "", 0},
	};
	for (const auto &c : cases) {
		std::string host, why;
		uint16_t port = 0;
		EXPECT_EQ(split_target(c.text, &host, &port, &why), c.ok) << c.text;
		if (c.ok) {
			EXPECT_EQ(std::make_pair(host, port), std::make_pair(std::string(c.host), c.port));
		}
	}
	std::string host, why;
	uint16_t port;
	split_target("::1", &host, &port, &why);
	EXPECT_EQ(why, "::1: an IPv6 address; boards answer on IPv4 only");
}

TEST(Answers, OnlyFromWhereARequestWent)
{
	std::vector<local_net> nets = {{"eth0", 2, ip("10.77.1.1"), ip("255.255.255.0"),
	    ip("10.77.1.255"), true}};
	find_plan plan;
	add_rule(&plan, {ip("10.77.1.1"), ip("255.255.255.0"), 49100});  // broadcast on eth0
	add_rule(&plan, {ip("10.50.0.0"), ip("255.255.255.254"), 49100}); // broadcast on a /31
	target_rules(ip("192.168.7.20"), 5000, nets, &plan);              // a board
	target_rules(ip("10.77.1.255"), 7, nets, &plan);                  // eth0's subnet
	target_rules(ip("172.16.8.255"), 49100, nets, &plan);             // a subnet elsewhere
	target_rules(ip("10.9.0.3"), 49100, nets, &plan);                 // a host, not a subnet
	target_rules(ip("255.255.255.255"), 9, nets, &plan);              // every local subnet
	const admit_result ok = admit_ok, port = admit_other_port, no = admit_elsewhere;
	struct { const char *addr; uint16_t port; admit_result counts; } cases[] = {
		{"10.77.1.11", 49100, ok}, {"10.77.1.11", 7, ok}, {"10.77.1.11", 9, ok},
		{"10.77.1.11", 0, port}, {"10.77.1.11", 5000, port}, {"10.77.1.0", 49100, no},
		{"10.77.1.255", 49100, port}, {"10.77.2.11", 49100, no},
		{"192.168.7.20", 5000, ok}, {"192.168.7.20", 49100, port},
		{"192.168.7.21", 5000, no}, {"172.16.8.1", 49100, ok},
		{"172.16.8.255", 49100, ok}, {"172.16.9.1", 49100, no},
		{"10.9.0.3", 49100, ok}, {"10.9.0.2", 49100, no}, {"0.1.2.3", 49100, no},
		{"10.50.0.0", 49100, ok}, {"10.50.0.1", 49100, ok}, {"10.50.0.2", 49100, no},
	};
	for (const auto &c : cases)
		EXPECT_EQ(plan_admits(plan, ip(c.addr), c.port), c.counts) << c.addr << ":" << c.port;
}

TEST(Targets, Blocks)
{
	struct { const char *text; const char *first; const char *last; } cases[] = {
		{"10.0.4.9/22", "10.0.4.1", "10.0.7.254"}, {"10.0.0.5/30", "10.0.0.5", "10.0.0.6"},
		{"10.0.0.5/31", "10.0.0.4", "10.0.0.5"}, {"10.0.0.5/32", "10.0.0.5", "10.0.0.5"},
		{"172.16.99.1/16", "172.16.0.1", "172.16.255.254"},
	};
	for (const auto &c : cases) {
		uint32_t net, mask, first, last;
		std::string why;
		ASSERT_TRUE(split_block(c.text, &net, &mask, &why)) << c.text;
		block_hosts(net, mask, &first, &last);
		EXPECT_EQ(std::make_pair(first, last), std::make_pair(ip(c.first), ip(c.last))) << c.text;
	}
	for (const char *bad : {"10.0.0.0/15", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/+8",
	         "10.0.0/24", "board/24", "10.0.0.0/024"}) {
		uint32_t net, mask;
		std::string why;
		EXPECT_FALSE(split_block(bad, &net, &mask, &why)) << bad;
		EXPECT_EQ(why, std::string(bad) + ": not a block ADDRESS/PREFIX (PREFIX 16 to 32)");
	}
}

// A block on a local subnet is asked by that subnet's broadcast (on a
// /31, the link's: the other "broadcast" is the peer's own address) and by
// unicast to the hosts the system knows there; what lies beyond the
// subnet, through the router at a rate. Answers come from the block alone.
TEST(Targets, BlocksOnLinkByBroadcast)
{
	const std::vector<local_net> nets = {
		{"eth0", 2, ip("10.90.0.1"), ip("255.255.240.0"), ip("10.90.15.255"), true},
		{"eth1", 3, ip("10.91.0.1"), ip("255.255.255.0"), ip("10.91.0.255"), true},
		{"tun0", 4, ip("10.92.0.1"), ip("255.255.255.0"), ip("10.92.0.255"), false},
		{"p2p0", 5, ip("10.93.0.0"), ip("255.255.255.254"), ip("10.93.0.1"), true},
	};
	struct {
		const char *block;
		const char *broadcast;  // to this address, or none
		size_t unicasts, routed;  // unicasts: asked each round
		const char *first, *outside;  // outside: a host the broadcast reaches, say
	} cases[] = {
		{"10.90.0.0/20", "10.90.15.255", 1, 0, "10.90.7.200", "10.90.16.5"},
		{"10.90.4.0/22", "10.90.15.255", 1, 0, "10.90.7.200", "10.90.8.1"},
		{"10.90.0.0/16", "10.90.15.255", 1, 61439, "10.90.7.200", "10.89.0.5"},
		{"10.90.8.0/22", "10.90.15.255", 0, 0, nullptr, "10.90.4.1"},
		{"10.91.0.0/23", "10.91.0.255", 1, 255, "10.91.0.9", "10.91.2.1"},
		{"10.92.0.0/24", nullptr, 254, 0, "10.92.0.1", "10.90.0.5"},
		{"192.168.0.0/24", nullptr, 0, 254, "192.168.0.1", "10.90.0.5"},
		{"10.93.0.0/31", "255.255.255.255", 0, 0, nullptr, "10.93.0.2"},
	};
	for (const auto &c : cases) {
		find_plan plan;
		plan.known = {ip("10.90.7.200"), ip("10.91.0.9")};
		uint32_t net, mask;
		std::string why;
		ASSERT_TRUE(split_block(c.block, &net, &mask, &why));
		plan_block(&plan, net, mask, 49100, nets, c.block);
		std::vector<uint32_t> bcasts, unicasts;
		for (const find_dest &d : plan.dests)
			(d.ifindex != 0 ? bcasts : unicasts).push_back(ntohl(d.addr.sin_addr.s_addr));
		EXPECT_EQ(bcasts, c.broadcast ? std::vector<uint32_t>{ip(c.broadcast)}
		                              : std::vector<uint32_t>{}) << c.block;
		EXPECT_EQ(unicasts.size(), c.unicasts) << c.block;
		EXPECT_EQ(plan.routed_hosts, c.routed) << c.block;
		if (c.first != nullptr) {
			EXPECT_EQ(c.unicasts != 0 ? unicasts[0] : routed_at(plan, 0).addr, ip(c.first))
			    << c.block;
		}
		EXPECT_EQ(plan_admits(plan, net + (mask == 0xfffffffe ? 1 : 5), 49100), admit_ok)
		    << c.block;
		EXPECT_EQ(plan_admits(plan, ip(c.outside), 49100), admit_elsewhere) << c.block;
	}
}

TEST(Reasons, OneLineAndTheValueGiven)
{
	EXPECT_EQ(one_line("lo\nX\x7f\x1b\xc3\xa9"), "lo\\x0aX\\x7f\\x1b\xc3\xa9");
	EXPECT_EQ(shortest(3600.0001), "3600.0001");
	EXPECT_EQ(shortest(0.1), "0.1");
	EXPECT_EQ(shortest(1e-300), "1e-300");
}

TEST(Wire, RequestAndWhatCountsAsAReply)
{
	std::array<unsigned char, TARVO_DGRAM_LEN> req;
	req.fill(0xEE);
	build_request(req.data());
	std::array<unsigned char, TARVO_DGRAM_LEN> want{0, 0, 0, 2, 0, 0, 0, 109};
	EXPECT_EQ(req, want);

	std::array<unsigned char, TARVO_DGRAM_LEN + 1> reply{0, 0, 0, 7, 0, 0, 0, 77};
	uint32_t ver = 0;
	EXPECT_TRUE(is_board_reply(reply.data(), TARVO_DGRAM_LEN, false, &ver));
	EXPECT_EQ(ver, 7u);
	EXPECT_FALSE(is_board_reply(reply.data(), TARVO_DGRAM_LEN, true, &ver));  // cut from longer
	for (size_t len : {0u, 39u, 41u, 100u})
		EXPECT_FALSE(is_board_reply(reply.data(), len, false, &ver)) << len;
	// Every byte of the id counts: 0x0100004D and 0x0000014D are not 77.
	for (size_t at : {size_t{4}, size_t{5}, size_t{6}}) {
		auto other = reply;
		other[at] = 1;
		EXPECT_FALSE(is_board_reply(other.data(), TARVO_DGRAM_LEN, false, &ver)) << at;
	}
	for (unsigned char id : {uint8_t{0}, uint8_t{78}, uint8_t{109}}) {
		reply[7] = id;
		EXPECT_FALSE(is_board_reply(reply.data(), TARVO_DGRAM_LEN, false, &ver)) << int(id);
	}
}

// A cancel sets its flag, then wakes the wait; a run that ends between the
// two leaves the wake-up to the next run, with no cancel behind it. That
// run must use it up and sleep, not wake on it until its wait is over.
TEST(Cancel, ALateWakeUpIsUsedUpNotSpunOn)
{
	corvane_finder *f = corvane_finder_new();
	ASSERT_EQ(corvane_finder_add_target(f, "127.0.0.1:9"), 0);
	ASSERT_EQ(corvane_finder_set_wait(f, 1), 0);
	net_wake_signal(&f->wake);
	double before = thread_cpu_s();
	EXPECT_EQ(corvane_finder_run(f, [](const corvane_board *, void *) { return 0; }, nullptr), 0);
	EXPECT_LT(thread_cpu_s() - before, 0.25);
	corvane_finder_free(f);
}
