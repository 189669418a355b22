// The search over the scripted network: round times, the count, boards
// lost and found, the cap, the deadline under a flood, and the turns of
// unresolved targets. No socket is opened and no time passes.
#include "corvane/find.h"
#include "fake_net.h"
#include "plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_set>
#include <vector>

static uint32_t
ip(const char *text)
{
	struct in_addr in;
	inet_pton(AF_INET, text, &in);
	return ntohl(in.s_addr);
}

static local_net
lan(const char *name, unsigned ifindex, const char *addr)
{
	return {name, ifindex, ip(addr), 0xffffff00, ip(addr) | 0xff, true};
}

// What a finder reported and logged.
struct seen {
	std::vector<std::pair<std::string, double>> events;  // "found A" / "lost A", when
	std::vector<std::string> warnings;
};

// "ADDRESS", and " MAC" when the board has one.
static std::string
named(const corvane_board *b)
{
	std::string mac = corvane_board_mac(b);
	return b->address + (mac.empty() ? "" : " " + mac);
}

static int
on_board(const corvane_board *b, void *arg)
{
	static_cast<seen *>(arg)->events.emplace_back("found " + named(b), fake.now);
	return 0;
}

static int
on_event(const corvane_event *e, void *arg)
{
	std::string kind = e->kind == CORVANE_BOARD_FOUND ? "found " : "lost ";
	static_cast<seen *>(arg)->events.emplace_back(kind + named(e->board), fake.now);
	return 0;
}

static corvane_finder *
finder(seen *out, double wait = 1)
{
	corvane_finder *f = corvane_finder_new();
	corvane_finder_set_wait(f, wait);
	corvane_finder_set_warn(f, [](const char *line, void *arg) {
		static_cast<seen *>(arg)->warnings.emplace_back(line);
	}, out);
	return f;
}

// A board at addr answers a broadcast, or a request to its own address,
// `after` seconds later at the socket that asked; the answer comes in on
// eth0 (index 2) unless it answers a broadcast on another.
static void
answer_as(uint32_t addr, const fake_sent &s, double after = 0.01)
{
	if (s.ifindex != 0 || s.addr == addr)
		fake.inbox.push_back({s.at + after, addr, 49100, s.ifindex != 0 ? s.ifindex : 2, s.sock});
}

static void
boards_answer(const std::vector<uint32_t> &addrs)
{
	fake.on_send = [addrs](const fake_sent &s) {
		for (uint32_t a : addrs)
			answer_as(a, s);
	};
}

// The requests sent, without the confirmations (from socket 0).
static std::vector<fake_sent>
requests(void)
{
	std::vector<fake_sent> out;
	for (const fake_sent &s : fake.sent)
		if (s.sock != 0)
			out.push_back(s);
	return out;
}

TEST(Engine, RoundsAtFractionsOfTheWaitAndTheCount)
{
	struct {
		double wait;
		unsigned count, boards;
		std::vector<double> rounds_at;
		double ends_at;
	} cases[] = {
		{1, 0, 2, {0, 0.2, 0.5}, 1}, {10, 0, 2, {0, 2, 5}, 10},
		{10, 2, 3, {0}, 0.02},  // the count reached by the first confirmations
	};
	for (const auto &c : cases) {
		fake_reset();
		fake.nets = {lan("eth0", 2, "10.1.0.1")};
		std::vector<uint32_t> boards = {ip("10.1.0.5"), ip("10.1.0.6"), ip("10.1.0.7")};
		boards.resize(c.boards);
		boards_answer(boards);
		seen out;
		corvane_finder *f = finder(&out, c.wait);
		corvane_finder_set_count(f, c.count);
		double start = fake.now;
		EXPECT_EQ(corvane_finder_run(f, on_board, &out),
		    static_cast<int>(c.count != 0 ? c.count : c.boards));
		std::vector<fake_sent> sent = requests();
		ASSERT_EQ(sent.size(), c.rounds_at.size()) << c.wait;
		for (size_t i = 0; i < c.rounds_at.size(); i++)
			EXPECT_NEAR(sent[i].at - start, c.rounds_at[i], 1e-9) << c.wait;
		EXPECT_NEAR(fake.now - start, c.ends_at, 1e-9) << c.wait;
		corvane_finder_free(f);
	}
}

// A watch every second: a board that stops answering after round 2 is
// lost as round 6 begins (it missed 3, 4 and 5), one that answers every
// round never is, and an interface that comes up is asked from the next
// round on.
TEST(Engine, WatchLosesAfterThreeMissedRoundsAndAsksNewInterfaces)
{
	fake_reset();
	fake.nets = {lan("eth0", 2, "10.1.0.1")};
	const uint32_t steady = ip("10.1.0.5"), leaving = ip("10.1.0.6");
	const double start = fake.now;
	fake.on_send = [&](const fake_sent &s) {
		answer_as(steady, s);
		if (s.at < start + 1.5)
			answer_as(leaving, s, 0.02);
		if (s.at >= start + 2 && fake.nets.size() == 1)
			fake.nets.push_back(lan("eth1", 3, "10.2.0.1"));
	};
	seen out;
	corvane_finder *f = finder(&out);
	ASSERT_EQ(corvane_finder_start_watch(f, 1, on_event, &out), 0);
	// The program's loop: dispatched when the next answer arrives or the
	// timeout comes, whichever is first.
	for (int rc = 1; rc == 1 && fake.now < start + 8.5;) {
		double due = fake.now + corvane_finder_timeout(f) / 1000.0;
		if (!fake.inbox.empty())
			due = std::min(due, fake.inbox.front().at);
		fake.now = std::max(fake.now, due);
		rc = corvane_finder_dispatch(f);
	}
	corvane_finder_free(f);
	std::vector<std::pair<std::string, double>> want = {
		{"found 10.1.0.5", 0}, {"found 10.1.0.6", 0}, {"lost 10.1.0.6", 5}};
	ASSERT_EQ(out.events.size(), want.size());
	for (size_t i = 0; i < want.size(); i++) {
		EXPECT_EQ(out.events[i].first, want[i].first);
		EXPECT_NEAR(out.events[i].second - start, want[i].second, 0.05) << want[i].first;
	}
	std::vector<unsigned> on_eth1;
	for (const fake_sent &s : fake.sent)
		if (s.ifindex == 3)
			on_eth1.push_back(static_cast<unsigned>(std::lround(s.at - start)));
	EXPECT_EQ(on_eth1, (std::vector<unsigned>{3, 4, 5, 6, 7, 8, 9}));
}

// Answers from more boards than a run lists, and a flood that would take
// longer than the wait to read: the run lists 65536, says so, and ends
// on time.
TEST(Engine, TheCapAndTheDeadlineUnderAFlood)
{
	struct {
		unsigned long flood;
		double per_answer, wait;
		int reported;
	} cases[] = {{70000, 0, 20, 65536}, {10000000, 1e-6, 1, -2}};
	for (const auto &c : cases) {
		fake_reset();
		fake.nets = {{"eth0", 2, ip("10.0.0.1"), 0xff000000, ip("10.255.255.255"), true}};
		fake.flood = c.flood;
		fake.per_answer = c.per_answer;
		for (uint32_t i = 1; c.reported > 0 && i <= c.flood; i++)  // resolved, as boards are
			fake.macs[{0x0A000000 + i, 0}] = "02:00:00:00:00:01";
		fake.on_send = [](const fake_sent &s) {  // every address flooded is a board
			if (s.sock == 0)
				fake.inbox.push_back({s.at, s.addr, s.port, 0, 0});
		};
		seen out;
		corvane_finder *f = finder(&out, c.wait);
		double start = fake.now;
		int rc = corvane_finder_run(f, [](const corvane_board *, void *) { return 0; }, nullptr);
		if (c.reported >= 0) {
			EXPECT_EQ(rc, c.reported);
			EXPECT_EQ(out.warnings, std::vector<std::string>{
			    "stopped listing boards at 65536; more answered"});
		} else {
			EXPECT_GT(rc, 0);
			EXPECT_GT(fake.flood, 0u);  // the rest left unread
		}
		EXPECT_NEAR(fake.now - start, c.wait, 0.001) << c.flood;
		corvane_finder_free(f);
	}
}

// On-link targets the system has not resolved are asked only while the
// machine's neighbour table is under half full, counting what is in
// flight, in turns that go on across rounds, said once; a request the
// table had no room for is a warning, and not "sent".
TEST(Engine, UnresolvedTargetsTakeTurns)
{
	fake_reset();
	fake.nets = {lan("eth0", 2, "10.1.0.1")};
	fake.known = {ip("10.1.0.9")};
	fake.limit = 20;
	fake.entries = 8;  // room for 2
	unsigned routed_sends = 0;
	fake.on_send = [&](const fake_sent &sent) {
		if (sent.addr == ip("192.0.2.1") && ++routed_sends == 3)
			fake.entries = 8;  // two entries have gone
	};
	seen out;
	corvane_finder *f = finder(&out);
	for (const char *t : {"10.1.0.5", "10.1.0.6", "10.1.0.7", "10.1.0.9", "192.0.2.1"})
		ASSERT_EQ(corvane_finder_add_target(f, t), 0);
	corvane_finder_run(f, on_board, &out);
	std::vector<std::vector<std::string>> rounds(3);
	for (const fake_sent &s : requests()) {
		struct in_addr in;
		in.s_addr = htonl(s.addr);
		double t = s.at - fake.sent[0].at;  // rounds at 0, 0.2 and 0.5 s
		rounds[t < 0.1 ? 0 : t < 0.35 ? 1 : 2].push_back(inet_ntoa(in));
	}
	EXPECT_EQ(rounds, (std::vector<std::vector<std::string>>{
	    {"10.1.0.9", "192.0.2.1", "10.1.0.5", "10.1.0.6"},
	    {"10.1.0.9", "192.0.2.1"},
	    {"10.1.0.9", "192.0.2.1", "10.1.0.7", "10.1.0.5"}}));
	EXPECT_EQ(out.warnings, std::vector<std::string>{
	    "3 on-link targets not yet resolved: each asked only while the machine's "
	    "neighbour table is under half full"});
	corvane_finder_free(f);

	fake_reset();
	fake.nets = {lan("eth0", 2, "10.1.0.1")};
	fake.overflow_on_send = true;
	seen full;
	f = finder(&full);
	ASSERT_EQ(corvane_finder_add_target(f, "10.1.0.5"), 0);
	std::vector<std::string> log;
	corvane_finder_set_log(f, [](int, const char *line, void *arg) {
		static_cast<std::vector<std::string> *>(arg)->emplace_back(line);
	}, &log);
	corvane_finder_run(f, on_board, &full);
	EXPECT_EQ(log[0], "round 1: 10.1.0.5:49100: dropped: the machine's neighbour table is full");
	EXPECT_EQ(full.warnings, std::vector<std::string>{
	    "10.1.0.5: dropped: the machine's neighbour table is full"});
	corvane_finder_free(f);
}

// A program's loop over the fake clock: dispatched when the next answer
// arrives or the timeout comes, until the search ends or `until` (or a
// search that spins has had 100000 calls). Gives the most requests one
// dispatch sent.
static size_t
loop(corvane_finder *f, double until, int *rc = nullptr)
{
	size_t most = 0;
	int result = 1;
	for (unsigned calls = 0; result == 1 && fake.now < until && calls < 100000; calls++) {
		double due = fake.now + corvane_finder_timeout(f) / 1000.0;
		if (!fake.inbox.empty())
			due = std::min(due, fake.inbox.front().at);
		if (due >= until)
			break;
		fake.now = std::max(fake.now, due);
		size_t before = fake.sent.size();
		result = corvane_finder_dispatch(f);
		most = std::max(most, fake.sent.size() - before);
	}
	if (rc != nullptr)
		*rc = result;
	return most;
}

// A dispatch is a slice: the wait counts from the first; a thousand
// resolved targets go out a few hundred at a time, with a timeout of 0 while some are left; the timeout rounds
// up, so that a loop never wakes early and spins; a cancel makes it 0.
TEST(Engine, DispatchInSlicesAndTheTimeout)
{
	fake_reset();
	fake.nets = {{"eth0", 2, ip("10.0.0.1"), 0xffff0000, ip("10.0.255.255"), true}};
	seen out;
	corvane_finder *f = finder(&out);
	for (uint32_t i = 0; i < 1000; i++) {
		fake.known.push_back(ip("10.0.1.0") + i);
		ASSERT_EQ(corvane_finder_add_target(f, dotted(ip("10.0.1.0") + i).c_str()), 0);
	}
	ASSERT_EQ(corvane_finder_start_run(f, on_board, &out), 0);
	EXPECT_EQ(fake.sent.size(), 0u);  // nothing until dispatched
	EXPECT_EQ(corvane_finder_timeout(f), 0);
	fake.now += 5;  // a loop late to its first dispatch still gets the whole wait
	std::vector<size_t> slices;
	while (fake.sent.size() < 1000) {
		size_t before = fake.sent.size();
		ASSERT_EQ(corvane_finder_dispatch(f), 1);
		slices.push_back(fake.sent.size() - before);
		if (fake.sent.size() < 1000) {
			EXPECT_EQ(corvane_finder_timeout(f), 0);
		}
	}
	EXPECT_EQ(slices, (std::vector<size_t>{256, 256, 256, 232}));
	fake.now += 0.0005;  // the next round in 199.5 ms
	EXPECT_EQ(corvane_finder_timeout(f), 200);
	corvane_finder_cancel(f);
	EXPECT_EQ(corvane_finder_timeout(f), 0);
	EXPECT_EQ(corvane_finder_dispatch(f), 0);
	corvane_finder_free(f);
}

// Answers are taken from every socket, the ones opened when the first
// filled up too; a watch whose loop was busy for five intervals asks once,
// not five times in a row.
TEST(Engine, EverySocketDrainedAndLateRoundsSkipped)
{
	fake_reset();
	fake.nets = {lan("eth0", 2, "10.1.0.1")};
	fake.send_room = 1;
	fake.on_send = [](const fake_sent &s) {
		fake.inbox.push_back({s.at + 0.01, s.addr, 49100, 0, s.sock});
	};
	fake.known = {ip("10.1.0.5"), ip("10.1.0.6"), ip("10.1.0.7")};
	seen out;
	corvane_finder *f = finder(&out);
	for (const char *t : {"10.1.0.5", "10.1.0.6", "10.1.0.7"})
		ASSERT_EQ(corvane_finder_add_target(f, t), 0);
	corvane_finder_set_count(f, 3);
	ASSERT_EQ(corvane_finder_start_run(f, on_board, &out), 0);
	int rc;
	loop(f, fake.now + 2, &rc);
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out.events.size(), 3u);
	EXPECT_EQ(requests().back().sock, 3u);
	corvane_finder_free(f);

	fake_reset();
	fake.nets = {lan("eth0", 2, "10.1.0.1")};
	f = finder(&out);
	const double start = fake.now;
	ASSERT_EQ(corvane_finder_start_watch(f, 1, on_event, &out), 0);
	loop(f, start + 0.5);
	fake.now = start + 5.5;  // the loop was busy
	loop(f, start + 6.9);
	std::vector<double> rounds;
	for (const fake_sent &s : requests())
		rounds.push_back(s.at - start);
	EXPECT_EQ(rounds, (std::vector<double>{0, 5.5, 6}));
	corvane_finder_free(f);
}

// A block beyond a router is asked 128 addresses a second (a little more
// at once), in turns that go on across a watch's rounds, so that every
// address of a /20 has been asked within the time said; a run whose wait
// is too short says how long it needs.
TEST(Engine, ARoutedBlockAtARate)
{
	const std::string takes = "10.210.0.0/20: 4094 addresses beyond a router, asked 128 a second "
	    "so that its neighbour table never fills, take 32 s";
	struct {
		bool watch;
		double wait;
		size_t asked;
		std::vector<std::string> warnings;
	} cases[] = {
		{false, 1, 129, {takes + "; a wait of 33 s asks each once (-t 33)"}},
		{false, 34, 4094, {}},
		{true, 1, 4094, {takes + ", longer than the interval: each is asked in turn"}},
	};
	for (const auto &c : cases) {
		fake_reset();
		fake.nets = {lan("eth0", 2, "10.1.0.1")};
		fake.on_send = [](const fake_sent &s) {
			answer_as(ip("10.210.15.250"), s);
		};
		seen out;
		corvane_finder *f = finder(&out, c.wait);
		ASSERT_EQ(corvane_finder_add_target(f, "10.210.0.0/20"), 0);
		const double start = fake.now;
		ASSERT_EQ(c.watch ? corvane_finder_start_watch(f, 1, on_event, &out)
		                  : corvane_finder_start_run(f, on_board, &out), 0);
		loop(f, start + 40);
		std::vector<unsigned> per_second(41);
		std::unordered_set<uint32_t> asked;
		for (const fake_sent &s : fake.sent) {
			per_second[static_cast<size_t>(s.at - start)]++;
			asked.insert(s.addr);
		}
		EXPECT_LE(*std::max_element(per_second.begin(), per_second.end()), 128u + 32u);
		EXPECT_EQ(asked.size(), c.asked) << c.wait;
		if (c.asked == 4094) {
			ASSERT_FALSE(out.events.empty()) << c.wait;
			EXPECT_EQ(out.events[0].first, "found 10.210.15.250");
			EXPECT_LT(out.events[0].second - start, 33) << c.wait;
		}
		EXPECT_EQ(out.warnings, c.warnings) << c.wait;
		corvane_finder_free(f);
	}
}

// What a user is told, when it is known: a run or a watch with no route
// for any request ends at its first round; a dispatch from the finder's
// own callback is refused as that.
TEST(Engine, FailuresSaidWhenKnown)
{
	for (bool watch : {false, true}) {
		fake_reset();
		fake.nets = {lan("eth0", 2, "10.1.0.1")};
		fake.unicast_error = 101;
		seen out;
		corvane_finder *f = finder(&out, 10);
		ASSERT_EQ(corvane_finder_add_target(f, "192.0.2.7"), 0);
		const double start = fake.now;
		ASSERT_EQ(watch ? corvane_finder_start_watch(f, 1, on_event, &out)
		                : corvane_finder_start_run(f, on_board, &out), 0);
		int rc;
		loop(f, start + 20, &rc);
		EXPECT_EQ(rc, -1) << watch;
		EXPECT_EQ(fake.now, start) << watch;
		EXPECT_STREQ(corvane_finder_error(f), "no request could be sent");
		corvane_finder_free(f);
	}

	fake_reset();
	fake.nets = {lan("eth0", 2, "10.1.0.1")};
	boards_answer({ip("10.1.0.5")});
	corvane_finder *f = corvane_finder_new();
	std::string refused;
	struct call {
		corvane_finder *f;
		std::string *refused;
	} c = {f, &refused};
	ASSERT_EQ(corvane_finder_start_run(f, [](const corvane_board *, void *arg) {
		auto *inside = static_cast<call *>(arg);
		if (corvane_finder_dispatch(inside->f) == -1)
			*inside->refused = corvane_finder_error(inside->f);
		return 1;
	}, &c), 0);
	loop(f, fake.now + 2);
	EXPECT_EQ(refused, "dispatch: not from inside the finder's own callback");
	corvane_finder_free(f);
}

// Answers the kernel dropped for want of room are said, with the setting
// that would keep them: at the end of a run, and in a watch as they come.
TEST(Engine, DroppedAnswersSaid)
{
	const std::string said = " datagrams were dropped by the kernel: the receive buffer "
	    "(212992 bytes) was full; raise net.core.rmem_max (now 212992) to keep them";
	// Each request makes the kernel drop 20 answers; a run's three rounds
	// 60, a watch's first round 20 by the time its second begins.
	for (bool watch : {false, true}) {
		fake_reset();
		fake.nets = {lan("eth0", 2, "10.1.0.1")};
		fake.dropped_known = true;
		fake.on_send = [](const fake_sent &s) {
			if (s.sock != 0)
				fake.dropped += 20;
			answer_as(ip("10.1.0.5"), s);
		};
		seen out;
		corvane_finder *f = finder(&out);
		const double start = fake.now;
		ASSERT_EQ(watch ? corvane_finder_start_watch(f, 1, on_event, &out)
		                : corvane_finder_start_run(f, on_board, &out), 0);
		loop(f, start + 1.9);
		EXPECT_EQ(out.warnings, std::vector<std::string>{(watch ? "20" : "60") + said}) << watch;
		corvane_finder_free(f);
	}
}

// A forger answers every broadcast it sees, from five unused addresses and
// in the name of a board that stops after 1.5 s; it never sees what goes
// to an address. Only the board is listed, with the hardware address of
// its neighbour entry (none beyond a router, whatever the table holds);
// the forged addresses are counted, and in a watch the board is lost
// though the forger answers for it.
TEST(Engine, OnlyConfirmedBoardsListed)
{
	struct {
		bool watch;
		const char *target;  // nullptr: a broadcast
		std::vector<std::pair<std::string, double>> events;
		const char *unconfirmed;  // as the log's account says it
	} cases[] = {
		{false, nullptr, {{"found 10.1.0.5 02:00:00:00:00:05", 0.02}}, ", 5 never confirmed"},
		{true, nullptr, {{"found 10.1.0.5 02:00:00:00:00:05", 0.02},
		    {"lost 10.1.0.5 02:00:00:00:00:05", 5}}, ", 6 never confirmed"},  // the lost one too
		{false, "192.0.2.7", {{"found 192.0.2.7", 0.02}}, ", 0 never confirmed"},
	};
	const uint32_t board = ip("10.1.0.5");
	for (const auto &c : cases) {
		fake_reset();
		fake.nets = {lan("eth0", 2, "10.1.0.1")};
		fake.macs = {{{board, 2}, "02:00:00:00:00:05"}, {{ip("192.0.2.7"), 2}, "02:00:00:00:00:01"}};
		const double start = fake.now;
		fake.on_send = [&](const fake_sent &s) {
			if (s.at < start + 1.5) {
				answer_as(board, s);
				answer_as(ip("192.0.2.7"), s);
			}
			if (s.ifindex == 0)
				return;
			for (uint32_t forged : {board, ip("10.1.0.100"), ip("10.1.0.101"), ip("10.1.0.102"),
			         ip("10.1.0.103"), ip("10.1.0.104")})
				fake.inbox.push_back({s.at + 0.005, forged, 49100, s.ifindex, s.sock});
		};
		seen out;
		corvane_finder *f = finder(&out);
		if (c.target != nullptr) {
			ASSERT_EQ(corvane_finder_add_target(f, c.target), 0);
		}
		std::vector<std::string> log;
		corvane_finder_set_log(f, [](int, const char *line, void *arg) {
			static_cast<std::vector<std::string> *>(arg)->emplace_back(line);
		}, &log);
		ASSERT_EQ(c.watch ? corvane_finder_start_watch(f, 1, on_event, &out)
		                  : corvane_finder_start_run(f, on_board, &out), 0);
		loop(f, start + 6.5);
		corvane_finder_cancel(f);
		loop(f, start + 7);
		ASSERT_EQ(out.events.size(), c.events.size()) << c.watch;
		for (size_t i = 0; i < c.events.size(); i++) {
			EXPECT_EQ(out.events[i].first, c.events[i].first);
			EXPECT_NEAR(out.events[i].second - start, c.events[i].second, 0.001) << c.watch;
		}
		EXPECT_NE(log.back().find(c.unconfirmed), std::string::npos) << log.back();
		corvane_board stale = {.address = "10.1.0.5", .port = 49100, .proto_ver = 2,
		    .interface = "eth0", .rtt_ms = 1};
		EXPECT_STREQ(corvane_board_mac(&stale), "");
		corvane_finder_free(f);
	}
}

// A forger answers each broadcast from 1000 addresses nobody holds: a
// confirmation to each would take an entry of the neighbour table, so at
// most 128 go in 3 s, and the board, resolved, is confirmed at once all
// the same.
TEST(Engine, AForgedCrowdTakesFewNeighbourEntries)
{
	fake_reset();
	fake.nets = {{"eth0", 2, ip("10.0.0.1"), 0xffff0000, ip("10.0.255.255"), true}};
	const uint32_t board = ip("10.0.0.5");
	fake.macs = {{{board, 2}, "02:00:00:00:00:05"}};
	fake.on_send = [&](const fake_sent &s) {
		answer_as(board, s);
		for (uint32_t i = 0; s.ifindex != 0 && i < 1000; i++)
			fake.inbox.push_back({s.at + 0.005, ip("10.0.100.0") + i, 49100, 2, s.sock});
	};
	seen out;
	corvane_finder *f = finder(&out, 2.9);
	ASSERT_EQ(corvane_finder_run(f, on_board, &out), 1);
	ASSERT_EQ(out.events.size(), 1u);
	EXPECT_EQ(out.events[0].first, "found 10.0.0.5 02:00:00:00:00:05");
	EXPECT_LT(out.events[0].second - fake.sent[0].at, 0.05);
	size_t forged = 0;
	for (const fake_sent &s : fake.sent)
		forged += s.sock == 0 && s.addr != board;
	EXPECT_EQ(forged, 128u);
	corvane_finder_free(f);
}
