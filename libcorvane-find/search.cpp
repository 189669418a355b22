// The search: one socket on an ephemeral port, the request sent in three
// rounds within the wait, and every queued answer taken as it comes. No
// call blocks past the deadline, however much arrives.
#include "search.h"
#include "udp.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_set>

// The request rounds, as fractions of the wait: a datagram lost while an
// address is resolved, or a board still starting, is asked again.
static const double round_at[] = {0.0, 0.2, 0.5};
enum : size_t { round_count = sizeof(round_at) / sizeof(round_at[0]) };

// Enough for a few hundred replies that arrive at the same moment.
enum : int { receive_buffer_bytes = 4 << 20 };

// Datagrams taken per receive; the deadline is looked at between them.
enum : unsigned { recv_batch = 32 };

double
now_s(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void
build_request(unsigned char *dgram)
{
	corvane_tarvo_find_data_t req;
	memset(&req, 0, sizeof(req));
	req.proto_ver = htonl(CORVANE_PROTO_VER);
	req.id = htonl(CORVANE_CTRL_ID_WAZZUP_BR0);
	memset(dgram, 0, TARVO_DGRAM_LEN);
	memcpy(dgram, &req, sizeof(req));
}

bool
is_board_reply(const unsigned char *dgram, ssize_t len, bool truncated, uint32_t *proto_ver)
{
	if (len != TARVO_DGRAM_LEN || truncated)
		return false;
	corvane_tarvo_find_data_t reply;
	memcpy(&reply, dgram, sizeof(reply));
	if (ntohl(reply.id) != CORVANE_CTRL_ID_WAZZUP_DUDE)
		return false;
	*proto_ver = ntohl(reply.proto_ver);
	return true;
}

static int
open_socket(corvane_finder *f)
{
	int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (sock == -1) {
		fail(f, std::string("socket: ") + strerror(errno));
		return -1;
	}
	int one = 1;
	// Beyond the system's limit only with the rights to pass it; without,
	// the limit itself is taken.
	int bytes = receive_buffer_bytes;
	if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) == -1)
		setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
	struct sockaddr_in any;
	memset(&any, 0, sizeof(any));
	any.sin_family = AF_INET;
	const char *what = "setsockopt";
	if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) == 0 &&
	    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) == 0 &&
	    (what = "bind", bind(sock, reinterpret_cast<struct sockaddr *>(&any), sizeof(any))) == 0)
		return sock;
	fail(f, std::string(what) + ": " + strerror(errno));
	close(sock);
	return -1;
}

// Sends one request to d: through its interface when it is a broadcast.
// Returns false when the send failed; the first failure is passed on.
static bool
send_request(corvane_finder *f, int sock, find_dest *d)
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
	if (!d->failed && f->warn != nullptr)
		f->warn((d->label + ": " + strerror(errno)).c_str(), f->warn_arg);
	d->failed = true;
	return false;
}

// One run's state: the boards reported so far, by address and port.
struct search {
	corvane_finder *f;
	const find_plan *plan;
	corvane_board_fn fn;
	void *arg;
	std::unordered_set<uint64_t> seen;
	std::map<int, std::string> iface_names;
	int reported;
	bool stopped;  // by the count or by the callback
	double asked_at;
};

static const std::string &
iface_name(struct search *s, int ifindex)
{
	auto it = s->iface_names.find(ifindex);
	if (it == s->iface_names.end()) {
		char name[IF_NAMESIZE];
		bool known = ifindex != 0 && if_indextoname(static_cast<unsigned>(ifindex), name);
		it = s->iface_names.emplace(ifindex, known ? name : "").first;
	}
	return it->second;
}

static int
arrival_ifindex(struct msghdr *msg)
{
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(msg); cm; cm = CMSG_NXTHDR(msg, cm)) {
		if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
			struct in_pktinfo info;
			memcpy(&info, CMSG_DATA(cm), sizeof(info));
			return info.ipi_ifindex;
		}
	}
	return 0;
}

// Reports the board behind one datagram, if it is a new board's answer
// from where a request went.
static void
take(struct search *s, struct mmsghdr *m, const unsigned char *dgram, double at)
{
	struct msghdr *msg = &m->msg_hdr;
	auto *from = static_cast<struct sockaddr_in *>(msg->msg_name);
	uint32_t proto_ver;
	if (!is_board_reply(dgram, m->msg_len, (msg->msg_flags & MSG_TRUNC) != 0, &proto_ver) ||
	    msg->msg_namelen != sizeof(*from) || from->sin_family != AF_INET)
		return;
	uint32_t addr = ntohl(from->sin_addr.s_addr);
	uint16_t port = ntohs(from->sin_port);
	if (!plan_admits(*s->plan, addr, port) ||
	    !s->seen.insert((uint64_t{addr} << 16) | port).second)
		return;

	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &from->sin_addr, text, sizeof(text));
	struct corvane_board board = {text, port, proto_ver,
	    iface_name(s, arrival_ifindex(msg)).c_str(), (at - s->asked_at) * 1000};
	s->reported++;
	if (s->fn(&board, s->arg) != 0 || (s->f->count != 0 && unsigned(s->reported) >= s->f->count))
		s->stopped = true;
}

// Takes the queued datagrams, a batch at a time, until none is left, the
// search has stopped or the deadline has come.
static void
drain(struct search *s, int sock, double deadline)
{
	// One byte more than a reply, so that a longer datagram shows.
	unsigned char dgrams[recv_batch][TARVO_DGRAM_LEN + 1];
	alignas(struct cmsghdr) unsigned char controls[recv_batch][CMSG_SPACE(sizeof(struct in_pktinfo))];
	struct sockaddr_in from[recv_batch];
	struct iovec iov[recv_batch];
	struct mmsghdr msgs[recv_batch];
	while (!s->stopped && now_s() < deadline) {
		memset(msgs, 0, sizeof(msgs));
		for (unsigned i = 0; i < recv_batch; i++) {
			iov[i] = {dgrams[i], sizeof(dgrams[i])};
			msgs[i].msg_hdr.msg_name = &from[i];
			msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
			msgs[i].msg_hdr.msg_iov = &iov[i];
			msgs[i].msg_hdr.msg_iovlen = 1;
			msgs[i].msg_hdr.msg_control = controls[i];
			msgs[i].msg_hdr.msg_controllen = sizeof(controls[i]);
		}
		int n = recvmmsg(sock, msgs, recv_batch, MSG_DONTWAIT, nullptr);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		double at = now_s();
		for (int i = 0; i < n && !s->stopped; i++)
			take(s, &msgs[i], dgrams[i], at);
		if (n < int(recv_batch))
			return;
	}
}

int
run_search(corvane_finder *f, corvane_board_fn fn, void *arg)
{
	const double start = now_s();
	const double deadline = start + f->wait_s;
	std::vector<local_net> nets;
	find_plan plan;
	if (!local_nets(f, &nets) ||
	    !(f->targets.empty() ? plan_broadcast(f, nets, &plan)
	                         : plan_targets(f, nets, deadline, &plan)))
		return -1;
	int sock = open_socket(f);
	if (sock == -1)
		return -1;

	struct search s = {f, &plan, fn, arg, {}, {}, 0, false, start};
	bool any_sent = false;
	struct pollfd pfd = {sock, POLLIN, 0};
	// The first round goes out however short the wait; answers queued
	// before a round are taken before it, so that each one's time is
	// counted from the request it answered.
	for (size_t rounds = 0; !s.stopped;) {
		double t = now_s();
		if (rounds > 0 && t >= deadline)
			break;
		if (rounds < round_count && (rounds == 0 || t >= start + round_at[rounds] * f->wait_s)) {
			drain(&s, sock, deadline);
			s.asked_at = now_s();
			for (find_dest &d : plan.dests)
				any_sent |= send_request(f, sock, &d);
			rounds++;
			continue;
		}
		double next = rounds < round_count
		    ? std::min(deadline, start + round_at[rounds] * f->wait_s) : deadline;
		double left = std::max(next - t, 0.0);
		struct timespec ts;
		ts.tv_sec = static_cast<time_t>(left);
		ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
		if (ppoll(&pfd, 1, &ts, nullptr) > 0)
			drain(&s, sock, deadline);
	}
	close(sock);
	if (!any_sent && s.reported == 0) {
		fail(f, "no request could be sent");
		return -1;
	}
	return s.reported;
}
