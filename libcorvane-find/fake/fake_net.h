// The scripted network a test drives the search with: the interfaces and
// neighbours it sees, every request it sends, the answers waiting for it,
// and a clock that moves only when the search waits or reads.
#ifndef CORVANE_FAKE_NET_H
#define CORVANE_FAKE_NET_H

#include "net.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

struct fake_sent {
	double at;
	uint32_t addr;  // host order
	uint16_t port;
	unsigned ifindex;  // 0: a unicast
	unsigned sock;     // the socket it left from
};

struct fake_answer {
	double at;  // arrives then
	uint32_t addr;
	uint16_t port;
	unsigned ifindex;
	unsigned sock = 1;  // the socket it arrives on: 1 asks first, 0 confirms
};

struct fake_net {
	double now;
	std::vector<local_net> nets;
	std::vector<uint32_t> known;  // neighbours resolved on every interface
	// The neighbour table: what it holds (each request to an unresolved
	// host adds one), the most it takes (0: not known), how often full.
	unsigned long entries, limit, overflows;
	bool overflow_on_send;        // each request to an unresolved host overflows
	unsigned send_room;           // requests an asking socket takes till full; 0: any
	unsigned long dropped;        // answers the kernel dropped, when known
	bool dropped_known;
	int unicast_error;            // what each unicast fails with; 0: none
	// Resolved neighbours' hardware addresses, by address and interface.
	std::map<std::pair<uint32_t, unsigned>, std::string> macs;
	std::vector<fake_sent> sent;
	std::vector<fake_answer> inbox;  // in order of arrival
	// Boards' answers (on socket 1) from `flood` hosts of 10.0.0.0/8 (from 10.0.0.1 on,
	// port 49100) are waiting now; each answer taken moves the clock by
	// per_answer.
	unsigned long flood;
	double per_answer;
	std::function<void(const fake_sent &)> on_send;  // boards that answer
};

// Everything empty, the clock at 1000 s.
void fake_reset(void);
extern fake_net fake;

#endif
