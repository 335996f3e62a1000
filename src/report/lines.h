// Lines written whole, one write each, so that runs sharing a pipe never
// tear one another's lines; on a terminal, control bytes of names and paths
// print as '?'. What the text lines, JSON Lines and the drop window write
// with.
#ifndef TXD_DEPTH_FIX_LINES_H
#define TXD_DEPTH_FIX_LINES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A stream lines go to, and what became of its writes. A stream of none
// (f null) shows names as a terminal does and writes nothing: lines built
// for it are kept, not written.
struct line_stream {
	std::FILE *f;
	bool terminal, console; // a Windows console is written as characters
	int error;              // errno of the first failed write, or 0
	bool gone;              // its reader went away: nothing more is written to it
};

void open_line_stream(line_stream &s, std::FILE *f);

// Flushes the stream; the errno of a write that failed, or 0. A reader
// that went away (a closed pipe) wanted no more: that is no failure.
int close_line_stream(line_stream &s);

// The line in hand, and the stream it is for. A line that memory cannot
// hold whole is written in parts rather than lost.
struct line {
	line_stream *to;
	char *text;
	std::size_t length, room;
};

void start_line(line &l, line_stream &to);
void release_line(line &l);
void line_add(line &l, const char *text);
void line_add_n(line &l, const char *text, std::size_t n);
// Names and paths, shown as the stream allows.
void line_add_shown(line &l, const char *text);
void line_add_shown_n(line &l, const char *text, std::size_t n);
void line_add_number(line &l, std::uint64_t n);
// Ends the line with "\n" and writes it.
void line_end(line &l);

// Text as it is, in one write (help, the version).
void write_text(line_stream &s, const char *text);

// The length of the well-formed UTF-8 character that starts text (at most
// n bytes): 1 to 4, or 0 when text starts with a byte that is no part of
// one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8_length(const unsigned char *text, std::size_t n);

// Copies the n bytes of text to out as a terminal must be shown them: a
// control character or a malformed UTF-8 byte as '?'. Returns the bytes
// written; out has room for n.
std::size_t shown_as_on_a_terminal(const char *text, std::size_t n, char *out);

#endif
