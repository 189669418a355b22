// The discovery control record and its packet ids, as carried in the
// 40-byte datagrams on UDP port 49100: the wire, and nothing else, shared
// by the daemon and the host's library.
#ifndef TARVO_UDP_H
#define TARVO_UDP_H

#include <cstddef>
#include <cstdint>

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

#endif
