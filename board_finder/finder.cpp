// The finder's command line and report.
#include "finder.h"
#include "system.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

const char find_usage[] =
    "usage: corvane-find [-i IFACE]... [-t SECONDS] [-n COUNT] [--rate N] [--json] [-v]\n"
    "                    [TARGET[:PORT]]...\n"
    "       corvane-find --watch [--every SECONDS] [-i IFACE]... [--rate N] [--json] [-v]\n"
    "                    [--prometheus-sd FILE [--scrape-port PORT] [--forget-after DURATION]]\n"
    "                    [TARGET[:PORT]]...\n"
    "\n"
    "Asks the local network for Corvane boards and lists those that answer.\n"
    "Without a TARGET the request is broadcast on every interface that is up\n"
    "(or on those named with -i); with TARGETs only they are asked.\n"
    "\n"
    "  -i IFACE          broadcast on this interface; may be repeated\n"
    "  -t SECONDS        how long to wait for answers (default 1, at most 3600)\n"
    "  -n COUNT          stop as soon as COUNT boards have answered\n"
    "  --rate N          addresses of a block beyond a router asked a second\n"
    "                    (default 128, 1 to 1000000), so that the router's\n"
    "                    neighbour table never fills\n"
    "  --json            print JSON instead of a table\n"
    "  -v                say where each request went and what came back\n"
    "  --watch           ask again and again; print a line as a board is found\n"
    "                    or lost (3 rounds missed), until SIGINT or SIGTERM\n"
    "  --every SECONDS   the rounds of --watch (default 2, 0.01 to 3600)\n"
    "  --prometheus-sd FILE  with --watch: keep FILE a Prometheus file-based\n"
    "                    service discovery list of the boards seen\n"
    "  --scrape-port PORT  the port Prometheus scrapes them on (default 9100)\n"
    "  --forget-after DURATION  a board that stopped answering stays listed\n"
    "                    this long (default 1d; s, m, h or d)\n"
    "  TARGET            a board, a broadcast address, or a block\n"
    "                    ADDRESS/PREFIX (16 to 32) whose every host is asked;\n"
    "                    by address or name; PORT defaults to 49100\n"
    "  -h, --help        print this help\n"
    "  --version         print the version\n"
    "\n"
    "Exit status: 0 when a board answered (or a watch ended), 1 when none\n"
    "did, 2 on a usage or system error.\n";

bool
parse_seconds(const char *text, double *seconds, double least)
{
	char *end;
	errno = 0;
	double v = strtod(text, &end);
	if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v))
		return false;
	if (!(v > 0) || v < least || v > 3600)
		return false;
	*seconds = v;
	return true;
}

bool
parse_duration(const char *text, double *seconds)
{
	char *end;
	errno = 0;
	double v = strtod(text, &end);
	if (end == text || errno != 0 || !std::isfinite(v) || !(v > 0))
		return false;
	static const struct {
		const char *unit;
		double seconds;
	} units[] = {{"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
	for (const auto &u : units) {
		if (strcmp(end, u.unit) == 0) {
			v *= u.seconds;
			if (v > 3650.0 * 86400)
				return false;
			*seconds = v;
			return true;
		}
	}
	return false;
}

static bool
parse_count_arg(const char *text, long long *count)
{
	char *end;
	errno = 0;
	long long v = strtoll(text, &end, 10);
	if (end == text || *end != '\0' || errno != 0 || v < 1 || v > static_cast<long long>(UINT32_MAX))
		return false;
	*count = v;
	return true;
}

EFindAction
parse_find_args(int argc, char **argv, find_options *opts, std::string *why)
{
	enum : int {
		opt_json = 256,
		opt_version = 257,
		opt_watch = 258,
		opt_every = 259,
		opt_sd = 260,
		opt_scrape_port = 261,
		opt_rate = 262,
		opt_forget = 263,
	};
	static const struct option longopts[] = {
		{"help", no_argument, nullptr, 'h'},
		{"json", no_argument, nullptr, opt_json},
		{"version", no_argument, nullptr, opt_version},
		{"watch", no_argument, nullptr, opt_watch},
		{"every", required_argument, nullptr, opt_every},
		{"prometheus-sd", required_argument, nullptr, opt_sd},
		{"scrape-port", required_argument, nullptr, opt_scrape_port},
		{"rate", required_argument, nullptr, opt_rate},
		{"forget-after", required_argument, nullptr, opt_forget},
		{nullptr, 0, nullptr, 0},
	};

	opterr = 0;
	optind = 0;  // glibc: start afresh, even in the middle of a cluster
	int c;
	const char *once = nullptr;  // -t or -n, which a watch has no use for
	bool every = false, scrape_port = false, forget = false;
	while ((c = getopt_long(argc, argv, ":i:t:n:hv", longopts, nullptr)) != -1) {
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
			opts->wait_text = optarg;
			once = "-t";
			break;
		case 'n':
			if (!parse_count_arg(optarg, &opts->count)) {
				*why = std::string("-n ") + optarg + ": not a count from 1 to 4294967295";
				return EFindAction_Usage_Error;
			}
			once = "-n";
			break;
		case 'v':
			opts->verbose = true;
			break;
		case opt_watch:
			opts->watch = true;
			break;
		case opt_every:
			if (!parse_seconds(optarg, &opts->every_s, 0.01)) {
				*why = std::string("--every ") + optarg +
				    ": not a number of seconds from 0.01 to 3600";
				return EFindAction_Usage_Error;
			}
			every = true;
			break;
		case opt_json:
			opts->json = true;
			break;
		case opt_sd:
			if (*optarg == '\0') {
				*why = "--prometheus-sd needs a file name";
				return EFindAction_Usage_Error;
			}
			opts->sd_file = optarg;
			break;
		case opt_scrape_port: {
			long long port;
			if (!parse_count_arg(optarg, &port) || port > 65535) {
				*why = std::string("--scrape-port ") + optarg + ": not a port from 1 to 65535";
				return EFindAction_Usage_Error;
			}
			opts->scrape_port = static_cast<unsigned>(port);
			scrape_port = true;
			break;
		}
		case opt_rate: {
			long long rate;
			if (!parse_count_arg(optarg, &rate) || rate > 1000000) {
				*why = std::string("--rate ") + optarg + ": not a rate from 1 to 1000000";
				return EFindAction_Usage_Error;
			}
			opts->rate = static_cast<unsigned>(rate);
			break;
		}
		case opt_forget:
			if (!parse_duration(optarg, &opts->forget_s)) {
				*why = std::string("--forget-after ") + optarg +
				    ": not a duration (90, 30m, 12h, 1d) above 0 and at most 3650d";
				return EFindAction_Usage_Error;
			}
			forget = true;
			break;
		case 'h':
			return EFindAction_Help;
		case opt_version:
			return EFindAction_Version;
		case ':':
			*why = std::string("option ") + argv[optind - 1] + " needs a value";
			return EFindAction_Usage_Error;
		default:
			// A short option inside a cluster (-zq) is named alone.
			*why = "unknown option " + (optopt != 0 ? std::string("-") +
			    static_cast<char>(optopt) : std::string(argv[optind - 1]));
			return EFindAction_Usage_Error;
		}
	}
	if (opts->watch && once != nullptr) {
		*why = std::string(once) + " cannot be combined with --watch";
		return EFindAction_Usage_Error;
	}
	if (every && !opts->watch) {
		*why = "--every needs --watch";
		return EFindAction_Usage_Error;
	}
	if (!opts->sd_file.empty() && !opts->watch) {
		*why = "--prometheus-sd needs --watch";
		return EFindAction_Usage_Error;
	}
	if (scrape_port && opts->sd_file.empty()) {
		*why = "--scrape-port needs --prometheus-sd";
		return EFindAction_Usage_Error;
	}
	if (forget && opts->sd_file.empty()) {
		*why = "--forget-after needs --prometheus-sd";
		return EFindAction_Usage_Error;
	}
	for (int i = optind; i < argc; i++)
		opts->targets.emplace_back(argv[i]);
	return EFindAction_Run;
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

// The length of the well-formed UTF-8 sequence at s (at most n bytes),
// or 0 when there is none. Gives its code point.
static size_t
utf8_seq(const unsigned char *s, size_t n, uint32_t *cp)
{
	unsigned char c = s[0];
	size_t len;
	uint32_t min;
	if (c < 0x80) {
		*cp = c;
		return 1;
	}
	if (c >= 0xC2 && c <= 0xDF) {
		len = 2, min = 0x80, *cp = c & 0x1Fu;
	} else if (c >= 0xE0 && c <= 0xEF) {
		len = 3, min = 0x800, *cp = c & 0x0Fu;
	} else if (c >= 0xF0 && c <= 0xF4) {
		len = 4, min = 0x10000, *cp = c & 0x07u;
	} else {
		return 0;
	}
	if (n < len)
		return 0;
	for (size_t i = 1; i < len; i++) {
		if ((s[i] & 0xC0) != 0x80)
			return 0;
		*cp = (*cp << 6) | (s[i] & 0x3Fu);
	}
	// Overlong forms, surrogates and what lies beyond Unicode are not UTF-8.
	if (*cp < min || (*cp >= 0xD800 && *cp <= 0xDFFF) || *cp > 0x10FFFF)
		return 0;
	return len;
}

// An interface name as the table shows it: text passes, and every
// backslash, control character or byte that is not UTF-8 is written as
// \xHH, so that each name reads back one way. Gives its length in
// characters.
static std::string
table_text(const std::string &name, size_t *chars)
{
	std::string out;
	*chars = 0;
	auto s = reinterpret_cast<const unsigned char *>(name.data());
	for (size_t i = 0; i < name.size();) {
		uint32_t cp = 0;
		size_t len = utf8_seq(s + i, name.size() - i, &cp);
		bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
		if (len == 0 || control || cp == '\\') {
			len = len == 0 ? 1 : len;
			for (size_t j = 0; j < len; j++) {
				char esc[8];
				snprintf(esc, sizeof(esc), "\\x%02x", s[i + j]);
				out += esc;
				*chars += 4;
			}
		} else {
			out.append(name, i, len);
			*chars += 1;
		}
		i += len;
	}
	return out;
}

std::string
escaped(const std::string &text)
{
	size_t chars;
	return table_text(text, &chars);
}

// A board's MAC address as text shows it: "-" when it is not known.
static const char *
mac_text(const board_entry &b)
{
	return b.mac.empty() ? "-" : b.mac.c_str();
}

std::string
format_text(const std::vector<board_entry> &boards)
{
	std::string out;
	char line[160];
	snprintf(line, sizeof(line), "%-15s %5s %9s %-15s %10s %s\n",
	    "ADDRESS", "PORT", "PROTO_VER", "INTERFACE", "RTT_MS", "MAC");
	out += line;
	for (const board_entry &b : boards) {
		snprintf(line, sizeof(line), "%-15s %5u %9u ", dotted(b.addr).c_str(), b.port,
		    b.proto_ver);
		out += line;
		size_t chars = 1;
		out += b.iface.empty() ? std::string("-") : table_text(b.iface, &chars);
		out.append(chars < 15 ? 15 - chars : 0, ' ');
		snprintf(line, sizeof(line), " %10.3f %s\n", b.rtt_ms, mac_text(b));
		out += line;
	}
	return out;
}

// Interface names are bytes chosen by whoever made the interface. UTF-8
// text passes as the same text; control characters and bytes that are not
// UTF-8 are escaped, the latter as the code point of the same number, so
// that the output is always valid JSON.
static std::string
json_string(const std::string &s)
{
	std::string out = "\"";
	auto p = reinterpret_cast<const unsigned char *>(s.data());
	for (size_t i = 0; i < s.size();) {
		uint32_t cp = 0;
		size_t len = utf8_seq(p + i, s.size() - i, &cp);
		if (len == 0 || cp < 0x20 || cp == 0x7F) {
			char esc[8];
			snprintf(esc, sizeof(esc), "\\u%04x", p[i]);
			out += esc;
			len = 1;
		} else if (cp == '"' || cp == '\\') {
			out += '\\';
			out += static_cast<char>(cp);
		} else {
			out.append(s, i, len);
		}
		i += len;
	}
	return out + "\"";
}

static std::string
json_fields(const board_entry &b)
{
	char fields[96];
	std::string out = "\"address\": " + json_string(dotted(b.addr));
	snprintf(fields, sizeof(fields), ", \"port\": %u, \"proto_ver\": %u", b.port, b.proto_ver);
	out += fields;
	out += ", \"interface\": " + json_string(b.iface);
	snprintf(fields, sizeof(fields), ", \"rtt_ms\": %.3f", b.rtt_ms);
	out += fields;
	if (!b.mac.empty())
		out += ", \"mac\": " + json_string(b.mac);
	return out;
}

std::string
format_event(bool found, const board_entry &b, bool json)
{
	if (json)
		return std::string("{\"event\": \"") + (found ? "found" : "lost") + "\", " +
		    json_fields(b) + "}\n";
	char line[96];
	if (!found) {
		snprintf(line, sizeof(line), "lost %s %u\n", dotted(b.addr).c_str(), b.port);
		return line;
	}
	size_t chars;
	snprintf(line, sizeof(line), "found %s %u %u ", dotted(b.addr).c_str(), b.port,
	    b.proto_ver);
	std::string out = line;
	out += b.iface.empty() ? std::string("-") : table_text(b.iface, &chars);
	snprintf(line, sizeof(line), " %.3f %s\n", b.rtt_ms, mac_text(b));
	return out + line;
}

std::string
format_json(const std::vector<board_entry> &boards)
{
	std::string out = "[";
	for (size_t i = 0; i < boards.size(); i++) {
		out += i == 0 ? "\n  " : ",\n  ";
		out += '{';
		out += json_fields(boards[i]);
		out += '}';
	}
	return out + (boards.empty() ? "]\n" : "\n]\n");
}

std::string
format_sd(std::vector<board_entry> boards, unsigned scrape_port)
{
	sort_boards(&boards);
	std::string out = "[";
	for (size_t i = 0; i < boards.size(); i++) {
		const board_entry &b = boards[i];
		out += i == 0 ? "\n  " : ",\n  ";
		out += "{\"targets\": [" + json_string(dotted(b.addr) + ":" + std::to_string(scrape_port)) +
		    "], \"labels\": {\"corvane_interface\": " + json_string(b.iface) +
		    ", \"corvane_proto_ver\": \"" + std::to_string(b.proto_ver) + "\"" +
		    (b.mac.empty() ? "" : ", \"corvane_mac\": " + json_string(b.mac)) + "}}";
	}
	return out + (boards.empty() ? "]\n" : "\n]\n");
}

// The unescaping of what json_string wrote: \" \\ and \u00XX.
static bool
json_unescape(const std::string &s, std::string *out)
{
	out->clear();
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] != '\\') {
			out->push_back(s[i]);
			continue;
		}
		if (++i == s.size())
			return false;
		if (s[i] == '"' || s[i] == '\\') {
			out->push_back(s[i]);
		} else if (s[i] == 'u' && i + 4 < s.size() && s.compare(i + 1, 2, "00") == 0 &&
		           isxdigit(static_cast<unsigned char>(s[i + 3])) &&
		           isxdigit(static_cast<unsigned char>(s[i + 4]))) {
			out->push_back(static_cast<char>(std::stoi(s.substr(i + 3, 2), nullptr, 16)));
			i += 4;
		} else {
			return false;
		}
	}
	return true;
}

bool
parse_sd(const std::string &text, std::vector<board_entry> *boards)
{
	static const std::regex group(
	    "\\{\"targets\": \\[\"([0-9.]+):[0-9]+\"\\], \"labels\": \\{\"corvane_interface\": "
	    "\"((?:[^\"\\\\]|\\\\.)*)\", \"corvane_proto_ver\": \"([0-9]{1,9})\""
	    "(?:, \"corvane_mac\": \"([0-9a-f:]{17})\")?\\}\\}");
	static const std::regex list("\\[(\\n  .*(,\\n  .*)*\\n)?\\]\\n?");
	if (!std::regex_match(text, list))
		return false;
	std::vector<board_entry> found;
	for (std::sregex_iterator it(text.begin(), text.end(), group), end; it != end; ++it) {
		struct in_addr in;
		std::string iface;
		if (inet_pton(AF_INET, (*it)[1].str().c_str(), &in) != 1 ||
		    !json_unescape((*it)[2].str(), &iface))
			return false;
		found.push_back({ntohl(in.s_addr), 49100,
		    static_cast<uint32_t>(std::stoul((*it)[3].str())), iface, 0, (*it)[4].str()});
	}
	size_t groups = 0;
	for (size_t at = text.find("\n  {"); at != std::string::npos; at = text.find("\n  {", at + 1))
		groups++;
	if (found.size() != groups)
		return false;
	*boards = std::move(found);
	return true;
}
