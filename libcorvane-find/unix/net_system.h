// The search's sockets and wake-up on Linux: plain descriptors, and an
// eventfd that a cancel writes to.
#ifndef CORVANE_NET_SYSTEM_H
#define CORVANE_NET_SYSTEM_H

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <vector>

// One search's sockets, closed however the search ends (a callback may
// throw). The last one sends.
struct net_set {
	std::vector<int> fds;
	int poller = -1;  // an epoll set of fds and the wake, once asked for
	int rtnl = -1;    // rtnetlink, to ask for neighbours, once asked for
	unsigned rtnl_seq = 0;
	~net_set()
	{
		for (int fd : fds)
			close(fd);
		if (poller != -1)
			close(poller);
		if (rtnl != -1)
			close(rtnl);
	}
};

struct net_wake {
	int fd;
};

#endif
