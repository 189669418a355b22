// Conversion results are compared bit for bit: the board and the build
// machine must print the same digits.
#include "vomo_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(Conversion, SupplyVoltage)
{
	EXPECT_EQ(conv_voltage(4096, EConvType_Raw_to_Scale), 3000.0f);
	EXPECT_EQ(conv_voltage(1365, EConvType_Raw_to_Scale), 999.755859375f);
	EXPECT_EQ(conv_voltage(2458, EConvType_Raw_to_Scale), 0x1.c212cp+10f);
	EXPECT_EQ(conv_voltage(0, EConvType_Raw_to_Scale), 0.0f);
	EXPECT_EQ(conv_voltage(3000, EConvType_Scale_to_Raw), 4096.0f);
	EXPECT_EQ(conv_voltage(1000, EConvType_Scale_to_Raw), 0x1.555556p+10f);
}

TEST(Conversion, ExternalChannel)
{
	EXPECT_EQ(conv_voltage_ext_ch(2048, EConvType_Raw_to_Scale), 500.0f);
	EXPECT_EQ(conv_voltage_ext_ch(4096, EConvType_Raw_to_Scale), 1000.0f);
	EXPECT_EQ(conv_voltage_ext_ch(500, EConvType_Scale_to_Raw), 2048.0f);
}

TEST(Conversion, Temperature)
{
	EXPECT_EQ(conv_temperature(0, EConvType_Raw_to_Scale), -0x1.112666p+8f);
	EXPECT_EQ(conv_temperature(2500, EConvType_Raw_to_Scale), 0x1.139d8cp+5f);
	EXPECT_EQ(conv_temperature(25, EConvType_Scale_to_Raw), 0x1.2ee5c6p+11f);
	// Single-precision arithmetic would give -0x1.10e766p+8 and
	// 0x1.15cde2p+11 here: these pin the double-precision steps.
	EXPECT_EQ(conv_temperature(2, EConvType_Raw_to_Scale), -0x1.10e768p+8f);
	EXPECT_EQ(conv_temperature(0.3f, EConvType_Scale_to_Raw), 0x1.15cde4p+11f);
}

TEST(Conversion, PrintedDigits)
{
	char buf[32];
	snprintf(buf, sizeof(buf), "%f", double(conv_temperature(2500, EConvType_Raw_to_Scale)));
	EXPECT_STREQ(buf, "34.451927");
	snprintf(buf, sizeof(buf), "%f", double(conv_temperature(0, EConvType_Raw_to_Scale)));
	EXPECT_STREQ(buf, "-273.149994");
	snprintf(buf, sizeof(buf), "%f", double(conv_temperature(25, EConvType_Scale_to_Raw)));
	EXPECT_STREQ(buf, "2423.180420");
}

static int
lines_of(const std::string &s, const char *line)
{
	int n = 0;
	std::string want = std::string(line) + "\n";
	for (size_t at = s.find(want); at != std::string::npos; at = s.find(want, at + 1))
		n++;
	return s.size() == want.size() * size_t(n) ? n : -1;
}

TEST(Conversion, DirectionsWithoutConversion)
{
	const char *conv = "Convertion type incorrect... Doing no conversion";
	const char *temp = "Conversion type incorrect... Doing no conversion";
	using Fn = float (*)(float, EConvType);
	const struct {
		Fn fn;
		const char *line;
	} fns[] = {{conv_voltage, conv}, {conv_voltage_ext_ch, conv}, {conv_temperature, temp}};

	for (const auto &f : fns) {
		CaptureStdout();
		EXPECT_EQ(f.fn(1234.5f, EConvType_None), 1234.5f);
		EXPECT_EQ(GetCapturedStdout(), "");
		for (uint32_t dir : {3u, 7u}) {
			CaptureStdout();
			EXPECT_EQ(f.fn(1234.5f, static_cast<EConvType>(dir)), 1234.5f);
			EXPECT_EQ(lines_of(GetCapturedStdout(), f.line), 1) << "direction " << dir;
		}
	}
}

TEST(Catalogue, RowsInParameterOrder)
{
	static_assert(sizeof(command_list) / sizeof(command_list[0]) == EParamMax);
	EXPECT_STREQ(command_list[EParamTemp].cmd_name, "vomo_get_value_temp");
	EXPECT_STREQ(command_list[EParamTemp].unit, "Degree Celsius");
	EXPECT_STREQ(command_list[EParamVAux0].cmd_name, "vomo_get_value_ext_ch");
}

static bool
parse(const char *text, int *count)
{
	return parse_count(text, strlen(text), count);
}

TEST(CountText, TheWholeTextIsOneCount)
{
	const struct {
		const char *text;
		int count;
	} good[] = {
		{"2500\n", 2500}, {"4095\n", 4095}, {"123\n", 123}, {"12", 12}, {"-2\n", -2},
		{" \t+7", 7}, {"-2048\n", -2048}, {"00001", 1}, {"99999\n", 99999},
	};
	for (const auto &g : good) {
		int count = -999;
		EXPECT_TRUE(parse(g.text, &count)) << g.text;
		EXPECT_EQ(count, g.count) << g.text;
	}
	for (const char *bad : {"", "\n", "abcde", "-", "+\n", "  ", "x12", "12ab", "0x1F", "1e3",
	         "12345678", "123456\n", "12\n\n", "12 \n", "\n12", "--1", "1\n2",
	         "2147483648", "99999999999999999999"}) {
		int count = -999;
		EXPECT_FALSE(parse(bad, &count)) << '"' << bad << '"';
		EXPECT_EQ(count, -999);
	}
	// Only the bytes handed over count, never what lies beyond them.
	int count = 0;
	EXPECT_TRUE(parse_count("12345678", 3, &count));
	EXPECT_EQ(count, 123);
}
