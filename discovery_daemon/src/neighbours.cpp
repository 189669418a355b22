// What the kernel knows of the board's neighbours, kept from rtnetlink.
#include "neighbours.h"

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

void
neigh_clear(struct neighbours *nb)
{
	memset(nb->key, 0, sizeof(nb->key));
	std::fill(nb->since, nb->since + neigh_slots, int64_t{0});
	nb->n_nets = 0;
	nb->n_noarp = 0;
}

static unsigned
slot_of(uint32_t addr, unsigned probe)
{
	return (((addr * 2654435761u) >> 20) + probe) & (neigh_slots - 1);
}

static_assert((neigh_slots & (neigh_slots - 1)) == 0 && neigh_slots == 1u << 12);

// The slot holding addr, or neigh_slots.
static unsigned
find(const struct neighbours *nb, uint32_t addr)
{
	for (unsigned p = 0; p < neigh_probes; p++) {
		unsigned s = slot_of(addr, p);
		if (nb->key[s] == addr)
			return s;
		if (nb->key[s] == 0)
			break;
	}
	return neigh_slots;
}

// A slot for addr: its own, else the first never used or whose hold has
// passed; neigh_slots when every one within reach is taken.
static unsigned
place(struct neighbours *nb, uint32_t addr, int64_t now_ns)
{
	unsigned s = find(nb, addr);
	if (s != neigh_slots)
		return s;
	for (unsigned p = 0; p < neigh_probes; p++) {
		s = slot_of(addr, p);
		if (nb->key[s] == 0 || (nb->since[s] != neigh_resolved &&
		    now_ns - nb->since[s] >= neigh_hold_ns))
			return s;
	}
	return neigh_slots;
}

// A host's address on a link that resolves addresses: not the subnet's
// own or broadcast address, which no host answers for (a send to either
// fails at once, as it always did), but for a /31's two hosts.
static bool
on_resolving_link(const struct neighbours *nb, uint32_t addr)
{
	for (unsigned i = 0; i < nb->n_nets; i++) {
		const struct link_net &n = nb->nets[i];
		if ((addr & n.mask) != n.net)
			continue;
		if (n.mask != 0xfffffffe && (addr == n.net || addr == (n.net | ~n.mask)))
			return false;
		return std::find(nb->noarp, nb->noarp + nb->n_noarp, n.ifindex) ==
		    nb->noarp + nb->n_noarp;
	}
	return false;
}

bool
neigh_admit(struct neighbours *nb, uint32_t addr, int64_t now_ns)
{
	if (nb->fd == -1 || !on_resolving_link(nb, addr))
		return true;
	unsigned s = place(nb, addr, now_ns);
	if (s == neigh_slots)
		return true;  // more unresolved addresses than slots: as without
	if (nb->key[s] == addr &&
	    (nb->since[s] == neigh_resolved || now_ns - nb->since[s] < neigh_hold_ns))
		return nb->since[s] == neigh_resolved;
	nb->key[s] = addr;
	nb->since[s] = now_ns;
	return true;
}

void
neigh_learn(struct neighbours *nb, uint32_t addr, bool resolved, int64_t now_ns)
{
	unsigned s = resolved ? place(nb, addr, now_ns) : find(nb, addr);
	if (s == neigh_slots)
		return;
	nb->key[s] = addr;
	// Given up: the slot's hold has passed, and the next answer goes.
	nb->since[s] = resolved ? neigh_resolved : neigh_long_ago;
}

void
neigh_subnet(struct neighbours *nb, int ifindex, uint32_t addr, unsigned prefix, bool add)
{
	uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
	struct link_net net = {addr & mask, mask, ifindex};
	auto same = [&](const struct link_net &n) {
		return n.net == net.net && n.mask == net.mask && n.ifindex == ifindex;
	};
	struct link_net *end = nb->nets + nb->n_nets;
	struct link_net *at = std::find_if(nb->nets, end, same);
	if (add && at == end && prefix < 32 && nb->n_nets < link_nets_max)
		nb->nets[nb->n_nets++] = net;
	else if (!add && at != end)
		*at = nb->nets[--nb->n_nets];
}

void
neigh_noarp(struct neighbours *nb, int ifindex, bool noarp)
{
	int *end = nb->noarp + nb->n_noarp;
	int *at = std::find(nb->noarp, end, ifindex);
	if (noarp && at == end && nb->n_noarp < noarp_links_max)
		nb->noarp[nb->n_noarp++] = ifindex;
	else if (!noarp && at != end)
		*at = nb->noarp[--nb->n_noarp];
}

// Asks for one table: links, addresses or neighbours, IPv4's.
static void
ask_dump(struct neighbours *nb)
{
	static const uint16_t types[] = {RTM_GETLINK, RTM_GETADDR, RTM_GETNEIGH};
	struct {
		struct nlmsghdr h;
		struct rtgenmsg g;
	} req = {};
	req.h.nlmsg_len = sizeof(req);
	req.h.nlmsg_type = types[nb->dumping];
	req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
	req.g.rtgen_family = nb->dumping == neigh_dump_links ? AF_UNSPEC : AF_INET;
	if (send(nb->fd, &req, sizeof(req), 0) == -1) {
		close(nb->fd);
		nb->fd = -1;
	}
}

void
neigh_open(struct neighbours *nb)
{
	neigh_clear(nb);
	nb->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
	if (nb->fd == -1)
		return;
	struct sockaddr_nl local = {};
	local.nl_family = AF_NETLINK;
	local.nl_groups = RTMGRP_NEIGH | RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
	if (bind(nb->fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) == -1) {
		close(nb->fd);
		nb->fd = -1;
		return;
	}
	nb->dumping = neigh_dump_links;
	ask_dump(nb);
}

// The attributes of message h, whose fixed part is `head` bytes: fn(type,
// payload, length) for each; an IPv4 address is all that is wanted here.
template <typename Fn>
static void
each_attr(const struct nlmsghdr *h, size_t head, Fn fn)
{
	auto *base = reinterpret_cast<const unsigned char *>(h);
	size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(head);
	while (at + sizeof(struct rtattr) <= h->nlmsg_len) {
		struct rtattr a;
		memcpy(&a, base + at, sizeof(a));
		if (a.rta_len < sizeof(a) || at + a.rta_len > h->nlmsg_len)
			return;
		fn(a.rta_type, base + at + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0));
		at += RTA_ALIGN(a.rta_len);
	}
}

static bool
ipv4_attr(const unsigned char *data, size_t len, uint32_t *addr)
{
	if (len != 4)
		return false;
	memcpy(addr, data, 4);
	*addr = ntohl(*addr);
	return true;
}

static void
take_neighbour(struct neighbours *nb, const struct nlmsghdr *h, int64_t now_ns)
{
	auto *nd = static_cast<const struct ndmsg *>(NLMSG_DATA(h));
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(*nd)) || nd->ndm_family != AF_INET)
		return;
	const unsigned known = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT |
	    NUD_NOARP;
	each_attr(h, sizeof(*nd), [&](unsigned type, const unsigned char *data, size_t len) {
		uint32_t addr;
		if (type != NDA_DST || !ipv4_attr(data, len, &addr))
			return;
		if (h->nlmsg_type == RTM_DELNEIGH || (nd->ndm_state & NUD_FAILED))
			neigh_learn(nb, addr, false, now_ns);
		else if (nd->ndm_state & known)
			neigh_learn(nb, addr, true, now_ns);
	});
}

static void
take_address(struct neighbours *nb, const struct nlmsghdr *h)
{
	auto *ifa = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(h));
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(*ifa)) || ifa->ifa_family != AF_INET ||
	    ifa->ifa_scope == RT_SCOPE_HOST)
		return;
	each_attr(h, sizeof(*ifa), [&](unsigned type, const unsigned char *data, size_t len) {
		uint32_t addr;
		if (type == IFA_LOCAL && ipv4_attr(data, len, &addr))
			neigh_subnet(nb, static_cast<int>(ifa->ifa_index), addr, ifa->ifa_prefixlen,
			    h->nlmsg_type == RTM_NEWADDR);
	});
}

static void
take_link(struct neighbours *nb, const struct nlmsghdr *h)
{
	auto *ifi = static_cast<const struct ifinfomsg *>(NLMSG_DATA(h));
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(*ifi)))
		return;
	bool noarp = h->nlmsg_type == RTM_NEWLINK && (ifi->ifi_flags & (IFF_NOARP | IFF_LOOPBACK));
	neigh_noarp(nb, ifi->ifi_index, noarp);
}

void
neigh_read(struct neighbours *nb, int64_t now_ns)
{
	alignas(struct nlmsghdr) unsigned char buf[16384];
	while (nb->fd != -1) {
		ssize_t n = recv(nb->fd, buf, sizeof(buf), 0);
		if (n == -1 && errno == ENOBUFS) {
			// Events were lost: start again from the kernel's tables.
			close(nb->fd);
			neigh_open(nb);
			continue;
		}
		if (n <= 0)
			return;
		size_t len = static_cast<size_t>(n);
		for (size_t at = 0; at + sizeof(struct nlmsghdr) <= len;) {
			auto *h = reinterpret_cast<struct nlmsghdr *>(buf + at);
			if (h->nlmsg_len < sizeof(*h) || at + h->nlmsg_len > len)
				break;
			at += NLMSG_ALIGN(h->nlmsg_len);
			switch (h->nlmsg_type) {
			case RTM_NEWNEIGH:
			case RTM_DELNEIGH:
				take_neighbour(nb, h, now_ns);
				break;
			case RTM_NEWADDR:
			case RTM_DELADDR:
				take_address(nb, h);
				break;
			case RTM_NEWLINK:
			case RTM_DELLINK:
				take_link(nb, h);
				break;
			case NLMSG_DONE:
			case NLMSG_ERROR:
				// One dump at a time on a socket: the next now.
				if (nb->dumping != neigh_dump_done) {
					nb->dumping = static_cast<enum neigh_dump>(nb->dumping + 1);
					if (nb->dumping != neigh_dump_done)
						ask_dump(nb);
				}
				break;
			}
		}
	}
}
