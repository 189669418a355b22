// The hold's slots and their states.
#include "hold.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

static uint32_t
rotl(uint32_t x, int b)
{
	return (x << b) | (x >> (32 - b));
}

// HalfSipHash-2-4 of one 32-bit word: a keyed function whose outputs
// cannot be told, or made to collide, without the key, and cheap on a
// 32-bit core.
static uint32_t
keyed_hash(const uint32_t key[2], uint32_t m)
{
	uint32_t v[4] = {key[0], key[1], key[0] ^ 0x6c796765u, key[1] ^ 0x74656462u};
	auto round = [&v] {
		v[0] += v[1];
		v[1] = rotl(v[1], 5) ^ v[0];
		v[0] = rotl(v[0], 16);
		v[2] += v[3];
		v[3] = rotl(v[3], 8) ^ v[2];
		v[0] += v[3];
		v[3] = rotl(v[3], 7) ^ v[0];
		v[2] += v[1];
		v[1] = rotl(v[1], 13) ^ v[2];
		v[2] = rotl(v[2], 16);
	};
	const uint32_t last = 4u << 24;  // the message's length, in bytes
	for (uint32_t word : {m, last}) {
		v[3] ^= word;
		round();
		round();
		v[0] ^= word;
	}
	v[2] ^= 0xff;
	for (int i = 0; i < 4; i++)
		round();
	return v[1] ^ v[3];
}

static_assert((hold_slots & (hold_slots - 1)) == 0);
static_assert(hold_slots <= 65536, "slot numbers fit the sending list");

// The key waits, early in a boot, until the kernel's random source is
// seeded: a moment on this kernel. Where that fails, the clock gives a
// weaker key, which an outsider would still have to guess.
void
hold_init(struct hold_table *t)
{
	*t = {};
	if (getrandom(t->key, sizeof(t->key), 0) == static_cast<ssize_t>(sizeof(t->key)))
		return;
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	t->key[0] = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(getpid());
	t->key[1] = static_cast<uint32_t>(now.tv_sec) * 2654435761u;
}

unsigned
hold_home(const struct hold_table *t, uint32_t addr)
{
	return keyed_hash(t->key, addr) & (hold_slots - 1);
}

// Whether slot s may take another address at now_ns: never used, its hold
// passed, or its resolved address not confirmed lately. An answer not yet
// sent holds its slot.
static bool
spent(const struct hold_slot &s, int64_t now_ns)
{
	switch (s.state) {
	case hold_free:
		return true;
	case hold_sending:
		return false;
	case hold_waiting:
		return now_ns - s.since >= hold_ns;
	case hold_resolved:
		return now_ns - s.asked_at >= hold_fresh_ns;
	}
	return false;
}

// The slot for addr: its own, else the first spent one; hold_no_slot when
// every slot it may take holds an answer that may still wait. So a forged
// address costs at most one answer in the kernel at a time, however many
// there are.
static unsigned
place(const struct hold_table *t, uint32_t addr, int64_t now_ns)
{
	unsigned free = hold_no_slot;
	const unsigned home = hold_home(t, addr);
	for (unsigned p = 0; p < hold_probes; p++) {
		const unsigned at = (home + p) & (hold_slots - 1);
		const struct hold_slot &s = t->slot[at];
		if (s.state != hold_free && s.addr == addr)
			return at;
		if (s.state == hold_free)
			return free != hold_no_slot ? free : at;
		if (free == hold_no_slot && spent(s, now_ns))
			free = at;
	}
	return free;
}

// An answer goes to addr from slot at, and is held; the next question
// about addr goes to the kernel at once.
static enum hold_verdict
start(struct hold_table *t, unsigned at, uint32_t addr, int64_t now_ns)
{
	enum hold_state state = hold_sending;
	if (t->n_sending < hold_batch_max)
		t->sending[t->n_sending++] = static_cast<uint16_t>(at);
	else
		state = hold_waiting;
	t->slot[at] = {.addr = addr, .state = state, .since = now_ns, .asked_at = INT64_MIN / 2};
	return hold_answer;
}

enum hold_verdict
hold_decide(struct hold_table *t, uint32_t addr, int64_t now_ns, unsigned *slot)
{
	const unsigned at = *slot = place(t, addr, now_ns);
	if (at == hold_no_slot)
		return hold_ask;
	const struct hold_slot &s = t->slot[at];
	if (s.addr != addr || spent(s, now_ns)) {
		if (s.state != hold_resolved || s.addr != addr)
			return start(t, at, addr, now_ns);
		return hold_ask;  // resolved, but not lately
	}
	switch (s.state) {
	case hold_sending:
		return hold_wait;
	case hold_waiting:
		return now_ns - s.asked_at < hold_ask_min_ns + (now_ns - s.since) / 4 ? hold_wait :
		    hold_ask;
	case hold_resolved:
	case hold_free:
		break;
	}
	return hold_answer;
}

enum hold_verdict
hold_learn(struct hold_table *t, unsigned slot, uint32_t addr, enum neigh_said said,
    int64_t now_ns)
{
	if (slot == hold_no_slot) {
		// No room to hold it: it is answered only if its answer waits
		// for nothing.
		return said == neigh_said_resolved || said == neigh_said_unknown ? hold_answer :
		    hold_wait;
	}
	struct hold_slot &s = t->slot[slot];
	switch (said) {
	case neigh_said_unknown:
		return hold_answer;
	case neigh_said_resolved:
		s = {.addr = addr, .state = hold_resolved, .since = s.since, .asked_at = now_ns};
		return hold_answer;
	case neigh_said_pending:
		// Resolved no longer: an answer may wait from now on.
		if (s.state == hold_resolved)
			s = {.addr = addr, .state = hold_waiting, .since = now_ns, .asked_at = now_ns};
		s.asked_at = now_ns;
		return hold_wait;
	case neigh_said_none:
		break;
	}
	return start(t, slot, addr, now_ns);
}

void
hold_sent(struct hold_table *t)
{
	for (unsigned i = 0; i < t->n_sending; i++) {
		struct hold_slot &s = t->slot[t->sending[i]];
		if (s.state == hold_sending)
			s.state = hold_waiting;
	}
	t->n_sending = 0;
}
