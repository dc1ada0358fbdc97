// The firmware download progress bar, written straight to standard output
// (it is drawn even under --nooutput).
#pragma once

#include <string>

// The text showProgress writes for a percentage: head ("\nProgress:\n" at 0),
// 59 backspaces, the bar line "[==   ]  N%" and tail ("\n" at 100); empty
// for values above 100.
std::string progressText(unsigned int percent);
// Draws the progress bar in one write.
void showProgress(unsigned int percent);
