// corvane-find: asks the local network for boards and lists those that
// answer. The search is libcorvane-find's; this is its command line and
// its report.
#include "finder.h"
#include "system.h"

#include <corvane/find.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

enum : int { exit_found = 0, exit_none = 1, exit_trouble = 2 };

// Warnings always; with -v the rest of the search's account too.
static void
log_line(int level, const char *line, void *arg)
{
	if (level == CORVANE_LOG_WARNING || *static_cast<const bool *>(arg))
		warnx("%s", line);
}

static board_entry
entry(const struct corvane_board *board)
{
	struct in_addr in;
	inet_pton(AF_INET, board->address, &in);
	return {ntohl(in.s_addr), static_cast<uint16_t>(board->port), board->proto_ver,
	    board->interface, board->rtt_ms};
}

static int
keep_board(const struct corvane_board *board, void *arg)
{
	static_cast<std::vector<board_entry> *>(arg)->push_back(entry(board));
	return 0;
}

static void
write_out(const std::string &out)
{
	if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) == EOF)
		err(exit_trouble, "stdout");
}

// What a watch keeps: the options, and the boards it sees now for the
// service discovery file.
struct watch_state {
	const find_options *opts;
	std::map<std::pair<uint32_t, uint16_t>, board_entry> boards;
};

// Replaces the service discovery file whole: a file beside it, then a
// rename, so that Prometheus never reads half a list. A failure is said
// and the watch goes on.
static void
write_sd(const watch_state &w)
{
	std::vector<board_entry> boards;
	for (const auto &kv : w.boards)
		boards.push_back(kv.second);
	std::string text = format_sd(boards, w.opts->scrape_port);
	std::string tmp = w.opts->sd_file + ".tmp";
	FILE *f = fopen(tmp.c_str(), "w");
	bool ok = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
	if (f != nullptr && fclose(f) != 0)
		ok = false;
	if (!ok || !replace_with(tmp.c_str(), w.opts->sd_file.c_str())) {
		warnx("%s: %s", escaped(w.opts->sd_file).c_str(), strerror(errno));
		remove(tmp.c_str());
	}
}

static int
print_event(const struct corvane_event *event, void *arg)
{
	auto *w = static_cast<watch_state *>(arg);
	bool found = event->kind == CORVANE_BOARD_FOUND;
	board_entry b = entry(event->board);
	write_out(format_event(found, b, w->opts->json));
	if (!w->opts->sd_file.empty()) {
		if (found)
			w->boards[{b.addr, b.port}] = b;
		else
			w->boards.erase({b.addr, b.port});
		write_sd(*w);
	}
	return 0;
}

// Hands the options to a finder. A bad TARGET is a usage error; an
// unknown interface is the system's answer.
static struct corvane_finder *
make_finder(find_options &opts)
{
	struct corvane_finder *f = corvane_finder_new();
	if (f == nullptr)
		errx(exit_trouble, "out of memory");
	if (corvane_finder_set_wait(f, opts.wait_s) == -1 ||
	    corvane_finder_set_count(f, static_cast<unsigned>(opts.count)) == -1 ||
	    corvane_finder_set_rate(f, opts.rate) == -1 ||
	    corvane_finder_set_log(f, log_line, &opts.verbose) == -1)
		errx(exit_trouble, "%s", corvane_finder_error(f));
	for (const std::string &name : opts.ifaces)
		if (corvane_finder_add_interface(f, name.c_str()) == -1)
			errx(exit_trouble, "%s", corvane_finder_error(f));
	for (const std::string &target : opts.targets)
		if (corvane_finder_add_target(f, target.c_str()) == -1)
			errx(exit_trouble, "%s (see corvane-find --help)", corvane_finder_error(f));
	return f;
}

static struct corvane_finder *watching;

static void
end_watch(void)
{
	corvane_finder_cancel(watching);
}

// Prints boards as they come and go until SIGINT or SIGTERM (Ctrl-C on
// Windows).
static int
watch(find_options &opts, struct corvane_finder *f)
{
	watching = f;
	if (!on_interrupt(end_watch))
		err(exit_trouble, "cannot take interrupts");
	watch_state w = {&opts, {}};
	if (!opts.sd_file.empty())
		write_sd(w);  // the list starts empty
	if (corvane_finder_watch(f, opts.every_s, print_event, &w) == -1)
		errx(exit_trouble, "%s", corvane_finder_error(f));
	return exit_found;
}

int
main(int argc, char **argv)
{
	find_options opts;
	std::string why;
	system_start();
	switch (parse_find_args(argc, argv, &opts, &why)) {
	case EFindAction_Help:
		write_out(find_usage);
		return exit_found;
	case EFindAction_Version:
		write_out("corvane-find " CORVANE_VERSION "\n");
		return exit_found;
	case EFindAction_Usage_Error:
		errx(exit_trouble, "%s (see corvane-find --help)", escaped(why).c_str());
	case EFindAction_Run:
		break;
	}

	struct corvane_finder *f = make_finder(opts);
	if (opts.watch)
		return watch(opts, f);
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
		warnx("no board answered within %s s", escaped(opts.wait_text).c_str());
		return exit_none;
	}
	return exit_found;
}
