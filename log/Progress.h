// The firmware download progress bar, written straight to standard output
// (it is drawn even under --nooutput).
#pragma once

#include <string>

// The text showProgress writes for a percentage: head ("\nProgress:\n" at 0),
// 59 backspaces, the bar line "[==   ]  N%" and tail ("\n" at 100); empty
// for values above 100. As plain lines (for files and pipes, where
// backspaces cannot redraw anything) there are no backspaces and every bar
// line ends with a line end.
std::string progressText(unsigned int percent, bool plainLines = false);
// Draws the progress bar in one write, as plain lines when set so.
void showProgress(unsigned int percent);

// Plain lines or the redrawn bar; the entry point chooses plain lines when
// standard output is not a terminal. The redrawn bar until set.
void setProgressPlainLines(bool plainLines);
