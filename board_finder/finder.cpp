// The finder's command line, reply check and report.
#include "finder.h"
#include "udp.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char find_usage[] =
    "usage: corvane-find [-i IFACE]... [-t SECONDS] [-n COUNT] [--json] [TARGET[:PORT]]...\n"
    "\n"
    "Asks the local network for Corvane boards and lists those that answer.\n"
    "Without a TARGET the request is broadcast on every interface that is up\n"
    "(or on those named with -i); with TARGETs only they are asked.\n"
    "\n"
    "  -i IFACE     broadcast on this interface; may be repeated\n"
    "  -t SECONDS   how long to wait for answers (default 1, at most 3600)\n"
    "  -n COUNT     stop as soon as COUNT boards have answered\n"
    "  --json       print a JSON array instead of a table\n"
    "  TARGET       a board or a broadcast address, by address or name;\n"
    "               PORT defaults to 49100\n"
    "  -h, --help   print this help\n"
    "  --version    print the version\n"
    "\n"
    "Exit status: 0 when a board answered, 1 when none did, 2 on a usage or\n"
    "system error.\n";

bool
parse_seconds(const char *text, double *seconds)
{
	char *end;
	errno = 0;
	double v = strtod(text, &end);
	if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v))
		return false;
	if (!(v > 0) || v > find_wait_max_s)
		return false;
	*seconds = v;
	return true;
}

static bool
parse_count_arg(const char *text, long *count)
{
	char *end;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (end == text || *end != '\0' || errno != 0 || v < 1)
		return false;
	*count = v;
	return true;
}

bool
split_target(const std::string &target, std::string *host, uint16_t *port)
{
	size_t colon = target.rfind(':');
	*host = target.substr(0, colon);
	*port = TARVO_PORT;
	if (host->empty())
		return false;
	if (colon == std::string::npos)
		return true;

	std::string digits = target.substr(colon + 1);
	if (digits.empty() || digits.size() > 5 ||
	    digits.find_first_not_of("0123456789") != std::string::npos)
		return false;
	unsigned long v = strtoul(digits.c_str(), nullptr, 10);
	if (v < 1 || v > 65535)
		return false;
	*port = static_cast<uint16_t>(v);
	return true;
}

EFindAction
parse_find_args(int argc, char **argv, find_options *opts, std::string *why)
{
	enum : int { opt_json = 256, opt_version = 257 };
	static const struct option longopts[] = {
		{"help", no_argument, nullptr, 'h'},
		{"json", no_argument, nullptr, opt_json},
		{"version", no_argument, nullptr, opt_version},
		{nullptr, 0, nullptr, 0},
	};

	opterr = 0;
	optind = 1;
	int c;
	while ((c = getopt_long(argc, argv, ":i:t:n:h", longopts, nullptr)) != -1) {
		switch (c) {
		case 'i':
			opts->ifaces.emplace_back(optarg);
			break;
		case 't':
			if (!parse_seconds(optarg, &opts->wait_s)) {
				*why = std::string("-t ") + optarg +
				    ": not a number of seconds above 0 and at most 3600";
				return EFindAction_Usage_Error;
			}
			break;
		case 'n':
			if (!parse_count_arg(optarg, &opts->count)) {
				*why = std::string("-n ") + optarg + ": not a count of 1 or more";
				return EFindAction_Usage_Error;
			}
			break;
		case opt_json:
			opts->json = true;
			break;
		case 'h':
			return EFindAction_Help;
		case opt_version:
			return EFindAction_Version;
		case ':':
			*why = std::string("option ") + argv[optind - 1] + " needs a value";
			return EFindAction_Usage_Error;
		default:
			*why = std::string("unknown option ") + argv[optind - 1];
			return EFindAction_Usage_Error;
		}
	}
	for (int i = optind; i < argc; i++) {
		std::string host;
		uint16_t port;
		if (!split_target(argv[i], &host, &port)) {
			*why = std::string(argv[i]) + ": not a TARGET[:PORT] (port 1 to 65535)";
			return EFindAction_Usage_Error;
		}
		opts->targets.emplace_back(argv[i]);
	}
	return EFindAction_Run;
}

void
build_request(unsigned char *dgram)
{
	corvane_tarvo_find_data_t req;
	memset(&req, 0, sizeof(req));
	req.proto_ver = htonl(CORVANE_PROTO_VER);
	req.id = htonl(CORVANE_CTRL_ID_WAZZUP_BR0);
	memset(dgram, 0, TARVO_DGRAM_LEN);
	memcpy(dgram, &req, sizeof(req));
}

bool
is_board_reply(const unsigned char *dgram, ssize_t len, bool truncated, uint32_t *proto_ver)
{
	if (len != TARVO_DGRAM_LEN || truncated)
		return false;
	corvane_tarvo_find_data_t reply;
	memcpy(&reply, dgram, sizeof(reply));
	if (ntohl(reply.id) != CORVANE_CTRL_ID_WAZZUP_DUDE)
		return false;
	*proto_ver = ntohl(reply.proto_ver);
	return true;
}

void
sort_boards(std::vector<board_entry> *boards)
{
	std::sort(boards->begin(), boards->end(), [](const board_entry &a, const board_entry &b) {
		return a.addr != b.addr ? a.addr < b.addr : a.port < b.port;
	});
}

static std::string
dotted(uint32_t addr)
{
	struct in_addr in;
	in.s_addr = htonl(addr);
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &in, text, sizeof(text));
	return text;
}

std::string
format_text(const std::vector<board_entry> &boards)
{
	std::string out;
	char line[160];
	snprintf(line, sizeof(line), "%-15s %5s %9s %-15s %10s\n",
	    "ADDRESS", "PORT", "PROTO_VER", "INTERFACE", "RTT_MS");
	out += line;
	for (const board_entry &b : boards) {
		snprintf(line, sizeof(line), "%-15s %5u %9u %-15s %10.3f\n",
		    dotted(b.addr).c_str(), b.port, b.proto_ver,
		    b.iface.empty() ? "-" : b.iface.c_str(), b.rtt_ms);
		out += line;
	}
	return out;
}

// Interface names are bytes chosen by whoever made the interface, not
// always UTF-8: every byte outside printable ASCII is written as the code
// point of the same number, so that the output is always valid JSON.
static std::string
json_string(const std::string &s)
{
	std::string out = "\"";
	for (char ch : s) {
		auto c = static_cast<unsigned char>(ch);
		if (c == '"' || c == '\\') {
			out += '\\';
			out += static_cast<char>(c);
		} else if (c < 0x20 || c >= 0x7f) {
			char esc[8];
			snprintf(esc, sizeof(esc), "\\u%04x", c);
			out += esc;
		} else {
			out += static_cast<char>(c);
		}
	}
	return out + "\"";
}

std::string
format_json(const std::vector<board_entry> &boards)
{
	std::string out = "[";
	char fields[96];
	for (size_t i = 0; i < boards.size(); i++) {
		const board_entry &b = boards[i];
		out += i == 0 ? "\n  " : ",\n  ";
		out += "{\"address\": " + json_string(dotted(b.addr));
		snprintf(fields, sizeof(fields), ", \"port\": %u, \"proto_ver\": %u", b.port,
		    b.proto_ver);
		out += fields;
		out += ", \"interface\": " + json_string(b.iface);
		snprintf(fields, sizeof(fields), ", \"rtt_ms\": %.3f}", b.rtt_ms);
		out += fields;
	}
	return out + (boards.empty() ? "]\n" : "\n]\n");
}
