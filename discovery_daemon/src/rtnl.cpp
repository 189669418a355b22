// The rtnetlink sockets behind the adapter.
#include "rtnl.h"
#include "rtnl_parse.h"

#include <linux/filter.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>

static int
netlink_socket(unsigned groups)
{
	int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
	if (fd == -1)
		return -1;
	struct sockaddr_nl local = {.nl_family = AF_NETLINK, .nl_pad = 0, .nl_pid = 0,
	    .nl_groups = groups};
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

// Asks for the table being dumped: links or routes.
static void
ask_dump(struct rtnl *a)
{
	static const uint16_t types[] = {RTM_GETLINK, RTM_GETROUTE};
	struct {
		struct nlmsghdr h;
		struct rtmsg r;
	} req = {
		.h = {.nlmsg_len = sizeof(req), .nlmsg_type = types[a->dumping],
		    .nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP, .nlmsg_seq = 0, .nlmsg_pid = 0},
		.r = {.rtm_family = static_cast<unsigned char>(
		    a->dumping == rtnl_dump_links ? AF_UNSPEC : AF_INET), .rtm_dst_len = 0,
		    .rtm_src_len = 0, .rtm_tos = 0, .rtm_table = 0, .rtm_protocol = 0, .rtm_scope = 0,
		    .rtm_type = 0, .rtm_flags = 0},
	};
	if (send(a->fd, &req, sizeof(req), 0) == -1) {
		close(a->fd);
		a->fd = -1;
	}
}

// Opens the socket that follows the tables, watched through poll_fd, and
// asks for the tables.
static void
follow(struct rtnl *a)
{
	a->fd = netlink_socket(RTMGRP_LINK | RTMGRP_IPV4_ROUTE);
	if (a->fd == -1)
		return;
	follow_tables_only(a->fd);
	// Room for a burst of changes while the service thread answers; the
	// kernel's limit for an unprivileged daemon may grant less.
	int rcvbuf = rtnl_rcvbuf;
	if (setsockopt(a->fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) == -1)
		setsockopt(a->fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
	struct epoll_event ev = {.events = EPOLLIN, .data = {.fd = a->fd}};
	if (epoll_ctl(a->poll_fd, EPOLL_CTL_ADD, a->fd, &ev) == -1) {
		close(a->fd);
		a->fd = -1;
		return;
	}
	a->dumping = rtnl_dump_links;
	ask_dump(a);
}

void
rtnl_open(struct rtnl *a)
{
	*a = {.poll_fd = -1, .fd = -1, .ask_fd = -1, .ask_seq = 0, .dumping = rtnl_dump_done,
	    .routes = {}, .routes_said = false, .read_at = INT64_MIN / 2, .reread_due = false,
	    .loss_pending = false, .lost = {-1, 0}};
	a->poll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (a->poll_fd == -1)
		return;
	// The socket that follows the tables first: it takes the process's
	// own port id, by which tools name it.
	follow(a);
	a->ask_fd = netlink_socket(0);
	if (a->fd == -1 || a->ask_fd == -1) {
		for (int fd : {a->fd, a->ask_fd, a->poll_fd})
			if (fd != -1)
				close(fd);
		a->poll_fd = a->fd = a->ask_fd = -1;
	}
}

int
rtnl_fd(const struct rtnl *a)
{
	return a->poll_fd;
}

int
rtnl_timeout_ms(const struct rtnl *a, int64_t now_ns)
{
	if (!a->reread_due)
		return -1;
	int64_t left = a->read_at + rtnl_reread_ns - now_ns;
	return left <= 0 ? 0 : static_cast<int>(left / 1000000) + 1;
}

// The tables are read again, what is known kept meanwhile, at most once a
// second: messages were lost to a full buffer (loss), or a route went
// while there were too many to follow. A line on standard error says a
// loss at most once a minute, with how many times it was not said.
static void
read_again(struct rtnl *a, int64_t now_ns, bool loss)
{
	a->loss_pending |= loss;
	if (now_ns - a->read_at < rtnl_reread_ns) {
		a->reread_due = true;  // once the second has passed
		return;
	}
	a->reread_due = false;
	a->read_at = now_ns;
	unsigned long held;
	if (a->loss_pending && send_log_admit(&a->lost, now_ns, rtnl_say_ns, &held)) {
		if (held == 0)
			fprintf(stderr, "rtnetlink: %s; tables read again\n", strerror(ENOBUFS));
		else
			fprintf(stderr, "rtnetlink: %s; tables read again (%lu more times not shown)\n",
			    strerror(ENOBUFS), held);
	}
	a->loss_pending = false;
	// A new socket: the old one may be in the middle of a dump, whose
	// parts would mix with the new one's.
	if (a->fd != -1)
		close(a->fd);
	routes_clear(&a->routes);
	follow(a);
}

// One message: a route, a link, or a dump's end.
static void
take(struct rtnl *a, const struct rtnl_msg &m)
{
	switch (m.kind) {
	case rtnl_route:
		routes_change(&a->routes, &m.route, m.how);
		break;
	case rtnl_link:
		routes_link(&a->routes, m.ifindex, m.up, m.noarp);
		break;
	case rtnl_end:
		// One dump at a time on a socket: the next now.
		if (a->dumping == rtnl_dump_done)
			break;
		a->dumping = static_cast<enum rtnl_dump>(a->dumping + 1);
		if (a->dumping != rtnl_dump_done) {
			ask_dump(a);
		} else if (a->routes_said && !a->routes.lost) {
			a->routes_said = false;
			fprintf(stderr, "rtnetlink: the routes fit again; holds as before\n");
		}
		break;
	case rtnl_ignored:
		break;
	}
	if (a->routes.lost && !a->routes_said) {
		a->routes_said = true;
		fprintf(stderr, "rtnetlink: more than %u routes; nobody is held until they fit\n",
		    unsigned{routes_max});
	}
}

bool
rtnl_process(struct rtnl *a, int64_t now_ns)
{
	if (a->poll_fd == -1)
		return false;
	const unsigned gen = a->routes.gen;
	// Clears the descriptor's readiness.
	struct epoll_event ev;
	while (epoll_wait(a->poll_fd, &ev, 1, 0) == -1 && errno == EINTR)
		;
	if (a->reread_due && now_ns - a->read_at >= rtnl_reread_ns)
		read_again(a, now_ns, false);
	alignas(struct nlmsghdr) unsigned char buf[16384];
	while (a->fd != -1) {
		ssize_t n = recv(a->fd, buf, sizeof(buf), 0);
		if (n == -1 && errno == ENOBUFS) {
			read_again(a, now_ns, true);
			continue;
		}
		if (n <= 0)
			break;
		struct rtnl_msg m;
		size_t len = static_cast<size_t>(n);
		for (size_t at = 0, step; (step = rtnl_parse(buf + at, len - at, &m)) != 0; at += step)
			take(a, m);
		if (a->routes.gone_while_lost) {
			a->routes.gone_while_lost = false;
			read_again(a, now_ns, false);  // perhaps they fit now
		}
	}
	return a->routes.gen != gen;
}

bool
rtnl_resolves(const struct rtnl *a, uint32_t addr, int *oif)
{
	return a->poll_fd != -1 && routes_resolve(&a->routes, addr, oif);
}

// The kernel answers within the send, so the answer is waiting when the
// send returns; anything else is taken as not knowing.
enum neigh_said
rtnl_ask(struct rtnl *a, uint32_t addr, int oif)
{
	struct {
		struct nlmsghdr h;
		struct ndmsg nd;
		struct rtattr a;
		uint32_t dst;
	} req = {
		.h = {.nlmsg_len = sizeof(req), .nlmsg_type = RTM_GETNEIGH, .nlmsg_flags = NLM_F_REQUEST,
		    .nlmsg_seq = ++a->ask_seq, .nlmsg_pid = 0},
		.nd = {.ndm_family = AF_INET, .ndm_pad1 = 0, .ndm_pad2 = 0, .ndm_ifindex = oif,
		    .ndm_state = 0, .ndm_flags = 0, .ndm_type = 0},
		.a = {.rta_len = RTA_LENGTH(4), .rta_type = NDA_DST},
		.dst = htonl(addr),
	};
	static_assert(sizeof(req) == NLMSG_LENGTH(sizeof(struct ndmsg)) + RTA_LENGTH(4));
	if (send(a->ask_fd, &req, sizeof(req), MSG_DONTWAIT) != static_cast<ssize_t>(sizeof(req)))
		return neigh_said_unknown;
	alignas(struct nlmsghdr) unsigned char buf[512];
	for (;;) {
		ssize_t n = recv(a->ask_fd, buf, sizeof(buf), MSG_DONTWAIT);
		if (n < 0)
			return neigh_said_unknown;
		enum neigh_said said;
		// Else the answer to an earlier question, too late.
		if (rtnl_neigh_answer(buf, static_cast<size_t>(n), a->ask_seq, &said))
			return said;
	}
}

unsigned
rtnl_locals(const struct rtnl *a, uint32_t *out, unsigned max)
{
	return routes_locals(&a->routes, out, max);
}
