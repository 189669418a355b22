#include "endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

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

// Every answer names its source: the address asked, or for a broadcast
// or multicast the interface's, as IP_PKTINFO gives them with the request;
// for a spare socket's request, which comes without, its bound address.
TEST(Endpoint, AnswersLeaveFromTheAddressAsked)
{
	struct { const char *to, *reply_from; uint32_t bound; } cases[] = {
		{"10.0.0.5", "10.0.0.5", 0}, {"10.0.0.77", "10.0.0.77", 0},
		{"10.0.0.255", "10.0.0.5", 0}, {"255.255.255.255", "10.0.0.5", 0},
		{"224.0.0.1", "10.0.0.5", 0}, {"", "10.0.0.77", 0x0a00004d},
	};
	for (const auto &c : cases) {
		alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
		struct msghdr in = {};
		in.msg_control = control;
		in.msg_controllen = sizeof(control);
		struct cmsghdr *cm = CMSG_FIRSTHDR(&in);
		cm->cmsg_level = IPPROTO_IP;
		cm->cmsg_type = IP_PKTINFO;
		cm->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
		struct in_pktinfo info = {};
		inet_pton(AF_INET, c.to, &info.ipi_addr);
		inet_pton(AF_INET, c.reply_from, &info.ipi_spec_dst);
		memcpy(CMSG_DATA(cm), &info, sizeof(info));
		if (c.bound != 0)
			in.msg_controllen = 0;  // a spare socket's request comes without

		alignas(struct cmsghdr) unsigned char out_control[CMSG_SPACE(sizeof(struct in_pktinfo))];
		struct msghdr out = {};
		reply_from_address_asked(&in, c.bound, &out, out_control, sizeof(out_control));
		struct cmsghdr *oc = CMSG_FIRSTHDR(&out);
		ASSERT_NE(oc, nullptr) << c.to;
		EXPECT_EQ(oc->cmsg_type, IP_PKTINFO);
		struct in_pktinfo from;
		memcpy(&from, CMSG_DATA(oc), sizeof(from));
		char text[INET_ADDRSTRLEN];
		EXPECT_STREQ(inet_ntop(AF_INET, &from.ipi_spec_dst, text, sizeof(text)), c.reply_from)
		    << c.to;
	}
}
