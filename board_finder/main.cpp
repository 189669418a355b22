// corvane-find: asks the local network for boards and lists those that
// answer. The search is libcorvane-find's; this is its command line and
// its report.
#include "finder.h"

#include <corvane/find.h>

#include <arpa/inet.h>
#include <err.h>

#include <cstdio>
#include <string>
#include <vector>

enum : int { exit_found = 0, exit_none = 1, exit_trouble = 2 };

static void
warn_send(const char *reason, void *)
{
	warnx("%s", reason);
}

static int
keep_board(const struct corvane_board *board, void *arg)
{
	auto *boards = static_cast<std::vector<board_entry> *>(arg);
	struct in_addr in;
	inet_pton(AF_INET, board->address, &in);
	boards->push_back({ntohl(in.s_addr), static_cast<uint16_t>(board->port), board->proto_ver,
	    board->interface, board->rtt_ms});
	return 0;
}

static void
write_out(const std::string &out)
{
	if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) == EOF)
		err(exit_trouble, "stdout");
}

// Hands the options to a finder. A bad TARGET is a usage error; an
// unknown interface is the system's answer.
static struct corvane_finder *
make_finder(const find_options &opts)
{
	struct corvane_finder *f = corvane_finder_new();
	if (f == nullptr)
		errx(exit_trouble, "out of memory");
	corvane_finder_set_wait(f, opts.wait_s);
	corvane_finder_set_count(f, static_cast<unsigned>(opts.count));
	corvane_finder_set_warn(f, warn_send, nullptr);
	for (const std::string &name : opts.ifaces)
		if (corvane_finder_add_interface(f, name.c_str()) == -1)
			errx(exit_trouble, "%s", corvane_finder_error(f));
	for (const std::string &target : opts.targets)
		if (corvane_finder_add_target(f, target.c_str()) == -1)
			errx(exit_trouble, "%s (see corvane-find --help)", corvane_finder_error(f));
	return f;
}

int
main(int argc, char **argv)
{
	find_options opts;
	std::string why;
	switch (parse_find_args(argc, argv, &opts, &why)) {
	case EFindAction_Help:
		write_out(find_usage);
		return exit_found;
	case EFindAction_Version:
		write_out("corvane-find " CORVANE_VERSION "\n");
		return exit_found;
	case EFindAction_Usage_Error:
		errx(exit_trouble, "%s (see corvane-find --help)", why.c_str());
	case EFindAction_Run:
		break;
	}

	struct corvane_finder *f = make_finder(opts);
	std::vector<board_entry> boards;
	if (corvane_finder_run(f, keep_board, &boards) == -1)
		errx(exit_trouble, "%s", corvane_finder_error(f));
	corvane_finder_free(f);

	sort_boards(&boards);
	if (opts.json)
		write_out(format_json(boards));
	else if (!boards.empty())
		write_out(format_text(boards));
	if (boards.empty()) {
		warnx("no board answered within %g s", opts.wait_s);
		return exit_none;
	}
	return exit_found;
}
