// What the kernel knows of the board's neighbours and routes, from rtnetlink.
#include "neighbours.h"

#include <linux/filter.h>
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
#include <cstddef>
#include <cstdio>
#include <cstring>

void
neigh_clear(struct neighbours *nb)
{
	memset(nb->slot, 0, sizeof(nb->slot));
	nb->n_routes = 0;
	nb->routes_lost = false;
	nb->routes_gen++;
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

// Whether slot s may take another address at now_ns: never used, its hold
// passed, or its resolved address not confirmed lately.
static bool
spent(const struct neigh_slot &s, int64_t now_ns)
{
	if (s.addr == 0)
		return true;
	if (s.held_at == neigh_resolved)
		return now_ns - s.asked_at >= neigh_fresh_ns;
	return now_ns - s.held_at >= neigh_hold_ns;
}

// The slot for addr: its own, else the first spent one; nullptr when
// every slot it may take holds a reply that may still wait in the kernel
// (or a host resolved within the second). No hold is ever cut short, so a
// forged address costs at most one reply in the kernel at a time, however
// many there are.
static struct neigh_slot *
place(struct neighbours *nb, uint32_t addr, int64_t now_ns)
{
	struct neigh_slot *free = nullptr;
	for (unsigned p = 0; p < neigh_probes; p++) {
		struct neigh_slot *s = &nb->slot[slot_of(nb, addr, p)];
		if (s->addr == addr)
			return s;
		if (s->addr == 0)
			return free != nullptr ? free : s;
		if (free == nullptr && spent(*s, now_ns))
			free = s;
	}
	return free;
}

// The route the kernel would take to addr from table t: the longest
// prefix, then the lowest priority. nullptr when none matches.
static const struct route4 *
lookup(const struct neighbours *nb, uint8_t t, uint32_t addr)
{
	const struct route4 *best = nullptr;
	for (unsigned i = 0; i < nb->n_routes; i++) {
		const struct route4 &r = nb->routes[i];
		if (r.table != t || (addr & r.mask) != r.net)
			continue;
		if (best == nullptr || r.mask > best->mask ||
		    (r.mask == best->mask && r.priority < best->priority))
			best = &r;
	}
	return best;
}

bool
neigh_resolves(const struct neighbours *nb, uint32_t addr, int *oif)
{
	if (nb->routes_lost || lookup(nb, neigh_table_local, addr) != nullptr)
		return false;
	const struct route4 *r = lookup(nb, neigh_table_main, addr);
	if (r == nullptr || r->type != RTN_UNICAST || !r->direct)
		return false;
	*oif = r->oif;
	return std::find(nb->noarp, nb->noarp + nb->n_noarp, r->oif) == nb->noarp + nb->n_noarp;
}

// What the kernel's neighbour table says of addr on link oif, asked on
// ask_fd. The kernel answers within the send, so the answer is waiting
// when the send returns; anything else is taken as not knowing.
static enum neigh_said
ask_kernel(struct neighbours *nb, uint32_t addr, int oif)
{
	struct {
		struct nlmsghdr h;
		struct ndmsg nd;
		struct rtattr a;
		uint32_t dst;
	} req = {};
	static_assert(sizeof(req) == NLMSG_LENGTH(sizeof(struct ndmsg)) + RTA_LENGTH(4));
	req.h.nlmsg_len = sizeof(req);
	req.h.nlmsg_type = RTM_GETNEIGH;
	req.h.nlmsg_flags = NLM_F_REQUEST;
	req.h.nlmsg_seq = ++nb->ask_seq;
	req.nd.ndm_family = AF_INET;
	req.nd.ndm_ifindex = oif;
	req.a.rta_len = RTA_LENGTH(4);
	req.a.rta_type = NDA_DST;
	req.dst = htonl(addr);
	if (send(nb->ask_fd, &req, sizeof(req), MSG_DONTWAIT) != static_cast<ssize_t>(sizeof(req)))
		return neigh_said_unknown;
	alignas(struct nlmsghdr) unsigned char buf[512];
	for (;;) {
		ssize_t n = recv(nb->ask_fd, buf, sizeof(buf), MSG_DONTWAIT);
		if (n < static_cast<ssize_t>(NLMSG_HDRLEN))
			return neigh_said_unknown;
		auto *h = reinterpret_cast<const struct nlmsghdr *>(buf);
		if (h->nlmsg_seq != nb->ask_seq || h->nlmsg_len > static_cast<size_t>(n))
			continue;  // the answer to an earlier question, too late
		if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
			int err;
			memcpy(&err, NLMSG_DATA(h), sizeof(err));
			return err == -ENOENT ? neigh_said_none : neigh_said_unknown;
		}
		if (h->nlmsg_type != RTM_NEWNEIGH || h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ndmsg)))
			return neigh_said_unknown;
		struct ndmsg nd;
		memcpy(&nd, NLMSG_DATA(h), sizeof(nd));
		const unsigned known = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE |
		    NUD_PERMANENT | NUD_NOARP;
		if (nd.ndm_state & known)
			return neigh_said_resolved;
		return nd.ndm_state & NUD_INCOMPLETE ? neigh_said_pending : neigh_said_none;
	}
}

bool
neigh_admit(struct neighbours *nb, uint32_t addr, int64_t now_ns)
{
	int oif;
	if (nb->fd == -1 || !neigh_resolves(nb, addr, &oif))
		return true;
	struct neigh_slot *s = place(nb, addr, now_ns);
	if (s == nullptr) {
		// No room to hold it: it is answered only if the kernel has
		// resolved it (its answer waits for nothing), else it waits.
		enum neigh_said said = ask_kernel(nb, addr, oif);
		return said == neigh_said_resolved || said == neigh_said_unknown;
	}
	if (s->addr != addr || (s->held_at != neigh_resolved && now_ns - s->held_at >= neigh_hold_ns)) {
		// New, or its hold passed: this answer goes and is held, and
		// the next question about it goes to the kernel at once.
		*s = {.addr = addr, .held_at = now_ns, .asked_at = neigh_long_ago};
		return true;
	}
	if (s->held_at == neigh_resolved) {
		if (now_ns - s->asked_at < neigh_fresh_ns)
			return true;
	} else if (now_ns - s->asked_at < neigh_ask_min_ns + (now_ns - s->held_at) / 4) {
		return false;
	}
	switch (ask_kernel(nb, addr, oif)) {
	case neigh_said_unknown:
		return true;
	case neigh_said_resolved:
		*s = {.addr = addr, .held_at = neigh_resolved, .asked_at = now_ns};
		return true;
	case neigh_said_pending:
		if (s->held_at == neigh_resolved)
			s->held_at = now_ns;
		s->asked_at = now_ns;
		return false;
	case neigh_said_none:
		// Unless the held answer is still in this batch, not yet sent.
		if (s->held_at == now_ns)
			return false;
		break;
	}
	*s = {.addr = addr, .held_at = now_ns, .asked_at = now_ns};
	return true;
}

// More routes than the table holds: nobody is held, since who must be
// cannot be told, until a re-read after a route is gone finds they fit.
static void
too_many_routes(struct neighbours *nb)
{
	nb->routes_lost = true;
	if (nb->routes_said)
		return;
	nb->routes_said = true;
	fprintf(stderr, "rtnetlink: more than %u routes; nobody is held until they fit\n",
	    unsigned{neigh_routes_max});
}

void
neigh_route(struct neighbours *nb, const struct route4 *r, enum neigh_change how)
{
	if (r->table != neigh_table_main && r->table != neigh_table_local)
		return;
	// The kernel tells routes apart by these; one replaced may have had
	// another link.
	auto same = [r, how](const struct route4 &o) {
		return o.net == r->net && o.mask == r->mask && o.table == r->table &&
		    o.priority == r->priority && (how == neigh_replace || o.oif == r->oif);
	};
	if (r->table == neigh_table_local)
		nb->routes_gen++;
	struct route4 *end = nb->routes + nb->n_routes;
	struct route4 *at = std::find_if(nb->routes, end, same);
	if (how != neigh_del && at != end)
		*at = *r;
	else if (how != neigh_del && nb->n_routes < neigh_routes_max)
		nb->routes[nb->n_routes++] = *r;
	else if (how != neigh_del)
		too_many_routes(nb);
	else if (at != end)
		*at = nb->routes[--nb->n_routes];
	else if (nb->routes_lost)
		nb->reread_due = true;  // perhaps they fit now
}

// The link's routes go with it: the kernel does not always say so.
static void
drop_link_routes(struct neighbours *nb, int ifindex)
{
	for (unsigned i = 0; i < nb->n_routes;) {
		if (nb->routes[i].oif != ifindex) {
			i++;
			continue;
		}
		if (nb->routes[i].table == neigh_table_local)
			nb->routes_gen++;
		nb->routes[i] = nb->routes[--nb->n_routes];
	}
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

unsigned
neigh_broadcasts(const struct neighbours *nb, uint32_t *out, unsigned max)
{
	unsigned n = 0;
	for (unsigned i = 0; i < nb->n_routes && n < max; i++) {
		const struct route4 &r = nb->routes[i];
		if (r.table == neigh_table_local && r.type == RTN_BROADCAST && r.mask == ~0u &&
		    r.net != ~0u && std::find(out, out + n, r.net) == out + n)
			out[n++] = r.net;
	}
	return n;
}

// Asks for one table: links or routes.
static void
ask_dump(struct neighbours *nb)
{
	static const uint16_t types[] = {RTM_GETLINK, RTM_GETROUTE};
	struct {
		struct nlmsghdr h;
		struct rtmsg r;
	} req = {};
	req.h.nlmsg_len = sizeof(req);
	req.h.nlmsg_type = types[nb->dumping];
	req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
	req.r.rtm_family = nb->dumping == neigh_dump_links ? AF_UNSPEC : AF_INET;
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

static int
netlink_socket(unsigned groups)
{
	int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
	if (fd == -1)
		return -1;
	struct sockaddr_nl local = {};
	local.nl_family = AF_NETLINK;
	local.nl_groups = groups;
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) == -1) {
		close(fd);
		return -1;
	}
	return fd;
}

// Route changes of the tables the daemon does not follow are dropped in
// the kernel, so that they never wake it: a lone route message (a dump's
// parts, NLM_F_MULTI, all pass) whose table is neither main nor local nor
// the mark of one above 255. Netlink's fields are in the host's order; the
// types and flags that matter fit their first byte on a little-endian host
// and their last on a big-endian one.
static void
follow_tables_only(int fd)
{
	const uint16_t probe = 1;
	uint8_t first;
	memcpy(&first, &probe, 1);
	const uint32_t low = first == 1 ? 0 : 1;
	const uint32_t type_at = offsetof(struct nlmsghdr, nlmsg_type) + low;
	const uint32_t flags_at = offsetof(struct nlmsghdr, nlmsg_flags) + low;
	const uint32_t table_at = NLMSG_HDRLEN + offsetof(struct rtmsg, rtm_table);
	struct sock_filter prog[] = {
		BPF_STMT(BPF_LD | BPF_B | BPF_ABS, flags_at),
		BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, NLM_F_MULTI, 7, 0),
		BPF_STMT(BPF_LD | BPF_B | BPF_ABS, type_at),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, RTM_NEWROUTE, 1, 0),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, RTM_DELROUTE, 0, 4),
		BPF_STMT(BPF_LD | BPF_B | BPF_ABS, table_at),
		BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, RT_TABLE_COMPAT, 2, 0),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, RT_TABLE_UNSPEC, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, 0),
		BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
	};
	struct sock_fprog filter = {.len = sizeof(prog) / sizeof(prog[0]), .filter = prog};
	// Without the filter the daemon still follows the right tables; it
	// only wakes more.
	setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof(filter));
}

// Opens the socket and asks for the tables, keeping what is known.
static void
open_socket(struct neighbours *nb)
{
	nb->fd = netlink_socket(RTMGRP_LINK | RTMGRP_IPV4_ROUTE);
	if (nb->fd == -1)
		return;
	follow_tables_only(nb->fd);
	nb->opens++;
	// Room for a burst of changes while the service thread answers; the
	// kernel's limit for an unprivileged daemon may grant less.
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
	nb->reread_due = false;
	nb->loss_pending = false;
	nb->routes_said = false;
	nb->lost = {-1, 0};
	// The socket that follows the tables first: it takes the process's
	// own port id, by which tools name it.
	open_socket(nb);
	nb->ask_fd = netlink_socket(0);
	if (nb->ask_fd == -1 && nb->fd != -1) {
		close(nb->fd);
		nb->fd = -1;
	}
}

// Messages were lost to a full buffer (loss), or a route went while there
// were too many to follow: the tables are read again, what is known kept
// meanwhile, at most once a second. A line on standard error says a loss
// at most once a minute, with how many times it was not said.
static void
events_lost(struct neighbours *nb, int64_t now_ns, bool loss)
{
	nb->loss_pending |= loss;
	if (now_ns - nb->reopened_ns < neigh_reopen_ns) {
		nb->reread_due = true;  // once the second has passed
		return;
	}
	nb->reread_due = false;
	nb->reopened_ns = now_ns;
	unsigned long held;
	if (nb->loss_pending && send_log_admit(&nb->lost, now_ns, neigh_say_ns, &held)) {
		if (held == 0)
			fprintf(stderr, "rtnetlink: %s; tables read again\n", strerror(ENOBUFS));
		else
			fprintf(stderr, "rtnetlink: %s; tables read again (%lu more times not shown)\n",
			    strerror(ENOBUFS), held);
	}
	nb->loss_pending = false;
	close(nb->fd);
	nb->n_routes = 0;
	nb->routes_lost = false;
	nb->routes_gen++;
	nb->n_noarp = 0;
	open_socket(nb);
}

// The attributes of message h, whose fixed part is `head` bytes: fn(type,
// payload, length) for each.
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
u32_attr(const unsigned char *data, size_t len, uint32_t *v)
{
	if (len != 4)
		return false;
	memcpy(v, data, 4);
	return true;
}

static void
take_route(struct neighbours *nb, const struct nlmsghdr *h)
{
	struct rtmsg rt;
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(rt)))
		return;
	memcpy(&rt, NLMSG_DATA(h), sizeof(rt));
	if (rt.rtm_family != AF_INET || rt.rtm_dst_len > 32)
		return;
	uint32_t table = rt.rtm_table, dst = 0;
	struct route4 r = {};
	r.mask = rt.rtm_dst_len == 0 ? 0 : ~uint32_t{0} << (32 - rt.rtm_dst_len);
	r.type = rt.rtm_type;
	r.direct = true;
	each_attr(h, sizeof(rt), [&](unsigned type, const unsigned char *data, size_t len) {
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
	neigh_route(nb, &r, h->nlmsg_type == RTM_DELROUTE ? neigh_del :
	    h->nlmsg_flags & NLM_F_REPLACE ? neigh_replace : neigh_add);
}

static void
take_link(struct neighbours *nb, const struct nlmsghdr *h)
{
	auto *ifi = static_cast<const struct ifinfomsg *>(NLMSG_DATA(h));
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(*ifi)))
		return;
	bool up = h->nlmsg_type == RTM_NEWLINK && (ifi->ifi_flags & IFF_UP);
	if (!up)
		drop_link_routes(nb, ifi->ifi_index);
	neigh_noarp(nb, ifi->ifi_index, up && (ifi->ifi_flags & (IFF_NOARP | IFF_LOOPBACK)));
}

static void
routes_fit(struct neighbours *nb)
{
	nb->routes_said = false;
	fprintf(stderr, "rtnetlink: the routes fit again; holds as before\n");
}

bool
neigh_reread_now(const struct neighbours *nb, int64_t now_ns)
{
	return nb->reread_due && now_ns - nb->reopened_ns >= neigh_reopen_ns;
}

int
neigh_reread_wait_ms(const struct neighbours *nb, int64_t now_ns)
{
	if (!nb->reread_due)
		return -1;
	int64_t left = nb->reopened_ns + neigh_reopen_ns - now_ns;
	return left <= 0 ? 0 : static_cast<int>(left / 1000000) + 1;
}

void
neigh_read(struct neighbours *nb, int64_t now_ns)
{
	alignas(struct nlmsghdr) unsigned char buf[16384];
	if (nb->reread_due && nb->fd != -1)
		events_lost(nb, now_ns, false);
	while (nb->fd != -1) {
		ssize_t n = recv(nb->fd, buf, sizeof(buf), 0);
		if (n == -1 && errno == ENOBUFS) {
			events_lost(nb, now_ns, true);
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
			case RTM_NEWROUTE:
			case RTM_DELROUTE:
				take_route(nb, h);
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
					else if (nb->routes_said && !nb->routes_lost)
						routes_fit(nb);
				}
				break;
			}
		}
	}
}
