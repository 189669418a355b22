// The board's neighbours, as far as answers are concerned. An answer to a
// host on one of the board's own links whose hardware address the kernel
// does not know yet waits in the kernel, charged to the socket that sent
// it, until the host answers the address query or about 3 s have passed.
// A forged source never answers: a few of them, asked again and again,
// would fill every send buffer, and nobody would be answered. So such an
// address gets one answer at a time: the next when the kernel has
// resolved it, has given up on it, or 3 s have passed. The kernel tells
// through rtnetlink, which also gives the links and their subnets.
#ifndef TARVO_NEIGHBOURS_H
#define TARVO_NEIGHBOURS_H

#include "udp.h"

#include <cstdint>

enum : unsigned {
	neigh_slots = 4096,    // a power of two, well above the kernel's 1024 entries
	neigh_probes = 32,     // the most slots a lookup looks at
	link_nets_max = 64,
	noarp_links_max = 64,
};
constexpr int64_t neigh_hold_ns = 3000000000;
constexpr int64_t neigh_reopen_ns = 1000000000;  // tables read again at most this often
constexpr int64_t neigh_say_ns = 60000000000;    // and said at most this often
constexpr int neigh_rcvbuf = 1 << 20;
constexpr int64_t neigh_resolved = INT64_MAX;  // in since[]: no answer is held
constexpr int64_t neigh_long_ago = INT64_MIN / 2;

// A subnet of an address on a link that resolves addresses. Host order.
struct link_net {
	uint32_t net, mask;
	int ifindex;
};

enum neigh_dump : int {
	neigh_dump_links = 0,
	neigh_dump_addrs = 1,
	neigh_dump_neighbours = 2,
	neigh_dump_done = 3,
};

struct neighbours {
	int fd;  // rtnetlink; -1 without it, and then every answer goes
	enum neigh_dump dumping;
	// The slots an address may take follow from a hash keyed at start
	// from the kernel's random source, so that nobody can tell which
	// addresses share them.
	uint32_t hash_key[2];
	// Open addressing by address (host order; 0 marks a slot never used).
	// since[i] is neigh_resolved, or when the address's pending answer
	// went; a slot whose hold has passed may take another address, and
	// when none has, the oldest hold makes room.
	uint32_t key[neigh_slots];
	int64_t since[neigh_slots];
	struct link_net nets[link_nets_max];
	unsigned n_nets;
	int noarp[noarp_links_max];  // links that resolve nothing (loopback, tunnels)
	unsigned n_noarp;
	// Messages lost: when the tables were last read again for it, and the
	// lines that say so.
	int64_t reopened_ns;
	struct send_log lost;
};

// Empty tables, no socket; the hash key stays.
void neigh_clear(struct neighbours *nb);
// The first of the slots that addr may take.
unsigned neigh_home(const struct neighbours *nb, uint32_t addr);

// Whether an answer to addr may go now. Off the board's links, to a
// resolved address, or with no knowledge at all: always. To an address
// still unresolved: when none went within the hold; that one is noted.
bool neigh_admit(struct neighbours *nb, uint32_t addr, int64_t now_ns);

// What the kernel says of addr at now_ns: resolved (true) or given up
// (false). Only a host on a link that resolves addresses is noted: the
// kernel's other neighbours (routers' addresses off those subnets, say)
// would take room that the board's own senders need.
void neigh_learn(struct neighbours *nb, uint32_t addr, bool resolved, int64_t now_ns);
// An address with its prefix on link ifindex, added or removed.
void neigh_subnet(struct neighbours *nb, int ifindex, uint32_t addr, unsigned prefix, bool add);
// A link that resolves no address (or does again).
void neigh_noarp(struct neighbours *nb, int ifindex, bool noarp);

// Draws the hash key, opens the rtnetlink socket, joins the neighbour,
// address and link groups, and asks for the tables. Leaves fd -1 when it
// cannot.
void neigh_open(struct neighbours *nb);
// Takes every message waiting on fd. Messages lost to a full buffer make
// it read the tables again, keeping what it knows (holds included).
void neigh_read(struct neighbours *nb, int64_t now_ns);

#endif
