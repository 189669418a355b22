// Conversions of the analog monitor's raw counts and the channel scan.
#include "vomo_core.h"

#include <dirent.h>
#include <fcntl.h>
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

bool
parse_count(const char *text, size_t len, int *count)
{
	size_t i = 0;
	while (i < len && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
		i++;
	bool negative = false;
	if (i < len && (text[i] == '+' || text[i] == '-'))
		negative = text[i++] == '-';
	if (i == len || text[i] < '0' || text[i] > '9')
		return false;

	// The caller hands over at most a few bytes, far from overflowing.
	int value = 0;
	for (; i < len && text[i] >= '0' && text[i] <= '9'; i++)
		value = value * 10 + (text[i] - '0');
	*count = negative ? -value : value;
	return true;
}

static void
warn_path(const char *path, const char *reason)
{
	fprintf(stderr, "%s: %s\n", path, reason);
}

enum EChannel : uint32_t {
	EChannel_None = 0,
	EChannel_Temp = 1,
	EChannel_Voltage = 2,
};

static EChannel
classify(const char *name)
{
	if (strstr(name, "temp") != nullptr)
		return strstr(name, "raw") != nullptr ? EChannel_Temp : EChannel_None;
	if (strstr(name, "voltage") != nullptr && strstr(name, "raw") != nullptr)
		return EChannel_Voltage;
	return EChannel_None;
}

// A count is a 12-bit number and a newline; anything past five bytes is
// not part of it.
enum : size_t { count_max_len = 5 };

// Reads the raw count of the channel file at gNodeName. Reports a failure
// on standard error and returns false.
static bool
read_count(float *raw_data)
{
	int fd = open(gNodeName, O_RDONLY | O_CLOEXEC);
	if (fd == -1) {
		warn_path(gNodeName, strerror(errno));
		return false;
	}
	char upset[count_max_len];
	ssize_t n = pread(fd, upset, sizeof(upset), 0);
	int saved_errno = errno;
	close(fd);
	if (n == -1) {
		warn_path(gNodeName, strerror(saved_errno));
		return false;
	}
	int count;
	if (!parse_count(upset, static_cast<size_t>(n), &count)) {
		warn_path(gNodeName, "no raw count in file");
		return false;
	}
	*raw_data = static_cast<float>(count);
	return true;
}

// Reads and prints one entry if it is a channel. Returns false when a
// channel could not be read.
static bool
report_entry(const char *dir, const char *name)
{
	EChannel kind = classify(name);
	if (kind == EChannel_None)
		return true;

	int len = snprintf(gNodeName, sizeof(gNodeName), "%s/%s", dir, name);
	if (len < 0 || static_cast<size_t>(len) >= sizeof(gNodeName)) {
		fprintf(stderr, "%s/%s: %s\n", dir, name, strerror(ENAMETOOLONG));
		return false;
	}
	float raw_data;
	if (!read_count(&raw_data))
		return false;
	if (kind == EChannel_Temp)
		printf("%s is %f cent\n", name, conv_temperature(raw_data, EConvType_Raw_to_Scale));
	else
		printf("%s is %f mv\n", name, conv_voltage(raw_data, EConvType_Raw_to_Scale));
	return true;
}

int
scan_iio_dir(const char *dir)
{
	struct dirent **namelist;
	int n = scandir(dir, &namelist, nullptr, alphasort);
	if (n == -1) {
		warn_path(dir, strerror(errno));
		return 1;
	}
	int status = 0;
	for (int i = 0; i < n; i++) {
		if (!report_entry(dir, namelist[i]->d_name))
			status = 1;
		free(namelist[i]);
	}
	free(namelist);
	return status;
}

int
get_iio_node(void)
{
	return scan_iio_dir(iio_device_dir);
}
