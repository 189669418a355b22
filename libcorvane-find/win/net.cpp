// Windows: the adapters from GetAdaptersAddresses, by their friendly
// names; a broadcast sent from a socket bound to its adapter's address;
// answers taken with WSARecvMsg and IP_PKTINFO; and a wait on one event
// for every socket and another for a cancel.
#include "net.h"

#include <iphlpapi.h>
#include <mswsock.h>

#include <algorithm>
#include <chrono>
#include <cmath>

// Enough for a few hundred replies that arrive at the same moment.
enum : int { socket_buffer_bytes = 4 << 20 };

double
net_now(void)
{
	using seconds = std::chrono::duration<double>;
	return std::chrono::duration_cast<seconds>(
	    std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool
net_start(void)
{
	WSADATA data;
	return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void
net_stop(void)
{
	WSACleanup();
}

int
net_error(void)
{
	return WSAGetLastError();
}

std::string
net_error_text(int error)
{
	char *text = nullptr;
	DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
	    FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(error), 0,
	    reinterpret_cast<char *>(&text), 0, nullptr);
	std::string out = n != 0 ? std::string(text, n) : std::string();
	LocalFree(text);
	while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' ||
	    out.back() == '.'))
		out.pop_back();
	return out.empty() ? "error " + std::to_string(error) : out;
}

bool
net_full(int error)
{
	return error == WSAEWOULDBLOCK || error == WSAENOBUFS;
}

std::string
net_lookup_error(int rc)
{
	return net_error_text(rc);
}

static std::string
utf8(const wchar_t *text)
{
	int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
	if (n <= 1)
		return "";
	std::string out(static_cast<size_t>(n), '\0');
	WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
	out.pop_back();
	return out;
}

// The adapters with their IPv4 addresses, in buf; nullptr when there are
// none.
static const IP_ADAPTER_ADDRESSES *
adapters(std::vector<uint64_t> *buf, std::string *why)
{
	const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
	    GAA_FLAG_SKIP_DNS_SERVER;
	ULONG bytes = 16384;
	// The list may grow between the call that sizes it and the next.
	for (int tries = 0; tries < 4; tries++) {
		buf->assign(bytes / sizeof(uint64_t) + 1, 0);
		auto *list = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buf->data());
		ULONG rc = GetAdaptersAddresses(AF_INET, flags, nullptr, list, &bytes);
		if (rc == NO_ERROR)
			return list;
		if (rc == ERROR_NO_DATA)
			return nullptr;
		if (rc != ERROR_BUFFER_OVERFLOW) {
			*why = "GetAdaptersAddresses: " + net_error_text(static_cast<int>(rc));
			return nullptr;
		}
	}
	*why = "GetAdaptersAddresses: the list kept growing";
	return nullptr;
}

bool
net_interfaces(std::vector<local_net> *nets, std::string *why)
{
	std::vector<uint64_t> buf;
	why->clear();
	for (auto *a = adapters(&buf, why); a != nullptr; a = a->Next) {
		std::string name = utf8(a->FriendlyName);
		bool up = a->OperStatus == IfOperStatusUp && a->IfType != IF_TYPE_SOFTWARE_LOOPBACK;
		for (auto *u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
			if (u->Address.lpSockaddr->sa_family != AF_INET)
				continue;
			uint32_t addr = in_host(u->Address.lpSockaddr);
			unsigned prefix = std::min(unsigned{u->OnLinkPrefixLength}, 32u);
			uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
			nets->push_back({.iface = name, .ifindex = a->IfIndex, .addr = addr, .mask = mask,
			    .bcast = addr | ~mask, .broadcasts = up && mask != 0xffffffff});
		}
	}
	return why->empty();
}

unsigned
net_iface_index(const char *name)
{
	std::vector<uint64_t> buf;
	std::string why;
	for (auto *a = adapters(&buf, &why); a != nullptr; a = a->Next)
		if (utf8(a->FriendlyName) == name)
			return a->IfIndex;
	return 0;
}

std::string
net_iface_name(unsigned ifindex)
{
	std::vector<uint64_t> buf;
	std::string why;
	for (auto *a = adapters(&buf, &why); a != nullptr && ifindex != 0; a = a->Next)
		if (a->IfIndex == ifindex)
			return utf8(a->FriendlyName);
	return "";
}

// A socket bound to addr (0: any) on an ephemeral port, in the set: 0,
// or the error with *why.
static int
open_socket(net_set *set, uint32_t addr, std::string *why)
{
	int error;
	if (set->ready == WSA_INVALID_EVENT && (set->ready = WSACreateEvent()) == WSA_INVALID_EVENT) {
		error = WSAGetLastError();
		*why = "WSACreateEvent: " + net_error_text(error);
		return error;
	}
	SOCKET sock = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
	    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
	if (sock == INVALID_SOCKET) {
		error = WSAGetLastError();
		*why = "socket: " + net_error_text(error);
		return error;
	}
	int bytes = socket_buffer_bytes;
	setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes), sizeof(bytes));
	setsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof(bytes));
	// An ICMP "port unreachable" for an earlier request would otherwise
	// fail the next receive with WSAECONNRESET.
	BOOL off = FALSE;
	DWORD ignored;
	WSAIoctl(sock, SIO_UDP_CONNRESET, &off, sizeof(off), nullptr, 0, &ignored, nullptr, nullptr);
	DWORD one = 1;
	struct sockaddr_in at;
	memset(&at, 0, sizeof(at));
	at.sin_family = AF_INET;
	at.sin_addr.s_addr = htonl(addr);
	const char *what = "setsockopt";
	if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&one),
	        sizeof(one)) == 0 &&
	    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char *>(&one),
	        sizeof(one)) == 0 &&
	    (what = "bind", bind(sock, reinterpret_cast<struct sockaddr *>(&at), sizeof(at))) == 0 &&
	    (what = "WSAEventSelect", WSAEventSelect(sock, set->ready, FD_READ)) == 0) {
		set->socks.push_back(sock);
		set->bound_to.push_back(addr);
		return 0;
	}
	error = WSAGetLastError();
	*why = std::string(what) + ": " + net_error_text(error);
	closesocket(sock);
	return error;
}

void
net_known_neighbours(const std::string &iface, std::vector<uint32_t> *known)
{
	unsigned ifindex = net_iface_index(iface.c_str());
	MIB_IPNET_TABLE2 *table = nullptr;
	if (ifindex == 0 || GetIpNetTable2(AF_INET, &table) != NO_ERROR)
		return;
	for (ULONG i = 0; i < table->NumEntries; i++) {
		const MIB_IPNET_ROW2 &row = table->Table[i];
		if (row.InterfaceIndex == ifindex && row.State >= NlnsProbe)
			known->push_back(ntohl(row.Address.Ipv4.sin_addr.s_addr));
	}
	FreeMibTable(table);
}

// From the whole table: GetIpNetEntry2 would ask for one address, but
// Wine, where the tests run, has none.
bool
net_neighbour(net_set *, uint32_t addr, unsigned ifindex, std::string *mac)
{
	MIB_IPNET_TABLE2 *table = nullptr;
	if (GetIpNetTable2(AF_INET, &table) != NO_ERROR)
		return false;
	bool found = false;
	for (ULONG i = 0; i < table->NumEntries && !found; i++) {
		const MIB_IPNET_ROW2 &row = table->Table[i];
		if (row.InterfaceIndex != ifindex || row.State < NlnsProbe ||
		    ntohl(row.Address.Ipv4.sin_addr.s_addr) != addr)
			continue;
		found = true;
		if (row.PhysicalAddressLength == 6) {
			char text[18];
			const UCHAR *hw = row.PhysicalAddress;
			snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2],
			    hw[3], hw[4], hw[5]);
			*mac = text;
		}
	}
	FreeMibTable(table);
	return found;
}

// Windows keeps its neighbour cache to itself: no limit is known.
bool
net_neighbours(net_neighbour_table *)
{
	return false;
}

bool
net_grow(net_set *set, std::string *why)
{
	if (open_socket(set, INADDR_ANY, why) != 0)
		return false;
	set->sender = set->socks.size() - 1;
	return true;
}

std::size_t
net_count(const net_set *set)
{
	return set->socks.size();
}

static int
send_on(SOCKET sock, const find_dest &d, const unsigned char *dgram, std::size_t len)
{
	int sent = sendto(sock, reinterpret_cast<const char *>(dgram), static_cast<int>(len), 0,
	    reinterpret_cast<const struct sockaddr *>(&d.addr), sizeof(d.addr));
	return sent == static_cast<int>(len) ? 0 : sent == SOCKET_ERROR ? WSAGetLastError()
	                                                                : WSAEMSGSIZE;
}

int
net_send_from(net_set *set, std::size_t i, const find_dest &d, const unsigned char *dgram,
    std::size_t len)
{
	return send_on(set->socks[i], d, dgram, len);
}

int
net_send(net_set *set, const find_dest &d, const unsigned char *dgram, std::size_t len)
{
	size_t i = set->sender;
	if (d.ifindex != 0) {
		// A broadcast leaves from the socket bound to its interface's
		// address, opened the first time.
		uint32_t source = ntohl(d.source.s_addr);
		i = static_cast<size_t>(std::find(set->bound_to.begin(), set->bound_to.end(), source) -
		    set->bound_to.begin());
		std::string why;
		int error = i == set->socks.size() ? open_socket(set, source, &why) : 0;
		if (error != 0)
			return error;
	}
	return send_on(set->socks[i], d, dgram, len);
}

// WSARecvMsg is had through a socket; it is the same for every UDP socket,
// and finders on other threads may ask for it at once.
static LPFN_WSARECVMSG
recvmsg_fn(SOCKET sock)
{
	static const LPFN_WSARECVMSG fn = [sock] {
		GUID id = WSAID_WSARECVMSG;
		LPFN_WSARECVMSG found = nullptr;
		DWORD bytes;
		WSAIoctl(sock, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof(id), &found,
		    sizeof(found), &bytes, nullptr, nullptr);
		return found;
	}();
	return fn;
}

static unsigned
arrival_ifindex(WSAMSG *msg)
{
	for (WSACMSGHDR *cm = WSA_CMSG_FIRSTHDR(msg); cm != nullptr; cm = WSA_CMSG_NXTHDR(msg, cm)) {
		if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
			IN_PKTINFO info;
			memcpy(&info, WSA_CMSG_DATA(cm), sizeof(info));
			return info.ipi_ifindex;
		}
	}
	return 0;
}

unsigned
net_receive(net_set *set, std::size_t i, net_datagram *batch, unsigned n)
{
	SOCKET sock = set->socks[i];
	LPFN_WSARECVMSG receive = recvmsg_fn(sock);
	unsigned got = 0;
	while (receive != nullptr && got < n) {
		net_datagram *d = &batch[got];
		alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
		struct sockaddr_in from;
		memset(&from, 0, sizeof(from));
		WSABUF data = {sizeof(d->bytes), reinterpret_cast<char *>(d->bytes)};
		WSAMSG msg;
		memset(&msg, 0, sizeof(msg));
		msg.name = reinterpret_cast<struct sockaddr *>(&from);
		msg.namelen = sizeof(from);
		msg.lpBuffers = &data;
		msg.dwBufferCount = 1;
		msg.Control = {sizeof(control), control};
		DWORD bytes = 0;
		d->truncated = false;
		if (receive(sock, &msg, &bytes, nullptr, nullptr) == SOCKET_ERROR) {
			int error = WSAGetLastError();
			// What did not fit is gone; the rest still counts, as a
			// datagram that is no answer.
			if (error == WSAEMSGSIZE)
				d->truncated = true, bytes = sizeof(d->bytes);
			else if (error == WSAECONNRESET)
				continue;
			else
				break;
		}
		d->len = bytes;
		d->truncated |= (msg.dwFlags & MSG_TRUNC) != 0;
		d->ipv4 = from.sin_family == AF_INET;
		d->addr = ntohl(from.sin_addr.s_addr);
		d->port = ntohs(from.sin_port);
		d->ifindex = arrival_ifindex(&msg);
		got++;
	}
	return got;
}

bool
net_wait(net_set *set, net_wake *wake, double seconds)
{
	// A socket whose datagram arrived before its last receive has no
	// event to come: look first.
	std::vector<WSAPOLLFD> pfds;
	for (SOCKET s : set->socks)
		pfds.push_back({s, POLLRDNORM, 0});
	if (!pfds.empty() && WSAPoll(pfds.data(), static_cast<ULONG>(pfds.size()), 0) > 0)
		return true;
	HANDLE events[2] = {wake->event, set->ready};
	DWORD count = set->ready == WSA_INVALID_EVENT ? 1 : 2;
	double ms = std::ceil(std::min(seconds, 86400.0) * 1000);
	DWORD rc = WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(ms));
	if (count == 2)
		WSAResetEvent(set->ready);
	if (rc == WAIT_OBJECT_0)
		net_wake_clear(wake);
	return rc != WAIT_TIMEOUT;
}

intptr_t
net_poll_handle(net_set *set, net_wake *)
{
	return set->ready == WSA_INVALID_EVENT ? -1 : reinterpret_cast<intptr_t>(set->ready);
}

bool
net_wake_open(net_wake *wake)
{
	wake->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
	return wake->event != nullptr;
}

void
net_wake_signal(net_wake *wake)
{
	SetEvent(wake->event);
}

void
net_wake_clear(net_wake *wake)
{
	ResetEvent(wake->event);
}

void
net_wake_close(net_wake *wake)
{
	CloseHandle(wake->event);
}

void
net_receive_buffer(net_set *set, net_buffer *buffer)
{
	int bytes = 0;
	int len = sizeof(bytes);
	getsockopt(set->socks.back(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&bytes), &len);
	*buffer = {.bytes = static_cast<unsigned long>(bytes), .setting = "", .setting_now = 0};
}

// Windows does not say what it dropped.
bool
net_dropped(net_set *, unsigned long *)
{
	return false;
}
