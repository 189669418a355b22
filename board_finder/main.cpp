// corvane-find: asks the local network for boards and lists those that
// answer. The search is libcorvane-find's; this is its command line and
// its report.
#include "finder.h"
#include "system.h"

#include <corvane/find.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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
	    board->interface, board->rtt_ms, corvane_board_mac(board)};
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

static double
now_s(void)
{
	using seconds = std::chrono::duration<double>;
	return std::chrono::duration_cast<seconds>(
	    std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A board of the service discovery list: as it last answered, whether it
// answers now, and when it last did.
struct listed_board {
	board_entry board;
	bool answering;
	double last_answer;
};

// What a watch keeps: the options, and the list of boards for Prometheus.
// A board that stops answering stays listed (Prometheus' up then says 0,
// and its alert keeps firing) until it answers again, or until
// --forget-after has passed since it last did.
struct watch_state {
	const find_options *opts;
	std::map<uint32_t, listed_board> boards;  // by address, as Prometheus lists them
	bool dirty;      // the file is not what the list says
	bool failing;    // the last write failed, and that was said
	double retry_at;
};

// Replaces the service discovery file whole: a file beside it, then a
// rename, so that Prometheus never reads half a list. A failure is said
// once, and so is its end; the list is written again each round until a
// write succeeds.
static void
write_sd(watch_state *w)
{
	std::vector<board_entry> boards;
	for (const auto &kv : w->boards)
		boards.push_back(kv.second.board);
	std::string text = format_sd(boards, w->opts->scrape_port);
	std::string tmp = w->opts->sd_file + ".tmp";
	FILE *f = fopen(tmp.c_str(), "w");
	bool ok = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
	if (f != nullptr && fclose(f) != 0)
		ok = false;
	if (ok && replace_with(tmp.c_str(), w->opts->sd_file.c_str())) {
		if (w->failing)
			warnx("%s: written again", escaped(w->opts->sd_file).c_str());
		w->failing = w->dirty = false;
		return;
	}
	int error = errno;
	remove(tmp.c_str());
	if (!w->failing)
		warnx("%s: %s; written again each round until it can be",
		    escaped(w->opts->sd_file).c_str(), strerror(error));
	w->failing = w->dirty = true;
	w->retry_at = now_s() + w->opts->every_s;
}

// A list the watch wrote before is taken as known, each board still to be
// confirmed; anything else in FILE is replaced.
static void
read_sd(watch_state *w)
{
	FILE *f = fopen(w->opts->sd_file.c_str(), "r");
	if (f == nullptr)
		return;
	std::string text;
	char chunk[4096];
	size_t n;
	while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
		text.append(chunk, n);
	fclose(f);
	std::vector<board_entry> boards;
	if (!parse_sd(text, &boards)) {
		warnx("%s: not a list that corvane-find wrote; replaced",
		    escaped(w->opts->sd_file).c_str());
		return;
	}
	for (const board_entry &b : boards)
		w->boards[b.addr] = {b, false, now_s()};
}

// Boards that stopped answering longer ago than --forget-after leave the
// list.
static void
forget_lost(watch_state *w)
{
	for (auto it = w->boards.begin(); it != w->boards.end();) {
		if (!it->second.answering && now_s() - it->second.last_answer >= w->opts->forget_s) {
			it = w->boards.erase(it);
			w->dirty = true;
		} else {
			++it;
		}
	}
}

static int
print_event(const struct corvane_event *event, void *arg)
{
	auto *w = static_cast<watch_state *>(arg);
	bool found = event->kind == CORVANE_BOARD_FOUND;
	board_entry b = entry(event->board);
	write_out(format_event(found, b, w->opts->json));
	if (w->opts->sd_file.empty())
		return 0;
	listed_board &l = w->boards[b.addr];
	if (found) {
		w->dirty |= !l.answering || l.board.iface != b.iface ||
		    l.board.proto_ver != b.proto_ver;
		l = {b, true, now_s()};
	} else {
		// It last answered three rounds ago.
		l.answering = false;
		l.last_answer = now_s() - 3 * w->opts->every_s;
		if (l.board.iface.empty() && l.board.addr == 0)
			l.board = b;
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
// Windows), keeping the service discovery list if asked: the watch runs in
// this loop, which also writes the list again after a failure and forgets
// boards lost long ago.
static int
watch(find_options &opts, struct corvane_finder *f)
{
	watching = f;
	if (!on_interrupt(end_watch))
		err(exit_trouble, "cannot take interrupts");
	watch_state w = {.opts = &opts, .boards = {}, .dirty = true, .failing = false,
	    .retry_at = 0};
	if (!opts.sd_file.empty()) {
		read_sd(&w);
		write_sd(&w);  // the list as it was, or empty
	}
	if (corvane_finder_start_watch(f, opts.every_s, print_event, &w) == -1)
		errx(exit_trouble, "%s", corvane_finder_error(f));
	intptr_t handle = corvane_finder_fd(f);
	for (;;) {
		int ms = corvane_finder_timeout(f);
		if (!opts.sd_file.empty() && w.dirty)
			ms = std::min(ms, std::max(0, static_cast<int>((w.retry_at - now_s()) * 1000) + 1));
		if (ms != 0)
			wait_ready(handle, ms);
		int rc = corvane_finder_dispatch(f);
		if (rc == -1)
			errx(exit_trouble, "%s", corvane_finder_error(f));
		if (rc == 0)
			return exit_found;
		if (opts.sd_file.empty())
			continue;
		forget_lost(&w);
		if (w.dirty && now_s() >= w.retry_at)
			write_sd(&w);
	}
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
