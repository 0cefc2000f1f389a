// veskaopt watch: follows an options object's Changed events and prints one
// line per event until Ctrl+C, a number of events or a number of seconds.
#pragma once

#include <string>

#include "inspector/OptionsTree.h"

namespace veskaopt {

// Watches the registry and the settings folder of the session's object
// (initialised) and prints the events below path; count 0 and seconds 0 mean
// without end. Returns the exit status.
int WatchEvents(OptionsSession& session, const std::wstring& path, long count, double seconds);

}  // namespace veskaopt
