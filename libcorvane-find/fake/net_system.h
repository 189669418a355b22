// The tests' network: sockets that are numbers, and a wake-up that is a
// flag. What goes out and what comes back is in fake_net.h.
#ifndef CORVANE_NET_SYSTEM_H
#define CORVANE_NET_SYSTEM_H

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <vector>

struct net_set {
	std::vector<int> socks;
	std::vector<unsigned> sent;  // requests each socket has taken
};

struct net_wake {
	bool signalled;
};

#endif
