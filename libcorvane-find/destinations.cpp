// Where the requests go, and where answers may come from.
#include "search.h"
#include "udp.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>

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

// The lookups of one run. The resolver may still write into them after
// the deadline has passed, so they are freed by whichever lets go last:
// the run, or the resolver's notice that all of them are done.
struct lookups {
	std::vector<std::string> hosts, labels;
	std::vector<uint16_t> ports;
	struct addrinfo hints;
	std::vector<struct gaicb> reqs;
	std::atomic<int> holders;
};

static void
release(struct lookups *l)
{
	if (l->holders.fetch_sub(1) == 1) {
		for (struct gaicb &r : l->reqs)
			if (r.ar_result != nullptr)
				freeaddrinfo(r.ar_result);
		delete l;
	}
}

static void
lookups_done(union sigval v)
{
	release(static_cast<struct lookups *>(v.sival_ptr));
}

// Starts every lookup at once and waits for them until the deadline.
static bool
resolve(corvane_finder *f, struct lookups *l, double deadline, find_plan *plan,
    const std::vector<local_net> &nets)
{
	std::vector<struct gaicb *> list;
	for (size_t i = 0; i < l->hosts.size(); i++) {
		l->reqs[i].ar_name = l->hosts[i].c_str();
		l->reqs[i].ar_request = &l->hints;
		list.push_back(&l->reqs[i]);
	}
	struct sigevent done;
	memset(&done, 0, sizeof(done));
	done.sigev_notify = SIGEV_THREAD;
	done.sigev_notify_function = lookups_done;
	done.sigev_value.sival_ptr = l;
	l->holders = 2;
	int rc = getaddrinfo_a(GAI_NOWAIT, list.data(), static_cast<int>(list.size()), &done);
	if (rc != 0) {
		l->holders = 1;  // no notice will come
		return fail(f, std::string("name lookup: ") + gai_strerror(rc));
	}
	for (size_t i = 0; i < l->hosts.size(); i++) {
		while ((rc = gai_error(&l->reqs[i])) == EAI_INPROGRESS) {
			double left = deadline - now_s();
			if (left <= 0)
				return fail(f, l->hosts[i] + ": name not resolved within the wait");
			struct timespec ts;
			ts.tv_sec = static_cast<time_t>(left);
			ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
			const struct gaicb *one[] = {&l->reqs[i]};
			gai_suspend(one, 1, &ts);
		}
		if (rc != 0)
			return fail(f, l->hosts[i] + ": " + gai_strerror(rc));
		for (struct addrinfo *ai = l->reqs[i].ar_result; ai != nullptr; ai = ai->ai_next) {
			uint32_t addr = in_host(ai->ai_addr);
			add_dest(plan, {ipv4(addr, l->ports[i]), 0, {}, l->labels[i], false});
			target_rules(addr, l->ports[i], nets, &plan->rules);
		}
	}
	return true;
}

bool
plan_targets(corvane_finder *f, const std::vector<local_net> &nets, double deadline,
    find_plan *plan)
{
	auto l = new struct lookups();
	for (const std::string &t : f->targets) {
		std::string host, why;
		uint16_t port;
		split_target(t, &host, &port, &why);  // checked when added
		struct in_addr in;
		if (inet_pton(AF_INET, host.c_str(), &in) == 1) {
			add_dest(plan, {ipv4(ntohl(in.s_addr), port), 0, {}, t, false});
			target_rules(ntohl(in.s_addr), port, nets, &plan->rules);
		} else {
			l->hosts.push_back(host);
			l->labels.push_back(t);
			l->ports.push_back(port);
		}
	}
	if (l->hosts.empty()) {
		delete l;
		return true;
	}
	l->hints.ai_family = AF_INET;
	l->hints.ai_socktype = SOCK_DGRAM;
	l->reqs.resize(l->hosts.size());
	l->holders = 1;
	bool ok = resolve(f, l, deadline, plan, nets);
	release(l);
	return ok;
}
