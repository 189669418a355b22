// Where the requests go, and where answers may come from.
#include "search.h"
#include "udp.h"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

bool
fail(corvane_finder *f, const std::string &why)
{
	f->error = one_line(why);
	return false;
}

std::string
one_line(const std::string &text)
{
	std::string out;
	for (char ch : text) {
		auto c = static_cast<unsigned char>(ch);
		if (c < 0x20 || c == 0x7F) {
			char esc[8];
			snprintf(esc, sizeof(esc), "\\x%02x", c);
			out += esc;
		} else {
			out += static_cast<char>(c);
		}
	}
	return out;
}

std::string
shortest(double v)
{
	char text[40];
	for (int digits = 1; digits <= 17; digits++) {
		snprintf(text, sizeof(text), "%.*g", digits, v);
		if (strtod(text, nullptr) == v)
			break;
	}
	return text;
}

static uint64_t
host_key(uint32_t addr, uint16_t port)
{
	return (uint64_t{addr} << 16) | port;
}

bool
rule_admits(const answer_rule &rule, uint32_t addr, uint16_t port)
{
	if (port != rule.port)
		return false;
	if (rule.mask == 0xffffffff)
		return addr == rule.addr;
	uint32_t net = rule.addr & rule.mask;
	if ((addr & rule.mask) != net)
		return false;
	// Both addresses of a /31 are hosts' (a point-to-point link).
	return rule.mask == 0xfffffffe || (addr != net && addr != (net | ~rule.mask));
}

void
add_rule(find_plan *plan, const answer_rule &rule)
{
	if (rule.mask == 0xffffffff) {
		plan->hosts.insert(host_key(rule.addr, rule.port));
		plan->host_addrs.insert(rule.addr);
	} else {
		plan->rules.push_back(rule);
	}
}

admit_result
plan_admits(const find_plan &plan, uint32_t addr, uint16_t port)
{
	if (plan.hosts.count(host_key(addr, port)) != 0 ||
	    std::any_of(plan.rules.begin(), plan.rules.end(),
	        [&](const answer_rule &r) { return rule_admits(r, addr, port); }))
		return admit_ok;
	bool known = plan.host_addrs.count(addr) != 0 ||
	    std::any_of(plan.rules.begin(), plan.rules.end(),
	        [&](const answer_rule &r) { return rule_admits(r, addr, r.port); });
	return known ? admit_other_port : admit_elsewhere;
}

void
target_rules(uint32_t addr, uint16_t port, const std::vector<local_net> &nets,
    find_plan *plan)
{
	add_rule(plan, {addr, 0xffffffff, port});
	bool local = false;
	for (const local_net &n : nets) {
		if (n.mask != 0xffffffff && (addr == n.bcast || addr == INADDR_BROADCAST)) {
			add_rule(plan, {n.addr, n.mask, port});
			local = true;
		}
	}
	// Elsewhere the mask is unknown: a subnet's broadcast address ends in
	// as many one bits as the subnet has host bits. Fewer than 8 would
	// take ordinary host addresses (10.0.0.3) for broadcasts.
	int ones = std::countr_one(addr);
	if (!local && ones >= 8 && ones < 32)
		add_rule(plan, {addr, ~((uint32_t{1} << ones) - 1), port});
}

bool
split_target(const std::string &target, std::string *host, uint16_t *port, std::string *why)
{
	if (target.find(':') != target.rfind(':') || target.starts_with('[')) {
		*why = target + ": an IPv6 address; boards answer on IPv4 only";
		return false;
	}
	*why = target + ": not a TARGET[:PORT] (port 1 to 65535)";
	size_t colon = target.rfind(':');
	*host = target.substr(0, colon);
	*port = TARVO_PORT;
	if (host->empty())
		return false;
	if (colon == std::string::npos)
		return true;

	std::string digits = target.substr(colon + 1);
	if (digits.empty() || digits.size() > 5 ||
	    digits.find_first_not_of("0123456789") != std::string::npos)
		return false;
	unsigned long v = strtoul(digits.c_str(), nullptr, 10);
	if (v < 1 || v > 65535)
		return false;
	*port = static_cast<uint16_t>(v);
	return true;
}

bool
split_block(const std::string &host, uint32_t *net, uint32_t *mask, std::string *why)
{
	size_t slash = host.find('/');
	if (slash == std::string::npos)
		return false;
	*why = host + ": not a block ADDRESS/PREFIX (PREFIX 16 to 32)";
	std::string digits = host.substr(slash + 1);
	struct in_addr in;
	if (digits.empty() || digits.size() > 2 ||
	    digits.find_first_not_of("0123456789") != std::string::npos ||
	    inet_pton(AF_INET, host.substr(0, slash).c_str(), &in) != 1)
		return false;
	unsigned prefix = static_cast<unsigned>(std::stoul(digits));
	if (prefix < 16 || prefix > 32)
		return false;
	*mask = ~uint32_t{0} << (32 - prefix);
	*net = ntohl(in.s_addr) & *mask;
	why->clear();
	return true;
}

void
block_hosts(uint32_t net, uint32_t mask, uint32_t *first, uint32_t *last)
{
	*first = net;
	*last = net | ~mask;
	if (mask < 0xfffffffe) {
		++*first;
		--*last;
	}
}

uint32_t
in_host(const struct sockaddr *sa)
{
	struct sockaddr_in sin;
	memcpy(&sin, sa, sizeof(sin));
	return ntohl(sin.sin_addr.s_addr);
}

bool
local_nets(corvane_finder *f, std::vector<local_net> *nets)
{
	std::string why;
	return net_interfaces(nets, &why) || fail(f, why);
}

static struct sockaddr_in
ipv4(uint32_t addr, uint16_t port)
{
	struct sockaddr_in sin;
	memset(&sin, 0, sizeof(sin));
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(addr);
	sin.sin_port = htons(port);
	return sin;
}

static void
add_dest(find_plan *plan, const find_dest &d)
{
	// Targets, by the thousand in a rack, by address and port; broadcasts,
	// one per interface, by interface too.
	if (d.ifindex == 0) {
		uint64_t key = (uint64_t{ntohl(d.addr.sin_addr.s_addr)} << 16) | ntohs(d.addr.sin_port);
		if (!plan->dest_keys.insert(key).second)
			return;
	} else if (std::any_of(plan->dests.begin(), plan->dests.end(), [&](const find_dest &have) {
		       return have.ifindex == d.ifindex &&
		           have.addr.sin_addr.s_addr == d.addr.sin_addr.s_addr &&
		           have.addr.sin_port == d.addr.sin_port;
	       })) {
		return;
	}
	plan->dests.push_back(d);
}

// Whether addr is a host of a local subnet that resolves addresses.
static bool
on_link(const std::vector<local_net> &nets, uint32_t addr)
{
	return std::any_of(nets.begin(), nets.end(), [addr](const local_net &n) {
		return n.broadcasts && (addr & n.mask) == (n.addr & n.mask) && addr != n.bcast &&
		    (n.mask == 0xfffffffe || addr != (n.addr & n.mask));
	});
}

// One address of a TARGET: where the request goes, and whom to believe.
static void
add_target(find_plan *plan, const std::vector<local_net> &nets, uint32_t addr, uint16_t port,
    const std::string &label)
{
	find_dest d = {ipv4(addr, port), 0, {}, label, false};
	d.unresolved = on_link(nets, addr) && plan->known.count(addr) == 0;
	add_dest(plan, d);
	target_rules(addr, port, nets, plan);
}

static std::string
dotted(uint32_t addr)
{
	struct in_addr in;
	in.s_addr = htonl(addr);
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &in, text, sizeof(text));
	return text;
}

void
plan_block(find_plan *plan, uint32_t net, uint32_t mask, uint16_t port,
    const std::vector<local_net> &nets, const std::string &label)
{
	// Two aligned blocks overlap only when one holds the other.
	std::vector<answer_rule> on_links;
	for (const local_net &n : nets) {
		uint32_t wider = std::min(mask, n.mask);
		if (!n.broadcasts || n.mask == 0xffffffff || (net & wider) != (n.addr & wider))
			continue;
		uint32_t inner = std::max(mask, n.mask);
		on_links.push_back({(mask == inner ? net : n.addr) & inner, inner, port});
		struct in_addr source;
		source.s_addr = htonl(n.addr);
		uint32_t to = n.mask == 0xfffffffe ? INADDR_BROADCAST : n.bcast;
		add_dest(plan, {ipv4(to, port), n.ifindex, source, label + " on " + n.iface, false});
	}
	uint32_t first, last;
	block_hosts(net, mask, &first, &last);
	for (uint64_t a = first; a <= last; a++) {
		auto addr = static_cast<uint32_t>(a);
		bool reached = std::any_of(on_links.begin(), on_links.end(),
		    [addr](const answer_rule &r) { return (addr & r.mask) == r.addr; });
		if (!reached || plan->known.count(addr) != 0)
			add_dest(plan, {ipv4(addr, port), 0, {}, dotted(addr), false});
	}
	add_rule(plan, {net, mask, port});
}

bool
plan_broadcast(corvane_finder *f, const std::vector<local_net> &nets, find_plan *plan)
{
	std::unordered_set<std::string> chosen(f->ifaces.begin(), f->ifaces.end()), used;
	for (const local_net &n : nets) {
		if (!n.broadcasts || (!chosen.empty() && chosen.count(n.iface) == 0))
			continue;
		struct in_addr source;
		source.s_addr = htonl(n.addr);
		// A /31 is a point-to-point link: its "broadcast" address is one
		// of its two hosts, perhaps this one. The link's broadcast reaches
		// the other.
		uint32_t to = n.mask == 0xfffffffe ? INADDR_BROADCAST : n.bcast;
		add_dest(plan, {ipv4(to, TARVO_PORT), n.ifindex, source, n.iface, false});
		add_rule(plan, {n.addr, n.mask, TARVO_PORT});
		used.insert(n.iface);
	}
	for (const std::string &name : f->ifaces)
		if (used.count(name) == 0)
			return fail(f, name + ": no IPv4 broadcast address (down, loopback or not "
			    "broadcast-capable)");
	if (plan->dests.empty())
		return fail(f, "no interface to broadcast on; name a TARGET");
	return true;
}

// The lookups of one run, each on a thread of its own. A lookup may go on
// after the deadline has passed; the threads and the run share this, and
// whoever lets go last frees it.
struct lookups {
	std::mutex lock;
	std::condition_variable done;
	std::vector<std::string> hosts;
	std::vector<bool> over;
	std::vector<int> status;
	std::vector<struct addrinfo *> results;
};

struct lookup_arg {
	std::shared_ptr<lookups> l;
	size_t i;
};

static void *
look_up(void *p)
{
	auto *arg = static_cast<lookup_arg *>(p);
	std::shared_ptr<lookups> l = std::move(arg->l);
	size_t i = arg->i;
	delete arg;
	struct addrinfo hints;
	memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	struct addrinfo *result = nullptr;
	int rc = getaddrinfo(l->hosts[i].c_str(), nullptr, &hints, &result);
	std::lock_guard<std::mutex> hold(l->lock);
	l->status[i] = rc;
	l->over[i] = true;
	l->results[i] = result;
	l->done.notify_all();
	return nullptr;
}

// Looks up every name at once and waits for them until the deadline.
static bool
resolve(corvane_finder *f, const std::vector<std::string> &labels,
    const std::vector<uint16_t> &ports, const std::shared_ptr<lookups> &l, double deadline,
    const std::vector<local_net> &nets, find_plan *plan)
{
	for (size_t i = 0; i < l->hosts.size(); i++) {
		pthread_t thread;
		auto *arg = new lookup_arg{l, i};
		int rc = pthread_create(&thread, nullptr, look_up, arg);
		if (rc != 0) {
			delete arg;
			return fail(f, std::string("name lookup: ") + strerror(rc));
		}
		pthread_detach(thread);
	}
	std::unique_lock<std::mutex> hold(l->lock);
	for (size_t i = 0; i < l->hosts.size(); i++) {
		while (!l->over[i]) {
			// A cancel ends the run at once, with nothing found; it is
			// looked at every few milliseconds.
			if (f->cancelled.load())
				return true;
			double left = deadline - now_s();
			if (left <= 0)
				return fail(f, l->hosts[i] + ": name not resolved within the wait");
			l->done.wait_for(hold, std::chrono::duration<double>(std::min(left, 0.01)));
		}
		if (l->status[i] != 0)
			return fail(f, l->hosts[i] + ": " + net_lookup_error(l->status[i]));
		for (struct addrinfo *ai = l->results[i]; ai != nullptr; ai = ai->ai_next)
			add_target(plan, nets, in_host(ai->ai_addr), ports[i], labels[i]);
	}
	return true;
}

static void
free_results(lookups *l)
{
	for (struct addrinfo *r : l->results)
		if (r != nullptr)
			freeaddrinfo(r);
	delete l;
}

bool
plan_targets(corvane_finder *f, const std::vector<local_net> &nets, double deadline,
    find_plan *plan)
{
	std::shared_ptr<lookups> l(new lookups(), free_results);
	std::vector<uint32_t> known;
	for (const local_net &n : nets)
		if (n.broadcasts)
			net_known_neighbours(n.iface, &known);
	plan->known.insert(known.begin(), known.end());
	std::vector<std::string> labels;
	std::vector<uint16_t> ports;
	for (const std::string &t : f->targets) {
		std::string host, why;
		uint16_t port;
		split_target(t, &host, &port, &why);  // checked when added
		struct in_addr in;
		uint32_t net, mask;
		if (split_block(host, &net, &mask, &why)) {
			plan_block(plan, net, mask, port, nets, t);
		} else if (inet_pton(AF_INET, host.c_str(), &in) == 1) {
			add_target(plan, nets, ntohl(in.s_addr), port, t);
		} else {
			l->hosts.push_back(host);
			labels.push_back(t);
			ports.push_back(port);
		}
	}
	if (l->hosts.empty())
		return true;
	l->over.assign(l->hosts.size(), false);
	l->status.assign(l->hosts.size(), 0);
	l->results.assign(l->hosts.size(), nullptr);
	return resolve(f, labels, ports, l, deadline, nets, plan);
}
