#pragma once

#include <exception>
#include <string>

// An error's text as the command line's notes, JSON outcome and report give it (its message
// line keeps the window's box text): a socket-layer error whose own text is the
// layer's jargon ("Socket readln aborted", "Connection Failed") is told in plain words from its
// kind, with the platform's cause where there is one; any other text is shown as the window
// shows it.
std::string PlainErrorText(const std::exception& error);
