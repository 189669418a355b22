// Where the requests go, and where answers may come from.
#include "search.h"
#include "udp.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

bool
fail(corvane_finder *f, const std::string &why)
{
	f->error = why;
	return false;
}

bool
rule_admits(const answer_rule &rule, uint32_t addr, uint16_t port)
{
	if (port != rule.port)
		return false;
	if (rule.mask == 0xffffffff)
		return addr == rule.addr;
	uint32_t net = rule.addr & rule.mask;
	return (addr & rule.mask) == net && addr != net && addr != (net | ~rule.mask);
}

bool
plan_admits(const find_plan &plan, uint32_t addr, uint16_t port)
{
	return std::any_of(plan.rules.begin(), plan.rules.end(),
	    [&](const answer_rule &r) { return rule_admits(r, addr, port); });
}

void
target_rules(uint32_t addr, uint16_t port, const std::vector<local_net> &nets,
    std::vector<answer_rule> *rules)
{
	rules->push_back({addr, 0xffffffff, port});
	bool local = false;
	for (const local_net &n : nets) {
		if (n.mask != 0xffffffff && (addr == n.bcast || addr == INADDR_BROADCAST)) {
			rules->push_back({n.addr, n.mask, port});
			local = true;
		}
	}
	// Elsewhere the mask is unknown: a subnet's broadcast address ends in
	// as many one bits as the subnet has host bits. Fewer than 8 would
	// take ordinary host addresses (10.0.0.3) for broadcasts.
	int ones = std::countr_one(addr);
	if (!local && ones >= 8 && ones < 32)
		rules->push_back({addr, ~((uint32_t{1} << ones) - 1), port});
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

static uint32_t
in_host(const struct sockaddr *sa)
{
	struct sockaddr_in sin;
	memcpy(&sin, sa, sizeof(sin));
	return ntohl(sin.sin_addr.s_addr);
}

bool
local_nets(corvane_finder *f, std::vector<local_net> *nets)
{
	struct ifaddrs *list;
	if (getifaddrs(&list) == -1)
		return fail(f, std::string("getifaddrs: ") + strerror(errno));
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
		nets->push_back({ifa->ifa_name, if_nametoindex(ifa->ifa_name), addr, mask, bcast,
		    broadcasts});
	}
	freeifaddrs(list);
	return true;
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
	for (const find_dest &have : plan->dests)
		if (have.addr.sin_addr.s_addr == d.addr.sin_addr.s_addr &&
		    have.addr.sin_port == d.addr.sin_port && have.ifindex == d.ifindex)
			return;
	plan->dests.push_back(d);
}

// One address of a TARGET: where the request goes, and whom to believe.
static void
add_target(find_plan *plan, const std::vector<local_net> &nets, uint32_t addr, uint16_t port,
    const std::string &label)
{
	add_dest(plan, {ipv4(addr, port), 0, {}, label, false});
	target_rules(addr, port, nets, &plan->rules);
}

bool
plan_broadcast(corvane_finder *f, const std::vector<local_net> &nets, find_plan *plan)
{
	for (const local_net &n : nets) {
		if (!n.broadcasts || (!f->ifaces.empty() &&
		    std::find(f->ifaces.begin(), f->ifaces.end(), n.iface) == f->ifaces.end()))
			continue;
		struct in_addr source;
		source.s_addr = htonl(n.addr);
		add_dest(plan, {ipv4(n.bcast, TARVO_PORT), n.ifindex, source, n.iface, false});
		plan->rules.push_back({n.addr, n.mask, TARVO_PORT});
	}
	for (const std::string &name : f->ifaces) {
		bool used = std::any_of(plan->dests.begin(), plan->dests.end(),
		    [&](const find_dest &d) { return d.label == name; });
		if (!used)
			return fail(f, name + ": no IPv4 broadcast address (down, loopback or not "
			    "broadcast-capable)");
	}
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
	std::vector<int> status;  // EAI_INPROGRESS until the lookup is over
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
		while (l->status[i] == EAI_INPROGRESS) {
			double left = deadline - now_s();
			if (left <= 0)
				return fail(f, l->hosts[i] + ": name not resolved within the wait");
			l->done.wait_for(hold, std::chrono::duration<double>(left));
		}
		if (l->status[i] != 0)
			return fail(f, l->hosts[i] + ": " + gai_strerror(l->status[i]));
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
	std::vector<std::string> labels;
	std::vector<uint16_t> ports;
	for (const std::string &t : f->targets) {
		std::string host, why;
		uint16_t port;
		split_target(t, &host, &port, &why);  // checked when added
		struct in_addr in;
		if (inet_pton(AF_INET, host.c_str(), &in) == 1) {
			add_target(plan, nets, ntohl(in.s_addr), port, t);
		} else {
			l->hosts.push_back(host);
			labels.push_back(t);
			ports.push_back(port);
		}
	}
	if (l->hosts.empty())
		return true;
	l->status.assign(l->hosts.size(), EAI_INPROGRESS);
	l->results.assign(l->hosts.size(), nullptr);
	return resolve(f, labels, ports, l, deadline, nets, plan);
}
