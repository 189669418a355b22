// Where the requests go, and whom to believe: pure code over the
// interfaces and targets it is given, with no system call.
#ifndef CORVANE_PLAN_H
#define CORVANE_PLAN_H

#include "net.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

// One key for a host's address and port.
constexpr uint64_t
host_key(uint32_t addr, uint16_t port)
{
	return (uint64_t{addr} << 16) | port;
}

// An answer counts only from where a request went: from `addr` itself when
// mask is all ones, otherwise from a host inside the subnet addr/mask (not
// its network or broadcast address), and only from `port`.
struct answer_rule {
	uint32_t addr;
	uint32_t mask;
	uint16_t port;
};

// Addresses of a block beyond a router. Each request to one takes an
// entry of the router's neighbour table for about 3 s, so they are asked
// at a bounded rate rather than all at once. Kept as runs, so that a /16
// costs a few words to plan.
struct routed_range {
	uint32_t first, last;
	uint16_t port;
	uint32_t block;  // its block's index in find_plan::blocks
};
struct routed_host {
	uint32_t addr;
	uint16_t port;
	uint32_t block;
};

// A TARGET that is a host name, to be looked up.
struct named_target {
	std::string host;
	uint16_t port;
	std::string label;  // the TARGET as given
};

// Every destination of a search, and the rules for its answers: single
// addresses (and ports) in a hash set, as a rack's thousands of targets
// make them; subnets in a list.
struct find_plan {
	std::vector<find_dest> dests;       // asked every round
	std::vector<find_dest> unresolved;  // on-link hosts not resolved: as the table has room
	std::vector<routed_range> routed;   // beyond a router: at a rate
	size_t routed_hosts = 0;            // in all the ranges
	std::vector<std::string> blocks;    // the labels of the blocks routed hosts are of
	std::unordered_set<uint64_t> dest_keys;  // address and port of every unicast
	std::unordered_set<uint64_t> hosts;      // address and port
	std::unordered_set<uint32_t> host_addrs; // the same addresses alone
	std::vector<answer_rule> rules;          // subnets
	std::unordered_set<uint32_t> known;      // on-link hosts the system has resolved
};

// Why an answer is refused, or admit_ok.
enum admit_result : int {
	admit_ok = 0,
	admit_elsewhere = 1,   // from outside the asked subnets or targets
	admit_other_port = 2,  // from where a request went, but another port
};

bool rule_admits(const answer_rule &rule, uint32_t addr, uint16_t port);
admit_result plan_admits(const find_plan &plan, uint32_t addr, uint16_t port);
void add_rule(find_plan *plan, const answer_rule &rule);

// The rules for answers to a request sent to target addr:port: the
// address itself, and if it is a broadcast address (of a local subnet,
// 255.255.255.255 for all of them, or one ending in 8 or more one bits
// for a subnet elsewhere) every host of that subnet.
void target_rules(uint32_t addr, uint16_t port, const std::vector<local_net> &nets,
    find_plan *plan);

// "HOST" or "HOST:PORT", the port 1 to 65535 in decimal (default 49100).
// An IPv6 address is refused with its own reason.
bool split_target(const std::string &target, std::string *host, uint16_t *port,
    std::string *why);

// A block "ADDRESS/PREFIX", PREFIX 16 to 32, as its network and mask.
// False when host has no "/"; with a "/" that is no block, false with
// *why.
bool split_block(const std::string &host, uint32_t *net, uint32_t *mask, std::string *why);
// The first and last address of a block to ask: its network and
// broadcast addresses are left out, but for /31 and /32, whose every
// address is a host's (RFC 3021).
void block_hosts(uint32_t net, uint32_t mask, uint32_t *first, uint32_t *last);

// A sockaddr for an address and port.
struct sockaddr_in ipv4(uint32_t addr, uint16_t port);

// Whether addr is a host of a local subnet that resolves addresses.
bool on_link(const std::vector<local_net> &nets, uint32_t addr);

// One address of a TARGET: asked each round, or as the neighbour table
// has room when it is on-link and not resolved.
void plan_address(find_plan *plan, const std::vector<local_net> &nets, uint32_t addr,
    uint16_t port, const std::string &label);

// A block ADDRESS/PREFIX: on each broadcast-capable local subnet it
// overlaps, one broadcast on that interface (on a /31, the link's
// broadcast, never the peer's own address) and a unicast to each host
// there in plan->known; on a local subnet that resolves no address
// (loopback, a point-to-point link), every address each round; every other
// address of it through the router, at a rate. Answers from the block
// only.
void plan_block(find_plan *plan, uint32_t net, uint32_t mask, uint16_t port,
    const std::vector<local_net> &nets, const std::string &label);

// The i-th address beyond a router, counting through the ranges in order.
routed_host routed_at(const find_plan &plan, size_t i);

// The broadcasts on the interfaces named (every one that can, when none
// is), or false with *why.
bool plan_broadcast(const std::vector<std::string> &ifaces, const std::vector<local_net> &nets,
    find_plan *plan, std::string *why);

// Plans every TARGET given as an address or a block; gives the host names
// still to be looked up.
void plan_targets(const std::vector<std::string> &targets, const std::vector<local_net> &nets,
    find_plan *plan, std::vector<named_target> *names);

// Text for one line: control characters and DEL as \xHH.
std::string one_line(const std::string &text);
// A number as given: the shortest decimal that reads back as v.
std::string shortest(double v);
// An address as a dotted quad.
std::string dotted(uint32_t addr);

#endif
