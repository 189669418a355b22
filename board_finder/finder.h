// corvane-find: the host's half of board discovery. The parts that touch
// no network: the command line, what counts as a board's reply, and the
// report.
#ifndef CORVANE_FINDER_H
#define CORVANE_FINDER_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

enum EFindAction : int {
	EFindAction_Run = 0,
	EFindAction_Help = 1,
	EFindAction_Version = 2,
	EFindAction_Usage_Error = 3,
};

struct find_options {
	std::vector<std::string> ifaces;   // -i, in the order given
	double wait_s = 1.0;               // -t
	long count = 0;                    // -n; 0 means every board
	bool json = false;                 // --json
	std::vector<std::string> targets;  // TARGET[:PORT], as given
};

// One board, as the report lists it. Address and port in host order.
struct board_entry {
	uint32_t addr;
	uint16_t port;
	uint32_t proto_ver;
	std::string iface;
	double rtt_ms;
};

constexpr double find_wait_max_s = 3600;

// Reads the command line into opts. On a usage error, *why says what is
// wrong in one line.
EFindAction parse_find_args(int argc, char **argv, find_options *opts, std::string *why);

// "1", "0.25", "2e-1": more than 0, at most find_wait_max_s.
bool parse_seconds(const char *text, double *seconds);

// "HOST" or "HOST:PORT", the port 1 to 65535 in decimal (default: the
// daemon's port).
bool split_target(const std::string &target, std::string *host, uint16_t *port);

// The discovery request: proto_ver 2, id 109, the rest zero.
void build_request(unsigned char *dgram);

// True when a received datagram is a board's discovery reply: exactly 40
// bytes (nothing cut off) with id 77. Gives the board's proto_ver.
bool is_board_reply(const unsigned char *dgram, ssize_t len, bool truncated,
    uint32_t *proto_ver);

// Sorts by address, then port, and writes the report in either form.
void sort_boards(std::vector<board_entry> *boards);
std::string format_text(const std::vector<board_entry> &boards);
std::string format_json(const std::vector<board_entry> &boards);

extern const char find_usage[];

#endif
