// Terminals and consoles on Windows: a console is written as the
// characters the text holds, and a window opened for the program alone can
// be held until Enter.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <io.h>
#include <windows.h>

#include "platform/console_access.h"
#include "platform/windows/windows_access.h"

bool is_terminal(std::FILE *f)
{
	return _isatty(_fileno(f)) != 0;
}

bool open_standard_descriptors()
{
	return true;
}

// The C runtime reports a write to a pipe being closed (ERROR_NO_DATA) as
// EINVAL.
bool reader_gone(std::FILE *f, int err)
{
	HANDLE h = handle_of(f);
	return err == EPIPE || (err == EINVAL && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_PIPE);
}

static HANDLE console_of(std::FILE *f)
{
	HANDLE h = handle_of(f);
	DWORD mode;
	return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : INVALID_HANDLE_VALUE;
}

bool is_console(std::FILE *f)
{
	return console_of(f) != INVALID_HANDLE_VALUE;
}

// The text as UTF-16, with the console's own "\r\n" for each line ending.
static bool write_characters(HANDLE console, const char *text, std::size_t n)
{
	if (n > 0x3FFFFFFF)
		return false;
	int wide_n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0);
	// The converted text, then the same with "\r\n" line endings after it.
	wchar_t *wide = wide_n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * 3 * static_cast<std::size_t>(wide_n)))
	                            : nullptr;
	if (wide == nullptr)
		return false;
	MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), wide, wide_n);
	int out = 0;
	for (int i = 0; i < wide_n; i++) {
		if (wide[i] == L'\n')
			wide[wide_n + out++] = L'\r';
		wide[wide_n + out++] = wide[i];
	}
	DWORD written = 0;
	bool ok = WriteConsoleW(console, wide + wide_n, static_cast<DWORD>(out), &written, nullptr) &&
	          written == static_cast<DWORD>(out);
	std::free(wide);
	return ok;
}

// Whatever the stream still holds goes first.
bool write_console(std::FILE *f, const char *text, std::size_t n)
{
	HANDLE h = console_of(f);
	return h != INVALID_HANDLE_VALUE && std::fflush(f) == 0 && write_characters(h, text, n);
}

unsigned long console_processes()
{
	DWORD processes[2];
	return GetConsoleProcessList(processes, 2);
}

bool standard_input_is_console()
{
	DWORD mode;
	return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void show_on_console_and_wait(const char *text)
{
	HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
	                             OPEN_EXISTING, 0, nullptr);
	if (console == INVALID_HANDLE_VALUE)
		return;
	write_characters(console, text, std::strlen(text));
	CloseHandle(console);
	for (int c = std::getchar(); c != EOF && c != '\n';)
		c = std::getchar();
}

