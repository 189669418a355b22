// The search: sockets on ephemeral ports, the request sent in rounds (three
// within a run's wait, or one every interval of a watch), and every queued
// answer taken as it comes. No call blocks past the deadline, however much
// arrives, and a cancel ends any wait at once.
#include "search.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

// The request rounds, as fractions of the wait: a datagram lost while an
// address is resolved, or a board still starting, is asked again.
static const double round_at[] = {0.0, 0.2, 0.5};
enum : size_t { round_count = sizeof(round_at) / sizeof(round_at[0]) };

static const char neighbours_full[] = "dropped: the machine's neighbour table is full";

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
	return net_now();
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
is_board_reply(const unsigned char *dgram, size_t len, bool truncated, uint32_t *proto_ver)
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

static bool
open_socket(corvane_finder *f, net_set *set)
{
	std::string why;
	return net_grow(set, &why) || fail(f, why);
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
	corvane_finder *f = nullptr;
	bool watch = false;
	double interval_s = 0;  // a watch's rounds
	double start = 0, deadline = 0;  // a run's
	double next = 0;  // a watch's next round
	size_t rounds = 0;  // a run's rounds sent
	bool any_sent = false;
	std::string trouble{};  // a watch's last planning failure, said once
	find_plan plan{};
	net_set socks{};
	// A run reports boards, a watch events.
	corvane_board_fn board_fn = nullptr;
	corvane_event_fn event_fn = nullptr;
	void *arg = nullptr;
	std::unordered_set<uint64_t> seen{};
	std::unordered_map<uint64_t, watched> known{};
	std::map<unsigned, std::string> iface_names{};
	unsigned reported = 0;
	bool stopped = false;  // by the count, the callback or a cancel
	double asked_at = 0;
	unsigned long round = 0;
	tally t = {};
	// Unresolved on-link hosts asked a round at most, and the first of
	// them the next round asks; whether the limit was said.
	unsigned room = net_neighbour_room();
	size_t rotation = 0;
	bool room_said = false;
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
	int error;
	// The kernel drops a request whose destination finds no room in a
	// full neighbour table, and says nothing: its count of the times the
	// table was full tells.
	unsigned long fulls = d->unresolved ? net_neighbour_overflows() : 0;
	for (;;) {
		error = net_send(&s->socks, *d, dgram, sizeof(dgram));
		if (error == 0)
			break;
		std::string ignored;
		if (!net_full(error) || net_count(&s->socks) >= sockets_max ||
		    !net_grow(&s->socks, &ignored))
			break;
	}
	bool dropped = error == 0 && d->unresolved && net_neighbour_overflows() != fulls;
	if (info_wanted(s->f)) {
		char to[INET_ADDRSTRLEN + 8];
		char addr[INET_ADDRSTRLEN];
		inet_ntop(AF_INET, &d->addr.sin_addr, addr, sizeof(addr));
		snprintf(to, sizeof(to), "%s:%u", addr, ntohs(d->addr.sin_port));
		find_log(s->f, CORVANE_LOG_INFO, "round " + std::to_string(s->round) + ": " + to +
		    (d->ifindex != 0 ? " on " + d->label : std::string()) + ": " +
		    (dropped ? neighbours_full : error == 0 ? "sent" : net_error_text(error)));
	}
	if (error == 0 && !dropped)
		return true;
	if (!d->failed)
		find_log(s->f, CORVANE_LOG_WARNING, d->label + ": " +
		    (dropped ? neighbours_full : net_error_text(error)));
	d->failed = true;
	return false;
}

// Whether the round asks d: every unresolved host in turn, at most
// s->room of them a round.
static bool
in_turn(struct search *s, const find_dest &d, size_t *k, size_t unresolved)
{
	if (!d.unresolved || s->room == 0 || unresolved <= s->room)
		return true;
	return ((*k)++ + unresolved - s->rotation) % unresolved < s->room;
}

static const std::string &
iface_name(struct search *s, unsigned ifindex)
{
	auto it = s->iface_names.find(ifindex);
	if (it == s->iface_names.end())
		it = s->iface_names.emplace(ifindex, net_iface_name(ifindex)).first;
	return it->second;
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
take(struct search *s, const net_datagram &d, double at)
{
	uint32_t proto_ver;
	s->t.received++;
	if (!is_board_reply(d.bytes, d.len, d.truncated, &proto_ver) || !d.ipv4) {
		s->t.not_reply++;
		return;
	}
	switch (plan_admits(s->plan, d.addr, d.port)) {
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
	struct in_addr in;
	in.s_addr = htonl(d.addr);
	inet_ntop(AF_INET, &in, text, sizeof(text));
	struct corvane_board board = {text, d.port, proto_ver, iface_name(s, d.ifindex).c_str(),
	    (at - s->asked_at) * 1000};
	take_board(s, (uint64_t{d.addr} << 16) | d.port, &board);
}

// Takes the queued datagrams of one socket, a batch at a time, until none
// is left, the search has stopped or the deadline has come.
static void
drain_socket(struct search *s, size_t sock, double deadline)
{
	net_datagram batch[recv_batch];
	while (!stopping(s) && now_s() < deadline) {
		unsigned n = net_receive(&s->socks, sock, batch, recv_batch);
		double at = now_s();
		for (unsigned i = 0; i < n && !s->stopped; i++)
			take(s, batch[i], at);
		if (n < recv_batch)
			return;
	}
}

static void
drain(struct search *s, double deadline)
{
	for (size_t i = 0; i < net_count(&s->socks) && !s->stopped; i++)
		drain_socket(s, i, deadline);
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
	size_t unresolved = static_cast<size_t>(std::count_if(s->plan.dests.begin(),
	    s->plan.dests.end(), [](const find_dest &d) { return d.unresolved; }));
	if (s->room != 0 && unresolved > s->room && !s->room_said) {
		s->room_said = true;
		find_log(s->f, CORVANE_LOG_WARNING, std::to_string(unresolved) +
		    " on-link targets not yet resolved: at most " + std::to_string(s->room) +
		    " asked a round, a quarter of the machine's neighbour table");
	}
	size_t k = 0;
	for (size_t i = 0; i < s->plan.dests.size() && !stopping(s); i++) {
		if (!in_turn(s, s->plan.dests[i], &k, unresolved))
			continue;
		any |= send_request(s, &s->plan.dests[i]);
		if ((i + 1) % send_batch != 0)
			continue;
		if (now_s() >= deadline)
			break;
		drain(s, deadline);
	}
	if (unresolved != 0)
		s->rotation = (s->rotation + s->room) % unresolved;
	return any;
}

// Waits until `until`, an answer or a cancel, and takes what came.

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

search *
search_begin(corvane_finder *f, double interval_s, corvane_board_fn board_fn,
    corvane_event_fn event_fn, void *arg)
{
	const double start = now_s();
	std::unique_ptr<search> s(new search{.f = f, .watch = event_fn != nullptr,
	    .interval_s = interval_s, .start = start, .deadline = start + f->wait_s, .next = start,
	    .board_fn = board_fn, .event_fn = event_fn, .arg = arg, .asked_at = start});
	if (f->cancelled.load()) {
		s->stopped = true;
		return s.release();
	}
	// A watch looks names up once, with a run's wait.
	if (!plan(f, &s->plan, s->deadline) || !open_socket(f, &s->socks))
		return nullptr;
	return s.release();
}

void
search_end(search *s)
{
	delete s;
}

// A run: the first round starts however short the wait; answers queued
// before a round are taken before it, so that each one's time is counted
// from the request it answered.
static int
run_step(search *s)
{
	corvane_finder *f = s->f;
	if (!stopping(s) && s->rounds < round_count &&
	    (s->rounds == 0 || now_s() >= s->start + round_at[s->rounds] * f->wait_s)) {
		s->any_sent |= send_round(s, s->deadline);
		s->rounds++;
	} else if (!stopping(s)) {
		drain(s, s->deadline);
	}
	if (!stopping(s) && now_s() < s->deadline)
		return 1;
	log_tally(s);
	if (!s->any_sent && s->reported == 0 && !f->cancelled.load())
		return fail(f, "no request could be sent") ? 0 : -1;
	return 0;
}

static int
watch_step(search *s)
{
	const double forever = 1e300;
	corvane_finder *f = s->f;
	if (!stopping(s) && now_s() >= s->next) {
		drain(s, forever);
		lose_missing(s);
		// Interfaces come and go while a watch runs: the broadcasts are
		// planned again each round.
		if (f->targets.empty() && s->round > 0) {
			find_plan again;
			if (plan(f, &again, forever)) {
				s->plan = std::move(again);
				s->trouble.clear();
			} else if (f->error != s->trouble) {
				s->trouble = f->error;
				find_log(f, CORVANE_LOG_WARNING, s->trouble + "; asking as before");
			}
		}
		if (!s->stopped)
			send_round(s, forever);
		s->next = std::max(s->next + s->interval_s, now_s());
	} else if (!stopping(s)) {
		drain(s, forever);
	}
	if (!stopping(s))
		return 1;
	log_tally(s);
	return 0;
}

int
search_step(search *s)
{
	return s->watch ? watch_step(s) : run_step(s);
}

double
search_due(const search *s)
{
	if (s->stopped)
		return 0;
	if (s->watch)
		return s->next;
	return s->rounds < round_count
	    ? std::min(s->deadline, s->start + round_at[s->rounds] * s->f->wait_s) : s->deadline;
}

net_set *
search_sockets(search *s)
{
	return &s->socks;
}

unsigned
search_reported(const search *s)
{
	return s->reported;
}

// A run or a watch to its end, waiting on the sockets and the cancel.
static int
search_loop(corvane_finder *f, double interval_s, corvane_board_fn board_fn,
    corvane_event_fn event_fn, void *arg)
{
	std::unique_ptr<search, void (*)(search *)> s(
	    search_begin(f, interval_s, board_fn, event_fn, arg), search_end);
	if (!s)
		return -1;
	int rc;
	while ((rc = search_step(s.get())) == 1)
		net_wait(&s->socks, &f->wake, std::max(search_due(s.get()) - now_s(), 0.0));
	return rc < 0 ? -1 : event_fn != nullptr ? 0 : static_cast<int>(s->reported);
}

int
run_search(corvane_finder *f, corvane_board_fn fn, void *arg)
{
	return search_loop(f, 0, fn, nullptr, arg);
}

int
run_watch(corvane_finder *f, double interval_s, corvane_event_fn fn, void *arg)
{
	return search_loop(f, interval_s, nullptr, fn, arg);
}
