#include "system.h"

#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void
say(const char *fmt, va_list ap, const char *error)
{
	fflush(stdout);
	fputs("corvane-find: ", stderr);
	vfprintf(stderr, fmt, ap);
	if (error != nullptr)
		fprintf(stderr, ": %s", error);
	fputc('\n', stderr);
}

void
err(int status, const char *fmt, ...)
{
	const char *error = strerror(errno);
	va_list ap;
	va_start(ap, fmt);
	say(fmt, ap, error);
	va_end(ap);
	exit(status);
}

void
errx(int status, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	say(fmt, ap, nullptr);
	va_end(ap);
	exit(status);
}

void
warnx(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	say(fmt, ap, nullptr);
	va_end(ap);
}

static void (*interrupted)(void);

static BOOL WINAPI
on_control(DWORD)
{
	interrupted();
	return TRUE;
}

bool
on_interrupt(void (*fn)(void))
{
	interrupted = fn;
	return SetConsoleCtrlHandler(on_control, TRUE) != 0;
}

void
system_start(void)
{
	WSADATA data;
	WSAStartup(MAKEWORD(2, 2), &data);
	SetConsoleOutputCP(CP_UTF8);
}

bool
replace_with(const char *from, const char *to)
{
	if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
		return true;
	errno = EACCES;
	return false;
}

bool
wait_ready(intptr_t handle, int ms)
{
	return WaitForSingleObject(reinterpret_cast<HANDLE>(handle), static_cast<DWORD>(ms)) ==
	    WAIT_OBJECT_0;
}
