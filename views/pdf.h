// Documents as PDF: an HTML text laid out by Qt's text document on A4 pages. Needs the
// windowed run-time (Qt Gui); the command-line tool asks the window program to do it.
#pragma once

#include <string>

// Writes `html` as a PDF file, atomically. False with a one-line reason in `error`.
bool WriteHtmlAsPdf(const std::string& html, const std::string& path, const std::string& title,
                    std::string& error);

// The window program's --html-to-pdf IN OUT: starts the run-time on the offscreen platform (no
// display is needed), converts, and returns the exit code (0, or 1 with a line on stderr).
int ConvertHtmlFileToPdf(int argc, char** argv, const std::string& in, const std::string& out);
