// rtnetlink's messages, read without I/O: routes, links, and the answer to
// a question about one neighbour. Any bytes may come in; what is not a
// whole, well-formed message of these kinds is ignored.
#ifndef TARVO_RTNL_PARSE_H
#define TARVO_RTNL_PARSE_H

#include "hold.h"
#include "routes.h"

#include <cstddef>
#include <cstdint>

enum rtnl_kind : uint8_t {
	rtnl_ignored = 0,
	rtnl_route = 1,
	rtnl_link = 2,
	rtnl_end = 3,  // a dump's end, or an error in its place
};

struct rtnl_msg {
	enum rtnl_kind kind;
	enum route_change how;  // rtnl_route
	struct route4 route;
	int ifindex;            // rtnl_link
	bool up, noarp;
};

// The message at the start of buf[0, len) into *m. Returns the bytes to
// the next message; 0 when no whole message is left.
size_t rtnl_parse(const unsigned char *buf, size_t len, struct rtnl_msg *m);

// Whether the message at the start of buf[0, len) answers the neighbour
// question numbered seq; if so, *said is what it says.
bool rtnl_neigh_answer(const unsigned char *buf, size_t len, uint32_t seq,
    enum neigh_said *said);

#endif
