// The daemon's rtnetlink adapter. It learns the kernel's routes and links,
// follows their changes, and asks the kernel's neighbour table about one
// address at a time. The daemon never wakes for the neighbour table's
// changes.
//
// The loop sees one descriptor and a timeout, as it would of a resolver
// library: when the descriptor is readable, or the timeout has passed, it
// calls rtnl_process. The descriptor stays the same for the adapter's
// life, whatever sockets it opens behind it.
#ifndef TARVO_RTNL_H
#define TARVO_RTNL_H

#include "endpoint.h"
#include "hold.h"
#include "routes.h"

#include <cstdint>

enum rtnl_dump : uint8_t {
	rtnl_dump_links = 0,
	rtnl_dump_routes = 1,
	rtnl_dump_done = 2,
};

// The tables are read again at most this often after lost messages, and
// that is said at most this often.
constexpr int64_t rtnl_reread_ns = 1000000000;
constexpr int64_t rtnl_say_ns = 60000000000;
constexpr int rtnl_rcvbuf = 1 << 20;

struct rtnl {
	int poll_fd;  // the descriptor the loop watches; -1 without rtnetlink
	int fd;       // links and routes
	int ask_fd;   // questions about one neighbour
	uint32_t ask_seq;
	enum rtnl_dump dumping;
	struct routes routes;
	bool routes_said;  // that there were too many; that they fit will be
	int64_t read_at;   // when the tables were last read again
	bool reread_due;   // again, once a second has passed since
	bool loss_pending; // for lost messages, which is said as it is done
	struct send_log lost;
};

// Opens the sockets and asks for the tables. Leaves poll_fd -1 when it
// cannot: then nothing is known, and every answer goes.
void rtnl_open(struct rtnl *a);
int rtnl_fd(const struct rtnl *a);
// Milliseconds until rtnl_process is due whether or not the descriptor is
// readable; -1 for never.
int rtnl_timeout_ms(const struct rtnl *a, int64_t now_ns);
// Takes what the kernel said, and reads the tables again when that is due.
// Returns whether the board's own addresses may have changed.
bool rtnl_process(struct rtnl *a, int64_t now_ns);

// Whether an answer to addr makes the kernel resolve it first (on link
// *oif). Never without rtnetlink.
bool rtnl_resolves(const struct rtnl *a, uint32_t addr, int *oif);
// What the kernel's neighbour table says of addr on link oif.
enum neigh_said rtnl_ask(struct rtnl *a, uint32_t addr, int oif);
unsigned rtnl_locals(const struct rtnl *a, uint32_t *out, unsigned max);

#endif
