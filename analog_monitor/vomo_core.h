// The analog monitor reader: conversion directions, the monitored
// parameters, the conversion constants and the scan's path buffer.
#ifndef VOMO_CORE_H
#define VOMO_CORE_H

#include <climits>
#include <cstddef>
#include <cstdint>

enum EConvType : uint32_t {
	EConvType_None = 0,
	EConvType_Raw_to_Scale = 1,
	EConvType_Scale_to_Raw = 2,
	EConvType_Max = 3,
};

enum VOMO_Param : uint32_t {
	EParamVccInt = 0,
	EParamVccAux = 1,
	EParamVccBRam = 2,
	EParamTemp = 3,
	EParamVAux0 = 4,
	EParamMax = 5,
};

constexpr int mV_mul = 1000;     // millivolts per volt
constexpr int multiplier = 4096; // counts of the 12-bit converter

struct command {
	const VOMO_Param parameter_id;
	const char cmd_name[100];
	const char unit[50];
};

// A row's position is its parameter id.
inline constexpr command command_list[EParamMax] = {
	{EParamVccInt, "vomo_get_value_vccint", "mV"},
	{EParamVccAux, "vomo_get_value_vccaux", "mV"},
	{EParamVccBRam, "vomo_get_value_vccbram", "mV"},
	{EParamTemp, "vomo_get_value_temp", "Degree Celsius"},
	{EParamVAux0, "vomo_get_value_ext_ch", "mV"},
};

// The device directory of the SoC's analog monitor.
inline constexpr char iio_device_dir[] = "/sys/bus/iio/devices/iio:device0";

// The path of the entry being read. Holds any entry name (NAME_MAX bytes)
// under any directory the scan may be given.
[[maybe_unused]] static char gNodeName[PATH_MAX];

float conv_voltage(float input, EConvType conv_direction);
float conv_voltage_ext_ch(float input, EConvType conv_direction);
float conv_temperature(float input, EConvType conv_direction);

// Parses the whole text of a channel file as a count: optional leading
// blanks, an optional sign, 1 to 5 digits, then a newline or the end.
// Returns false, leaving *count alone, for any other text of any length.
bool parse_count(const char *text, size_t len, int *count);

enum EChannel : uint32_t {
	EChannel_None = 0,
	EChannel_Temp = 1,
	EChannel_Voltage = 2,
};

// Writes the report line of channel `name` whose file holds `text`.
// Returns the line's length, or -1 when the text is not a count (then
// nothing is written).
int format_channel(char *line, size_t size, const char *name, EChannel kind,
    const char *text, size_t len);

// The reason the first failed write of the report failed, 0 if none did.
int report_write_errno(void);

// Reads every channel of dir, in name order, and hands each one's report
// line (as vomo prints it) to fn; a channel that cannot be read is said on
// standard error and skipped. Returns 0 when the directory was listed and
// every channel was read, 1 otherwise.
typedef void (*channel_fn)(const char *name, EChannel kind, const char *line, void *arg);
int scan_channels(const char *dir, channel_fn fn, void *arg);

// Reads and reports every channel of dir. Returns 0 when the directory was
// listed and every channel was read, 1 otherwise.
int scan_iio_dir(const char *dir);
int get_iio_node(void);

#endif
