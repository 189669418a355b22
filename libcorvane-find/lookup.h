// Host names looked up beside the search, never in its way: each name on
// a thread of its own, whose end wakes the search. A lookup may outlive
// the search that asked for it (a name server that never answers); the
// two share the state below, and whoever lets go last frees it.
#ifndef CORVANE_LOOKUP_H
#define CORVANE_LOOKUP_H

#include "net.h"
#include "plan.h"

#include <memory>
#include <string>
#include <vector>

struct lookups;

// A finished lookup: the name's addresses, or the reason it failed.
struct lookup_result {
	size_t index;  // in the names given to lookups_start
	bool ok;
	std::vector<uint32_t> addrs;
	std::string why;
};

// Starts a lookup of each name; each that ends signals wake. NULL with
// *why when a thread cannot be had.
std::shared_ptr<lookups> lookups_start(const std::vector<named_target> &names, net_wake *wake,
    std::string *why);
// The lookups that have ended since the last call.
std::vector<lookup_result> lookups_take(lookups *l);
// How many have not ended yet.
size_t lookups_pending(lookups *l);
// No wake-up from now on: the search is going.
void lookups_leave(lookups *l);

#endif
