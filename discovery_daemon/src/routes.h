// The kernel's routes, as far as answers are concerned: which senders the
// kernel must resolve before an answer reaches them. Kept from what
// rtnetlink says, with the links that resolve no address.
#ifndef TARVO_ROUTES_H
#define TARVO_ROUTES_H

#include <cstdint>

enum : unsigned {
	routes_max = 256,
	noarp_links_max = 64,
};

// The kernel's tables that matter here: its main table, and the local one
// (the board's own and broadcast addresses).
enum route_table_id : uint8_t {
	route_table_main = 254,  // RT_TABLE_MAIN
	route_table_local = 255, // RT_TABLE_LOCAL
};

// One IPv4 route. Host order.
struct route4 {
	uint32_t net, mask;
	uint32_t priority;
	int oif;
	uint8_t table;  // a route_table_id
	uint8_t type;   // RTN_UNICAST, RTN_LOCAL, RTN_BROADCAST, ...
	bool direct;    // no gateway: the destination itself is resolved
};

enum route_change : uint8_t {
	route_del = 0,
	route_add = 1,
	route_replace = 2,  // whichever link the route had
};

struct routes {
	struct route4 route[routes_max];
	unsigned n;
	// More than routes_max: nobody is held, since who must be cannot be
	// told, until the tables are read again and fit.
	bool lost;
	bool gone_while_lost;  // a route went meanwhile: perhaps they fit now
	unsigned gen;  // counts changes of the local table
	int noarp[noarp_links_max];  // links that resolve nothing (loopback, tunnels)
	unsigned n_noarp;
};

// Forgets every route and link; gen moves on.
void routes_clear(struct routes *rs);
// A route added, replaced or removed, as the kernel says it. Routes of
// other tables are ignored.
void routes_change(struct routes *rs, const struct route4 *r, enum route_change how);
// A link up or down, and whether it resolves addresses; a link down takes
// its routes (the kernel does not always say so).
void routes_link(struct routes *rs, int ifindex, bool up, bool noarp);

// Whether an answer to addr makes the kernel resolve addr first; if so,
// *oif is the link it goes out on.
bool routes_resolve(const struct routes *rs, uint32_t addr, int *oif);
// The board's own addresses (the local table's host routes), up to max of
// them into out, in the order the kernel gave them; returns how many.
unsigned routes_locals(const struct routes *rs, uint32_t *out, unsigned max);

#endif
