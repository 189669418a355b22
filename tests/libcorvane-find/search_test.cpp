#include "search.h"
#include "udp.h"

#include <arpa/inet.h>

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
	plan.rules.push_back({ip("10.77.1.1"), ip("255.255.255.0"), 49100});  // broadcast on eth0
	target_rules(ip("192.168.7.20"), 5000, nets, &plan.rules);            // a board
	target_rules(ip("10.77.1.255"), 7, nets, &plan.rules);                // eth0's subnet
	target_rules(ip("172.16.8.255"), 49100, nets, &plan.rules);           // a subnet elsewhere
	target_rules(ip("10.9.0.3"), 49100, nets, &plan.rules);               // a host, not a subnet
	struct { const char *addr; uint16_t port; bool counts; } cases[] = {
		{"10.77.1.11", 49100, true}, {"10.77.1.11", 7, true}, {"10.77.1.11", 0, false},
		{"10.77.1.11", 5000, false}, {"10.77.1.0", 49100, false},
		{"10.77.1.255", 49100, false}, {"10.77.2.11", 49100, false},
		{"192.168.7.20", 5000, true}, {"192.168.7.20", 49100, false},
		{"192.168.7.21", 5000, false}, {"172.16.8.1", 49100, true},
		{"172.16.8.255", 49100, true}, {"172.16.9.1", 49100, false},
		{"10.9.0.3", 49100, true}, {"10.9.0.2", 49100, false}, {"0.1.2.3", 49100, false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(plan_admits(plan, ip(c.addr), c.port), c.counts) << c.addr << ":" << c.port;
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
	for (ssize_t len : {-1, 0, 39, 41})
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
