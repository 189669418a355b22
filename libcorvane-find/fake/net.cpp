// The tests' network, in memory: nothing is sent, every answer is
// scripted, and the clock jumps to whatever the search waits for.
#include "fake_net.h"
#include "net.h"

#include <algorithm>
#include <cstring>

fake_net fake;

void
fake_reset(void)
{
	fake = fake_net{};
	fake.now = 1000;
}

double
net_now(void)
{
	return fake.now;
}

bool
net_start(void)
{
	return true;
}

void
net_stop(void)
{
}

int
net_error(void)
{
	return 0;
}

std::string
net_error_text(int error)
{
	return "fake error " + std::to_string(error);
}

enum : int { fake_full = 11 };

bool
net_full(int error)
{
	return error == fake_full;
}

std::string
net_lookup_error(int rc)
{
	return "fake lookup error " + std::to_string(rc);
}

bool
net_interfaces(std::vector<local_net> *nets, std::string *)
{
	*nets = fake.nets;
	return true;
}

unsigned
net_iface_index(const char *name)
{
	for (const local_net &n : fake.nets)
		if (n.iface == name)
			return n.ifindex;
	return 0;
}

std::string
net_iface_name(unsigned ifindex)
{
	for (const local_net &n : fake.nets)
		if (n.ifindex == ifindex)
			return n.iface;
	return "";
}

void
net_known_neighbours(const std::string &, std::vector<uint32_t> *known)
{
	known->insert(known->end(), fake.known.begin(), fake.known.end());
}

bool
net_neighbours(net_neighbour_table *table)
{
	*table = {fake.entries, fake.limit, fake.overflows};
	return fake.limit != 0;
}

bool
net_grow(net_set *set, std::string *)
{
	set->socks.push_back(static_cast<int>(set->socks.size()));
	return true;
}

std::size_t
net_count(const net_set *set)
{
	return set->socks.size();
}

bool
net_neighbour(net_set *, uint32_t addr, unsigned ifindex, std::string *mac)
{
	auto it = fake.macs.find({addr, ifindex});
	if (it == fake.macs.end())
		return false;
	*mac = it->second;
	return true;
}

int
net_send(net_set *set, const find_dest &d, const unsigned char *dgram, std::size_t len)
{
	return net_send_from(set, set->socks.size() - 1, d, dgram, len);
}

int
net_send_from(net_set *set, std::size_t i, const find_dest &d, const unsigned char *, std::size_t)
{
	auto sock = static_cast<unsigned>(i);
	if (fake.send_room != 0 && sock != 0 && set->sent.size() > sock &&
	    set->sent[sock] >= fake.send_room)
		return fake_full;
	if (d.ifindex == 0 && fake.unicast_error != 0)
		return fake.unicast_error;
	set->sent.resize(set->socks.size());
	set->sent[sock]++;
	fake_sent s = {fake.now, ntohl(d.addr.sin_addr.s_addr), ntohs(d.addr.sin_port), d.ifindex,
	    sock};
	fake.sent.push_back(s);
	if (fake.overflow_on_send && d.unresolved)
		fake.overflows++;
	if (d.unresolved)
		fake.entries++;
	if (fake.on_send)
		fake.on_send(s);
	return 0;
}

static bool
waiting(void)
{
	return fake.flood != 0 || (!fake.inbox.empty() && fake.inbox.front().at <= fake.now);
}

// The first answer due now on socket i, taken from the inbox.
static bool
take_answer(std::size_t i, fake_answer *a)
{
	if (i == 1 && fake.flood != 0) {
		*a = {fake.now, 0x0A000000 + static_cast<uint32_t>(fake.flood--), 49100, 0};
		fake.now += fake.per_answer;
		return true;
	}
	for (auto it = fake.inbox.begin(); it != fake.inbox.end() && it->at <= fake.now; ++it) {
		if (it->sock == i) {
			*a = *it;
			fake.inbox.erase(it);
			return true;
		}
	}
	return false;
}

unsigned
net_receive(net_set *, std::size_t i, net_datagram *batch, unsigned n)
{
	unsigned got = 0;
	fake_answer a;
	for (; got < n && take_answer(i, &a); got++) {
		net_datagram &d = batch[got];
		// A board's answer: proto_ver 2, id 77.
		memset(d.bytes, 0, sizeof(d.bytes));
		d.bytes[3] = CORVANE_PROTO_VER;
		d.bytes[7] = CORVANE_CTRL_ID_WAZZUP_DUDE;
		d.len = TARVO_DGRAM_LEN;
		d.truncated = false;
		d.ipv4 = true;
		d.addr = a.addr;
		d.port = a.port;
		d.ifindex = a.ifindex;
	}
	return got;
}

bool
net_wait(net_set *, net_wake *wake, double seconds)
{
	if (wake->signalled) {
		wake->signalled = false;
		return true;
	}
	if (waiting())
		return true;
	double until = fake.now + seconds;
	if (!fake.inbox.empty() && fake.inbox.front().at <= until) {
		fake.now = std::max(fake.now, fake.inbox.front().at);
		return true;
	}
	fake.now = until;
	return false;
}

intptr_t
net_poll_handle(net_set *, net_wake *)
{
	return -1;
}

bool
net_wake_open(net_wake *wake)
{
	wake->signalled = false;
	return true;
}

void
net_wake_signal(net_wake *wake)
{
	wake->signalled = true;
}

void
net_wake_clear(net_wake *wake)
{
	wake->signalled = false;
}

void
net_wake_close(net_wake *)
{
}

void
net_receive_buffer(net_set *, net_buffer *buffer)
{
	*buffer = {.bytes = 212992, .setting = "net.core.rmem_max", .setting_now = 212992};
}

bool
net_dropped(net_set *, unsigned long *dropped)
{
	*dropped = fake.dropped;
	return fake.dropped_known;
}
