// The search: sockets on ephemeral ports, the request sent in rounds (three
// within a run's wait, or one every interval of a watch), and every queued
// answer taken as it comes. No call blocks past the deadline, however much
// arrives, and a cancel ends any wait at once.
#include "search.h"
#include "udp.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

// The request rounds, as fractions of the wait: a datagram lost while an
// address is resolved, or a board still starting, is asked again.
static const double round_at[] = {0.0, 0.2, 0.5};
enum : size_t { round_count = sizeof(round_at) / sizeof(round_at[0]) };

// Enough for a few hundred replies that arrive at the same moment.
enum : int { receive_buffer_bytes = 4 << 20 };

// Datagrams taken per receive, and requests sent between two looks at the
// clock and at a cancel.
enum : unsigned { recv_batch = 32, send_batch = 64 };

// A request to an on-link host whose address is not resolved yet waits
// in the kernel, charged to the socket's send buffer, until the host
// answers or about 3 s have passed. A rack of absent hosts fills a buffer
// in a few dozen requests; then another socket takes the next requests,
// up to this many.
enum : size_t { sockets_max = 64 };

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

// One search's sockets, closed however the search ends (a callback may
// throw).
struct socket_set {
	std::vector<int> fds;
	~socket_set()
	{
		for (int fd : fds)
			close(fd);
	}
};

static bool
open_socket(corvane_finder *f, socket_set *set)
{
	int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (sock == -1)
		return fail(f, std::string("socket: ") + strerror(errno));
	int one = 1;
	// Beyond the system's limit only with the rights to pass it; without,
	// the limit itself is taken.
	int bytes = receive_buffer_bytes;
	if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) == -1)
		setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
	if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof(bytes)) == -1)
		setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
	struct sockaddr_in any;
	memset(&any, 0, sizeof(any));
	any.sin_family = AF_INET;
	const char *what = "setsockopt";
	if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) == 0 &&
	    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) == 0 &&
	    (what = "bind", bind(sock, reinterpret_cast<struct sockaddr *>(&any), sizeof(any))) == 0) {
		set->fds.push_back(sock);
		return true;
	}
	fail(f, std::string(what) + ": " + strerror(errno));
	close(sock);
	return false;
}

void
find_log(corvane_finder *f, int level, const std::string &line)
{
	if (f->log == nullptr && (level != CORVANE_LOG_WARNING || f->warn == nullptr))
		return;
	std::string text = one_line(line);
	if (level == CORVANE_LOG_WARNING && f->warn != nullptr)
		f->warn(text.c_str(), f->warn_arg);
	if (f->log != nullptr)
		f->log(level, text.c_str(), f->log_arg);
}

static bool
info_wanted(const corvane_finder *f)
{
	return f->log != nullptr;
}

// What came back, for the log's account at the end.
struct tally {
	unsigned long received, boards, not_reply, elsewhere, other_port, listed, beyond;
};

// A board a watch knows: as it last answered, and in which round.
struct watched {
	std::string address, iface;
	unsigned port, proto_ver;
	double rtt_ms;
	unsigned long round;
};

// One run's or watch's state.
struct search {
	corvane_finder *f;
	find_plan plan;
	socket_set socks;
	// A run reports boards, a watch events.
	corvane_board_fn board_fn;
	corvane_event_fn event_fn;
	void *arg;
	std::unordered_set<uint64_t> seen;
	std::unordered_map<uint64_t, watched> known;
	std::map<int, std::string> iface_names;
	unsigned reported;
	bool stopped;  // by the count, the callback or a cancel
	double asked_at;
	unsigned long round;
	tally t;
};

static bool
stopping(struct search *s)
{
	if (s->f->cancelled.load())
		s->stopped = true;
	return s->stopped;
}

// Sends one request to d: through its interface when it is a broadcast.
// A full send buffer opens another socket. Returns false when the send
// failed; the first failure to each destination is a warning.
static bool
send_request(struct search *s, find_dest *d)
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
	int error;
	for (;;) {
		if (sendmsg(s->socks.fds.back(), &msg, MSG_DONTWAIT) == TARVO_DGRAM_LEN) {
			error = 0;
			break;
		}
		error = errno;
		std::string ignored = s->f->error;
		bool full = error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
		if (!full || s->socks.fds.size() >= sockets_max || !open_socket(s->f, &s->socks)) {
			s->f->error = ignored;
			break;
		}
	}
	if (info_wanted(s->f)) {
		char to[INET_ADDRSTRLEN + 8];
		char addr[INET_ADDRSTRLEN];
		inet_ntop(AF_INET, &d->addr.sin_addr, addr, sizeof(addr));
		snprintf(to, sizeof(to), "%s:%u", addr, ntohs(d->addr.sin_port));
		find_log(s->f, CORVANE_LOG_INFO, "round " + std::to_string(s->round) + ": " + to +
		    (d->ifindex != 0 ? " on " + d->label : std::string()) + ": " +
		    (error == 0 ? "sent" : strerror(error)));
	}
	if (error == 0)
		return true;
	if (!d->failed)
		find_log(s->f, CORVANE_LOG_WARNING, d->label + ": " + strerror(error));
	d->failed = true;
	return false;
}

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

static void
report(struct search *s, const struct corvane_board *board, int kind)
{
	int stop;
	if (s->event_fn != nullptr) {
		struct corvane_event event = {kind, board};
		stop = s->event_fn(&event, s->arg);
	} else {
		stop = s->board_fn(board, s->arg);
	}
	if (stop != 0)
		s->stopped = true;
}

// A run reports a board once; a watch reports it found when it was not
// known, and notes the round it answered.
static void
take_board(struct search *s, uint64_t key, const struct corvane_board *board)
{
	s->t.boards++;
	if (s->event_fn != nullptr) {
		auto it = s->known.find(key);
		if (it != s->known.end()) {
			it->second = {board->address, board->interface, board->port, board->proto_ver,
			    board->rtt_ms, s->round};
			s->t.listed++;
			return;
		}
	} else if (s->seen.count(key) != 0) {
		s->t.listed++;
		return;
	}
	if (s->seen.size() + s->known.size() >= find_boards_max) {
		if (s->t.beyond++ == 0)
			find_log(s->f, CORVANE_LOG_WARNING, "stopped listing boards at " +
			    std::to_string(find_boards_max) + "; more answered");
		return;
	}
	if (s->event_fn != nullptr)
		s->known.emplace(key, watched{board->address, board->interface, board->port,
		    board->proto_ver, board->rtt_ms, s->round});
	else
		s->seen.insert(key);
	s->reported++;
	report(s, board, CORVANE_BOARD_FOUND);
	if (s->event_fn == nullptr && s->f->count != 0 && s->reported >= s->f->count)
		s->stopped = true;
}

// Looks at one datagram: a board's answer from where a request went, or
// a refusal counted by its reason.
static void
take(struct search *s, struct mmsghdr *m, const unsigned char *dgram, double at)
{
	struct msghdr *msg = &m->msg_hdr;
	auto *from = static_cast<struct sockaddr_in *>(msg->msg_name);
	uint32_t proto_ver;
	s->t.received++;
	if (!is_board_reply(dgram, m->msg_len, (msg->msg_flags & MSG_TRUNC) != 0, &proto_ver) ||
	    msg->msg_namelen != sizeof(*from) || from->sin_family != AF_INET) {
		s->t.not_reply++;
		return;
	}
	uint32_t addr = ntohl(from->sin_addr.s_addr);
	uint16_t port = ntohs(from->sin_port);
	switch (plan_admits(s->plan, addr, port)) {
	case admit_elsewhere:
		s->t.elsewhere++;
		return;
	case admit_other_port:
		s->t.other_port++;
		return;
	case admit_ok:
		break;
	}
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &from->sin_addr, text, sizeof(text));
	struct corvane_board board = {text, port, proto_ver,
	    iface_name(s, arrival_ifindex(msg)).c_str(), (at - s->asked_at) * 1000};
	take_board(s, (uint64_t{addr} << 16) | port, &board);
}

// Takes the queued datagrams of one socket, a batch at a time, until none
// is left, the search has stopped or the deadline has come.
static void
drain_socket(struct search *s, int sock, double deadline)
{
	// One byte more than a reply, so that a longer datagram shows.
	unsigned char dgrams[recv_batch][TARVO_DGRAM_LEN + 1];
	alignas(struct cmsghdr) unsigned char controls[recv_batch][CMSG_SPACE(sizeof(struct in_pktinfo))];
	struct sockaddr_in from[recv_batch];
	struct iovec iov[recv_batch];
	struct mmsghdr msgs[recv_batch];
	while (!stopping(s) && now_s() < deadline) {
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

static void
drain(struct search *s, double deadline)
{
	for (size_t i = 0; i < s->socks.fds.size() && !s->stopped; i++)
		drain_socket(s, s->socks.fds[i], deadline);
}

// Sends a round to every destination, taking what arrives between
// batches, until the deadline. True when a request went out.
static bool
send_round(struct search *s, double deadline)
{
	drain(s, deadline);
	s->round++;
	s->asked_at = now_s();
	bool any = false;
	for (size_t i = 0; i < s->plan.dests.size() && !stopping(s); i++) {
		any |= send_request(s, &s->plan.dests[i]);
		if ((i + 1) % send_batch != 0)
			continue;
		if (now_s() >= deadline)
			break;
		drain(s, deadline);
	}
	return any;
}

// Waits until `until`, an answer or a cancel, and takes what came.
static void
wait_for(struct search *s, double until, double deadline)
{
	std::vector<struct pollfd> pfds;
	for (int fd : s->socks.fds)
		pfds.push_back({fd, POLLIN, 0});
	pfds.push_back({s->f->wake_fd, POLLIN, 0});
	double left = std::max(until - now_s(), 0.0);
	struct timespec ts;
	ts.tv_sec = static_cast<time_t>(left);
	ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
	if (ppoll(pfds.data(), pfds.size(), &ts, nullptr) > 0 && !stopping(s))
		drain(s, deadline);
}

static void
log_tally(struct search *s)
{
	if (!info_wanted(s->f))
		return;
	const tally &t = s->t;
	find_log(s->f, CORVANE_LOG_INFO, std::to_string(t.received) + " datagrams came back, " +
	    std::to_string(t.boards) + " of them boards' answers; refused: " +
	    std::to_string(t.not_reply) + " not a board's answer, " + std::to_string(t.elsewhere) +
	    " from outside the asked subnets or targets, " + std::to_string(t.other_port) +
	    " from another port, " + std::to_string(t.listed) + " from a board already listed" +
	    (t.beyond != 0 ? ", " + std::to_string(t.beyond) + " beyond the most a run lists" : ""));
}

static bool
plan(corvane_finder *f, find_plan *plan, double deadline)
{
	std::vector<local_net> nets;
	return local_nets(f, &nets) &&
	    (f->targets.empty() ? plan_broadcast(f, nets, plan)
	                        : plan_targets(f, nets, deadline, plan));
}

int
run_search(corvane_finder *f, corvane_board_fn fn, void *arg)
{
	const double start = now_s();
	const double deadline = start + f->wait_s;
	struct search s = {f, {}, {}, fn, nullptr, arg, {}, {}, {}, 0, false, start, 0, {}};
	if (f->cancelled.load())
		return 0;
	if (!plan(f, &s.plan, deadline))
		return -1;
	if (!open_socket(f, &s.socks))
		return -1;

	bool any_sent = false;
	// The first round starts however short the wait; answers queued
	// before a round are taken before it, so that each one's time is
	// counted from the request it answered.
	for (size_t rounds = 0; !stopping(&s);) {
		double t = now_s();
		if (rounds > 0 && t >= deadline)
			break;
		if (rounds < round_count && (rounds == 0 || t >= start + round_at[rounds] * f->wait_s)) {
			any_sent |= send_round(&s, deadline);
			rounds++;
			continue;
		}
		double next = rounds < round_count
		    ? std::min(deadline, start + round_at[rounds] * f->wait_s) : deadline;
		wait_for(&s, next, deadline);
	}
	log_tally(&s);
	if (!any_sent && s.reported == 0 && !f->cancelled.load()) {
		fail(f, "no request could be sent");
		return -1;
	}
	return static_cast<int>(s.reported);
}

// Boards that missed the last 3 rounds are lost.
static void
lose_missing(struct search *s)
{
	for (auto it = s->known.begin(); it != s->known.end() && !s->stopped;) {
		if (s->round - it->second.round < 3) {
			++it;
			continue;
		}
		watched w = std::move(it->second);
		it = s->known.erase(it);
		struct corvane_board board = {w.address.c_str(), w.port, w.proto_ver, w.iface.c_str(),
		    w.rtt_ms};
		report(s, &board, CORVANE_BOARD_LOST);
	}
}

int
run_watch(corvane_finder *f, double interval_s, corvane_event_fn fn, void *arg)
{
	const double forever = 1e300;
	struct search s = {f, {}, {}, nullptr, fn, arg, {}, {}, {}, 0, false, now_s(), 0, {}};
	if (f->cancelled.load())
		return 0;
	// Names are looked up once, with a run's wait.
	if (!plan(f, &s.plan, now_s() + f->wait_s) || !open_socket(f, &s.socks))
		return -1;
	std::string trouble;
	for (double next = now_s(); !stopping(&s);) {
		if (now_s() < next) {
			wait_for(&s, next, forever);
			continue;
		}
		drain(&s, forever);
		lose_missing(&s);
		// Interfaces come and go while a watch runs: the broadcasts are
		// planned again each round.
		if (f->targets.empty() && s.round > 0) {
			find_plan again;
			if (plan(f, &again, forever)) {
				s.plan = std::move(again);
				trouble.clear();
			} else if (f->error != trouble) {
				trouble = f->error;
				find_log(f, CORVANE_LOG_WARNING, trouble + "; asking as before");
			}
		}
		if (!s.stopped)
			send_round(&s, forever);
		next = std::max(next + interval_s, now_s());
	}
	log_tally(&s);
	return 0;
}
