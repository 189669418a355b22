// The finder's insides, shared by its C interface, its search and its unit
// tests. Addresses and ports are in host order unless a sockaddr holds them.
#ifndef CORVANE_SEARCH_H
#define CORVANE_SEARCH_H

#include "corvane/find.h"

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct corvane_finder {
	double wait_s;
	unsigned count;
	std::vector<std::string> ifaces;
	std::vector<std::string> targets;  // as given, checked
	corvane_warn_fn warn;
	void *warn_arg;
	std::string error;
};

constexpr double find_wait_max_s = 3600;

// Where one copy of each request goes.
struct find_dest {
	struct sockaddr_in addr;
	unsigned ifindex;       // the interface to broadcast on; 0 for a target
	struct in_addr source;  // that interface's own address
	std::string label;      // how a failed send names it
	bool failed;            // a send has failed and was reported
};

// An answer counts only from where a request went: from `addr` itself when
// mask is all ones, otherwise from a host inside the subnet addr/mask (not
// its network or broadcast address), and only from `port`.
struct answer_rule {
	uint32_t addr;
	uint32_t mask;
	uint16_t port;
};

struct find_plan {
	std::vector<find_dest> dests;
	std::vector<answer_rule> rules;
};

// An IPv4 address with its interface, as the system lists them.
struct local_net {
	std::string iface;
	unsigned ifindex;
	uint32_t addr, mask, bcast;
	bool broadcasts;  // up, broadcast-capable, not loopback, not a host route
};

bool rule_admits(const answer_rule &rule, uint32_t addr, uint16_t port);
bool plan_admits(const find_plan &plan, uint32_t addr, uint16_t port);

// The rules for answers to a request sent to target addr:port: the
// address itself, and if it is a broadcast address (of a local subnet,
// 255.255.255.255 for all of them, or one ending in 8 or more one bits
// for a subnet elsewhere) every host of that subnet.
void target_rules(uint32_t addr, uint16_t port, const std::vector<local_net> &nets,
    std::vector<answer_rule> *rules);

// "HOST" or "HOST:PORT", the port 1 to 65535 in decimal (default 49100).
// An IPv6 address is refused with its own reason.
bool split_target(const std::string &target, std::string *host, uint16_t *port,
    std::string *why);

// Fills plan->dests and plan->rules, or gives false with finder->error.
bool local_nets(corvane_finder *f, std::vector<local_net> *nets);
bool plan_broadcast(corvane_finder *f, const std::vector<local_net> &nets, find_plan *plan);
bool plan_targets(corvane_finder *f, const std::vector<local_net> &nets, double deadline,
    find_plan *plan);

// The discovery request: proto_ver 2, id 109, the rest zero.
void build_request(unsigned char *dgram);

// True when a received datagram is a board's discovery reply: exactly 40
// bytes (nothing cut off) with id 77. Gives the board's proto_ver.
bool is_board_reply(const unsigned char *dgram, ssize_t len, bool truncated,
    uint32_t *proto_ver);

double now_s(void);
bool fail(corvane_finder *f, const std::string &why);

int run_search(corvane_finder *f, corvane_board_fn fn, void *arg);

#endif
