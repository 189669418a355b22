// corvane-find: asks the local network for boards and lists those that
// answer.
//
// The request goes out three times within the wait, as a broadcast on each
// chosen interface or to each target, from one socket on an ephemeral
// port. Boards answer that port by unicast. The run never lasts longer
// than the wait, whatever the network does: names are resolved against
// the same deadline, and no call blocks past it.
#include "finder.h"
#include "udp.h"

#include <arpa/inet.h>
#include <err.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

enum : int { exit_found = 0, exit_none = 1, exit_trouble = 2 };

// Where one copy of each request goes.
struct destination {
	struct sockaddr_in addr;
	unsigned ifindex;       // the interface to broadcast on; 0 for a target
	struct in_addr source;  // that interface's own address
	std::string label;      // how errors name it
	bool failed;            // a send has failed and was reported
};

// The request rounds, as fractions of the wait: a datagram lost while an
// address is resolved, or a board still starting, is asked again.
static const double round_at[] = {0.0, 0.2, 0.5};
enum : size_t { round_count = sizeof(round_at) / sizeof(round_at[0]) };

// Enough for a few hundred replies that arrive at the same moment.
enum : int { receive_buffer_bytes = 4 << 20 };

static double
now_s(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static struct timespec
span(double seconds)
{
	struct timespec ts;
	seconds = std::max(seconds, 0.0);
	ts.tv_sec = static_cast<time_t>(seconds);
	ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
	return ts;
}

static struct sockaddr_in
ipv4(uint32_t addr_net, uint16_t port)
{
	struct sockaddr_in sin;
	memset(&sin, 0, sizeof(sin));
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = addr_net;
	sin.sin_port = htons(port);
	return sin;
}

static void
add_destination(std::vector<destination> *dests, const destination &d)
{
	for (const destination &have : *dests)
		if (have.addr.sin_addr.s_addr == d.addr.sin_addr.s_addr &&
		    have.addr.sin_port == d.addr.sin_port && have.ifindex == d.ifindex)
			return;
	dests->push_back(d);
}

static bool
named(const std::vector<std::string> &ifaces, const char *name)
{
	return std::find(ifaces.begin(), ifaces.end(), name) != ifaces.end();
}

// The broadcast address of every IPv4 address on an interface that is up,
// broadcast-capable and not loopback; only the named ones if any are.
static std::vector<destination>
broadcast_destinations(const std::vector<std::string> &ifaces)
{
	for (const std::string &name : ifaces)
		if (if_nametoindex(name.c_str()) == 0)
			errx(exit_trouble, "-i %s: no such interface", name.c_str());

	struct ifaddrs *list;
	if (getifaddrs(&list) == -1)
		err(exit_trouble, "getifaddrs");
	std::vector<destination> dests;
	std::set<std::string> used;
	for (struct ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
		if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET ||
		    ifa->ifa_netmask == nullptr)
			continue;
		unsigned flags = ifa->ifa_flags;
		if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK))
			continue;
		if (!ifaces.empty() && !named(ifaces, ifa->ifa_name))
			continue;

		struct sockaddr_in addr, mask;
		memcpy(&addr, ifa->ifa_addr, sizeof(addr));
		memcpy(&mask, ifa->ifa_netmask, sizeof(mask));
		if (mask.sin_addr.s_addr == 0xffffffff)
			continue;  // a host route: nobody else on this subnet
		// With no broadcast address set, the C library hands over the
		// address itself in its place: take only one on the subnet.
		uint32_t net = addr.sin_addr.s_addr & mask.sin_addr.s_addr;
		uint32_t bcast = addr.sin_addr.s_addr | ~mask.sin_addr.s_addr;
		if (ifa->ifa_broadaddr != nullptr) {
			struct sockaddr_in set;
			memcpy(&set, ifa->ifa_broadaddr, sizeof(set));
			uint32_t b = set.sin_addr.s_addr;
			if (b != addr.sin_addr.s_addr && (b & mask.sin_addr.s_addr) == net)
				bcast = b;
		}
		destination d{ipv4(bcast, TARVO_PORT), if_nametoindex(ifa->ifa_name),
		    addr.sin_addr, ifa->ifa_name, false};
		add_destination(&dests, d);
		used.insert(ifa->ifa_name);
	}
	freeifaddrs(list);

	for (const std::string &name : ifaces)
		if (used.count(name) == 0)
			errx(exit_trouble, "%s: no IPv4 broadcast address (down, loopback "
			    "or not broadcast-capable)", name.c_str());
	if (dests.empty())
		errx(exit_trouble, "no interface to broadcast on; name a TARGET");
	return dests;
}

// Every IPv4 address of every target. Names are looked up all at once and
// must be known by the deadline.
static std::vector<destination>
target_destinations(const std::vector<std::string> &targets, double deadline)
{
	struct pending {
		std::string label, host;
		uint16_t port;
	};
	std::vector<destination> dests;
	std::vector<pending> names;
	for (const std::string &t : targets) {
		std::string host;
		uint16_t port;
		split_target(t, &host, &port);
		struct in_addr in;
		if (inet_pton(AF_INET, host.c_str(), &in) == 1)
			add_destination(&dests, {ipv4(in.s_addr, port), 0, {}, t, false});
		else
			names.push_back({t, host, port});
	}
	if (names.empty())
		return dests;

	struct addrinfo hints;
	memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	std::vector<struct gaicb> reqs(names.size());
	std::vector<struct gaicb *> list;
	for (size_t i = 0; i < names.size(); i++) {
		memset(&reqs[i], 0, sizeof(reqs[i]));
		reqs[i].ar_name = names[i].host.c_str();
		reqs[i].ar_request = &hints;
		list.push_back(&reqs[i]);
	}
	int rc = getaddrinfo_a(GAI_NOWAIT, list.data(), static_cast<int>(list.size()), nullptr);
	if (rc != 0)
		errx(exit_trouble, "name lookup: %s", gai_strerror(rc));

	for (size_t i = 0; i < names.size(); i++) {
		while ((rc = gai_error(&reqs[i])) == EAI_INPROGRESS) {
			double left = deadline - now_s();
			if (left <= 0)
				errx(exit_trouble, "%s: name not resolved within the wait",
				    names[i].host.c_str());
			struct timespec ts = span(left);
			const struct gaicb *one[] = {&reqs[i]};
			gai_suspend(one, 1, &ts);
		}
		if (rc != 0)
			errx(exit_trouble, "%s: %s", names[i].host.c_str(), gai_strerror(rc));
		for (struct addrinfo *ai = reqs[i].ar_result; ai != nullptr; ai = ai->ai_next) {
			struct sockaddr_in sin;
			memcpy(&sin, ai->ai_addr, sizeof(sin));
			add_destination(&dests, {ipv4(sin.sin_addr.s_addr, names[i].port), 0, {},
			    names[i].label, false});
		}
		freeaddrinfo(reqs[i].ar_result);
	}
	return dests;
}

static int
open_socket(void)
{
	int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (sock == -1)
		err(exit_trouble, "socket");
	int one = 1;
	if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) == -1 ||
	    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) == -1)
		err(exit_trouble, "setsockopt");
	// Beyond the system's limit only with the rights to pass it; without,
	// the limit itself is taken.
	int bytes = receive_buffer_bytes;
	if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) == -1)
		setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
	struct sockaddr_in any = ipv4(htonl(INADDR_ANY), 0);
	if (bind(sock, reinterpret_cast<struct sockaddr *>(&any), sizeof(any)) == -1)
		err(exit_trouble, "bind");
	return sock;
}

// Sends one request to d: through its interface when it is a broadcast.
// Returns false when the send failed.
static bool
send_request(int sock, destination *d)
{
	unsigned char dgram[TARVO_DGRAM_LEN];
	build_request(dgram);
	struct iovec iov = {dgram, sizeof(dgram)};
	struct msghdr msg;
	memset(&msg, 0, sizeof(msg));
	msg.msg_name = &d->addr;
	msg.msg_namelen = sizeof(d->addr);
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;

	alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in_pktinfo))];
	if (d->ifindex != 0) {
		memset(control, 0, sizeof(control));
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		struct cmsghdr *cm = CMSG_FIRSTHDR(&msg);
		cm->cmsg_level = IPPROTO_IP;
		cm->cmsg_type = IP_PKTINFO;
		cm->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
		struct in_pktinfo info;
		memset(&info, 0, sizeof(info));
		info.ipi_ifindex = static_cast<int>(d->ifindex);
		info.ipi_spec_dst = d->source;
		memcpy(CMSG_DATA(cm), &info, sizeof(info));
	}
	if (sendmsg(sock, &msg, MSG_DONTWAIT) == TARVO_DGRAM_LEN)
		return true;
	if (!d->failed)
		warn("%s", d->label.c_str());
	d->failed = true;
	return false;
}

struct finding {
	std::vector<board_entry> boards;
	std::set<uint64_t> seen;  // address and port of every board listed
	std::map<int, std::string> iface_names;
};

static std::string
iface_name(finding *f, int ifindex)
{
	auto it = f->iface_names.find(ifindex);
	if (it != f->iface_names.end())
		return it->second;
	char name[IF_NAMESIZE];
	std::string s = if_indextoname(static_cast<unsigned>(ifindex), name) ? name : "";
	f->iface_names[ifindex] = s;
	return s;
}

// Takes every queued datagram and keeps each new board's reply, until
// `limit` boards are kept (0: no limit).
static void
receive_replies(int sock, finding *f, double asked_at, size_t limit)
{
	while (limit == 0 || f->boards.size() < limit) {
		// One byte more than a reply, so that a longer datagram shows.
		unsigned char dgram[TARVO_DGRAM_LEN + 1];
		alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(struct in_pktinfo))];
		struct sockaddr_in from;
		struct iovec iov = {dgram, sizeof(dgram)};
		struct msghdr msg;
		memset(&msg, 0, sizeof(msg));
		msg.msg_name = &from;
		msg.msg_namelen = sizeof(from);
		msg.msg_iov = &iov;
		msg.msg_iovlen = 1;
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);

		ssize_t len = recvmsg(sock, &msg, MSG_DONTWAIT);
		if (len == -1 && errno == EINTR)
			continue;
		if (len == -1)
			return;
		double at = now_s();
		uint32_t proto_ver;
		if (!is_board_reply(dgram, len, (msg.msg_flags & MSG_TRUNC) != 0, &proto_ver) ||
		    msg.msg_namelen != sizeof(from) || from.sin_family != AF_INET)
			continue;
		uint64_t key = (uint64_t{ntohl(from.sin_addr.s_addr)} << 16) | ntohs(from.sin_port);
		if (!f->seen.insert(key).second)
			continue;

		int ifindex = 0;
		for (struct cmsghdr *cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
			if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
				struct in_pktinfo info;
				memcpy(&info, CMSG_DATA(cm), sizeof(info));
				ifindex = info.ipi_ifindex;
			}
		}
		f->boards.push_back({ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), proto_ver,
		    ifindex ? iface_name(f, ifindex) : "", (at - asked_at) * 1000});
	}
}

static int
report(const find_options &opts, finding *f)
{
	sort_boards(&f->boards);
	std::string out;
	if (opts.json)
		out = format_json(f->boards);
	else if (!f->boards.empty())
		out = format_text(f->boards);
	if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) == EOF)
		err(exit_trouble, "stdout");
	if (f->boards.empty()) {
		warnx("no board answered within %g s", opts.wait_s);
		return exit_none;
	}
	return exit_found;
}

int
main(int argc, char **argv)
{
	find_options opts;
	std::string why;
	switch (parse_find_args(argc, argv, &opts, &why)) {
	case EFindAction_Help:
		fputs(find_usage, stdout);
		return fflush(stdout) == EOF ? exit_trouble : 0;
	case EFindAction_Version:
		puts("corvane-find " CORVANE_VERSION);
		return fflush(stdout) == EOF ? exit_trouble : 0;
	case EFindAction_Usage_Error:
		errx(exit_trouble, "%s (see corvane-find --help)", why.c_str());
	case EFindAction_Run:
		break;
	}

	const double start = now_s();
	const double deadline = start + opts.wait_s;
	std::vector<destination> dests = opts.targets.empty()
	    ? broadcast_destinations(opts.ifaces)
	    : target_destinations(opts.targets, deadline);
	int sock = open_socket();

	finding f;
	size_t rounds = 0;
	bool any_sent = false;
	double asked_at = start;
	struct pollfd pfd = {sock, POLLIN, 0};
	for (;;) {
		double t = now_s();
		if (t >= deadline)
			break;
		if (rounds < round_count && t >= start + round_at[rounds] * opts.wait_s) {
			for (destination &d : dests)
				any_sent |= send_request(sock, &d);
			asked_at = t;
			rounds++;
			continue;
		}
		double next = rounds < round_count
		    ? std::min(deadline, start + round_at[rounds] * opts.wait_s) : deadline;
		struct timespec ts = span(next - t);
		if (ppoll(&pfd, 1, &ts, nullptr) > 0) {
			size_t limit = static_cast<size_t>(opts.count);
			receive_replies(sock, &f, asked_at, limit);
			if (limit > 0 && f.boards.size() >= limit)
				break;
		}
	}
	close(sock);
	if (!any_sent && f.boards.empty())
		errx(exit_trouble, "no request could be sent");
	return report(opts, &f);
}
