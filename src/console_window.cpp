#include "console_window.h"

#include <cstdio>

#include "file_access.h"

static const char *const HINTS[] = {
    "",
    "Loose texture dictionaries (.txd files) are repaired when you drop their folder onto txd-depth-fix.exe.\n",
    "Drop VER2 archives or folders onto txd-depth-fix.exe: it repairs them in place (back up first, or use -b).\n",
};

bool console_closes_at_exit(unsigned long console_processes, bool stdin_is_console)
{
	return console_processes == 1 && stdin_is_console;
}

held_window_hint held_window_hint_for(const run_summary &summary)
{
	if (summary.operands == 0)
		return HINT_DROP_SOMETHING;
	return summary.left_alone > 0 ? HINT_DROP_THE_FOLDER : HINT_NONE;
}

void hold_console_window(const run_summary &summary)
{
	if (!console_closes_at_exit(console_processes(), standard_input_is_console()))
		return;
	char text[TOTALS_ROOM + 256];
	std::snprintf(text, sizeof text, "\n%s\n%sPress Enter to close this window.", summary.totals,
	              HINTS[held_window_hint_for(summary)]);
	show_on_console_and_wait(text);
}
