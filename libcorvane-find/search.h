// The finder's insides, shared by its C interface, its search and its unit
// tests.
#ifndef CORVANE_SEARCH_H
#define CORVANE_SEARCH_H

#include "corvane/find.h"
#include "net.h"
#include "plan.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct corvane_finder {
	double wait_s;
	unsigned count;
	unsigned rate;  // new addresses beyond a router asked a second
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
constexpr unsigned routed_rate_default = 128;
constexpr unsigned routed_rate_max = 1000000;
// A run lists no more boards than this, whatever answers.
constexpr unsigned find_boards_max = 65536;

// The discovery request: proto_ver 2, id 109, the rest zero.
void build_request(unsigned char *dgram);

// True when a received datagram is a board's discovery reply: exactly 40
// bytes (nothing cut off) with id 77. Gives the board's proto_ver.
bool is_board_reply(const unsigned char *dgram, size_t len, bool truncated,
    uint32_t *proto_ver);

double now_s(void);
// Sets the finder's reason, control characters escaped; gives false.
bool fail(corvane_finder *f, const std::string &why);
// Passes a line to the finder's log, and warnings to its warn function.
void find_log(corvane_finder *f, int level, const std::string &line);

// A run (a board function) or a watch (an event function), step by step:
// begun without waiting (NULL with f->error when it cannot be), stepped
// whenever its sockets or its wake have something or its due time
// (absolute, as now_s gives it) has come, and ended. A step does what is
// due in a slice of a few milliseconds and gives 1 while the search goes
// on, 0 when it has ended, -1 with f->error.
struct search;
search *search_begin_run(corvane_finder *f, corvane_board_fn fn, void *arg);
search *search_begin_watch(corvane_finder *f, double interval_s, corvane_event_fn fn,
    void *arg);
int search_step(search *s);
double search_due(const search *s);
net_set *search_sockets(search *s);
void search_end(search *s);

// The hardware address of the board a callback on this thread is given,
// while it runs; "" for any other board, or when none is known.
const char *search_board_mac(const struct corvane_board *board);

// The same to its end, waiting in between: how many boards a run
// reported, 0 for a watch, or -1.
int run_search(corvane_finder *f, corvane_board_fn fn, void *arg);
int run_watch(corvane_finder *f, double interval_s, corvane_event_fn fn, void *arg);

#endif
