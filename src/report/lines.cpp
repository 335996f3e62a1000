// Lines built whole and written in one call, names quoted for terminals.
#include "report/lines.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"
#include "platform/console_access.h"

void open_line_stream(line_stream &s, std::FILE *f)
{
	s = {f, f == nullptr || is_terminal(f), f != nullptr && is_console(f), 0, false};
}

// A write that failed: a reader gone stops all later ones quietly.
static void write_failed(line_stream &s)
{
	int err = errno != 0 ? errno : EIO;
	if (reader_gone(s.f, err))
		s.gone = true;
	else if (s.error == 0)
		s.error = err;
}

int close_line_stream(line_stream &s)
{
	if (s.f == nullptr)
		return 0;
	if (!s.gone && std::fflush(s.f) != 0)
		write_failed(s);
	if (s.error == 0 && !s.gone && std::ferror(s.f))
		s.error = EIO;
	return s.error;
}

void start_line(line &l, line_stream &to)
{
	l.to = &to;
	l.length = 0;
}

void release_line(line &l)
{
	std::free(l.text);
	l.text = nullptr;
	l.length = l.room = 0;
}

// What the line holds so far goes out now, when it cannot grow.
static void spill(line &l)
{
	if (l.to->f != nullptr)
		std::fwrite(l.text, 1, l.length, l.to->f);
	l.length = 0;
}

static void add_bytes(line &l, const char *bytes, std::size_t n)
{
	if (!grow(l.text, l.room, l.length + n + 1)) {
		spill(l);
		if (l.to->f != nullptr)
			std::fwrite(bytes, 1, n, l.to->f);
		return;
	}
	std::memcpy(l.text + l.length, bytes, n);
	l.length += n;
	l.text[l.length] = '\0';
}

void line_add(line &l, const char *text)
{
	add_bytes(l, text, std::strlen(text));
}

void line_add_n(line &l, const char *text, std::size_t n)
{
	add_bytes(l, text, n);
}

std::size_t utf8_length(const unsigned char *text, std::size_t n)
{
	unsigned char c = text[0];
	std::size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
	bool formed = length > 0 && length <= n;
	for (std::size_t i = 1; formed && i < length; i++)
		formed = (text[i] & 0xC0) == 0x80;
	if (formed && length > 2) {
		unsigned char second = text[1];
		formed = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0) && !(c == 0xF0 && second < 0x90) &&
		         !(c == 0xF4 && second >= 0x90);
	}
	return formed ? length : 0;
}

// The bytes of the character that starts text (at most n of them), and
// whether a terminal must be shown '?' for it instead: a control (below
// 0x20, 0x7F, or U+0080 to U+009F, which some terminals obey as ESC
// sequences) or a byte that is no part of a well-formed UTF-8 character.
static std::size_t next_character(const unsigned char *text, std::size_t n, bool *unsafe)
{
	std::size_t length = utf8_length(text, n);
	unsigned char c = text[0];
	*unsafe = length == 0 || c < 0x20 || c == 0x7F || (c == 0xC2 && text[1] <= 0x9F);
	return length > 0 ? length : 1;
}

std::size_t shown_as_on_a_terminal(const char *text, std::size_t n, char *out)
{
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
	std::size_t put = 0;
	for (std::size_t i = 0, length; i < n; i += length) {
		bool unsafe;
		length = next_character(bytes + i, n - i, &unsafe);
		std::memcpy(out + put, unsafe ? "?" : text + i, unsafe ? 1 : length);
		put += unsafe ? 1 : length;
	}
	return put;
}

// On a terminal, control characters in a name or path could drive it, and
// malformed bytes could start one; they print as '?'. Anywhere else the
// bytes go out as they are.
void line_add_shown_n(line &l, const char *text, std::size_t n)
{
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
	for (std::size_t i = 0, length; i < n; i += length) {
		bool unsafe = false;
		length = l.to->terminal ? next_character(bytes + i, n - i, &unsafe) : n - i;
		add_bytes(l, unsafe ? "?" : text + i, unsafe ? 1 : length);
	}
}

void line_add_shown(line &l, const char *text)
{
	line_add_shown_n(l, text, std::strlen(text));
}

void line_add_number(line &l, std::uint64_t n)
{
	char digits[24];
	std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
	line_add(l, digits);
}

// One write per line: the stream is flushed before and after, so that an
// unbuffered or emptied stream hands the whole line to the system at once.
void line_end(line &l)
{
	add_bytes(l, "\n", 1);
	line_stream &s = *l.to;
	if (s.f != nullptr && !s.gone) {
		bool written = (s.console && write_console(s.f, l.text, l.length)) || std::fwrite(l.text, 1, l.length, s.f) == l.length;
		if (std::fflush(s.f) != 0 || !written)
			write_failed(s);
	}
	l.length = 0;
}

void write_text(line_stream &s, const char *text)
{
	if (std::fputs(text, s.f) == EOF || std::fflush(s.f) != 0)
		write_failed(s);
}
