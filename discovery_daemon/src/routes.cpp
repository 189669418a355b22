// The routes that decide whom the kernel resolves.
#include "routes.h"

#include <linux/rtnetlink.h>

#include <algorithm>

void
routes_clear(struct routes *rs)
{
	unsigned gen = rs->gen + 1;
	*rs = {};
	rs->gen = gen;
}

void
routes_change(struct routes *rs, const struct route4 *r, enum route_change how)
{
	if (r->table != route_table_main && r->table != route_table_local)
		return;
	// The kernel tells routes apart by these; one replaced may have had
	// another link.
	auto same = [r, how](const struct route4 &o) {
		return o.net == r->net && o.mask == r->mask && o.table == r->table &&
		    o.priority == r->priority && (how == route_replace || o.oif == r->oif);
	};
	if (r->table == route_table_local)
		rs->gen++;
	struct route4 *end = rs->route + rs->n;
	struct route4 *at = std::find_if(rs->route, end, same);
	if (how != route_del && at != end)
		*at = *r;
	else if (how != route_del && rs->n < routes_max)
		rs->route[rs->n++] = *r;
	else if (how != route_del)
		rs->lost = true;
	else if (at != end)
		*at = rs->route[--rs->n];
	else if (rs->lost)
		rs->gone_while_lost = true;
}

void
routes_link(struct routes *rs, int ifindex, bool up, bool noarp)
{
	for (unsigned i = 0; !up && i < rs->n;) {
		if (rs->route[i].oif != ifindex) {
			i++;
			continue;
		}
		if (rs->route[i].table == route_table_local)
			rs->gen++;
		rs->route[i] = rs->route[--rs->n];
	}
	int *end = rs->noarp + rs->n_noarp;
	int *at = std::find(rs->noarp, end, ifindex);
	if (up && noarp && at == end && rs->n_noarp < noarp_links_max)
		rs->noarp[rs->n_noarp++] = ifindex;
	else if (!(up && noarp) && at != end)
		*at = rs->noarp[--rs->n_noarp];
}

// The route the kernel would take to addr from table t: the longest
// prefix, then the lowest priority. nullptr when none matches.
static const struct route4 *
lookup(const struct routes *rs, uint8_t t, uint32_t addr)
{
	const struct route4 *best = nullptr;
	for (unsigned i = 0; i < rs->n; i++) {
		const struct route4 &r = rs->route[i];
		if (r.table != t || (addr & r.mask) != r.net)
			continue;
		if (best == nullptr || r.mask > best->mask ||
		    (r.mask == best->mask && r.priority < best->priority))
			best = &r;
	}
	return best;
}

bool
routes_resolve(const struct routes *rs, uint32_t addr, int *oif)
{
	if (rs->lost || lookup(rs, route_table_local, addr) != nullptr)
		return false;
	const struct route4 *r = lookup(rs, route_table_main, addr);
	if (r == nullptr || r->type != RTN_UNICAST || !r->direct)
		return false;
	*oif = r->oif;
	return std::find(rs->noarp, rs->noarp + rs->n_noarp, r->oif) == rs->noarp + rs->n_noarp;
}

unsigned
routes_locals(const struct routes *rs, uint32_t *out, unsigned max)
{
	unsigned n = 0;
	for (unsigned i = 0; i < rs->n && n < max; i++) {
		const struct route4 &r = rs->route[i];
		if (r.table == route_table_local && r.type == RTN_LOCAL && r.mask == ~0u &&
		    std::find(out, out + n, r.net) == out + n)
			out[n++] = r.net;
	}
	return n;
}
