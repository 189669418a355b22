// The discovery control record and its packet ids, as carried in the
// 40-byte datagrams on UDP port 49100.
#ifndef TARVO_UDP_H
#define TARVO_UDP_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

enum corvane_ctrl_id : uint32_t {
	CORVANE_CTRL_ID_HUH_WHAT = 32,     // ' '
	CORVANE_CTRL_ID_WAZZUP_BR0 = 109,  // 'm', discovery request
	CORVANE_CTRL_ID_WAZZUP_DUDE = 77,  // 'M', discovery reply
};

struct corvane_tarvo_find_data_t {
	uint32_t proto_ver;  // network byte order
	uint32_t id;         // network byte order, a corvane_ctrl_id
	uint32_t seq;
	union {
		uint32_t ip_addr;
		struct {
			uint32_t dev;
			uint32_t data;
			uint8_t miso_dege;
			uint8_t mosi_edge;
			uint8_t num_bits;
			uint8_t readback;
		} spi_args;
		struct {
			uint8_t addr;
			uint8_t bytes;
			uint8_t data[20];
		} i2c_args;
		struct {
			uint32_t addr;
			uint32_t data;
			uint8_t action;
		} reg_args;
		struct {
			uint32_t len;
		} echo_args;
	} data;
};

// Every byte of the record is on the wire: pin the layout so that no
// compiler or ABI can move one.
using find_data = corvane_tarvo_find_data_t;
static_assert(sizeof(corvane_ctrl_id) == 4);
static_assert(sizeof(find_data) == 36);
static_assert(offsetof(find_data, proto_ver) == 0);
static_assert(offsetof(find_data, id) == 4);
static_assert(offsetof(find_data, seq) == 8);
static_assert(offsetof(find_data, data) == 12);
static_assert(sizeof(find_data::data) == 24);
static_assert(sizeof(find_data{}.data.ip_addr) == 4);
static_assert(offsetof(find_data, data.ip_addr) == 12 + 0);
static_assert(sizeof(find_data{}.data.spi_args) == 12);
static_assert(offsetof(find_data, data.spi_args.dev) == 12 + 0);
static_assert(offsetof(find_data, data.spi_args.data) == 12 + 4);
static_assert(offsetof(find_data, data.spi_args.miso_dege) == 12 + 8);
static_assert(offsetof(find_data, data.spi_args.mosi_edge) == 12 + 9);
static_assert(offsetof(find_data, data.spi_args.num_bits) == 12 + 10);
static_assert(offsetof(find_data, data.spi_args.readback) == 12 + 11);
static_assert(sizeof(find_data{}.data.i2c_args) == 22);
static_assert(offsetof(find_data, data.i2c_args.addr) == 12 + 0);
static_assert(offsetof(find_data, data.i2c_args.bytes) == 12 + 1);
static_assert(offsetof(find_data, data.i2c_args.data) == 12 + 2);
static_assert(sizeof(find_data{}.data.reg_args) == 12);
static_assert(offsetof(find_data, data.reg_args.addr) == 12 + 0);
static_assert(offsetof(find_data, data.reg_args.data) == 12 + 4);
static_assert(offsetof(find_data, data.reg_args.action) == 12 + 8);
static_assert(sizeof(find_data{}.data.echo_args) == 4);
static_assert(offsetof(find_data, data.echo_args.len) == 12 + 0);

// The protocol version a board states in its discovery reply.
enum : uint32_t { CORVANE_PROTO_VER = 2 };

enum : size_t {
	TARVO_PORT = 49100,
	TARVO_DGRAM_LEN = 40,      // every request and every reply
	TARVO_RECV_BUF_LEN = 1472, // one receive takes at most one byte less
};
static_assert(sizeof(find_data) <= TARVO_DGRAM_LEN);

struct msghdr;
struct sockaddr_in;

int init_udp(int port);
int get_udp(int port);

// The port is served by several sockets. An answer to a host that does
// not exist waits seconds in the kernel for address resolution and stays
// charged to the send buffer of its socket all that time: a host spoofing
// many such sources could fill one socket's buffer, and every answer from
// it would then fail. Each socket receives its share of the requests, and
// an answer whose socket is full leaves from the next one.
enum : unsigned { TARVO_SEND_SOCKS = 8 };

struct tarvo_endpoint {
	int fd[TARVO_SEND_SOCKS]; // fd[0] answers what went to a group
	unsigned n;               // sockets open, at least 1
};

// Opens the endpoint on port: binds the port first as get_udp does, so a
// port already taken ends the process the same way. Without the kernel's
// help for a shared port it keeps that one socket.
void open_endpoint(int port, struct tarvo_endpoint *ep);

// Makes the spare sockets drop, in the kernel, their copies of datagrams
// to these subnet broadcast addresses (host order; at most
// TARVO_BROADCASTS_MAX), as they drop multicasts and 255.255.255.255.
enum : unsigned { TARVO_BROADCASTS_MAX = 64 };
void drop_broadcasts(const struct tarvo_endpoint *ep, const uint32_t *bcast, unsigned n);

// Whether a datagram, received with its IP_PKTINFO, went to a broadcast or
// multicast address rather than to one of this host's own. Every socket
// of the endpoint gets a copy of such a datagram, and only fd[0] answers
// it; a datagram to this host reaches one socket, which answers it however
// its frame was addressed.
bool sent_to_group(struct msghdr *msg);
void get_checkou_pass(const unsigned char *recv_buf, unsigned char *send_buf);
bool is_answered(const unsigned char *recv_buf, ssize_t len);
bool is_sender_reachable(const struct sockaddr_in *from);

// Decides the fate of one received datagram: false when it gets no
// answer, otherwise true with the 40-byte answer built in send_buf.
bool build_answer(const unsigned char *recv_buf, ssize_t len,
    const struct sockaddr_in *from, unsigned char *send_buf);

// Failed sends are reported at most once per second, however many there
// are: a LAN host must not be able to fill the board's log.
struct send_log {
	int64_t last_ns;    // when the last line was written; -1 before any
	unsigned long held; // failures since then that got no line
};
constexpr int64_t send_log_interval_ns = 1000000000;

// Whether a failure at now_ns gets a line, at most one each interval_ns.
// If so, *held_before is how many failures were held back since the
// previous line.
bool send_log_admit(struct send_log *log, int64_t now_ns, int64_t interval_ns,
    unsigned long *held_before);
void report_send_failure(struct send_log *log, int err);

#endif
