// What the kernel knows of the board's neighbours, kept from rtnetlink.
#include "neighbours.h"

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

void
neigh_clear(struct neighbours *nb)
{
	memset(nb->key, 0, sizeof(nb->key));
	std::fill(nb->since, nb->since + neigh_slots, int64_t{0});
	nb->n_nets = 0;
	nb->n_noarp = 0;
}

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

unsigned
neigh_home(const struct neighbours *nb, uint32_t addr)
{
	return keyed_hash(nb->hash_key, addr) & (neigh_slots - 1);
}

static unsigned
slot_of(const struct neighbours *nb, uint32_t addr, unsigned probe)
{
	return (neigh_home(nb, addr) + probe) & (neigh_slots - 1);
}

static_assert((neigh_slots & (neigh_slots - 1)) == 0);

// The slot holding addr, or neigh_slots.
static unsigned
find(const struct neighbours *nb, uint32_t addr)
{
	for (unsigned p = 0; p < neigh_probes; p++) {
		unsigned s = slot_of(nb, addr, p);
		if (nb->key[s] == addr)
			return s;
		if (nb->key[s] == 0)
			break;
	}
	return neigh_slots;
}

// A slot for addr: its own, else the first never used or whose hold has
// passed, else the one of the oldest hold (a resolved address keeps its
// slot while any hold is left to take). Crowding never lets an answer
// pass the rule: it only shortens the oldest hold.
static unsigned
place(struct neighbours *nb, uint32_t addr, int64_t now_ns)
{
	unsigned s = find(nb, addr);
	if (s != neigh_slots)
		return s;
	unsigned oldest = slot_of(nb, addr, 0);
	for (unsigned p = 0; p < neigh_probes; p++) {
		s = slot_of(nb, addr, p);
		if (nb->key[s] == 0 || (nb->since[s] != neigh_resolved &&
		    now_ns - nb->since[s] >= neigh_hold_ns))
			return s;
		if (nb->since[s] < nb->since[oldest])
			oldest = s;
	}
	return oldest;
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
	if (!on_resolving_link(nb, addr))
		return;
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

// The hash key, from the kernel's random source (which waits, early in a
// boot, until it is seeded: a moment on this kernel). Where that fails,
// the clock gives a weaker key, which an outsider would still have to
// guess.
static void
draw_key(struct neighbours *nb)
{
	if (getrandom(nb->hash_key, sizeof(nb->hash_key), 0) ==
	    static_cast<ssize_t>(sizeof(nb->hash_key)))
		return;
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	nb->hash_key[0] ^= static_cast<uint32_t>(t.tv_nsec) ^ static_cast<uint32_t>(getpid());
	nb->hash_key[1] ^= static_cast<uint32_t>(t.tv_sec) * 2654435761u;
}

// Opens the socket and asks for the tables, keeping what is known.
static void
open_socket(struct neighbours *nb)
{
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
	// Room for the neighbour changes of an ARP flood while the service
	// thread answers; the kernel's limit for an unprivileged daemon may
	// grant less.
	int rcvbuf = neigh_rcvbuf;
	if (setsockopt(nb->fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) == -1)
		setsockopt(nb->fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
	nb->dumping = neigh_dump_links;
	ask_dump(nb);
}

void
neigh_open(struct neighbours *nb)
{
	neigh_clear(nb);
	draw_key(nb);
	nb->reopened_ns = neigh_long_ago;
	nb->lost = {-1, 0};
	open_socket(nb);
}

// Messages were lost to a full buffer: the tables are read again, what is
// known kept meanwhile, at most once a second. A line on standard error
// says so at most once a minute, with how many times it was not said.
static void
events_lost(struct neighbours *nb, int64_t now_ns)
{
	if (now_ns - nb->reopened_ns < neigh_reopen_ns)
		return;
	nb->reopened_ns = now_ns;
	unsigned long held;
	if (send_log_admit(&nb->lost, now_ns, neigh_say_ns, &held)) {
		if (held == 0)
			fprintf(stderr, "rtnetlink: %s; tables read again\n", strerror(ENOBUFS));
		else
			fprintf(stderr, "rtnetlink: %s; tables read again (%lu more times not shown)\n",
			    strerror(ENOBUFS), held);
	}
	close(nb->fd);
	open_socket(nb);
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
			events_lost(nb, now_ns);
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
