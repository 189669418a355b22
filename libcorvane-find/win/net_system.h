// The search's sockets and wake-up on Windows: Winsock sockets that all
// signal one event as datagrams arrive, and an event that a cancel sets.
#ifndef CORVANE_NET_SYSTEM_H
#define CORVANE_NET_SYSTEM_H

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <vector>

// One search's sockets, closed however the search ends. Windows sends a
// broadcast out of one interface only: the one of the address that its
// socket is bound to. So each interface broadcast on has a socket bound
// to its address; targets are sent from the newest socket bound to none.
struct net_set {
	std::vector<SOCKET> socks;
	std::vector<uint32_t> bound_to;  // per socket, in host order; 0 for any
	size_t sender = 0;
	WSAEVENT ready = WSA_INVALID_EVENT;
	~net_set()
	{
		for (SOCKET s : socks)
			closesocket(s);
		if (ready != WSA_INVALID_EVENT)
			WSACloseEvent(ready);
	}
};

struct net_wake {
	HANDLE event;
};

#endif
