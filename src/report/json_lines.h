// --json: the run as JSON Lines on standard output, one object a line,
// each with its "type": "entry", "left_alone", "backup", "restored",
// "problem", and last, always, "summary". Paths and names are
// {"text": "..."} when their bytes are UTF-8, else {"bytes": "BASE64"},
// as ripgrep writes them. A listener of the report.
#ifndef TXD_DEPTH_FIX_JSON_LINES_H
#define TXD_DEPTH_FIX_JSON_LINES_H

#include "report/event.h"
#include "report/lines.h"

struct json_lines {
	line_stream *out;
	run_asked asked;
	bool over; // the summary is written: nothing follows it on out
	line l;
};

void json_lines_begin(json_lines &j, line_stream &out);
void json_lines_end(json_lines &j);
listener json_listener(json_lines &j);

#endif
