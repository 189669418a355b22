// rtnetlink's messages into routes, links and neighbour states.
#include "rtnl_parse.h"

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

// The attributes of the message at msg, len bytes long, whose fixed part
// is `head` bytes: fn(type, payload, length) for each.
template <typename Fn>
static void
each_attr(const unsigned char *msg, size_t len, size_t head, Fn fn)
{
	size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(head);
	while (at + sizeof(struct rtattr) <= len) {
		struct rtattr a;
		memcpy(&a, msg + at, sizeof(a));
		if (a.rta_len < sizeof(a) || a.rta_len > len - at)
			return;
		fn(a.rta_type, msg + at + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0));
		at += RTA_ALIGN(a.rta_len);
	}
}

static bool
u32_attr(const unsigned char *data, size_t len, uint32_t *v)
{
	if (len != 4)
		return false;
	memcpy(v, data, 4);
	return true;
}

// The fixed part that follows the header of message msg, when the message
// is long enough to hold it.
template <typename Head>
static bool
fixed_part(const struct nlmsghdr &h, const unsigned char *msg, Head *out)
{
	if (h.nlmsg_len < NLMSG_LENGTH(sizeof(*out)))
		return false;
	memcpy(out, msg + NLMSG_HDRLEN, sizeof(*out));
	return true;
}

// A prefix length of 0 to 32 as a mask (a shift by 32 is undefined).
static uint32_t
prefix_mask(unsigned len)
{
	return len == 0 ? 0 : ~uint32_t{0} << (32 - len);
}

static void
parse_route(const struct nlmsghdr &h, const unsigned char *msg, struct rtnl_msg *m)
{
	struct rtmsg rt;
	if (!fixed_part(h, msg, &rt) || rt.rtm_family != AF_INET || rt.rtm_dst_len > 32)
		return;
	uint32_t table = rt.rtm_table, dst = 0;
	struct route4 r = {.net = 0, .mask = prefix_mask(rt.rtm_dst_len), .priority = 0, .oif = 0,
	    .table = 0, .type = rt.rtm_type, .direct = true};
	each_attr(msg, h.nlmsg_len, sizeof(rt), [&](unsigned type, const unsigned char *data,
	    size_t len) {
		uint32_t v;
		if (type == RTA_GATEWAY || type == RTA_MULTIPATH || type == RTA_VIA)
			r.direct = false;
		else if (!u32_attr(data, len, &v))
			return;
		else if (type == RTA_DST)
			dst = ntohl(v);
		else if (type == RTA_TABLE)
			table = v;
		else if (type == RTA_PRIORITY)
			r.priority = v;
		else if (type == RTA_OIF)
			r.oif = static_cast<int>(v);
	});
	if (table > 255)
		return;
	r.table = static_cast<uint8_t>(table);
	r.net = dst & r.mask;
	m->kind = rtnl_route;
	m->route = r;
	m->how = h.nlmsg_type == RTM_DELROUTE ? route_del :
	    h.nlmsg_flags & NLM_F_REPLACE ? route_replace : route_add;
}

static void
parse_link(const struct nlmsghdr &h, const unsigned char *msg, struct rtnl_msg *m)
{
	struct ifinfomsg ifi;
	if (!fixed_part(h, msg, &ifi))
		return;
	m->kind = rtnl_link;
	m->ifindex = ifi.ifi_index;
	m->up = h.nlmsg_type == RTM_NEWLINK && (ifi.ifi_flags & IFF_UP);
	m->noarp = ifi.ifi_flags & (IFF_NOARP | IFF_LOOPBACK);
}

// The header of the message at the start of buf, when a whole one is there.
static bool
header(const unsigned char *buf, size_t len, struct nlmsghdr *h)
{
	if (len < sizeof(*h))
		return false;
	memcpy(h, buf, sizeof(*h));
	return h->nlmsg_len >= sizeof(*h) && h->nlmsg_len <= len;
}

size_t
rtnl_parse(const unsigned char *buf, size_t len, struct rtnl_msg *m)
{
	*m = {};
	struct nlmsghdr h;
	if (!header(buf, len, &h))
		return 0;
	switch (h.nlmsg_type) {
	case RTM_NEWROUTE:
	case RTM_DELROUTE:
		parse_route(h, buf, m);
		break;
	case RTM_NEWLINK:
	case RTM_DELLINK:
		parse_link(h, buf, m);
		break;
	case NLMSG_DONE:
	case NLMSG_ERROR:
		m->kind = rtnl_end;
		break;
	}
	size_t next = NLMSG_ALIGN(h.nlmsg_len);
	return next < len ? next : len;
}

bool
rtnl_neigh_answer(const unsigned char *buf, size_t len, uint32_t seq, enum neigh_said *said)
{
	struct nlmsghdr h;
	if (!header(buf, len, &h) || h.nlmsg_seq != seq)
		return false;
	*said = neigh_said_unknown;
	int err;
	struct ndmsg nd;
	if (h.nlmsg_type == NLMSG_ERROR && fixed_part(h, buf, &err)) {
		if (err == -ENOENT)
			*said = neigh_said_none;
	} else if (h.nlmsg_type == RTM_NEWNEIGH && fixed_part(h, buf, &nd)) {
		const unsigned known = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE |
		    NUD_PERMANENT | NUD_NOARP;
		if (nd.ndm_state & known)
			*said = neigh_said_resolved;
		else
			*said = nd.ndm_state & NUD_INCOMPLETE ? neigh_said_pending : neigh_said_none;
	}
	return true;
}
