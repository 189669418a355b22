// corvane-vomo-metrics: the analog monitor's readings as vomo reads them,
// in the Prometheus text format, on standard output or replacing FILE
// whole (a file beside it, then rename), for the node exporter's textfile
// collector.
#include "vomo_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Where a board says its own rails' nominal voltages.
static const char default_config[] = "/etc/corvane-vomo-metrics.conf";

// A rail's nominal voltage, for the alert that compares each reading with
// it. NaN: the rail has none, and no alert.
struct nominal_volts {
	std::string rail;
	double volts;
};

// The Zynq-7000's datasheet values (DS187), for a board with DDR3 and an
// external reference; a board's configuration says otherwise.
static const struct {
	const char *rail;
	double volts;
} datasheet_nominals[] = {
	{"vccint", 1.0}, {"vccaux", 1.8}, {"vccbram", 1.0}, {"vccpint", 1.0},
	{"vccpaux", 1.8}, {"vccoddr", 1.5}, {"vrefp", 1.25},
};

// The report, built in memory so that a file is never left half written.
struct metrics {
	std::string temps, rails, nominals;
	unsigned n_temps;
	std::vector<nominal_volts> table;
};

// vomo's value, as it prints it: the text between " is " and the unit.
static std::string
printed_value(const char *line)
{
	const char *at = strstr(line, " is ");
	const char *end = strrchr(line, ' ');
	return at != nullptr && end > at + 4 ? std::string(at + 4, end) : std::string("NaN");
}

// "in_voltage0_vccint_raw" is the rail "vccint"; a channel with no label,
// "in_voltage0_raw", is named "voltage0".
static std::string
rail_of(const char *name)
{
	std::string n = name;
	if (n.starts_with("in_"))
		n.erase(0, 3);
	if (n.ends_with("_raw"))
		n.erase(n.size() - 4);
	size_t cut = n.find('_');
	if (n.starts_with("voltage") && cut != std::string::npos)
		n.erase(0, cut + 1);
	return n;
}

// A label value as the text format wants it.
static std::string
quoted(const std::string &v)
{
	std::string out;
	for (char c : v) {
		if (c == '\\' || c == '"')
			out += '\\';
		if (c == '\n')
			out += "\\n";
		else
			out += c;
	}
	return out;
}

static void
take(const char *name, EChannel kind, const char *line, void *arg)
{
	auto *m = static_cast<metrics *>(arg);
	std::string value = printed_value(line);
	if (kind == EChannel_Temp) {
		// The die's own sensor has no label; any other is told by its name.
		std::string labels = m->n_temps++ == 0 ? "" : "{channel=\"" + quoted(name) + "\"}";
		m->temps += "corvane_die_temperature_celsius" + labels + " " + value + "\n";
		return;
	}
	char volts[64];
	snprintf(volts, sizeof(volts), "%.10g", strtod(value.c_str(), nullptr) / mV_mul);
	std::string rail = rail_of(name);
	m->rails += "corvane_supply_volts{rail=\"" + quoted(rail) + "\"} " + volts + "\n";
	for (const nominal_volts &n : m->table) {
		if (n.rail == rail && !std::isnan(n.volts)) {
			snprintf(volts, sizeof(volts), "%.10g", n.volts);
			m->nominals += "corvane_supply_nominal_volts{rail=\"" + quoted(rail) + "\"} " +
			    volts + "\n";
		}
	}
}

// Reads "RAIL VOLTS" and "RAIL none" lines (blank lines and # comments
// aside) over the datasheet's values. A file that is absent is no error
// when it is the default one; any line that is not one of those is.
static bool
read_config(const char *path, bool named, std::vector<nominal_volts> *table)
{
	table->clear();
	for (const auto &n : datasheet_nominals)
		table->push_back({n.rail, n.volts});
	FILE *f = fopen(path, "re");
	if (f == nullptr) {
		if (errno == ENOENT && !named)
			return true;
		fprintf(stderr, "%s: %s\n", path, strerror(errno));
		return false;
	}
	char line[256];
	for (unsigned n = 1; fgets(line, sizeof(line), f) != nullptr; n++) {
		char rail[64], value[64], extra[2];
		char *hash = strchr(line, '#');
		if (hash != nullptr)
			*hash = '\0';
		int got = sscanf(line, "%63s %63s %1s", rail, value, extra);
		if (got <= 0)
			continue;
		bool none = got == 2 && strcmp(value, "none") == 0;
		char *end = value;
		double volts = none ? NAN : strtod(value, &end);
		if (got != 2 || (!none && (end == value || *end != '\0' || !std::isfinite(volts)))) {
			fprintf(stderr, "%s:%u: not RAIL VOLTS or RAIL none\n", path, n);
			fclose(f);
			return false;
		}
		auto known = std::find_if(table->begin(), table->end(),
		    [&](const nominal_volts &v) { return v.rail == rail; });
		if (known != table->end())
			known->volts = volts;
		else
			table->push_back({rail, volts});
	}
	fclose(f);
	return true;
}

static std::string
exposition(const metrics &m, bool up)
{
	std::string out =
	    "# HELP corvane_analog_monitor_up Whether every channel of the analog monitor was read.\n"
	    "# TYPE corvane_analog_monitor_up gauge\n"
	    "corvane_analog_monitor_up " + std::string(up ? "1" : "0") + "\n";
	if (!m.temps.empty())
		out += "# HELP corvane_die_temperature_celsius The SoC's die temperature.\n"
		       "# TYPE corvane_die_temperature_celsius gauge\n" + m.temps;
	if (!m.rails.empty())
		out += "# HELP corvane_supply_volts A supply rail's voltage, by the rail's name.\n"
		       "# TYPE corvane_supply_volts gauge\n" + m.rails;
	if (!m.nominals.empty())
		out += "# HELP corvane_supply_nominal_volts A supply rail's nominal voltage, from the "
		       "datasheet or the board's configuration.\n"
		       "# TYPE corvane_supply_nominal_volts gauge\n" + m.nominals;
	return out;
}

static bool
write_all(int fd, const std::string &text)
{
	for (size_t done = 0; done < text.size();) {
		ssize_t n = write(fd, text.data() + done, text.size() - done);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == 0)
			errno = EIO;
		if (n <= 0)
			return false;
		done += static_cast<size_t>(n);
	}
	return true;
}

// Replaces path with text: written beside it, flushed, then renamed over
// it, so that a reader sees the old file or the new one, never a part.
static bool
replace_file(const char *path, const std::string &text)
{
	std::string tmp = std::string(path) + ".tmp." + std::to_string(getpid());
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd == -1) {
		fprintf(stderr, "%s: %s\n", tmp.c_str(), strerror(errno));
		return false;
	}
	bool ok = write_all(fd, text) && fsync(fd) == 0;
	int err = errno;
	if (close(fd) == -1 && ok) {
		ok = false;
		err = errno;
	}
	if (ok && rename(tmp.c_str(), path) == -1) {
		ok = false;
		err = errno;
	}
	if (!ok) {
		fprintf(stderr, "%s: %s\n", path, strerror(err));
		unlink(tmp.c_str());
	}
	return ok;
}

// FILE is this program's own: a regular file, or nothing yet. Anything
// else (a device, a FIFO, a directory, a symbolic link) is someone else's,
// and a rename over it would replace it.
static bool
own_file(const char *path)
{
	struct stat st;
	if (lstat(path, &st) == -1) {
		if (errno == ENOENT)
			return true;
		fprintf(stderr, "%s: %s\n", path, strerror(errno));
		return false;
	}
	if (S_ISREG(st.st_mode))
		return true;
	fprintf(stderr, "%s: not a regular file; left as it is\n", path);
	return false;
}

int
main(int argc, char **argv)
{
	const char *config = default_config;
	bool named = argc >= 3 && strcmp(argv[1], "-c") == 0;
	if (named) {
		config = argv[2];
		argc -= 2;
		argv += 2;
	}
	if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
		fputs("usage: corvane-vomo-metrics [-c CONFIG] [FILE]\n", stderr);
		return 2;
	}
	if (argc == 2 && !own_file(argv[1]))
		return 2;
	metrics m = {};
	if (!read_config(config, named, &m.table))
		return 2;
	int status = scan_channels(iio_device_dir, take, &m);
	std::string text = exposition(m, status == 0);
	if (argc == 2)
		return replace_file(argv[1], text) ? status : 1;
	if (!write_all(STDOUT_FILENO, text)) {
		fprintf(stderr, "stdout: %s\n", strerror(errno));
		return 1;
	}
	return status;
}
