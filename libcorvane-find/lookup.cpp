// Name lookups on threads of their own.
#include "lookup.h"

#include <pthread.h>

#include <cstring>
#include <mutex>

struct lookups {
	std::mutex lock;
	net_wake *wake;  // NULL once the search has gone
	std::vector<std::string> hosts;
	std::vector<lookup_result> done;  // ended, not taken yet
	size_t pending;
};

struct lookup_arg {
	std::shared_ptr<lookups> l;
	size_t i;
};

static void *
look_up(void *p)
{
	std::unique_ptr<lookup_arg> arg(static_cast<lookup_arg *>(p));
	lookups *l = arg->l.get();
	struct addrinfo hints;
	memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	struct addrinfo *list = nullptr;
	int rc = getaddrinfo(l->hosts[arg->i].c_str(), nullptr, &hints, &list);
	lookup_result r = {.index = arg->i, .ok = rc == 0, .addrs = {}, .why = {}};
	if (rc == 0) {
		for (struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next)
			r.addrs.push_back(in_host(ai->ai_addr));
		freeaddrinfo(list);
	} else {
		r.why = net_lookup_error(rc);
	}
	std::lock_guard<std::mutex> hold(l->lock);
	l->done.push_back(std::move(r));
	l->pending--;
	if (l->wake != nullptr)
		net_wake_signal(l->wake);
	return nullptr;
}

std::shared_ptr<lookups>
lookups_start(const std::vector<named_target> &names, net_wake *wake, std::string *why)
{
	auto l = std::make_shared<lookups>();
	l->wake = wake;
	l->pending = names.size();
	for (const named_target &n : names)
		l->hosts.push_back(n.host);
	for (size_t i = 0; i < names.size(); i++) {
		pthread_t thread;
		auto *arg = new lookup_arg{l, i};
		int rc = pthread_create(&thread, nullptr, look_up, arg);
		if (rc != 0) {
			delete arg;
			lookups_leave(l.get());
			*why = std::string("name lookup: ") + strerror(rc);
			return nullptr;
		}
		pthread_detach(thread);
	}
	return l;
}

std::vector<lookup_result>
lookups_take(lookups *l)
{
	std::vector<lookup_result> ended;
	std::lock_guard<std::mutex> hold(l->lock);
	ended.swap(l->done);
	return ended;
}

size_t
lookups_pending(lookups *l)
{
	std::lock_guard<std::mutex> hold(l->lock);
	return l->pending;
}

void
lookups_leave(lookups *l)
{
	std::lock_guard<std::mutex> hold(l->lock);
	l->wake = nullptr;
}
