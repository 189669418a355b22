// The search: sockets on ephemeral ports, the request sent in rounds (three
// within a run's wait, or one every interval of a watch), and every queued
// answer taken as it comes. Nothing here waits: a step does what is due in
// a slice of a few milliseconds and says when it is due again, so that a
// program's own event loop never stalls. A block beyond a router is asked
// at a rate, and on-link hosts that must be resolved first as the
// machine's neighbour table has room, each in turns that go on across
// rounds.
#include "search.h"

#include "lookup.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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
};

// A board a watch knows: as it last answered, and in which round.
struct watched {
	std::string address, iface;
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

static void
report(struct search *s, const struct corvane_board *board, int kind)
{
	int stop;
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

static void
run_takes(struct search *s, run_policy *r, uint64_t key, const struct corvane_board *board)
{
	if (r->seen.count(key) != 0) {
		s->t.listed++;
		return;
	}
	if (!room_for_board(s, r->seen.size()))
		return;
	r->seen.insert(key);
	s->reported++;
	report(s, board, CORVANE_BOARD_FOUND);
	if (s->f->count != 0 && s->reported >= s->f->count)
		s->stopped = true;
}

// A watch notes the round a board answered in, and reports it found when
// it was not known. A board found beyond a router is asked every round
// from then on, by its own address: the router has resolved it.
static void
watch_takes(struct search *s, watch_policy *w, uint64_t key, uint32_t addr,
    const struct corvane_board *board)
{
	watched now = {.address = board->address, .iface = board->interface, .port = board->port,
	    .proto_ver = board->proto_ver, .rtt_ms = board->rtt_ms, .round = s->round};
	auto it = w->known.find(key);
	if (it != w->known.end()) {
		it->second = std::move(now);
		s->t.listed++;
		return;
	}
	if (!room_for_board(s, w->known.size()))
		return;
	w->known.emplace(key, std::move(now));
	if (s->sent_at.count(key) != 0 && !on_link(s->nets, addr))
		s->plan.dests.push_back({.addr = ipv4(addr, static_cast<uint16_t>(board->port)),
		    .label = board->address});
	s->reported++;
	report(s, board, CORVANE_BOARD_FOUND);
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
	uint64_t key = host_key(d.addr, d.port);
	auto asked = s->sent_at.find(key);
	double since = asked != s->sent_at.end() ? asked->second : s->asked_at;
	std::string text = dotted(d.addr);
	struct corvane_board board = {.address = text.c_str(), .port = d.port,
	    .proto_ver = proto_ver, .interface = iface_name(s, d.ifindex).c_str(),
	    .rtt_ms = (at - since) * 1000};
	s->t.boards++;
	if (run_policy *r = as_run(s))
		run_takes(s, r, key, &board);
	else
		watch_takes(s, as_watch(s), key, d.addr, &board);
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
				take(s, batch[k], at);
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
	    " from another port, " + std::to_string(t.listed) + " from a board already listed" +
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
	if (!net_grow(&s->socks, &why))
		return fail(f, why), nullptr;
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
		it = w->known.erase(it);
		struct corvane_board board = {.address = gone.address.c_str(), .port = gone.port,
		    .proto_ver = gone.proto_ver, .interface = gone.iface.c_str(), .rtt_ms = gone.rtt_ms};
		report(s, &board, CORVANE_BOARD_LOST);
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
	if (!stopping(s) && r->rounds < round_count &&
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
		if (!s->stopped)
			begin_round(s);
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
	if (const run_policy *r = std::get_if<run_policy>(&s->policy))
		due = r->rounds < round_count
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
