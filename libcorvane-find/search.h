// The finder's insides, shared by its C interface, its search and its unit
// tests. Addresses and ports are in host order unless a sockaddr holds them.
#ifndef CORVANE_SEARCH_H
#define CORVANE_SEARCH_H

#include "corvane/find.h"
#include "net.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

struct corvane_finder {
	double wait_s;
	unsigned count;
	std::vector<std::string> ifaces{};
	std::vector<std::string> targets{};  // as given, checked
	corvane_warn_fn warn;
	void *warn_arg;
	corvane_log_fn log;
	void *log_arg;
	std::string error{};
	// Set by a cancel, which also signals the wake that the search waits
	// on; cleared as a run returns.
	std::atomic<bool> cancelled;
	net_wake wake;
	bool running;     // a run or watch is under way: no changes now
	bool free_asked;  // freed from inside a callback: done as the run returns
	// A run or watch begun without waiting, stepped by dispatch; inside
	// is set while a step (or a whole blocking run) is under way.
	struct search *started = nullptr;
	bool inside = false;
};

constexpr double find_wait_max_s = 3600;
constexpr double watch_interval_min_s = 0.01;
// A run lists no more boards than this, whatever answers.
constexpr unsigned find_boards_max = 65536;

// Where one copy of each request goes.
struct find_dest {
	struct sockaddr_in addr;
	unsigned ifindex;       // the interface to broadcast on; 0 for a target
	struct in_addr source;  // that interface's own address
	std::string label;      // how a failed send names it
	bool failed;            // a send has failed and was reported
	// An on-link host the system has not resolved: each request to it
	// takes an entry of the machine's neighbour table for seconds.
	bool unresolved = false;
};

// An answer counts only from where a request went: from `addr` itself when
// mask is all ones, otherwise from a host inside the subnet addr/mask (not
// its network or broadcast address), and only from `port`.
struct answer_rule {
	uint32_t addr;
	uint32_t mask;
	uint16_t port;
};

// The rules of a plan: single addresses (and ports) in a hash set, as a
// rack's thousands of targets make them; subnets in a list.
struct find_plan {
	std::vector<find_dest> dests;
	std::unordered_set<uint64_t> dest_keys;  // address, port and interface
	std::unordered_set<uint64_t> hosts;      // address and port
	std::unordered_set<uint32_t> host_addrs; // the same addresses alone
	std::vector<answer_rule> rules;          // subnets
	std::unordered_set<uint32_t> known;      // on-link hosts the system has resolved
};

// An IPv4 address with its interface, as the system lists them.
struct local_net {
	std::string iface;
	unsigned ifindex;
	uint32_t addr, mask, bcast;
	bool broadcasts;  // up, broadcast-capable, not loopback, not a host route
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

// A block ADDRESS/PREFIX: on each broadcast-capable local subnet it
// overlaps, one broadcast on that interface and a unicast to each host
// there in plan->known; every other address of it by unicast (through a
// router, which keeps no entry for each). Answers from the block only.
void plan_block(find_plan *plan, uint32_t net, uint32_t mask, uint16_t port,
    const std::vector<local_net> &nets, const std::string &label);

// Fills plan->dests and plan->rules, or gives false with finder->error.
bool local_nets(corvane_finder *f, std::vector<local_net> *nets);
bool plan_broadcast(corvane_finder *f, const std::vector<local_net> &nets, find_plan *plan);
bool plan_targets(corvane_finder *f, const std::vector<local_net> &nets, double deadline,
    find_plan *plan);

// The discovery request: proto_ver 2, id 109, the rest zero.
void build_request(unsigned char *dgram);

// True when a received datagram is a board's discovery reply: exactly 40
// bytes (nothing cut off) with id 77. Gives the board's proto_ver.
bool is_board_reply(const unsigned char *dgram, size_t len, bool truncated,
    uint32_t *proto_ver);

double now_s(void);
// Sets the finder's reason, control characters escaped; gives false.
bool fail(corvane_finder *f, const std::string &why);
// Text for one line: control characters and DEL as \xHH.
std::string one_line(const std::string &text);
// A number as given: the shortest decimal that reads back as v.
std::string shortest(double v);
// Passes a line to the finder's log, and warnings to its warn function.
void find_log(corvane_finder *f, int level, const std::string &line);

// A run (event_fn NULL) or a watch, step by step: begun (NULL with
// f->error when it cannot be), stepped whenever its sockets have
// something or its due time (absolute, as now_s gives it) has come, and
// ended. A step does what is due without waiting and gives 1 while the
// search goes on, 0 when it has ended, -1 with f->error.
struct search;
search *search_begin(corvane_finder *f, double interval_s, corvane_board_fn board_fn,
    corvane_event_fn event_fn, void *arg);
int search_step(search *s);
double search_due(const search *s);
net_set *search_sockets(search *s);
unsigned search_reported(const search *s);
void search_end(search *s);

// The same to its end, waiting in between: how many boards a run
// reported, 0 for a watch, or -1.
int run_search(corvane_finder *f, corvane_board_fn fn, void *arg);
int run_watch(corvane_finder *f, double interval_s, corvane_event_fn fn, void *arg);

#endif
