// The daemon's datagram path against the rule read plainly: an answer
// exactly for a 40-byte datagram that is not all zero, from a unicast host
// on a real port; the discovery reply for id 109, else 40 zero bytes.
#include "endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

static const unsigned char discovery_reply[TARVO_DGRAM_LEN] = {0, 0, 0, 2, 0, 0, 0, 77};

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// The sender's address and port come first, in network order; what
	// follows is the datagram, cut where one receive would cut it.
	if (size < 6)
		return 0;
	struct sockaddr_in from;
	memset(&from, 0, sizeof(from));
	from.sin_family = AF_INET;
	memcpy(&from.sin_addr, data, 4);
	memcpy(&from.sin_port, data + 4, 2);
	size_t len = std::min(size - 6, size_t{TARVO_RECV_BUF_LEN - 1});
	unsigned char recv_buf[TARVO_RECV_BUF_LEN];
	memcpy(recv_buf, data + 6, len);

	unsigned char send_buf[TARVO_DGRAM_LEN];
	memset(send_buf, 0xA5, sizeof(send_buf));
	bool answered = build_answer(recv_buf, static_cast<ssize_t>(len), &from, send_buf);

	uint32_t addr = ntohl(from.sin_addr.s_addr);
	bool all_zero = std::all_of(recv_buf, recv_buf + len, [](unsigned char c) { return c == 0; });
	bool unicast_host = addr >= 0x01000000 && !(addr >= 0xE0000000 && addr <= 0xEFFFFFFF) &&
	    addr != 0xFFFFFFFF;
	bool want = len == 40 && !all_zero && unicast_host && from.sin_port != 0;
	if (answered != want)
		__builtin_trap();
	if (answered) {
		static const unsigned char zeros[TARVO_DGRAM_LEN] = {};
		bool discovery = memcmp(recv_buf + 4, "\0\0\0\x6d", 4) == 0;
		if (memcmp(send_buf, discovery ? discovery_reply : zeros, TARVO_DGRAM_LEN) != 0)
			__builtin_trap();
	}
	return 0;
}
