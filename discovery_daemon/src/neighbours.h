// The board's neighbours, as far as answers are concerned. An answer to a
// host that the kernel must resolve first waits in the kernel, charged to
// the socket that sent it, until the host answers the address query or
// about 3 s have passed. A forged source never answers: a few of them,
// asked again and again, would fill every send buffer, and nobody would be
// answered. So such an address gets one answer at a time: the next when
// the kernel has resolved it, has given up on it, or 3 s have passed.
//
// Which senders need resolving follows the kernel's routes, learned and
// followed through rtnetlink with the links that resolve no address. The
// neighbour table itself is asked about a sender only when its answer is
// held: the daemon never wakes for the table's changes.
#ifndef TARVO_NEIGHBOURS_H
#define TARVO_NEIGHBOURS_H

#include "endpoint.h"

#include <cstdint>

enum : unsigned {
	neigh_slots = 4096,    // a power of two, well above the kernel's 1024 entries
	neigh_probes = 32,     // the most slots a lookup looks at
	neigh_routes_max = 256,
	noarp_links_max = 64,
};
constexpr int64_t neigh_hold_ns = 3000000000;
// A resolved sender is believed for this long, then asked about again.
constexpr int64_t neigh_fresh_ns = 1000000000;
// A held sender that asks again is looked up in the kernel at most once
// in a quarter of its hold's age, and no sooner than this.
constexpr int64_t neigh_ask_min_ns = 1000000;
constexpr int64_t neigh_reopen_ns = 1000000000;  // tables read again at most this often
constexpr int64_t neigh_say_ns = 60000000000;    // and said at most this often
constexpr int neigh_rcvbuf = 1 << 20;
constexpr int64_t neigh_resolved = INT64_MAX;  // in held_at: no answer is held
constexpr int64_t neigh_long_ago = INT64_MIN / 2;

// The kernel's tables that matter here: its main table, and the local one
// (the board's own and broadcast addresses).
enum neigh_table : uint8_t {
	neigh_table_main = 254,  // RT_TABLE_MAIN
	neigh_table_local = 255, // RT_TABLE_LOCAL
};

// One IPv4 route. Host order.
struct route4 {
	uint32_t net, mask;
	uint32_t priority;
	int oif;
	uint8_t table;  // a neigh_table
	uint8_t type;   // RTN_UNICAST, RTN_LOCAL, RTN_BROADCAST, ...
	bool direct;    // no gateway: the destination itself is resolved
};

enum neigh_dump : int {
	neigh_dump_links = 0,
	neigh_dump_routes = 1,
	neigh_dump_done = 2,
};

// What the kernel's neighbour table says of an address.
enum neigh_said : int {
	neigh_said_unknown = 0,   // the question failed
	neigh_said_resolved = 1,
	neigh_said_pending = 2,   // being resolved: an answer waits in the kernel
	neigh_said_none = 3,      // no entry, or given up: nothing waits
};

struct neigh_slot {
	uint32_t addr;     // host order; 0 marks a slot never used
	int64_t held_at;   // neigh_resolved, or when the address's pending answer went
	int64_t asked_at;  // when the kernel last said what it knows of it
};

struct neighbours {
	int fd;      // rtnetlink, links and routes; -1 without it, and then every answer goes
	unsigned opens;  // counts the times fd was opened
	int ask_fd;  // rtnetlink, questions about one neighbour
	uint32_t ask_seq;
	enum neigh_dump dumping;
	// The slots an address may take follow from a hash keyed at start
	// from the kernel's random source, so that nobody can tell which
	// addresses share them. Open addressing by address; a slot whose hold
	// has passed may take another address, and when none has, the oldest
	// hold makes room.
	uint32_t hash_key[2];
	struct neigh_slot slot[neigh_slots];
	struct route4 routes[neigh_routes_max];
	unsigned n_routes;
	bool routes_lost;  // more than neigh_routes_max: nobody is held
	bool routes_said;  // and that was said; its end will be
	unsigned routes_gen;  // counts changes of the local table
	int noarp[noarp_links_max];  // links that resolve nothing (loopback, tunnels)
	unsigned n_noarp;
	// Messages lost: when the tables were last read again for it, and the
	// lines that say so.
	int64_t reopened_ns;
	// Lost again within the second, or a route gone while there were too
	// many: read them when the second has passed.
	bool reread_due;
	bool loss_pending;  // and messages were lost: that is said as it is done
	struct send_log lost;
};

// Empty tables, no sockets; the hash key stays.
void neigh_clear(struct neighbours *nb);
// The first of the slots that addr may take.
unsigned neigh_home(const struct neighbours *nb, uint32_t addr);

// Whether a reply to addr makes the kernel resolve addr first; if so,
// *oif is the link it goes out on.
bool neigh_resolves(const struct neighbours *nb, uint32_t addr, int *oif);

// Whether an answer to addr may go now. To a sender the board reaches
// without resolving it, or with no knowledge at all: always. To one it
// must resolve: unless an answer to it went within the hold and the
// kernel has neither resolved nor given up on it since.
bool neigh_admit(struct neighbours *nb, uint32_t addr, int64_t now_ns);

enum neigh_change : int {
	neigh_del = 0,
	neigh_add = 1,
	neigh_replace = 2,  // whichever link the route had
};
// A route added, replaced or removed, as the kernel says it.
void neigh_route(struct neighbours *nb, const struct route4 *r, enum neigh_change how);
// A link that resolves no address (or does again).
void neigh_noarp(struct neighbours *nb, int ifindex, bool noarp);
// The local table's broadcast addresses, other than 255.255.255.255: up
// to max of them into out; returns how many.
unsigned neigh_broadcasts(const struct neighbours *nb, uint32_t *out, unsigned max);

// Draws the hash key, opens the rtnetlink sockets, joins the link and
// route groups, and asks for the tables. Leaves fd -1 when it cannot.
void neigh_open(struct neighbours *nb);
// Takes every message waiting on fd. Messages lost to a full buffer make
// it read the tables again, keeping what it knows (holds included); lost
// again within a second, the tables are read when the second has passed
// and neigh_read is called again (reread_due says it should be).
void neigh_read(struct neighbours *nb, int64_t now_ns);
// Whether a re-read is due by now_ns, and the milliseconds until it is (-1:
// none is due), for the loop's wait.
bool neigh_reread_now(const struct neighbours *nb, int64_t now_ns);
int neigh_reread_wait_ms(const struct neighbours *nb, int64_t now_ns);

#endif
