// Linux: the interfaces from getifaddrs, broadcasts sent through their
// interface with IP_PKTINFO, answers taken with recvmmsg, and a cancel
// that wakes the wait through an eventfd.
#include "net.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

// Enough for a few thousand replies that arrive at the same moment, or
// as much as the system allows if that is more.
enum : int { socket_buffer_bytes = 4 << 20 };

static unsigned long
sysctl_value(const char *path)
{
	FILE *f = fopen(path, "re");
	char line[32] = "";
	if (f != nullptr) {
		if (fgets(line, sizeof(line), f) == nullptr)
			line[0] = '\0';
		fclose(f);
	}
	return strtoul(line, nullptr, 10);
}

double
net_now(void)
{
	using seconds = std::chrono::duration<double>;
	return std::chrono::duration_cast<seconds>(
	    std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool
net_start(void)
{
	return true;
}

void
net_stop(void)
{
}

int
net_error(void)
{
	return errno;
}

std::string
net_error_text(int error)
{
	return strerror(error);
}

bool
net_full(int error)
{
	return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
}

std::string
net_lookup_error(int rc)
{
	return gai_strerror(rc);
}

void
net_known_neighbours(const std::string &iface, std::vector<uint32_t> *known)
{
	// "IP address HW type Flags HW address Mask Device", flag 0x2 for a
	// resolved entry.
	FILE *f = fopen("/proc/net/arp", "re");
	if (f == nullptr)
		return;
	char line[256], addr[64], flags[16], dev[64];
	while (fgets(line, sizeof(line), f) != nullptr) {
		struct in_addr in;
		if (sscanf(line, "%63s %*s %15s %*s %*s %63s", addr, flags, dev) == 3 &&
		    (strtoul(flags, nullptr, 16) & 0x2) != 0 && iface == dev &&
		    inet_pton(AF_INET, addr, &in) == 1)
			known->push_back(ntohl(in.s_addr));
	}
	fclose(f);
}

// The kernel's neighbour entry for one address, asked over rtnetlink on
// a socket the set keeps.
bool
net_neighbour(net_set *set, uint32_t addr, unsigned ifindex, std::string *mac)
{
	if (set->rtnl == -1) {
		set->rtnl = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
		if (set->rtnl == -1)
			return false;
		struct timeval tv = {.tv_sec = 0, .tv_usec = 100000};
		setsockopt(set->rtnl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
	}
	struct {
		struct nlmsghdr nh;
		struct ndmsg ndm;
		struct rtattr dst;
		uint32_t addr;
	} req = {};
	static_assert(sizeof(req) == NLMSG_LENGTH(sizeof(struct ndmsg)) + RTA_LENGTH(4));
	req.nh = {.nlmsg_len = sizeof(req), .nlmsg_type = RTM_GETNEIGH,
	    .nlmsg_flags = NLM_F_REQUEST, .nlmsg_seq = ++set->rtnl_seq, .nlmsg_pid = 0};
	req.ndm.ndm_family = AF_INET;
	req.ndm.ndm_ifindex = static_cast<int>(ifindex);
	req.dst = {.rta_len = RTA_LENGTH(4), .rta_type = NDA_DST};
	req.addr = htonl(addr);
	struct sockaddr_nl kernel = {.nl_family = AF_NETLINK, .nl_pad = 0, .nl_pid = 0,
	    .nl_groups = 0};
	if (sendto(set->rtnl, &req, sizeof(req), 0, reinterpret_cast<struct sockaddr *>(&kernel),
	        sizeof(kernel)) != static_cast<ssize_t>(sizeof(req)))
		return false;
	alignas(struct nlmsghdr) unsigned char buf[1024];
	for (;;) {
		ssize_t n = recv(set->rtnl, buf, sizeof(buf), 0);
		if (n <= 0)
			return false;
		// The answer to a get is one message.
		auto *nh = reinterpret_cast<struct nlmsghdr *>(buf);
		if (static_cast<size_t>(n) >= sizeof(*nh) && nh->nlmsg_len <= static_cast<size_t>(n)) {
			if (nh->nlmsg_seq != set->rtnl_seq)
				continue;  // the answer to an earlier ask that timed out
			if (nh->nlmsg_type != RTM_NEWNEIGH ||
			    nh->nlmsg_len < NLMSG_LENGTH(sizeof(struct ndmsg)))
				return false;  // NLMSG_ERROR: no such entry
			auto *ndm = static_cast<struct ndmsg *>(NLMSG_DATA(nh));
			// The states in which the kernel sends to it without asking.
			const unsigned resolved = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE |
			    NUD_PERMANENT | NUD_NOARP;
			if ((ndm->ndm_state & resolved) == 0)
				return false;
			size_t at = NLMSG_LENGTH(sizeof(*ndm)), end = nh->nlmsg_len;
			auto *bytes = reinterpret_cast<const unsigned char *>(nh);
			while (at + sizeof(struct rtattr) <= end) {
				struct rtattr a;
				memcpy(&a, bytes + at, sizeof(a));
				if (a.rta_len < sizeof(a) || at + a.rta_len > end)
					break;
				const unsigned char *hw = bytes + at + RTA_LENGTH(0);
				at += RTA_ALIGN(a.rta_len);
				if (a.rta_type != NDA_LLADDR || a.rta_len != RTA_LENGTH(6))
					continue;
				char text[18];
				snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1],
				    hw[2], hw[3], hw[4], hw[5]);
				*mac = text;
			}
			return true;
		}
		return false;
	}
}

// A header line of names, then a line of hexadecimal counters for each
// CPU; "entries" is the table's whole, the same on each line, and
// "table_fulls" is counted per CPU.
static bool
read_arp_stats(net_neighbour_table *table)
{
	FILE *f = fopen("/proc/net/stat/arp_cache", "re");
	if (f == nullptr)
		return false;
	char line[1024];
	int entries = -1, fulls = -1, lines = 0;
	if (fgets(line, sizeof(line), f) != nullptr) {
		int i = 0;
		char *at;
		for (char *tok = strtok_r(line, " \n", &at); tok != nullptr;
		     tok = strtok_r(nullptr, " \n", &at), i++) {
			if (strcmp(tok, "entries") == 0)
				entries = i;
			else if (strcmp(tok, "table_fulls") == 0)
				fulls = i;
		}
	}
	while (entries >= 0 && fgets(line, sizeof(line), f) != nullptr) {
		int i = 0;
		char *at;
		for (char *tok = strtok_r(line, " \n", &at); tok != nullptr;
		     tok = strtok_r(nullptr, " \n", &at), i++) {
			if (i == entries && lines == 0)
				table->entries = strtoul(tok, nullptr, 16);
			else if (i == fulls)
				table->overflows += strtoul(tok, nullptr, 16);
		}
		lines++;
	}
	fclose(f);
	return lines > 0;
}

// What this network namespace's table holds, resolved or not.
static unsigned long
arp_entries(void)
{
	FILE *f = fopen("/proc/net/arp", "re");
	if (f == nullptr)
		return 0;
	unsigned long lines = 0;
	for (int c; (c = getc(f)) != EOF;)
		lines += c == '\n';
	fclose(f);
	return lines > 0 ? lines - 1 : 0;  // the header
}

// A namespace other than the first sees neither the table's limit nor
// its statistics: there the kernel's default limit is taken, and this
// namespace's entries are counted.
bool
net_neighbours(net_neighbour_table *table)
{
	*table = {};
	table->limit = sysctl_value("/proc/sys/net/ipv4/neigh/default/gc_thresh3");
	if (table->limit == 0)
		table->limit = 1024;
	if (read_arp_stats(table))
		return true;
	table->entries = arp_entries();
	return true;
}

bool
net_interfaces(std::vector<local_net> *nets, std::string *why)
{
	struct ifaddrs *list;
	if (getifaddrs(&list) == -1) {
		*why = std::string("getifaddrs: ") + strerror(errno);
		return false;
	}
	// The indexes come in the same list, with the link-layer entries: a
	// lookup per name would cost a query each, for a thousand interfaces.
	std::unordered_map<std::string, unsigned> index;
	for (struct ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
		if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_PACKET) {
			struct sockaddr_ll ll;
			memcpy(&ll, ifa->ifa_addr, sizeof(ll));
			index.emplace(ifa->ifa_name, static_cast<unsigned>(ll.sll_ifindex));
		}
	}
	for (struct ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
		if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET ||
		    ifa->ifa_netmask == nullptr)
			continue;
		unsigned flags = ifa->ifa_flags;
		uint32_t addr = in_host(ifa->ifa_addr), mask = in_host(ifa->ifa_netmask);
		// With no broadcast address set, the C library hands over the
		// address itself in its place: then all host bits set it is.
		uint32_t bcast = addr | ~mask;
		if (ifa->ifa_broadaddr != nullptr) {
			uint32_t b = in_host(ifa->ifa_broadaddr);
			if (b != addr && (b & mask) == (addr & mask))
				bcast = b;
		}
		bool broadcasts = (flags & IFF_UP) && (flags & IFF_BROADCAST) &&
		    !(flags & IFF_LOOPBACK) && mask != 0xffffffff;
		auto known = index.find(ifa->ifa_name);
		nets->push_back({.iface = ifa->ifa_name,
		    .ifindex = known != index.end() ? known->second : 0, .addr = addr, .mask = mask,
		    .bcast = bcast, .broadcasts = broadcasts});
	}
	freeifaddrs(list);
	return true;
}

unsigned
net_iface_index(const char *name)
{
	return if_nametoindex(name);
}

std::string
net_iface_name(unsigned ifindex)
{
	char name[IF_NAMESIZE];
	return ifindex != 0 && if_indextoname(ifindex, name) ? name : "";
}

static int
watch(int poller, int fd)
{
	struct epoll_event ev = {};
	ev.events = EPOLLIN;
	ev.data.fd = fd;
	return epoll_ctl(poller, EPOLL_CTL_ADD, fd, &ev);
}

intptr_t
net_poll_handle(net_set *set, net_wake *wake)
{
	if (set->poller != -1)
		return set->poller;
	int poller = epoll_create1(EPOLL_CLOEXEC);
	if (poller == -1 || watch(poller, wake->fd) == -1) {
		if (poller != -1)
			close(poller);
		return -1;
	}
	for (int fd : set->fds) {
		if (watch(poller, fd) == -1) {
			close(poller);
			return -1;
		}
	}
	set->poller = poller;
	return poller;
}

bool
net_grow(net_set *set, std::string *why)
{
	int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (sock == -1) {
		*why = std::string("socket: ") + strerror(errno);
		return false;
	}
	int one = 1;
	// Beyond the system's limit only with the rights to pass it; without,
	// the limit itself is taken.
	int bytes = socket_buffer_bytes;
	unsigned long allowed = sysctl_value("/proc/sys/net/core/rmem_max");
	int receive = static_cast<int>(std::clamp(allowed, static_cast<unsigned long>(bytes),
	    static_cast<unsigned long>(INT32_MAX / 2)));
	if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &receive, sizeof(receive)) == -1)
		setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receive, sizeof(receive));
	if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof(bytes)) == -1)
		setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
	struct sockaddr_in any;
	memset(&any, 0, sizeof(any));
	any.sin_family = AF_INET;
	const char *what = "setsockopt";
	if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) == 0 &&
	    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) == 0 &&
	    (what = "bind", bind(sock, reinterpret_cast<struct sockaddr *>(&any), sizeof(any))) == 0 &&
	    (what = "epoll_ctl", set->poller == -1 || watch(set->poller, sock) == 0)) {
		set->fds.push_back(sock);
		return true;
	}
	*why = std::string(what) + ": " + strerror(errno);
	close(sock);
	return false;
}

std::size_t
net_count(const net_set *set)
{
	return set->fds.size();
}

static int
send_on(int fd, const find_dest &d, const unsigned char *dgram, std::size_t len)
{
	struct iovec iov = {const_cast<unsigned char *>(dgram), len};
	struct msghdr msg;
	memset(&msg, 0, sizeof(msg));
	msg.msg_name = const_cast<struct sockaddr_in *>(&d.addr);
	msg.msg_namelen = sizeof(d.addr);
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;

	alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in_pktinfo))];
	if (d.ifindex != 0) {
		memset(control, 0, sizeof(control));
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		struct cmsghdr *cm = CMSG_FIRSTHDR(&msg);
		cm->cmsg_level = IPPROTO_IP;
		cm->cmsg_type = IP_PKTINFO;
		cm->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
		struct in_pktinfo info;
		memset(&info, 0, sizeof(info));
		info.ipi_ifindex = static_cast<int>(d.ifindex);
		info.ipi_spec_dst = d.source;
		memcpy(CMSG_DATA(cm), &info, sizeof(info));
	}
	ssize_t sent = sendmsg(fd, &msg, MSG_DONTWAIT);
	return sent == static_cast<ssize_t>(len) ? 0 : sent == -1 ? errno : EMSGSIZE;
}

int
net_send(net_set *set, const find_dest &d, const unsigned char *dgram, std::size_t len)
{
	return send_on(set->fds.back(), d, dgram, len);
}

int
net_send_from(net_set *set, std::size_t i, const find_dest &d, const unsigned char *dgram,
    std::size_t len)
{
	return send_on(set->fds[i], d, dgram, len);
}

static unsigned
arrival_ifindex(struct msghdr *msg)
{
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(msg); cm; cm = CMSG_NXTHDR(msg, cm)) {
		if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
			struct in_pktinfo info;
			memcpy(&info, CMSG_DATA(cm), sizeof(info));
			return static_cast<unsigned>(info.ipi_ifindex);
		}
	}
	return 0;
}

// The kernel's count of what each socket dropped, as SO_MEMINFO gives it.
bool
net_dropped(net_set *set, unsigned long *dropped)
{
	*dropped = 0;
	for (int fd : set->fds) {
		uint32_t info[SK_MEMINFO_VARS] = {};
		socklen_t len = sizeof(info);
		if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == -1 ||
		    len < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t))
			return false;
		*dropped += info[SK_MEMINFO_DROPS];
	}
	return true;
}

void
net_receive_buffer(net_set *set, net_buffer *buffer)
{
	int bytes = 0;
	socklen_t len = sizeof(bytes);
	getsockopt(set->fds.back(), SOL_SOCKET, SO_RCVBUF, &bytes, &len);
	// The kernel doubles what it is asked for, and gives that.
	*buffer = {.bytes = static_cast<unsigned long>(bytes) / 2, .setting = "net.core.rmem_max",
	    .setting_now = sysctl_value("/proc/sys/net/core/rmem_max")};
}

unsigned
net_receive(net_set *set, std::size_t i, net_datagram *batch, unsigned n)
{
	enum : unsigned { most = 32 };
	alignas(struct cmsghdr) unsigned char controls[most][CMSG_SPACE(sizeof(struct in_pktinfo))];
	struct sockaddr_in from[most];
	struct iovec iov[most];
	struct mmsghdr msgs[most];
	n = std::min(n, unsigned{most});
	memset(msgs, 0, sizeof(msgs));
	for (unsigned k = 0; k < n; k++) {
		iov[k] = {batch[k].bytes, sizeof(batch[k].bytes)};
		msgs[k].msg_hdr.msg_name = &from[k];
		msgs[k].msg_hdr.msg_namelen = sizeof(from[k]);
		msgs[k].msg_hdr.msg_iov = &iov[k];
		msgs[k].msg_hdr.msg_iovlen = 1;
		msgs[k].msg_hdr.msg_control = controls[k];
		msgs[k].msg_hdr.msg_controllen = sizeof(controls[k]);
	}
	int got;
	do
		got = recvmmsg(set->fds[i], msgs, n, MSG_DONTWAIT, nullptr);
	while (got == -1 && errno == EINTR);
	for (int k = 0; k < got; k++) {
		struct msghdr *msg = &msgs[k].msg_hdr;
		net_datagram *d = &batch[k];
		d->len = msgs[k].msg_len;
		d->truncated = (msg->msg_flags & MSG_TRUNC) != 0;
		d->ipv4 = msg->msg_namelen == sizeof(from[k]) && from[k].sin_family == AF_INET;
		d->addr = ntohl(from[k].sin_addr.s_addr);
		d->port = ntohs(from[k].sin_port);
		d->ifindex = arrival_ifindex(msg);
	}
	return got > 0 ? static_cast<unsigned>(got) : 0;
}

bool
net_wait(net_set *set, net_wake *wake, double seconds)
{
	std::vector<struct pollfd> pfds;
	for (int fd : set->fds)
		pfds.push_back({fd, POLLIN, 0});
	pfds.push_back({wake->fd, POLLIN, 0});
	struct timespec ts;
	ts.tv_sec = static_cast<time_t>(seconds);
	ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
	int n = ppoll(pfds.data(), pfds.size(), &ts, nullptr);
	if (n > 0 && (pfds.back().revents & POLLIN) != 0)
		net_wake_clear(wake);
	return n > 0;
}

bool
net_wake_open(net_wake *wake)
{
	wake->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	return wake->fd != -1;
}

void
net_wake_signal(net_wake *wake)
{
	uint64_t one = 1;
	ssize_t n = write(wake->fd, &one, sizeof(one));
	(void)n;  // a full counter wakes the search as well
}

void
net_wake_clear(net_wake *wake)
{
	uint64_t count;
	while (read(wake->fd, &count, sizeof(count)) > 0) {
	}
}

void
net_wake_close(net_wake *wake)
{
	close(wake->fd);
}
