// corvane-find: the command line and the report. The search itself is
// the library's.
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
	std::string wait_text = "1";       // -t as given
	long long count = 0;               // -n; 0 means every board
	bool json = false;                 // --json
	bool verbose = false;              // -v
	bool watch = false;                // --watch
	double every_s = 2.0;              // --every
	std::string sd_file;               // --prometheus-sd; "" when not asked for
	unsigned scrape_port = 9100;       // --scrape-port: the node exporter's
	unsigned rate = 128;               // --rate: addresses beyond a router a second
	double forget_s = 86400;           // --forget-after: a lost board leaves the list
	std::vector<std::string> targets;  // TARGET[:PORT], as given
};

// One board, as the report lists it. Address and port in host order.
struct board_entry {
	uint32_t addr;
	uint16_t port;
	uint32_t proto_ver;
	std::string iface;
	double rtt_ms;
	std::string mac{};  // empty when not known: beyond a router
};

// Reads the command line into opts. On a usage error, *why says what is
// wrong in one line.
EFindAction parse_find_args(int argc, char **argv, find_options *opts, std::string *why);

// "1", "0.25", "2e-1": more than 0 (at least `least`), at most 3600.
bool parse_seconds(const char *text, double *seconds, double least = 0);
// A duration: a number and an optional unit, s, m, h or d ("90", "30m",
// "1.5h", "1d"): more than 0 and at most 3650 days.
bool parse_duration(const char *text, double *seconds);

// Sorts by address, then port, and writes the report in either form.
void sort_boards(std::vector<board_entry> *boards);
std::string format_text(const std::vector<board_entry> &boards);
std::string format_json(const std::vector<board_entry> &boards);
// Text as one line: control characters and bytes that are not UTF-8 as
// \xHH.
std::string escaped(const std::string &text);

// One line of a watch: "found ADDRESS PORT PROTO_VER INTERFACE RTT_MS MAC" or
// "lost ADDRESS PORT", or the same as one JSON object.
std::string format_event(bool found, const board_entry &board, bool json);

// The boards as a Prometheus file-based service discovery list: one
// target group per board, "ADDRESS:PORT" (PORT the scrape port), labelled
// with the interface, protocol version and MAC address (when known),
// sorted by address.
std::string format_sd(std::vector<board_entry> boards, unsigned scrape_port);
// The boards of a list format_sd wrote (the port of each, the scrape
// port); false when the text is not such a list.
bool parse_sd(const std::string &text, std::vector<board_entry> *boards);

extern const char find_usage[];

#endif
