// Any bytes as a buffer of rtnetlink messages: parsing walks forward
// within the buffer, every route taken is a prefix with its host bits
// clear, the tables stay within their room, and a neighbour answer is
// read only for its own question.
#include "routes.h"
#include "rtnl_parse.h"

#include <linux/netlink.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

static struct routes tables;

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	routes_clear(&tables);
	struct rtnl_msg m;
	for (size_t at = 0, step; (step = rtnl_parse(data + at, size - at, &m)) != 0; at += step) {
		if (step > size - at || step < NLMSG_HDRLEN)
			__builtin_trap();
		if (m.kind == rtnl_route) {
			const uint32_t host_bits = ~m.route.mask;
			if ((m.route.net & host_bits) != 0 || (host_bits & (host_bits + 1)) != 0)
				__builtin_trap();
			routes_change(&tables, &m.route, m.how);
		} else if (m.kind == rtnl_link) {
			routes_link(&tables, m.ifindex, m.up, m.noarp);
		}
		if (tables.n > routes_max || tables.n_noarp > noarp_links_max)
			__builtin_trap();
	}
	int oif;
	for (uint32_t addr : {0x0A520001u, 0u, ~0u})
		(void)routes_resolve(&tables, addr, &oif);
	uint32_t own[8];
	if (routes_locals(&tables, own, 8) > 8)
		__builtin_trap();

	enum neigh_said said;
	uint32_t seq = 0;
	if (size >= 16)
		memcpy(&seq, data + 8, 4);
	if (rtnl_neigh_answer(data, size, seq + 1, &said))
		__builtin_trap();
	(void)rtnl_neigh_answer(data, size, seq, &said);
	return 0;
}
