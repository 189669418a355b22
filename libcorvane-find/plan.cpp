// Where the requests go, and whom to believe.
#include "plan.h"

#include <algorithm>
#include <bit>
#include <cstring>

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

std::string
dotted(uint32_t addr)
{
	struct in_addr in;
	in.s_addr = htonl(addr);
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &in, text, sizeof(text));
	return text;
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
	add_rule(plan, {.addr = addr, .mask = 0xffffffff, .port = port});
	bool local = false;
	for (const local_net &n : nets) {
		if (n.mask != 0xffffffff && (addr == n.bcast || addr == INADDR_BROADCAST)) {
			add_rule(plan, {.addr = n.addr, .mask = n.mask, .port = port});
			local = true;
		}
	}
	// Elsewhere the mask is unknown: a subnet's broadcast address ends in
	// as many one bits as the subnet has host bits. Fewer than 8 would
	// take ordinary host addresses (10.0.0.3) for broadcasts.
	int ones = std::countr_one(addr);
	if (!local && ones >= 8 && ones < 32)
		add_rule(plan, {.addr = addr, .mask = ~((uint32_t{1} << ones) - 1), .port = port});
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

struct sockaddr_in
ipv4(uint32_t addr, uint16_t port)
{
	struct sockaddr_in sin;
	memset(&sin, 0, sizeof(sin));
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(addr);
	sin.sin_port = htons(port);
	return sin;
}

// Unicasts by address and port, by the thousand in a rack; broadcasts, one
// per interface, by interface too.
static void
add_dest(find_plan *plan, const find_dest &d)
{
	if (d.ifindex == 0) {
		uint64_t key = host_key(ntohl(d.addr.sin_addr.s_addr), ntohs(d.addr.sin_port));
		if (!plan->dest_keys.insert(key).second)
			return;
	} else if (std::any_of(plan->dests.begin(), plan->dests.end(), [&](const find_dest &have) {
		       return have.ifindex == d.ifindex &&
		           have.addr.sin_addr.s_addr == d.addr.sin_addr.s_addr &&
		           have.addr.sin_port == d.addr.sin_port;
	       })) {
		return;
	}
	(d.unresolved ? plan->unresolved : plan->dests).push_back(d);
}

bool
on_link(const std::vector<local_net> &nets, uint32_t addr)
{
	return std::any_of(nets.begin(), nets.end(), [addr](const local_net &n) {
		return n.broadcasts && (addr & n.mask) == (n.addr & n.mask) && addr != n.bcast &&
		    (n.mask == 0xfffffffe || addr != (n.addr & n.mask));
	});
}

static void
add_routed(find_plan *plan, uint32_t addr, uint16_t port, uint32_t block)
{
	plan->routed_hosts++;
	if (!plan->routed.empty()) {
		routed_range &r = plan->routed.back();
		if (r.block == block && r.last + 1 == addr) {
			r.last = addr;
			return;
		}
	}
	plan->routed.push_back({.first = addr, .last = addr, .port = port, .block = block});
}

routed_host
routed_at(const find_plan &plan, size_t i)
{
	for (const routed_range &r : plan.routed) {
		size_t n = size_t{r.last} - r.first + 1;
		if (i < n)
			return {static_cast<uint32_t>(r.first + i), r.port, r.block};
		i -= n;
	}
	return {};
}

// Whether addr is on a local subnet that resolves no address (loopback,
// a point-to-point link): no neighbour table anywhere holds an entry for
// it.
static bool
unresolving(const std::vector<local_net> &nets, uint32_t addr)
{
	return std::any_of(nets.begin(), nets.end(), [addr](const local_net &n) {
		return !n.broadcasts && (addr & n.mask) == (n.addr & n.mask);
	});
}

void
plan_address(find_plan *plan, const std::vector<local_net> &nets, uint32_t addr, uint16_t port,
    const std::string &label)
{
	add_dest(plan, {.addr = ipv4(addr, port), .label = label,
	    .unresolved = on_link(nets, addr) && plan->known.count(addr) == 0});
	target_rules(addr, port, nets, plan);
}

// The broadcast of a local subnet, through its interface. A /31 is a
// point-to-point link: its "broadcast" address is one of its two hosts,
// perhaps this one; the link's broadcast reaches the other.
static find_dest
subnet_broadcast(const local_net &n, uint16_t port, const std::string &label)
{
	struct in_addr source;
	source.s_addr = htonl(n.addr);
	uint32_t to = n.mask == 0xfffffffe ? INADDR_BROADCAST : n.bcast;
	return {.addr = ipv4(to, port), .ifindex = n.ifindex, .source = source, .label = label};
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
		on_links.push_back({.addr = (mask == inner ? net : n.addr) & inner, .mask = inner,
		    .port = port});
		add_dest(plan, subnet_broadcast(n, port, label + " on " + n.iface));
	}
	auto block = static_cast<uint32_t>(plan->blocks.size());
	plan->blocks.push_back(label);
	uint32_t first, last;
	block_hosts(net, mask, &first, &last);
	for (uint64_t a = first; a <= last; a++) {
		auto addr = static_cast<uint32_t>(a);
		bool reached = std::any_of(on_links.begin(), on_links.end(),
		    [addr](const answer_rule &r) { return (addr & r.mask) == r.addr; });
		if ((reached && plan->known.count(addr) != 0) || unresolving(nets, addr))
			add_dest(plan, {.addr = ipv4(addr, port), .label = dotted(addr)});
		else if (!reached)
			add_routed(plan, addr, port, block);
	}
	add_rule(plan, {.addr = net, .mask = mask, .port = port});
}

bool
plan_broadcast(const std::vector<std::string> &ifaces, const std::vector<local_net> &nets,
    find_plan *plan, std::string *why)
{
	std::vector<std::string> used;
	for (const local_net &n : nets) {
		if (!n.broadcasts ||
		    (!ifaces.empty() && std::find(ifaces.begin(), ifaces.end(), n.iface) == ifaces.end()))
			continue;
		add_dest(plan, subnet_broadcast(n, TARVO_PORT, n.iface));
		add_rule(plan, {.addr = n.addr, .mask = n.mask, .port = TARVO_PORT});
		used.push_back(n.iface);
	}
	for (const std::string &name : ifaces) {
		if (std::find(used.begin(), used.end(), name) == used.end()) {
			*why = name + ": no IPv4 broadcast address (down, loopback or not "
			    "broadcast-capable)";
			return false;
		}
	}
	if (plan->dests.empty()) {
		*why = "no interface to broadcast on; name a TARGET";
		return false;
	}
	return true;
}

void
plan_targets(const std::vector<std::string> &targets, const std::vector<local_net> &nets,
    find_plan *plan, std::vector<named_target> *names)
{
	for (const std::string &t : targets) {
		std::string host, why;
		uint16_t port;
		split_target(t, &host, &port, &why);  // checked when added
		struct in_addr in;
		uint32_t net, mask;
		if (split_block(host, &net, &mask, &why))
			plan_block(plan, net, mask, port, nets, t);
		else if (inet_pton(AF_INET, host.c_str(), &in) == 1)
			plan_address(plan, nets, ntohl(in.s_addr), port, t);
		else
			names->push_back({.host = host, .port = port, .label = t});
	}
}
