// Terminals and consoles, which differ between POSIX and Windows: whether a
// stream is one, writing a Windows console as characters, and the console
// window a program started from Explorer gets. console_access_posix.cpp and
// console_access_windows.cpp.
#ifndef TXD_DEPTH_FIX_CONSOLE_ACCESS_H
#define TXD_DEPTH_FIX_CONSOLE_ACCESS_H

#include <cstddef>
#include <cstdio>

// With 0, 1 or 2 closed at the start, the archive would be opened on one of
// them and report lines written into it. Each closed one gets the null
// device, opened the wrong way round so that using it still fails as a
// closed one would. False when that cannot be done. Nothing to do on
// Windows, whose handles are never numbered so.
bool open_standard_descriptors();

bool is_terminal(std::FILE *f);

// Whether a write to f that failed with err failed because its reader went
// away (a closed pipe): EPIPE, which Windows gives as EINVAL on a pipe.
bool reader_gone(std::FILE *f, int err);

// Whether f is a Windows console, where UTF-8 bytes would be read in the
// console's code page; write_console writes text to it as the characters
// they are. Never a console elsewhere.
bool is_console(std::FILE *f);
bool write_console(std::FILE *f, const char *text, std::size_t n);

// The processes attached to this process's console (0 without one), and
// whether standard input reads from it. Always 0 and false off Windows.
unsigned long console_processes();
bool standard_input_is_console();

// Writes text (UTF-8) to the console itself, never to redirected output,
// then waits for a line of standard input.
void show_on_console_and_wait(const char *text);

#endif
