// The tests' boards on loopback need a few socket calls that Windows
// names differently, and a thread's CPU time that it reads differently.
#ifndef CORVANE_TEST_SOCKETS_H
#define CORVANE_TEST_SOCKETS_H

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

using test_socket = SOCKET;

inline void
close_socket(SOCKET s)
{
	closesocket(s);
}

inline int
wait_readable(SOCKET s, int ms)
{
	WSAPOLLFD p = {s, POLLRDNORM, 0};
	return WSAPoll(&p, 1, ms);
}

// The CPU time this thread has used, in seconds.
inline double
thread_cpu_s()
{
	FILETIME created, ended, kernel, user;
	GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
	auto s = [](FILETIME t) {
		return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
	};
	return s(kernel) + s(user);
}

inline const bool winsock_ready = [] {
	WSADATA data;
	return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using test_socket = int;

inline void
close_socket(int s)
{
	close(s);
}

inline int
wait_readable(int s, int ms)
{
	struct pollfd p = {s, POLLIN, 0};
	return poll(&p, 1, ms);
}

inline double
thread_cpu_s()
{
	struct rusage r;
	getrusage(RUSAGE_THREAD, &r);
	return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
	    static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

inline size_t
open_handles()
{
	size_t n = 0;
	DIR *d = opendir("/proc/self/fd");
	while (readdir(d) != nullptr)
		n++;
	closedir(d);
	return n;
}
#endif

#endif
