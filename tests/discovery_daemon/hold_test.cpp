#include "hold.h"

#include <gtest/gtest.h>

#include <vector>

// A transcript's step: a sender's request at a time, what the kernel says
// when it is asked (not_asked: it must not be), and whether it is
// answered. A step at a new time follows the sending of the last batch.
constexpr int not_asked = -1;
struct step {
	uint32_t addr;
	int64_t at;
	int kernel_says;  // a neigh_said, or not_asked
	bool answered;
	unsigned slot = hold_no_slot;  // the slot it must take, when given
};

constexpr int64_t t0 = 5000000000, ms = 1000000, us = 1000;
constexpr int no = not_asked, unknown = neigh_said_unknown, resolved = neigh_said_resolved,
	      pending = neigh_said_pending, none = neigh_said_none;

static void
replay(struct hold_table *t, const std::vector<step> &steps)
{
	int64_t batch = steps.empty() ? 0 : steps[0].at;
	for (const step &s : steps) {
		if (s.at != batch)
			hold_sent(t);
		batch = s.at;
		auto where = testing::Message() << std::hex << s.addr << std::dec << " at "
		                                << (s.at - t0) / us << " us";
		unsigned slot;
		enum hold_verdict v = hold_decide(t, s.addr, s.at, &slot);
		EXPECT_EQ(v == hold_ask, s.kernel_says != not_asked) << where;
		if (v == hold_ask && s.kernel_says != not_asked)
			v = hold_learn(t, slot, s.addr, static_cast<enum neigh_said>(s.kernel_says), s.at);
		EXPECT_EQ(v == hold_answer, s.answered) << where;
		if (s.slot != hold_no_slot) {
			EXPECT_EQ(slot, s.slot) << where;
		}
	}
}

// Addresses whose first slot is `home`, from `from` on, under t's key.
static std::vector<uint32_t>
sharing(const struct hold_table &t, unsigned home, uint32_t from, size_t count)
{
	std::vector<uint32_t> out;
	for (uint32_t a = from; out.size() < count; a++)
		if (hold_home(&t, a) == home)
			out.push_back(a);
	return out;
}

static struct hold_table *
fresh_table()
{
	static struct hold_table t;
	hold_init(&t);
	t.key[0] = 1, t.key[1] = 2;
	return &t;
}

// One answer at a time to a sender that never resolves, until the kernel
// gives up or the hold passes; the kernel is asked only when it asks
// again, and then ever more rarely: at a quarter of the hold's age. A
// resolved sender is believed for a second, and held again once the
// kernel resolves it anew.
TEST(Hold, Transcripts)
{
	const uint32_t forged = 0x0A52ABCD, host = 0x0A520009, mute = 0x0A52ABCE;
	replay(fresh_table(), {
		{forged, t0, no, true},
		{forged, t0, no, false},  // its answer not sent yet
		{forged, t0 + 500 * us, pending, false},
		{forged, t0 + ms, no, false},
		{forged, t0 + 100 * ms, pending, false},
		{forged, t0 + 110 * ms, no, false},
		{forged, t0 + 140 * ms, pending, false},  // 40 ms since: past a quarter of 140
		{forged, t0 + 2999 * ms, pending, false},
		{forged, t0 + 3000 * ms, no, true},       // the hold has passed
		{forged, t0 + 3100 * ms, none, true},     // the kernel gave up
		{forged, t0 + 3100 * ms + 500 * us, pending, false},
		{forged, t0 + 3300 * ms, resolved, true},
		{forged, t0 + 4299 * ms, no, true},
		{forged, t0 + 4300 * ms, pending, false},  // resolved no longer: held anew
		{forged, t0 + 4400 * ms, pending, false},
		{host, t0, no, true}, {host, t0 + 200 * us, resolved, true}, {host, t0 + ms, no, true},
		// A question the kernel cannot answer (qemu-user carries none)
		// lets the answer go.
		{mute, t0, no, true}, {mute, t0 + ms, unknown, true}, {mute, t0 + 2 * ms, unknown, true},
	});
}

// Addresses that share every slot they may take, as an attacker would pick
// them if the hash were known (here its key is). Once the window is full of
// holds, a new address waits (the kernel has not resolved it) and no hold
// is cut short, however many come; a host the kernel has resolved is
// answered without a slot; when the holds pass, the newcomer gets one. The
// window wraps past the table's end.
TEST(Hold, ACrowdedWindowNeverCutsAHoldShort)
{
	struct hold_table *t = fresh_table();
	const unsigned home = hold_slots - 2;
	std::vector<uint32_t> same = sharing(*t, home, 0x0A000100, hold_probes + 3);
	const uint32_t host = same[hold_probes + 1], other = same[hold_probes + 2];
	const uint32_t newcomer = same[hold_probes - 1];
	std::vector<step> fill = {{host, t0, no, true, home}, {host, t0 + ms, resolved, true}};
	for (unsigned i = 0; i + 1 < hold_probes; i++)  // the host has the window's first slot
		fill.push_back({same[i], t0 + 2 * ms + i * ms, no, true, (home + 1 + i) % hold_slots});
	replay(t, fill);
	replay(t, {
		{newcomer, t0 + 100 * ms, none, false},  // no room: it waits
		{newcomer, t0 + 101 * ms, none, false},
		{same[0], t0 + 102 * ms, pending, false},  // still held
		{other, t0 + 103 * ms, resolved, true},    // resolved: no slot needed
		{host, t0 + 104 * ms, no, true},
		{same[0], t0 + 3002 * ms, no, true, home + 1},  // its hold has passed
		{newcomer, t0 + 3020 * ms, no, true, home},     // and the host's belief
	});
}
