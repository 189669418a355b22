// The hold. An answer to a host that the kernel must resolve first waits
// in the kernel, charged to the socket that sent it, until the host
// answers the address query or about 3 s have passed. A forged source
// never answers: a few of them, asked again and again, would fill every
// send buffer, and nobody would be answered. So such an address gets one
// answer at a time: the next when the kernel has resolved it, has given up
// on it, or 3 s have passed.
//
// Each address held has a slot, and each slot a state. hold_decide says,
// from the slot alone, whether a request is answered, waits, or needs the
// kernel's word on the address; hold_learn takes that word. Neither does
// any I/O: the caller asks the kernel between them.
#ifndef TARVO_HOLD_H
#define TARVO_HOLD_H

#include <cstdint>

enum : unsigned {
	hold_slots = 4096,    // a power of two, well above the kernel's 1024 entries
	hold_probes = 32,     // the most slots a lookup looks at
	hold_batch_max = 64,  // the most answers held in one batch
	hold_no_slot = ~0u,
};
constexpr int64_t hold_ns = 3000000000;
// A resolved sender is believed for this long, then asked about again.
constexpr int64_t hold_fresh_ns = 1000000000;
// A held sender that asks again is looked up in the kernel at most once
// in a quarter of its hold's age, and no sooner than this.
constexpr int64_t hold_ask_min_ns = 1000000;

enum hold_state : uint8_t {
	hold_free = 0,      // never used
	hold_sending = 1,   // its answer is in the batch not yet sent
	hold_waiting = 2,   // its answer went at `since` and may wait in the kernel
	hold_resolved = 3,  // the kernel had resolved it at `asked_at`
};

enum hold_verdict : uint8_t {
	hold_answer = 0,
	hold_wait = 1,  // no answer this time
	hold_ask = 2,   // the kernel's word decides: see hold_learn
};

// What the kernel's neighbour table says of an address.
enum neigh_said : uint8_t {
	neigh_said_unknown = 0,   // the question failed
	neigh_said_resolved = 1,
	neigh_said_pending = 2,   // being resolved: an answer waits in the kernel
	neigh_said_none = 3,      // no entry, or given up: nothing waits
};

struct hold_slot {
	uint32_t addr;  // host order
	enum hold_state state;
	int64_t since;     // when the answer held went
	int64_t asked_at;  // when the kernel last said what it knows of addr
};

struct hold_table {
	// The slots an address may take follow from a hash keyed at start
	// from the kernel's random source, so that nobody can tell which
	// addresses share them. Open addressing by address; a slot whose hold
	// has passed may take another address. A hold is never cut short.
	uint32_t key[2];
	struct hold_slot slot[hold_slots];
	uint16_t sending[hold_batch_max];  // the slots in state hold_sending
	unsigned n_sending;
};

// Draws the key from the kernel's random source (the clock where that
// fails) and frees every slot.
void hold_init(struct hold_table *t);
// The first of the slots that addr may take.
unsigned hold_home(const struct hold_table *t, uint32_t addr);

// What a request from addr, which the kernel must resolve, gets at now_ns.
// *slot is the slot it holds, or hold_no_slot when every slot it may take
// holds an answer that may still wait in the kernel: then only the
// kernel's word can let it through.
enum hold_verdict hold_decide(struct hold_table *t, uint32_t addr, int64_t now_ns,
    unsigned *slot);
// After hold_ask: what the kernel said of addr decides, answer or wait.
enum hold_verdict hold_learn(struct hold_table *t, unsigned slot, uint32_t addr,
    enum neigh_said said, int64_t now_ns);
// The batch's answers have been handed to the kernel.
void hold_sent(struct hold_table *t);

#endif
