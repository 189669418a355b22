#include "udp.h"

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
