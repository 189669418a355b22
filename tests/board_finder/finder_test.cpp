#include "finder.h"
#include "udp.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

TEST(FinderArgs, SecondsTargetsAndCounts)
{
	struct { const char *text; bool ok; double seconds; } waits[] = {
		{"1", true, 1}, {"0.25", true, 0.25}, {"2e-1", true, 0.2}, {"3600", true, 3600},
		{"0", false, 0}, {"-1", false, 0}, {"3600.5", false, 0}, {"nan", false, 0},
		{"inf", false, 0}, {"1s", false, 0}, {"", false, 0}, {"1e999", false, 0},
	};
	for (const auto &w : waits) {
		double got = 0;
		EXPECT_EQ(parse_seconds(w.text, &got), w.ok) << w.text;
		if (w.ok) {
			EXPECT_EQ(got, w.seconds) << w.text;
		}
	}

	struct { const char *text; bool ok; const char *host; uint16_t port; } targets[] = {
		{"10.0.0.7", true, "10.0.0.7", 49100}, {"board.lan:7", true, "board.lan", 7},
		{"h:65535", true, "h", 65535}, {"h:0", false, "", 0}, {"h:65536", false, "", 0},
		{"h:", false, "", 0}, {":49100", false, "", 0}, {"h:+1", false, "", 0},
		{"h:0000049100", false, "", 0},
	};
	for (const auto &t : targets) {
		std::string host;
		uint16_t port = 0;
		EXPECT_EQ(split_target(t.text, &host, &port), t.ok) << t.text;
		if (t.ok) {
			EXPECT_EQ(std::make_pair(host, port), std::make_pair(std::string(t.host), t.port));
		}
	}

	const char *argv[] = {"corvane-find", "-i", "eth0", "-ieth1", "-t", "2.5", "-n", "3",
	    "--json", "10.0.0.1", "h:5", nullptr};
	find_options opts;
	std::string why;
	ASSERT_EQ(parse_find_args(11, const_cast<char **>(argv), &opts, &why), EFindAction_Run);
	EXPECT_EQ(opts.ifaces, (std::vector<std::string>{"eth0", "eth1"}));
	EXPECT_EQ(opts.wait_s, 2.5);
	EXPECT_EQ(opts.count, 3);
	EXPECT_TRUE(opts.json);
	EXPECT_EQ(opts.targets, (std::vector<std::string>{"10.0.0.1", "h:5"}));
}

TEST(FinderWire, RequestAndWhatCountsAsAReply)
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
	for (unsigned char id : {uint8_t{0}, uint8_t{78}, uint8_t{109}}) {
		reply[7] = id;
		EXPECT_FALSE(is_board_reply(reply.data(), TARVO_DGRAM_LEN, false, &ver)) << int(id);
	}
}

TEST(FinderReport, SortedNumericallyInBothForms)
{
	std::vector<board_entry> boards = {
		{0x0A00000A, 49100, 2, "eth1", 1.5},  // 10.0.0.10
		{0x0A000009, 49100, 2, "eth0", 0.25}, // 10.0.0.9
		{0x0A000009, 7, 3, "we\"ird\x01\xe9", 2},
	};
	sort_boards(&boards);
	EXPECT_EQ(format_text(boards),
	    "ADDRESS          PORT PROTO_VER INTERFACE           RTT_MS\n"
	    "10.0.0.9            7         3 we\"ird\x01\xe9             2.000\n"
	    "10.0.0.9        49100         2 eth0                 0.250\n"
	    "10.0.0.10       49100         2 eth1                 1.500\n");
	boards.erase(boards.begin() + 1, boards.end());
	EXPECT_EQ(format_json(boards),
	    "[\n  {\"address\": \"10.0.0.9\", \"port\": 7, \"proto_ver\": 3, "
	    "\"interface\": \"we\\\"ird\\u0001\\u00e9\", \"rtt_ms\": 2.000}\n]\n");
	EXPECT_EQ(format_json({}), "[]\n");
}
