// JSON Lines: one object per event, written whole.
#include "report/json_lines.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "report/report.h"

void json_lines_begin(json_lines &j, line_stream &out)
{
	j = {};
	j.out = &out;
}

void json_lines_end(json_lines &j)
{
	release_line(j.l);
}

static bool is_utf8(const unsigned char *text, std::size_t n)
{
	for (std::size_t i = 0, length; i < n; i += length)
		if ((length = utf8_length(text + i, n - i)) == 0)
			return false;
	return true;
}

// The code point of a control character that starts text in length
// bytes (C0, DEL or C1), or -1: escaped in JSON, so that a terminal shown
// the lines is never driven by them.
static long control_at(const unsigned char *text, std::size_t length)
{
	if (length == 1 && (text[0] < 0x20 || text[0] == 0x7F))
		return text[0];
	return length == 2 && text[0] == 0xC2 && text[1] <= 0x9F ? text[1] : -1;
}

static void add_unicode_escape(line &l, unsigned char control)
{
	static const char HEX[] = "0123456789abcdef";
	const char escaped[] = {'\\', 'u', '0', '0', HEX[control >> 4], HEX[control & 0xF], '\0'};
	line_add(l, escaped);
}

// UTF-8 text inside a JSON string: quotes, backslashes and controls
// escaped; a byte that is no part of a UTF-8 character as U+FFFD.
static void add_escaped(line &l, const char *text, std::size_t n)
{
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
	for (std::size_t i = 0, length; i < n; i += length) {
		length = utf8_length(bytes + i, n - i);
		long control = length > 0 ? control_at(bytes + i, length) : -1;
		char escaped[3] = {'\\', text[i], '\0'};
		if (length == 0)
			line_add(l, "\\ufffd"), length = 1;
		else if (text[i] == '"' || text[i] == '\\')
			line_add(l, escaped);
		else if (control >= 0)
			add_unicode_escape(l, static_cast<unsigned char>(control));
		else
			line_add_n(l, text + i, length);
	}
}

static void add_string(line &l, const char *text, std::size_t n)
{
	line_add(l, "\"");
	add_escaped(l, text, n);
	line_add(l, "\"");
}

static void add_base64(line &l, const unsigned char *bytes, std::size_t n)
{
	static const char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	line_add(l, "\"");
	for (std::size_t i = 0; i < n; i += 3) {
		unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
		if (i + 1 < n)
			group |= static_cast<unsigned long>(bytes[i + 1]) << 8;
		if (i + 2 < n)
			group |= bytes[i + 2];
		char four[5] = {DIGITS[group >> 18 & 63], DIGITS[group >> 12 & 63], i + 1 < n ? DIGITS[group >> 6 & 63] : '=',
		                i + 2 < n ? DIGITS[group & 63] : '=', '\0'};
		line_add(l, four);
	}
	line_add(l, "\"");
}

// A name or a path: {"text": "..."} when its bytes are UTF-8, else
// {"bytes": "BASE64"}; null for none.
static void add_name_n(line &l, const char *name, std::size_t n)
{
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(name);
	if (name == nullptr) {
		line_add(l, "null");
	} else if (is_utf8(bytes, n)) {
		line_add(l, "{\"text\":");
		add_string(l, name, n);
		line_add(l, "}");
	} else {
		line_add(l, "{\"bytes\":");
		add_base64(l, bytes, n);
		line_add(l, "}");
	}
}

static void add_name(line &l, const char *name)
{
	add_name_n(l, name, name != nullptr ? std::strlen(name) : 0);
}

// ,"key":
static void add_key(line &l, const char *key)
{
	line_add(l, ",\"");
	line_add(l, key);
	line_add(l, "\":");
}

static line &begin_object(json_lines &j, const char *type, const char *path)
{
	start_line(j.l, *j.out);
	line_add(j.l, "{\"type\":\"");
	line_add(j.l, type);
	line_add(j.l, "\"");
	if (path != nullptr) {
		add_key(j.l, "path");
		add_name(j.l, path);
	}
	return j.l;
}

static void end_object(line &l)
{
	line_add(l, "}");
	line_end(l);
}

static void add_number(line &l, const char *key, std::uint64_t n)
{
	add_key(l, key);
	line_add_number(l, n);
}

static void add_textures(line &l, const event &e)
{
	add_key(l, "textures");
	line_add(l, "[");
	for (std::size_t i = 0; i < e.texture_count; i++) {
		const texture_note &t = e.textures[i];
		line_add(l, i > 0 ? ",{\"name\":" : "{\"name\":");
		std::size_t n = 0;
		while (n + 1 < TEXTURE_NAME_ROOM && t.name[n] != 0)
			n++;
		add_name_n(l, reinterpret_cast<const char *>(t.name), n);
		add_key(l, "format");
		add_string(l, t.format, std::strlen(t.format));
		add_number(l, "depth", t.old_depth);
		line_add(l, t.reached ? ",\"reached\":true}" : ",\"reached\":false}");
	}
	line_add(l, "]");
}

static void entry(json_lines &j, const event &e)
{
	if (j.asked.quiet && e.found == 0)
		return;
	line &l = begin_object(j, "entry", e.path);
	add_key(l, "entry");
	add_name(l, e.entry);
	add_number(l, "found", static_cast<std::uint64_t>(e.found));
	add_number(l, "repaired", static_cast<std::uint64_t>(e.written));
	add_number(l, "still", static_cast<std::uint64_t>(e.still));
	add_textures(l, e);
	end_object(l);
}

// With a second path: the backup made, or restored from.
static void with_path(json_lines &j, const char *type, const event &e, const char *key)
{
	line &l = begin_object(j, type, e.path);
	add_key(l, key);
	add_name(l, e.what);
	end_object(l);
}

static void left_alone(json_lines &j, const event &e)
{
	line &l = begin_object(j, "left_alone", e.path);
	add_key(l, "why");
	add_string(l, e.what, std::strlen(e.what));
	if (e.other != nullptr) {
		add_key(l, "first");
		add_name(l, e.other);
	}
	end_object(l);
}

// The message as the problem's line on standard error says it after its
// path and entry.
static void problem(json_lines &j, const event &e)
{
	bool left = (e.flags & FLAG_ALSO_LEFT_ALONE) != 0;
	const char *what = e.what != nullptr ? e.what : "", *why = e.err != 0 ? std::strerror(e.err) : "";
	const char *between = left ? " " : e.what != nullptr && e.err != 0 ? ": " : "", *after = left ? e.other : why;
	line &l = begin_object(j, "problem", e.path);
	add_key(l, "entry");
	add_name(l, e.entry);
	add_key(l, "message");
	line_add(l, left ? "\"left alone: " : "\"");
	for (const char *part : {what, between, after})
		add_escaped(l, part, std::strlen(part));
	line_add(l, "\"");
	end_object(l);
}

static void summary(json_lines &j, const event &e)
{
	const report_totals &t = *e.totals;
	line &l = begin_object(j, "summary", nullptr);
	add_key(l, "dry_run");
	line_add(l, j.asked.dry_run ? "true" : "false");
	add_number(l, "textures", t.textures);
	add_number(l, "files", t.files);
	add_number(l, "changed", t.repaired);
	add_number(l, "still", t.still);
	add_number(l, "left_alone", t.left_alone);
	add_number(l, "problems", t.problems);
	add_number(l, "restored", t.restored);
	end_object(l);
	j.over = true;
}

static void heard(void *context, const event &e)
{
	json_lines &j = *static_cast<json_lines *>(context);
	if (j.over)
		return;
	switch (e.kind) {
	case EVENT_START: j.asked = *e.asked; break;
	case EVENT_ENTRY: entry(j, e); break;
	case EVENT_LEFT_ALONE: left_alone(j, e); break;
	case EVENT_BACKUP:
		if ((e.flags & FLAG_UNDO_RECORD) != 0)
			with_path(j, "undo", e, "record");
		else if ((e.flags & FLAG_BACKUP_REMOVED) != 0)
			with_path(j, "backup_removed", e, "backup");
		else if ((e.flags & FLAG_BACKUP_ALREADY) != 0)
			with_path(j, "backed_up_already", e, "backup");
		else
			with_path(j, "backup", e, "backup");
		break;
	case EVENT_RESTORED: with_path(j, "restored", e, "from"); break;
	case EVENT_WAITING: end_object(begin_object(j, "waiting", e.path)); break;
	case EVENT_PROBLEM: problem(j, e); break;
	case EVENT_SUMMARY: summary(j, e); break;
	default: break;
	}
}

listener json_listener(json_lines &j)
{
	return {heard, &j};
}
