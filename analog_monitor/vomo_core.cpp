// Conversions of the analog monitor's raw counts and the channel scan.
#include "vomo_core.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char conv_incorrect[] = "Convertion type incorrect... Doing no conversion";
static const char temp_incorrect[] = "Conversion type incorrect... Doing no conversion";

// Any direction but the two conversions gives the input back; all but
// EConvType_None are also reported, each function with its own line.
static float
unconverted(float input, EConvType conv_direction, const char *incorrect)
{
	if (conv_direction != EConvType_None)
		puts(incorrect);
	return input;
}

// The supply sensors: a count of 4096 stands for 3000 mV. Computed in
// double precision, rounded to float at the end.
float
conv_voltage(float input, EConvType conv_direction)
{
	const double in = input;

	if (conv_direction == EConvType_Raw_to_Scale)
		return static_cast<float>(((in * 3.0) * mV_mul) / multiplier);
	if (conv_direction == EConvType_Scale_to_Raw)
		return static_cast<float>((in / (mV_mul * 3.0)) * multiplier);
	return unconverted(input, conv_direction, conv_incorrect);
}

// The external input: a count of 4096 stands for 1000 mV. Computed in
// single precision throughout.
float
conv_voltage_ext_ch(float input, EConvType conv_direction)
{
	if (conv_direction == EConvType_Raw_to_Scale)
		return (static_cast<float>(mV_mul) * input) / static_cast<float>(multiplier);
	if (conv_direction == EConvType_Scale_to_Raw)
		return (input / static_cast<float>(mV_mul)) * static_cast<float>(multiplier);
	return unconverted(input, conv_direction, conv_incorrect);
}

// The die temperature in degrees Celsius, in double precision.
float
conv_temperature(float input, EConvType conv_direction)
{
	const double in = input;

	if (conv_direction == EConvType_Raw_to_Scale)
		return static_cast<float>(((in * 503.975) / multiplier) - 273.15);
	if (conv_direction == EConvType_Scale_to_Raw)
		return static_cast<float>(((in + 273.15) * multiplier) / 503.975);
	return unconverted(input, conv_direction, temp_incorrect);
}

// A 12-bit count has at most four digits; five leave room for a sign.
enum : size_t { count_digits_max = 5 };

bool
parse_count(const char *text, size_t len, int *count)
{
	size_t i = 0;
	while (i < len && (text[i] == ' ' || text[i] == '\t'))
		i++;
	bool negative = false;
	if (i < len && (text[i] == '+' || text[i] == '-'))
		negative = text[i++] == '-';
	size_t first = i;
	int value = 0;
	while (i < len && i - first < count_digits_max && text[i] >= '0' && text[i] <= '9')
		value = value * 10 + (text[i++] - '0');
	if (i == first)
		return false;
	if (i < len && text[i] == '\n')
		i++;
	if (i != len)
		return false;  // a sixth digit, or anything else after the count
	*count = negative ? -value : value;
	return true;
}

static void
warn_path(const char *path, const char *reason)
{
	fprintf(stderr, "%s: %s\n", path, reason);
}

static EChannel
classify(const char *name)
{
	if (strstr(name, "temp") != nullptr)
		return strstr(name, "raw") != nullptr ? EChannel_Temp : EChannel_None;
	if (strstr(name, "voltage") != nullptr && strstr(name, "raw") != nullptr)
		return EChannel_Voltage;
	return EChannel_None;
}

int
format_channel(char *line, size_t size, const char *name, EChannel kind, const char *text,
    size_t len)
{
	int count;
	if (!parse_count(text, len, &count))
		return -1;
	auto raw_data = static_cast<float>(count);
	if (kind == EChannel_Temp)
		return snprintf(line, size, "%s is %f cent\n", name,
		    conv_temperature(raw_data, EConvType_Raw_to_Scale));
	return snprintf(line, size, "%s is %f mv\n", name,
	    conv_voltage(raw_data, EConvType_Raw_to_Scale));
}

// Longer than any count (leading blanks aside), so that a longer text is
// seen to be one.
enum : size_t { count_text_max = 64 };

// Why a file of this type is no channel, or null for a regular file.
static const char *
type_problem(mode_t mode)
{
	if (S_ISREG(mode))
		return nullptr;
	return S_ISDIR(mode) ? strerror(EISDIR) : "not a regular file";
}

// Reads the whole text of the channel file at gNodeName into text. Only a
// regular file is read. The directory scan gives the type of most
// entries, so a FIFO or a device in place of a channel is reported
// without being opened; a symbolic link, or an entry the scan could not
// type, is opened without waiting and looked at first. Reports a failure
// on standard error and returns -1.
static ssize_t
read_channel(char *text, size_t size, unsigned char type)
{
	bool typed = type != DT_UNKNOWN && type != DT_LNK;
	const char *problem = typed ? type_problem(static_cast<mode_t>(DTTOIF(type))) : nullptr;
	if (problem != nullptr) {
		warn_path(gNodeName, problem);
		return -1;
	}
	int fd = open(gNodeName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1) {
		warn_path(gNodeName, strerror(errno));
		return -1;
	}
	// A regular file (a sysfs attribute included) gives all it holds, up
	// to size bytes, in one read.
	struct stat st;
	ssize_t got = -1;
	if (!typed)
		problem = fstat(fd, &st) == -1 ? strerror(errno) : type_problem(st.st_mode);
	if (problem == nullptr && (got = pread(fd, text, size, 0)) == -1)
		problem = strerror(errno);
	close(fd);
	if (problem != nullptr) {
		warn_path(gNodeName, problem);
		return -1;
	}
	return got;
}

static int first_write_errno;

int
report_write_errno(void)
{
	return first_write_errno;
}

// Prints one channel's report line.
static void
print_channel(const char *, EChannel, const char *line, void *)
{
	if (fputs(line, stdout) == EOF && first_write_errno == 0)
		first_write_errno = errno;
}

// Reads one entry if it is a channel and hands its report line to fn.
// Returns false when a channel could not be read.
static bool
read_entry(const char *dir, const char *name, unsigned char type, channel_fn fn, void *arg)
{
	EChannel kind = classify(name);
	if (kind == EChannel_None)
		return true;

	int len = snprintf(gNodeName, sizeof(gNodeName), "%s/%s", dir, name);
	if (len < 0 || static_cast<size_t>(len) >= sizeof(gNodeName)) {
		fprintf(stderr, "%s/%s: %s\n", dir, name, strerror(ENAMETOOLONG));
		return false;
	}
	char text[count_text_max + 1];
	ssize_t n = read_channel(text, sizeof(text), type);
	if (n == -1)
		return false;
	// The line holds the name (at most NAME_MAX bytes) and a value.
	char line[NAME_MAX + 64];
	int line_len = format_channel(line, sizeof(line), name, kind, text,
	    static_cast<size_t>(n));
	if (line_len < 0) {
		warn_path(gNodeName, "no raw count in file");
		return false;
	}
	fn(name, kind, line, arg);
	return true;
}

int
scan_channels(const char *dir, channel_fn fn, void *arg)
{
	struct dirent **namelist;
	int n = scandir(dir, &namelist, nullptr, alphasort);
	if (n == -1) {
		warn_path(dir, strerror(errno));
		return 1;
	}
	int status = 0;
	for (int i = 0; i < n; i++) {
		if (!read_entry(dir, namelist[i]->d_name, namelist[i]->d_type, fn, arg))
			status = 1;
		free(namelist[i]);
	}
	free(namelist);
	return status;
}

int
scan_iio_dir(const char *dir)
{
	return scan_channels(dir, print_channel, nullptr);
}

int
get_iio_node(void)
{
	return scan_iio_dir(iio_device_dir);
}
