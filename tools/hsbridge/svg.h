// A sequence diagram of a run: lifelines for the client, the filter, the
// function driver, the port (VCOMM and UART) and the handset; requests,
// completions, port calls and line bytes as arrows down a virtual time axis.
#pragma once

#include <string>
#include <vector>

#include "machine/trace.h"

namespace hs::tool {

// Renders the events as a standalone SVG document. Runs of identical port
// calls (a read polling the port) are drawn once with their count, and
// consecutive bytes in one direction as one arrow.
std::string render_svg(const std::vector<TraceEvent>& events, const std::string& title);

// Escapes text for XML character data and attribute values; control
// characters and bytes outside ASCII become '?'.
std::string xml_escape(std::string_view text);

}  // namespace hs::tool
