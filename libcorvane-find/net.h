// What a search needs of the system: its adapters, a set of UDP sockets
// that send, receive and wait, and the wake-up of a cancel. Each system
// has its own folder (unix/, win/) with net_system.h, which defines
// net_set and net_wake, and net.cpp; fake/ is the tests' scripted
// network, with a clock they move.
#ifndef CORVANE_NET_H
#define CORVANE_NET_H

#include "net_system.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "udp.h"

struct corvane_finder;
struct find_dest;
struct local_net;

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

// An IPv4 address held in a sockaddr, in host order.
uint32_t in_host(const struct sockaddr *sa);

// The IPv4 addresses of the interfaces, with their names and indexes.
bool net_interfaces(std::vector<local_net> *nets, std::string *why);
// An interface's index by name, or 0; its name by index, or "".
unsigned net_iface_index(const char *name);
std::string net_iface_name(unsigned ifindex);

// The hosts the system has resolved on interface `iface`: a unicast to
// one of them takes no room in the neighbour table. Empty where the system
// does not say.
void net_known_neighbours(const std::string &iface, std::vector<uint32_t> *known);
// How many destinations that the system must resolve first may be asked
// in one round: a quarter of the machine's neighbour table. 0: no limit
// is known.
unsigned net_neighbour_room(void);
// How often the machine's neighbour table has been full, or 0 where the
// system does not say.
unsigned long net_neighbour_overflows(void);

// Adds a socket on an ephemeral port to the set: the one that sends from
// now on. False with *why ("bind: ...").
bool net_grow(net_set *set, std::string *why);
std::size_t net_count(const net_set *set);
// Sends dgram to d; a broadcast leaves through d's interface. 0, or the
// error.
int net_send(net_set *set, const find_dest &d, const unsigned char *dgram, std::size_t len);

// One datagram received: its first bytes (one more than a reply, so
// that a longer one shows), where it came from and on which interface.
struct net_datagram {
	unsigned char bytes[TARVO_DGRAM_LEN + 1];
	std::size_t len;
	bool truncated;
	bool ipv4;
	uint32_t addr;  // host order
	uint16_t port;
	unsigned ifindex;  // 0 when unknown
};
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
// the sockets' event on Windows (where a cancel is seen at the next
// step). -1 when there is none.
intptr_t net_poll_handle(net_set *set, net_wake *wake);

bool net_wake_open(net_wake *wake);
// Safe from a signal handler and from any thread.
void net_wake_signal(net_wake *wake);
void net_wake_clear(net_wake *wake);
void net_wake_close(net_wake *wake);

#endif
