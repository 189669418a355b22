#include "finder.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

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

	// The documented edges are taken.
	const char *edges[] = {"corvane-find", "-n", "4294967295", nullptr};
	find_options most;
	ASSERT_EQ(parse_find_args(3, const_cast<char **>(edges), &most, &why), EFindAction_Run) << why;
	EXPECT_EQ(most.count, 4294967295LL);
	const char *often[] = {"corvane-find", "--watch", "--every", "0.01", nullptr};
	find_options watch;
	ASSERT_EQ(parse_find_args(4, const_cast<char **>(often), &watch, &why), EFindAction_Run)
	    << why;
	EXPECT_EQ(watch.every_s, 0.01);
	const char *sd[] = {"corvane-find", "--watch", "--prometheus-sd", "b.json", "--scrape-port",
	    "9200", nullptr};
	find_options scrape;
	ASSERT_EQ(parse_find_args(6, const_cast<char **>(sd), &scrape, &why), EFindAction_Run) << why;
	EXPECT_EQ((std::pair<std::string, unsigned>(scrape.sd_file, scrape.scrape_port)),
	    (std::pair<std::string, unsigned>("b.json", 9200)));
}

// The boards for Prometheus, sorted, each a target group of its own.
TEST(FinderReport, ServiceDiscoveryList)
{
	std::vector<board_entry> boards = {{0x0A000105, 49100, 2, "eth\"1", 1.5},
	    {0x0A000005, 49100, 3, "eth0", 2.5, "02:00:0a:00:00:05"}};
	EXPECT_EQ(format_sd(boards, 9100),
	    "[\n"
	    "  {\"targets\": [\"10.0.0.5:9100\"], \"labels\": {\"corvane_interface\": \"eth0\", "
	    "\"corvane_proto_ver\": \"3\", \"corvane_mac\": \"02:00:0a:00:00:05\"}},\n"
	    "  {\"targets\": [\"10.0.1.5:9100\"], \"labels\": {\"corvane_interface\": \"eth\\\"1\", "
	    "\"corvane_proto_ver\": \"2\"}}\n"
	    "]\n");
	EXPECT_EQ(format_sd({}, 9100), "[]\n");

	// A watch reads back what it wrote (with an interface name that needs
	// escaping), and nothing else.
	boards.push_back({0x0A000205, 49100, 2, std::string("e\\t\x01h", 5), 0});
	std::vector<board_entry> back;
	ASSERT_TRUE(parse_sd(format_sd(boards, 9100), &back));
	ASSERT_EQ(back.size(), 3u);
	EXPECT_EQ((std::tuple(back[0].addr, back[0].proto_ver, back[0].iface, back[0].mac)),
	    (std::tuple(0x0A000005u, 3u, std::string("eth0"), std::string("02:00:0a:00:00:05"))));
	EXPECT_EQ((std::pair(back[1].iface, back[1].mac)), (std::pair<std::string, std::string>(
	    "eth\"1", "")));
	EXPECT_EQ(back[2].iface, std::string("e\\t\x01h", 5));
	EXPECT_TRUE(parse_sd("[]\n", &back) && back.empty());
	for (const char *other : {"", "{}", "[\n  {\"targets\": [\"10.0.0.5:9100\"]}\n]\n",
	         "[\n  {\"targets\": [\"10.0.0.x:9100\"], \"labels\": {\"corvane_interface\": "
	         "\"eth0\", \"corvane_proto_ver\": \"3\"}}\n]\n"})
		EXPECT_FALSE(parse_sd(other, &back)) << other;
}

TEST(FinderArgs, Durations)
{
	struct { const char *text; bool ok; double seconds; } cases[] = {
		{"90", true, 90}, {"30m", true, 1800}, {"1.5h", true, 5400}, {"1d", true, 86400},
		{"3650d", true, 3650.0 * 86400}, {"2s", true, 2}, {"0", false, 0}, {"-1d", false, 0},
		{"1w", false, 0}, {"d", false, 0}, {"3651d", false, 0}, {"nan", false, 0},
		{"1 d", false, 0},
	};
	for (const auto &c : cases) {
		double got = 0;
		EXPECT_EQ(parse_duration(c.text, &got), c.ok) << c.text;
		if (c.ok) {
			EXPECT_EQ(got, c.seconds) << c.text;
		}
	}
}

TEST(FinderArgs, UnknownOptionsAreNamed)
{
	struct { std::vector<const char *> args; const char *why; } cases[] = {
		{{"-zq"}, "unknown option -z"}, {{"-nz"}, "-n z: not a count from 1 to 4294967295"},
		{{"--bogus"}, "unknown option --bogus"}, {{"-t"}, "option -t needs a value"},
		{{"-n", "4294967296"}, "-n 4294967296: not a count from 1 to 4294967295"},
		{{"--watch", "-n", "1"}, "-n cannot be combined with --watch"},
		{{"-t", "1", "--watch"}, "-t cannot be combined with --watch"},
		{{"--every", "1"}, "--every needs --watch"},
		{{"--watch", "--forget-after", "1d"}, "--forget-after needs --prometheus-sd"},
		{{"--watch", "--prometheus-sd", "f", "--forget-after", "1w"},
		    "--forget-after 1w: not a duration (90, 30m, 12h, 1d) above 0 and at most 3650d"},
		{{"--watch", "--every", "0.001"}, "--every 0.001: not a number of seconds from 0.01 to 3600"},
		{{"--prometheus-sd", "f"}, "--prometheus-sd needs --watch"},
		{{"--watch", "--scrape-port", "9"}, "--scrape-port needs --prometheus-sd"},
		{{"--watch", "--prometheus-sd", "f", "--scrape-port", "65536"},
		    "--scrape-port 65536: not a port from 1 to 65535"},
	};
	for (auto &c : cases) {
		std::vector<char *> argv = {const_cast<char *>("corvane-find")};
		for (const char *a : c.args)
			argv.push_back(const_cast<char *>(a));
		argv.push_back(nullptr);
		find_options opts;
		std::string why;
		EXPECT_EQ(parse_find_args(int(argv.size()) - 1, argv.data(), &opts, &why),
		    EFindAction_Usage_Error);
		EXPECT_EQ(why, c.why);
	}
}

TEST(FinderReport, SortedNumericallyInBothForms)
{
	std::vector<board_entry> boards = {
		{0x0A00000A, 49100, 2, "eth1", 1.5},  // 10.0.0.10
		{0x0A000009, 49100, 2, "eth0", 0.25, "02:00:0a:00:00:09"},
		{0x0A000009, 7, 3, "w\"\x01\xe9\xc3\xa9\xe2\x82\xac", 2},  // a control, a stray byte, é, €
		{0x0A000008, 7, 3, "eth\xc2\x85", 2},                             // U+0085, a control
		{0x0A000007, 7, 3, "d\x7f\xc2\x9f\xf4\x90\x80\x80", 2},  // DEL, U+009F, past U+10FFFF
	};
	sort_boards(&boards);
	EXPECT_EQ(format_text(boards),
	    "ADDRESS          PORT PROTO_VER INTERFACE           RTT_MS MAC\n"
	    "10.0.0.7            7         3 d\\x7f\\xc2\\x9f\\xf4\\x90\\x80\\x80      2.000 -\n"
	    "10.0.0.8            7         3 eth\\xc2\\x85          2.000 -\n"
	    "10.0.0.9            7         3 w\"\\x01\\xe9\xc3\xa9\xe2\x82\xac         2.000 -\n"
	    "10.0.0.9        49100         2 eth0                 0.250 02:00:0a:00:00:09\n"
	    "10.0.0.10       49100         2 eth1                 1.500 -\n");
	EXPECT_EQ(format_event(true, boards[3], true),
	    "{\"event\": \"found\", \"address\": \"10.0.0.9\", \"port\": 49100, \"proto_ver\": 2, "
	    "\"interface\": \"eth0\", \"rtt_ms\": 0.250, \"mac\": \"02:00:0a:00:00:09\"}\n");
	EXPECT_EQ(format_event(true, boards[3], false), "found 10.0.0.9 49100 2 eth0 0.250 02:00:0a:00:00:09\n");
	boards.erase(boards.begin() + 3, boards.end());
	EXPECT_EQ(format_json(boards),
	    "[\n  {\"address\": \"10.0.0.7\", \"port\": 7, \"proto_ver\": 3, "
	    "\"interface\": \"d\\u007f\xc2\x9f\\u00f4\\u0090\\u0080\\u0080\", \"rtt_ms\": 2.000},\n"
	    "  {\"address\": \"10.0.0.8\", \"port\": 7, \"proto_ver\": 3, "
	    "\"interface\": \"eth\xc2\x85\", \"rtt_ms\": 2.000},\n"
	    "  {\"address\": \"10.0.0.9\", \"port\": 7, \"proto_ver\": 3, "
	    "\"interface\": \"w\\\"\\u0001\\u00e9\xc3\xa9\xe2\x82\xac\", \"rtt_ms\": 2.000}\n]\n");
	EXPECT_EQ(format_json({}), "[]\n");
	EXPECT_EQ(format_event(true, boards[1], false), "found 10.0.0.8 7 3 eth\\xc2\\x85 2.000 -\n");
	// A name that looks like an escape reads back as itself.
	EXPECT_EQ(format_event(true, {0x0A000008, 7, 3, "a\\x41", 2}, false),
	    "found 10.0.0.8 7 3 a\\x5cx41 2.000 -\n");
	EXPECT_EQ(format_event(false, boards[1], false), "lost 10.0.0.8 7\n");
	EXPECT_EQ(format_event(false, boards[1], true),
	    "{\"event\": \"lost\", \"address\": \"10.0.0.8\", \"port\": 7, \"proto_ver\": 3, "
	    "\"interface\": \"eth\xc2\x85\", \"rtt_ms\": 2.000}\n");
}
