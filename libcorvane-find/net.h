// What a search needs of the system, and everything a system's code may
// use: its adapters, a set of UDP sockets that send, receive and wait, the
// machine's neighbour table, and the wake-up of a cancel or a finished
// name lookup. Each system has its own folder (unix/, win/) with
// net_system.h, which defines net_set and net_wake, and net.cpp; fake/ is
// the tests' scripted network, with a clock they move. Addresses and
// ports are in host order unless a sockaddr holds them.
#ifndef CORVANE_NET_H
#define CORVANE_NET_H

#include "net_system.h"
#include "udp.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// An IPv4 address with its interface, as the system lists them.
struct local_net {
	std::string iface;
	unsigned ifindex;
	uint32_t addr, mask, bcast;
	bool broadcasts;  // up, broadcast-capable, not loopback, not a host route
};

// Where one copy of each request goes.
struct find_dest {
	struct sockaddr_in addr;
	unsigned ifindex = 0;     // the interface to broadcast on; 0 for a unicast
	struct in_addr source{};  // that interface's own address
	std::string label{};      // how a failed send names it
	bool failed = false;      // a send has failed and was reported
	// An on-link host the system has not resolved: each request to it
	// takes an entry of the machine's neighbour table for seconds.
	bool unresolved = false;
};

// One datagram received: its first bytes (one more than a reply, so
// that a longer one shows), where it came from and on which interface.
struct net_datagram {
	unsigned char bytes[TARVO_DGRAM_LEN + 1];
	std::size_t len;
	bool truncated;
	bool ipv4;
	uint32_t addr;
	uint16_t port;
	unsigned ifindex;  // 0 when unknown
};

// The receive buffer a socket has, in bytes, and the system setting that
// would allow more (empty where there is none).
struct net_buffer {
	unsigned long bytes;
	std::string setting;
	unsigned long setting_now;
};
void net_receive_buffer(net_set *set, net_buffer *buffer);
// How many datagrams the kernel has dropped on the set's sockets for want
// of room; false where the system does not say.
bool net_dropped(net_set *set, unsigned long *dropped);

// The machine's IPv4 neighbour table: the entries it holds now (in every
// network namespace), the most it takes (gc_thresh3), and how often it
// has been full. False where the system does not say.
struct net_neighbour_table {
	unsigned long entries, limit, overflows;
};
bool net_neighbours(net_neighbour_table *table);

// A clock that only goes forward, in seconds.
double net_now(void);

// Readies the system's networking for one finder (and lets go of it).
bool net_start(void);
void net_stop(void);

// The error of the last failed socket call, its text, and whether it
// means a full send buffer.
int net_error(void);
std::string net_error_text(int error);
bool net_full(int error);
// What a failed getaddrinfo's result means.
std::string net_lookup_error(int rc);

// An IPv4 address held in a sockaddr.
inline uint32_t
in_host(const struct sockaddr *sa)
{
	struct sockaddr_in sin;
	memcpy(&sin, sa, sizeof(sin));
	return ntohl(sin.sin_addr.s_addr);
}

// The IPv4 addresses of the interfaces, with their names and indexes.
bool net_interfaces(std::vector<local_net> *nets, std::string *why);
// An interface's index by name, or 0; its name by index, or "".
unsigned net_iface_index(const char *name);
std::string net_iface_name(unsigned ifindex);

// The hosts the system has resolved on interface `iface`: a unicast to
// one of them takes no room in the neighbour table. Empty where the system
// does not say.
void net_known_neighbours(const std::string &iface, std::vector<uint32_t> *known);

// Whether the system has resolved addr on interface ifindex (asked of
// it one address at a time: a table of a thousand is slow to list), and
// its hardware address as "aa:bb:cc:dd:ee:ff".
bool net_neighbour(net_set *set, uint32_t addr, unsigned ifindex, std::string *mac);

// Adds a socket on an ephemeral port to the set: the one that sends from
// now on. False with *why ("bind: ...").
bool net_grow(net_set *set, std::string *why);
std::size_t net_count(const net_set *set);
// Sends dgram to d; a broadcast leaves through d's interface. 0, or the
// error.
int net_send(net_set *set, const find_dest &d, const unsigned char *dgram, std::size_t len);
// Sends dgram to the unicast d from socket i of the set, whatever sends.
int net_send_from(net_set *set, std::size_t i, const find_dest &d, const unsigned char *dgram,
    std::size_t len);

// Takes up to n datagrams queued on socket i of the set, without waiting;
// gives how many.
unsigned net_receive(net_set *set, std::size_t i, net_datagram *batch, unsigned n);
// Waits until a socket of the set has a datagram, the wake is signalled,
// or `seconds` have passed: false for the last. A signalled wake is
// cleared as the wait returns; the caller looks at the cancel itself, so
// that a late wake-up, whose cancel ended the run before, cannot keep
// the next wait from sleeping.
bool net_wait(net_set *set, net_wake *wake, double seconds);

// One handle that becomes ready when a socket of the set has a datagram
// or the wake is signalled: a descriptor to poll for reading on Linux,
// the sockets' event on Windows (where a wake is seen at the next
// step). -1 when there is none.
intptr_t net_poll_handle(net_set *set, net_wake *wake);

bool net_wake_open(net_wake *wake);
// Safe from a signal handler and from any thread.
void net_wake_signal(net_wake *wake);
void net_wake_clear(net_wake *wake);
void net_wake_close(net_wake *wake);

#endif
