// The channel file's text against the count rule read plainly: blanks, an
// optional sign, one to five digits, an optional newline, and nothing
// else. A report line exists exactly for such a text, and shows its value.
#include "vomo_core.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const std::regex count_rule("[ \t]*([+-]?[0-9]{1,5})\n?");
	std::string text(reinterpret_cast<const char *>(data), size);
	std::smatch m;
	bool is_count = std::regex_match(text, m, count_rule);

	char line[128];
	int len = format_channel(line, sizeof(line), "in_voltage0_raw", EChannel_Voltage,
	    text.data(), text.size());
	if ((len >= 0) != is_count)
		__builtin_trap();
	if (is_count) {
		long want = strtol(m[1].str().c_str(), nullptr, 10);
		char expect[128];
		snprintf(expect, sizeof(expect), "in_voltage0_raw is %f mv\n",
		    double(conv_voltage(static_cast<float>(want), EConvType_Raw_to_Scale)));
		if (std::string(line) != expect)
			__builtin_trap();
	}
	return 0;
}
