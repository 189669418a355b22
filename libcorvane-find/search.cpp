// The search: sockets on ephemeral ports, the request sent in rounds (three
// within a run's wait, or one every interval of a watch), and every queued
// answer taken as it comes. Nothing here waits: a step does what is due in
// a slice of a few milliseconds and says when it is due again, so that a
// program's own event loop never stalls. A block beyond a router is asked
// at a rate, and on-link hosts that must be resolved first as the
// machine's neighbour table has room, each in turns that go on across
// rounds.
//
// Anyone on a LAN can send an answer from any address. A board is listed
// only once it has answered a request sent to its own address from the
// confirming socket (the set's first), whose port no broadcast has shown:
// every other answer only names an address to confirm. In a watch, a
// known board stays alive only by answering there, each round.
#include "search.h"

#include "lookup.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <variant>

// The request rounds of a run, as fractions of the wait: a datagram lost
// while an address is resolved, or a board still starting, is asked again.
static const double round_at[] = {0.0, 0.2, 0.5};
enum : size_t { round_count = sizeof(round_at) / sizeof(round_at[0]) };

static const char neighbours_full[] = "dropped: the machine's neighbour table is full";

// What one step may do before it gives the caller's loop its turn: sends,
// batches of datagrams taken from each socket, and time.
enum : unsigned { slice_sends = 256, recv_batch = 32, slice_batches = 8 };
constexpr double slice_s = 0.003;
// How often a full neighbour table is looked at again, and a name lookup
// on a system whose wake-up no descriptor shows.
constexpr double table_recheck_s = 0.1;
constexpr double lookup_recheck_s = 0.05;
// A burst beyond a router: at most this much of a second's rate at once.
constexpr double routed_burst_s = 0.25;
// Confirmations a second, and at once: a thousand boards answer a
// broadcast together, and their confirmations must not make their answers
// come together again. As many go at once as half the receive buffer
// holds (a datagram takes about 1 KiB of it), 16 to 1024.
constexpr double confirm_rate = 10000;
constexpr unsigned long confirm_burst_bytes = 2048;
// The socket that confirms, and the first that asks.
enum : size_t { confirm_sock = 0 };

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

bool
fail(corvane_finder *f, const std::string &why)
{
	f->error = one_line(why);
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
	unsigned long unasked;  // at the confirming socket from where no confirmation went
};

// An address that answered a request it could have seen, to be confirmed
// at its own address: queued, then asked in round `round`.
struct claim {
	uint32_t addr;
	uint16_t port;
	unsigned ifindex;
	unsigned long round;
	double sent_at = 0;
	bool sent = false, confirmed = false;
	bool known = false;  // a board a watch knows: asked as one
}; 

// A board a watch knows: as it last answered, and in which round.
struct watched {
	std::string address, iface, mac;
	uint32_t addr;
	unsigned ifindex;
	unsigned port, proto_ver;
	double rtt_ms;
	unsigned long round;
};

// A run: rounds at fractions of its wait, each board reported once.
struct run_policy {
	corvane_board_fn fn;
	double start, deadline;
	size_t rounds = 0;  // begun
	std::unordered_set<uint64_t> seen{};
};

// A watch: a round every interval, boards reported found and lost.
struct watch_policy {
	corvane_event_fn fn;
	double interval_s, start;
	double next;  // the next round
	std::unordered_map<uint64_t, watched> known{};
	std::string trouble{};  // the last planning failure, said once
	bool mute = false;      // a round could send nothing, and that was said
};

// Hosts asked in turns that go on across rounds: the next to ask, and how
// many are still to be asked in this round.
struct turns {
	size_t next = 0, left = 0, asked = 0;
};

// One run's or watch's state.
struct search {
	corvane_finder *f;
	std::variant<run_policy, watch_policy> policy;
	void *arg;
	std::vector<local_net> nets{};
	find_plan plan{};
	net_set socks{};
	// Host names being looked up, and by when they must be.
	std::vector<named_target> names{};
	std::vector<bool> names_done{};
	std::shared_ptr<lookups> looking{};
	double names_by = 0;
	// The round under way: when it was begun, the next of plan.dests to
	// ask, and the turns of hosts asked as they may be.
	unsigned long round = 0;
	double asked_at = 0;
	size_t next_dest = 0;
	turns unresolved{}, routed{};
	double tokens = 0, tokens_at = 0;  // requests beyond a router allowed now
	double table_at = 0;               // when the full table is looked at again
	std::unordered_map<uint64_t, double> sent_at{};  // hosts asked in turns
	// Addresses to confirm, in the order they answered.
	std::unordered_map<uint64_t, claim> claims{};
	std::deque<uint64_t> to_confirm{}, to_confirm_costly{};
	std::deque<double> costly_sent{};  // when each costly one in flight went
	double confirm_burst = 16, confirm_tokens = 16, confirm_tokens_at = 0;
	double confirm_at = 0;  // when the first waiting confirmation is tried again
	std::vector<bool> block_failed{};
	unsigned long tried = 0, sent = 0;  // requests in all; those that went
	unsigned long round_sent = 0;       // in this round
	bool more_queued = false;  // a socket had more than a step takes
	unsigned long drops_said = 0;  // answers the kernel dropped, as said so far
	bool table_said = false;
	std::map<unsigned, std::string> iface_names{};
	unsigned reported = 0;
	bool stopped = false;  // by the count, the callback or a cancel
	tally t = {};
};

static bool
stopping(struct search *s)
{
	if (s->f->cancelled.load())
		s->stopped = true;
	return s->stopped;
}

static run_policy *
as_run(struct search *s)
{
	return std::get_if<run_policy>(&s->policy);
}

static watch_policy *
as_watch(struct search *s)
{
	return std::get_if<watch_policy>(&s->policy);
}

// Sends one request to d: through its interface when it is a broadcast.
// A full send buffer opens another socket. Gives whether it went; the
// first failure to each destination is a warning, unless *said is already
// set.
static bool
send_request(struct search *s, const find_dest &d, bool *said)
{
	unsigned char dgram[TARVO_DGRAM_LEN];
	build_request(dgram);
	int error;
	// The kernel drops a request whose destination finds no room in a
	// full neighbour table, and says nothing: its count of the times the
	// table was full tells.
	net_neighbour_table before = {}, after = {};
	if (d.unresolved)
		net_neighbours(&before);
	for (;;) {
		error = net_send(&s->socks, d, dgram, sizeof(dgram));
		if (error == 0)
			break;
		std::string ignored;
		if (!net_full(error) || net_count(&s->socks) >= sockets_max ||
		    !net_grow(&s->socks, &ignored))
			break;
	}
	if (d.unresolved)
		net_neighbours(&after);
	bool dropped = error == 0 && after.overflows != before.overflows;
	s->tried++;
	if (info_wanted(s->f)) {
		find_log(s->f, CORVANE_LOG_INFO, "round " + std::to_string(s->round) + ": " +
		    dotted(ntohl(d.addr.sin_addr.s_addr)) +
		    ":" + std::to_string(ntohs(d.addr.sin_port)) +
		    (d.ifindex != 0 ? " on " + d.label : std::string()) + ": " +
		    (dropped ? neighbours_full : error == 0 ? "sent" : net_error_text(error)));
	}
	if (error == 0 && !dropped) {
		s->sent++;
		s->round_sent++;
		return true;
	}
	if (!*said)
		find_log(s->f, CORVANE_LOG_WARNING, d.label + ": " +
		    (dropped ? neighbours_full : net_error_text(error)));
	*said = true;
	return false;
}

static const std::string &
iface_name(struct search *s, unsigned ifindex)
{
	auto it = s->iface_names.find(ifindex);
	if (it == s->iface_names.end())
		it = s->iface_names.emplace(ifindex, net_iface_name(ifindex)).first;
	return it->second;
}

// The board being reported on this thread, and its hardware address:
// what corvane_board_mac gives during the callback.
static thread_local const struct corvane_board *reporting = nullptr;
static thread_local const char *reporting_mac = "";

const char *
search_board_mac(const struct corvane_board *board)
{
	return board != nullptr && board == reporting ? reporting_mac : "";
}

static void
report(struct search *s, const struct corvane_board *board, const std::string &mac, int kind)
{
	int stop;
	// Put back however the callback ends (a C++ one may throw, a thread
	// may be cancelled inside it), so that no pointer outlives its call.
	struct restore {
		const struct corvane_board *board;
		const char *mac;
		~restore()
		{
			reporting = board;
			reporting_mac = mac;
		}
	} outer = {.board = reporting, .mac = reporting_mac};
	reporting = board;
	reporting_mac = mac.c_str();
	if (watch_policy *w = as_watch(s)) {
		struct corvane_event event = {.kind = kind, .board = board};
		stop = w->fn(&event, s->arg);
	} else {
		stop = as_run(s)->fn(board, s->arg);
	}
	if (stop != 0)
		s->stopped = true;
}

// Whether another board may be listed; the first refusal is said.
static bool
room_for_board(struct search *s, size_t listed)
{
	if (listed < find_boards_max)
		return true;
	if (s->t.beyond++ == 0)
		find_log(s->f, CORVANE_LOG_WARNING, "stopped listing boards at " +
		    std::to_string(find_boards_max) + "; more answered");
	return false;
}

// Whether a request to addr takes an entry of the machine's neighbour
// table that nothing holds yet: an on-link host it has not resolved.
static bool
takes_entry(struct search *s, uint32_t addr, unsigned ifindex)
{
	std::string mac;
	return on_link(s->nets, addr) && !net_neighbour(&s->socks, addr, ifindex, &mac);
}

// An on-link board's hardware address, as the neighbour entry its answer
// leaves gives it; "" beyond a router, where it would be the router's.
static std::string
board_mac(struct search *s, uint32_t addr, unsigned ifindex)
{
	std::string mac;
	if (!on_link(s->nets, addr) || !net_neighbour(&s->socks, addr, ifindex, &mac))
		return "";
	return mac;
}

static void
run_takes(struct search *s, run_policy *r, uint64_t key, const struct corvane_board *board,
    const std::string &mac)
{
	if (r->seen.count(key) != 0) {
		s->t.listed++;
		return;
	}
	if (!room_for_board(s, r->seen.size()))
		return;
	r->seen.insert(key);
	s->reported++;
	report(s, board, mac, CORVANE_BOARD_FOUND);
	if (s->f->count != 0 && s->reported >= s->f->count)
		s->stopped = true;
}

// A watch notes the round a board confirmed itself in, and reports it
// found when it was not known.
static void
watch_takes(struct search *s, watch_policy *w, uint64_t key, const struct corvane_board *board,
    const claim &c, const std::string &mac)
{
	watched now = {.address = board->address, .iface = board->interface, .mac = mac,
	    .addr = c.addr, .ifindex = c.ifindex, .port = board->port,
	    .proto_ver = board->proto_ver, .rtt_ms = board->rtt_ms, .round = s->round};
	auto it = w->known.find(key);
	if (it != w->known.end()) {
		now.mac = std::move(it->second.mac);
		it->second = std::move(now);
		return;
	}
	if (!room_for_board(s, w->known.size()))
		return;
	w->known.emplace(key, std::move(now));
	s->reported++;
	report(s, board, mac, CORVANE_BOARD_FOUND);
}

// Queues a confirmation of addr:port, unless one is on its way in this
// round.
static void
claim_address(struct search *s, uint64_t key, uint32_t addr, uint16_t port, unsigned ifindex)
{
	auto [it, added] = s->claims.try_emplace(key, claim{.addr = addr, .port = port,
	    .ifindex = ifindex, .round = s->round});
	claim &c = it->second;
	if (!added && c.round == s->round)
		return;
	c.round = s->round;
	c.sent = false;
	c.ifindex = ifindex;
	s->to_confirm.push_back(key);
}

// An answer at the confirming socket: a board, when a confirmation went
// to where it came from and it is the first answer to it.
static void
take_confirmation(struct search *s, uint64_t key, const net_datagram &d, uint32_t proto_ver,
    double at)
{
	auto it = s->claims.find(key);
	if (it == s->claims.end() || !it->second.sent) {
		s->t.unasked++;
		return;
	}
	claim &c = it->second;
	s->t.boards++;
	if (c.confirmed && as_run(s) != nullptr) {
		s->t.listed++;
		return;
	}
	c.confirmed = true;
	std::string text = dotted(d.addr);
	// Its hardware address is looked up when it is reported found.
	std::string mac = c.known ? std::string() : board_mac(s, d.addr, d.ifindex);
	struct corvane_board board = {.address = text.c_str(), .port = d.port,
	    .proto_ver = proto_ver, .interface = iface_name(s, d.ifindex).c_str(),
	    .rtt_ms = (at - c.sent_at) * 1000};
	if (run_policy *r = as_run(s))
		run_takes(s, r, key, &board, mac);
	else
		watch_takes(s, as_watch(s), key, &board, c, mac);
}

// Looks at one datagram that came to socket `sock`: a board's answer from
// where a request went, or a refusal counted by its reason.
static void
take(struct search *s, size_t sock, const net_datagram &d, double at)
{
	uint32_t proto_ver;
	s->t.received++;
	if (!is_board_reply(d.bytes, d.len, d.truncated, &proto_ver) || !d.ipv4) {
		s->t.not_reply++;
		return;
	}
	uint64_t key = host_key(d.addr, d.port);
	if (sock == confirm_sock) {
		take_confirmation(s, key, d, proto_ver, at);
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
	s->t.boards++;
	bool listed;
	if (run_policy *r = as_run(s))
		listed = r->seen.count(key) != 0;
	else
		listed = as_watch(s)->known.count(key) != 0;
	if (listed)
		s->t.listed++;
	else
		claim_address(s, key, d.addr, d.port, d.ifindex);
}

// Answers the kernel dropped, said with what would keep them: once at the
// end of a run, and in a watch whenever more were lost.
static void
say_drops(struct search *s)
{
	unsigned long n;
	if (!net_dropped(&s->socks, &n) || n == s->drops_said)
		return;
	net_buffer buffer;
	net_receive_buffer(&s->socks, &buffer);
	std::string line = std::to_string(n - s->drops_said) +
	    " datagrams were dropped by the kernel: the receive buffer (" +
	    std::to_string(buffer.bytes) + " bytes) was full";
	if (!buffer.setting.empty())
		line += "; raise " + buffer.setting + " (now " + std::to_string(buffer.setting_now) +
		    ") to keep them";
	find_log(s->f, CORVANE_LOG_WARNING, line);
	s->drops_said = n;
}

// Takes what the sockets hold, a few batches from each within the slice's
// time (the callbacks' included): a flood leaves the rest for the next
// step.
static void
drain(struct search *s)
{
	s->more_queued = false;
	const double until = now_s() + slice_s;
	net_datagram batch[recv_batch];
	for (size_t i = 0; i < net_count(&s->socks) && !stopping(s); i++) {
		for (unsigned b = 0; !s->stopped; b++) {
			if (b == slice_batches || (b > 0 && now_s() >= until)) {
				s->more_queued = true;
				break;
			}
			unsigned n = net_receive(&s->socks, i, batch, recv_batch);
			double at = now_s();
			for (unsigned k = 0; k < n && !s->stopped; k++)
				take(s, i, batch[k], at);
			if (n < recv_batch)
				break;
		}
	}
}

// How many more hosts that must be resolved first the machine's neighbour
// table has room for: it is kept under half full, counting what every
// program (and every search) has in flight. -1: no limit is known.
static long
table_room(void)
{
	net_neighbour_table table;
	if (!net_neighbours(&table) || table.limit == 0)
		return -1;
	return table.entries >= table.limit / 2 ? 0 : static_cast<long>(table.limit / 2 - table.entries);
}

static void
begin_round(struct search *s)
{
	s->round++;
	s->asked_at = now_s();
	s->next_dest = 0;
	s->round_sent = 0;
	s->unresolved.left = s->plan.unresolved.size();
	s->routed.left = s->plan.routed_hosts;
}

// What may go beyond a router now: a second's rate a second, and a
// little of it at once.
static void
add_tokens(struct search *s, double now)
{
	double rate = s->f->rate;
	s->tokens = std::min(s->tokens + (now - s->tokens_at) * rate,
	    std::max(1.0, rate * routed_burst_s));
	s->tokens_at = now;
}

// Confirmations to hosts the machine has not resolved (an address no
// board may have: a board that answers has resolved this host, and the
// host it) take an entry of the neighbour table each, for about 3 s: at
// most this many are in flight.
enum : size_t { costly_in_flight_max = 128 };
constexpr double entry_life_s = 3;

// One confirmation from the confirming socket: 0, or the error.
static int
confirm(struct search *s, claim &c)
{
	find_dest d = {.addr = ipv4(c.addr, c.port), .label = dotted(c.addr)};
	unsigned char dgram[TARVO_DGRAM_LEN];
	build_request(dgram);
	int error = net_send_from(&s->socks, confirm_sock, d, dgram, sizeof(dgram));
	if (info_wanted(s->f))
		find_log(s->f, CORVANE_LOG_INFO, "round " + std::to_string(s->round) + ": confirming " +
		    d.label + ":" + std::to_string(c.port) + ": " +
		    (error == 0 ? "sent" : net_error_text(error)));
	if (!net_full(error)) {
		c.sent = true;
		c.sent_at = now_s();
	}
	return error;
}

// Whether the first costly confirmation may go now: beyond a router at
// the block's rate, on a link while few are in flight and the neighbour
// table is under half full. Otherwise says when to look again.
static bool
costly_may_go(struct search *s, const claim &c, double now, long *room)
{
	if (!on_link(s->nets, c.addr)) {
		add_tokens(s, now);
		if (s->tokens >= 1)
			return s->tokens -= 1, true;
		s->confirm_at = s->tokens_at + (1 - s->tokens) / s->f->rate;
		return false;
	}
	while (!s->costly_sent.empty() && now - s->costly_sent.front() >= entry_life_s)
		s->costly_sent.pop_front();
	if (s->costly_sent.size() >= costly_in_flight_max) {
		s->confirm_at = s->costly_sent.front() + entry_life_s;
		return false;
	}
	if (*room == -2)
		*room = table_room();
	if (*room == 0) {
		s->confirm_at = now + table_recheck_s;
		return false;
	}
	if (*room > 0)
		--*room;
	s->costly_sent.push_back(now);
	return true;
}

// Sends the confirmations due, at their rate. One to a host not resolved
// (or beyond a router) is set aside as it comes to the front, so that it
// keeps no board waiting, and goes when it may. A full buffer leaves the
// rest for later.
static unsigned
send_confirmations(struct search *s, unsigned budget, double until)
{
	double now = now_s();
	s->confirm_tokens = std::min(s->confirm_tokens + (now - s->confirm_tokens_at) * confirm_rate,
	    s->confirm_burst);
	s->confirm_tokens_at = now;
	long room = -2;  // the table not looked at yet
	for (std::deque<uint64_t> *q : {&s->to_confirm, &s->to_confirm_costly}) {
		bool costly = q == &s->to_confirm_costly;
		// A token short by a rounding error is whole: the due time it
		// gives is now.
		for (unsigned k = 1; !q->empty() && budget > 0 && s->confirm_tokens >= 1 - 1e-6 &&
		     !stopping(s); k++) {
			if ((k % 32) == 0 && now_s() >= until)
				return budget;
			auto it = s->claims.find(q->front());
			if (it == s->claims.end()) {  // a board lost since
				q->pop_front();
				continue;
			}
			claim &c = it->second;
			bool cheap = c.known ||
			    (on_link(s->nets, c.addr) && !takes_entry(s, c.addr, c.ifindex));
			if (!cheap && !costly) {
				s->to_confirm_costly.push_back(q->front());
				q->pop_front();
				continue;
			}
			if (!cheap && !costly_may_go(s, c, now, &room))
				break;
			if (net_full(confirm(s, c))) {
				s->confirm_at = now + table_recheck_s;
				return budget;
			}
			q->pop_front();
			s->confirm_tokens -= 1;
			budget--;
		}
	}
	return budget;
}

// Sends what is due in this slice: the round's destinations, then on-link
// hosts as the table has room, then hosts beyond a router at the rate.
static void
send_due(struct search *s)
{
	const double until = now_s() + slice_s;
	unsigned budget = slice_sends;
	auto slice_over = [&] {
		return budget == 0 || stopping(s) || ((budget % 32) == 0 && now_s() >= until);
	};
	// The answers already in are confirmed before more are asked for.
	if ((!s->to_confirm.empty() || !s->to_confirm_costly.empty()) && !slice_over())
		budget = send_confirmations(s, budget, until);
	bool said = false;
	while (s->next_dest < s->plan.dests.size() && !slice_over()) {
		find_dest &d = s->plan.dests[s->next_dest++];
		said = d.failed;
		send_request(s, d, &said);
		d.failed = said;
		budget--;
	}
	if (s->unresolved.left > 0 && !slice_over() && now_s() >= s->table_at) {
		long room = table_room();
		size_t n = s->plan.unresolved.size();
		if (room == 0 || (room > 0 && static_cast<size_t>(room) < s->unresolved.left)) {
			if (!s->table_said)
				find_log(s->f, CORVANE_LOG_WARNING, std::to_string(n) +
				    " on-link targets not yet resolved: each asked only while the machine's "
				    "neighbour table is under half full");
			s->table_said = true;
		}
		while (s->unresolved.left > 0 && room != 0 && !slice_over()) {
			find_dest &d = s->plan.unresolved[s->unresolved.next];
			s->unresolved.next = (s->unresolved.next + 1) % n;
			s->unresolved.left--;
			s->unresolved.asked++;
			s->sent_at[host_key(ntohl(d.addr.sin_addr.s_addr), ntohs(d.addr.sin_port))] = now_s();
			said = d.failed;
			send_request(s, d, &said);
			d.failed = said;
			budget--;
			if (room > 0)
				room--;
		}
		if (s->unresolved.left > 0 && room == 0)
			s->table_at = now_s() + table_recheck_s;
	}
	if (s->routed.left > 0 && !slice_over()) {
		add_tokens(s, now_s());
		size_t n = s->plan.routed_hosts;
		while (s->routed.left > 0 && s->tokens >= 1 && !slice_over()) {
			const routed_host h = routed_at(s->plan, s->routed.next);
			s->routed.next = (s->routed.next + 1) % n;
			s->routed.left--;
			s->routed.asked++;
			s->tokens -= 1;
			s->sent_at[host_key(h.addr, h.port)] = now_s();
			said = s->block_failed[h.block];
			send_request(s, {.addr = ipv4(h.addr, h.port), .label = s->plan.blocks[h.block]},
			    &said);
			s->block_failed[h.block] = said;
			budget--;
		}
	}
}

// Whether every destination of the round has been tried at least once.
static bool
round_tried(const struct search *s)
{
	return s->next_dest == s->plan.dests.size() &&
	    (s->unresolved.left == 0 || s->unresolved.asked > 0) &&
	    (s->routed.left == 0 || s->routed.asked > 0) &&
	    (!s->looking || lookups_pending(s->looking.get()) == 0);
}

// Takes the names looked up since the last step: their addresses are
// asked at once, in the round under way. False with f->error when one
// failed, or has not come by its time (or by the end of the run).
static bool
take_names(struct search *s, bool ending = false)
{
	if (!s->looking)
		return true;
	for (lookup_result &r : lookups_take(s->looking.get())) {
		const named_target &n = s->names[r.index];
		s->names_done[r.index] = true;
		if (!r.ok)
			return fail(s->f, n.host + ": " + r.why);
		size_t before = s->plan.unresolved.size();
		for (uint32_t addr : r.addrs)
			plan_address(&s->plan, s->nets, addr, n.port, n.label);
		if (s->round > 0)
			s->unresolved.left += s->plan.unresolved.size() - before;
	}
	if (lookups_pending(s->looking.get()) == 0) {
		lookups_leave(s->looking.get());
		s->looking.reset();
		return true;
	}
	if (!ending && now_s() < s->names_by)
		return true;
	size_t late = static_cast<size_t>(std::find(s->names_done.begin(), s->names_done.end(),
	    false) - s->names_done.begin());
	return fail(s->f, s->names[late].host + ": name not resolved within the wait");
}

// Addresses that answered but never at their own address: forged, or
// a board lost on the way.
static size_t
unconfirmed(const struct search *s)
{
	return static_cast<size_t>(std::count_if(s->claims.begin(), s->claims.end(),
	    [](const auto &kv) { return !kv.second.confirmed; }));
}

static void
log_tally(struct search *s)
{
	if (!info_wanted(s->f))
		return;
	const tally &t = s->t;
	if (s->plan.routed_hosts != 0)
		find_log(s->f, CORVANE_LOG_INFO, std::to_string(std::min(s->routed.asked,
		    s->plan.routed_hosts)) + " of " + std::to_string(s->plan.routed_hosts) +
		    " addresses beyond a router asked, " + std::to_string(s->f->rate) + " a second");
	find_log(s->f, CORVANE_LOG_INFO, std::to_string(t.received) + " datagrams came back, " +
	    std::to_string(t.boards) + " of them boards' answers; refused: " +
	    std::to_string(t.not_reply) + " not a board's answer, " + std::to_string(t.elsewhere) +
	    " from outside the asked subnets or targets, " + std::to_string(t.other_port) +
	    " from another port, " + std::to_string(t.listed) + " from a board already listed, " +
	    std::to_string(unconfirmed(s)) + " never confirmed at their own address, " +
	    std::to_string(t.unasked) + " at the confirming port unasked" +
	    (t.beyond != 0 ? ", " + std::to_string(t.beyond) + " beyond the most a run lists" : ""));
}

static bool
plan(struct search *s, find_plan *p, std::vector<named_target> *names)
{
	std::string why;
	std::vector<local_net> nets;
	if (!net_interfaces(&nets, &why))
		return fail(s->f, why);
	if (s->f->targets.empty()) {
		if (!plan_broadcast(s->f->ifaces, nets, p, &why))
			return fail(s->f, why);
	} else {
		std::vector<uint32_t> known;
		for (const local_net &n : nets)
			if (n.broadcasts)
				net_known_neighbours(n.iface, &known);
		p->known.insert(known.begin(), known.end());
		plan_targets(s->f->targets, nets, p, names);
	}
	s->nets = std::move(nets);
	return true;
}

// How long a block beyond a router takes at the rate, said as the search
// begins when a round cannot ask it whole.
static void
say_routed_time(struct search *s, double span_s, const char *span)
{
	size_t n = s->plan.routed_hosts;
	double whole_s = std::ceil(static_cast<double>(n) / s->f->rate);
	if (n == 0 || whole_s <= span_s)
		return;
	std::string what = s->plan.blocks.size() == 1 ? s->plan.blocks[0]
	                                                : std::to_string(s->plan.blocks.size()) + " blocks";
	std::string line = what + ": " + std::to_string(n) + " addresses beyond a router, asked " +
	    std::to_string(s->f->rate) + " a second so that its neighbour table never fills, take " +
	    shortest(whole_s) + " s";
	if (as_run(s) != nullptr)
		line += "; a wait of " + shortest(whole_s + 1) + " s asks each once (-t " +
		    shortest(whole_s + 1) + ")";
	else
		line += ", longer than " + std::string(span) + ": each is asked in turn";
	find_log(s->f, CORVANE_LOG_WARNING, line);
}

static search *
begin(corvane_finder *f, std::variant<run_policy, watch_policy> policy, void *arg)
{
	std::unique_ptr<search> s(new search{.f = f, .policy = std::move(policy), .arg = arg});
	s->tokens_at = now_s();
	s->tokens = 1;
	if (f->cancelled.load()) {
		s->stopped = true;
		return s.release();
	}
	std::string why;
	if (!plan(s.get(), &s->plan, &s->names))
		return nullptr;
	if (!net_grow(&s->socks, &why) || !net_grow(&s->socks, &why))
		return fail(f, why), nullptr;
	net_buffer buffer;
	net_receive_buffer(&s->socks, &buffer);
	s->confirm_burst = s->confirm_tokens = static_cast<double>(
	    std::clamp(buffer.bytes / confirm_burst_bytes, 16UL, 1024UL));
	s->block_failed.assign(s->plan.blocks.size(), false);
	if (!s->names.empty()) {
		s->looking = lookups_start(s->names, &f->wake, &why);
		if (!s->looking)
			return fail(f, why), nullptr;
		s->names_by = now_s() + f->wait_s;
		s->names_done.assign(s->names.size(), false);
	}
	if (as_run(s.get()) != nullptr)
		say_routed_time(s.get(), f->wait_s, "the wait");
	else
		say_routed_time(s.get(), as_watch(s.get())->interval_s, "the interval");
	return s.release();
}

search *
search_begin_run(corvane_finder *f, corvane_board_fn fn, void *arg)
{
	const double start = now_s();
	return begin(f, run_policy{.fn = fn, .start = start, .deadline = start + f->wait_s}, arg);
}

search *
search_begin_watch(corvane_finder *f, double interval_s, corvane_event_fn fn, void *arg)
{
	const double start = now_s();
	return begin(f, watch_policy{.fn = fn, .interval_s = interval_s, .start = start,
	    .next = start}, arg);
}

void
search_end(search *s)
{
	if (s->looking)
		lookups_leave(s->looking.get());
	delete s;
}

// Boards that missed the last 3 rounds are lost.
static void
lose_missing(struct search *s, watch_policy *w)
{
	for (auto it = w->known.begin(); it != w->known.end() && !s->stopped;) {
		if (s->round - it->second.round < 3) {
			++it;
			continue;
		}
		watched gone = std::move(it->second);
		s->claims.erase(it->first);
		it = w->known.erase(it);
		struct corvane_board board = {.address = gone.address.c_str(), .port = gone.port,
		    .proto_ver = gone.proto_ver, .interface = gone.iface.c_str(), .rtt_ms = gone.rtt_ms};
		report(s, &board, gone.mac, CORVANE_BOARD_LOST);
	}
}

static const char nothing_sent[] = "no request could be sent";

// A run: the first round starts however short the wait; answers queued
// before a round are taken before it, so that each one's time is counted
// from the request it answered.
static int
run_step(struct search *s, run_policy *r)
{
	corvane_finder *f = s->f;
	// The wait counts from the first step: a loop that comes to its first
	// dispatch late still gets the whole of it.
	if (r->rounds == 0) {
		r->start = now_s();
		r->deadline = r->start + f->wait_s;
	}
	// A round waits for the confirmations of the last one to go: a
	// thousand boards answering again at once would drop what is still
	// to come.
	if (!stopping(s) && r->rounds < round_count && (r->rounds == 0 || s->to_confirm.empty()) &&
	    now_s() >= r->start + round_at[r->rounds] * f->wait_s) {
		r->rounds++;
		begin_round(s);
	}
	send_due(s);
	bool over = stopping(s) || now_s() >= r->deadline;
	if (!over && !(s->sent == 0 && s->tried > 0 && round_tried(s)))
		return 1;
	say_drops(s);
	log_tally(s);
	if (f->cancelled.load())
		return 0;
	if (s->looking && !take_names(s, true))
		return -1;
	if (s->sent == 0 && s->reported == 0)
		return fail(f, nothing_sent) ? 0 : -1;
	return 0;
}

static int
watch_step(struct search *s, watch_policy *w)
{
	corvane_finder *f = s->f;
	if (!stopping(s) && now_s() >= w->next) {
		if (s->round > 0 && s->round_sent == 0 && s->tried > 0 && !w->mute) {
			w->mute = true;
			find_log(f, CORVANE_LOG_WARNING, std::string(nothing_sent) +
			    " in round " + std::to_string(s->round) + "; asking again each round");
		} else if (s->round_sent > 0) {
			w->mute = false;
		}
		say_drops(s);
		lose_missing(s, w);
		// Interfaces come and go while a watch runs: the broadcasts are
		// planned again each round.
		if (f->targets.empty() && s->round > 0) {
			find_plan again;
			std::vector<named_target> none;
			if (plan(s, &again, &none)) {
				s->plan = std::move(again);
				w->trouble.clear();
			} else if (f->error != w->trouble) {
				w->trouble = f->error;
				find_log(f, CORVANE_LOG_WARNING, w->trouble + "; asking as before");
			}
		}
		if (!s->stopped) {
			begin_round(s);
			// Each known board is asked at its own address every round:
			// only its answer there keeps it.
			for (const auto &[key, b] : w->known) {
				claim_address(s, key, b.addr, static_cast<uint16_t>(b.port), b.ifindex);
				s->claims[key].known = true;
			}
		}
		// Rounds missed while the loop was busy are not made up for: the
		// next is the first still to come.
		w->next += w->interval_s * (std::floor((now_s() - w->next) / w->interval_s) + 1);
	}
	send_due(s);
	if (s->round == 1 && s->sent == 0 && s->tried > 0 && round_tried(s))
		return fail(f, nothing_sent) ? 0 : -1;
	return stopping(s) ? (log_tally(s), 0) : 1;
}

int
search_step(search *s)
{
	if (!stopping(s)) {
		if (s->looking && !take_names(s))
			return -1;
		drain(s);
	}
	if (run_policy *r = as_run(s))
		return run_step(s, r);
	return watch_step(s, as_watch(s));
}

double
search_due(const search *s)
{
	if (s->stopped || s->f->cancelled.load())
		return 0;
	const double now = now_s();
	double due;
	// A round that waits for confirmations is due as they are.
	if (const run_policy *r = std::get_if<run_policy>(&s->policy))
		due = r->rounds < round_count && (r->rounds == 0 || s->to_confirm.empty())
		    ? std::min(r->deadline, r->start + round_at[r->rounds] * s->f->wait_s) : r->deadline;
	else
		due = std::get<watch_policy>(s->policy).next;
	if (s->more_queued || s->next_dest < s->plan.dests.size())
		return now;
	if (s->looking)
		due = std::min({due, s->names_by, now + lookup_recheck_s});
	if (s->unresolved.left > 0)
		due = std::min(due, std::max(s->table_at, now));
	if (s->routed.left > 0)
		due = std::min(due, s->tokens >= 1 ? now : s->tokens_at + (1 - s->tokens) / s->f->rate);
	if (!s->to_confirm.empty() || !s->to_confirm_costly.empty())
		due = std::min(due, std::max({s->to_confirm.empty() ? s->confirm_at : now, s->confirm_tokens_at +
		    std::max(0.0, 1 - s->confirm_tokens) / confirm_rate, now}));
	return due;
}

net_set *
search_sockets(search *s)
{
	return &s->socks;
}

// A run or a watch to its end, waiting on the sockets and the wake.
static int
search_loop(corvane_finder *f, search *begun)
{
	std::unique_ptr<search, void (*)(search *)> s(begun, search_end);
	if (!s)
		return -1;
	int rc;
	while ((rc = search_step(s.get())) == 1)
		net_wait(&s->socks, &f->wake, std::max(search_due(s.get()) - now_s(), 0.0));
	return rc < 0 ? -1 : as_watch(s.get()) != nullptr ? 0 : static_cast<int>(s->reported);
}

int
run_search(corvane_finder *f, corvane_board_fn fn, void *arg)
{
	return search_loop(f, search_begin_run(f, fn, arg));
}

int
run_watch(corvane_finder *f, double interval_s, corvane_event_fn fn, void *arg)
{
	return search_loop(f, search_begin_watch(f, interval_s, fn, arg));
}
