// The page's server: HTTP for the page's files, a WebSocket for each pane and one for the
// consoles' listing, every request checked by the access rules.
#pragma once

#include "web/access.h"
#include "web/pane.h"
#include "web/web_options.h"

namespace qc::web {

// Serves until SIGINT or SIGTERM; then every pane leaves its console with [quit]. The exit
// status.
int RunServer(const WebOptions& options, const ConsoleSettings& consoles, SharedPassword& password,
              const std::string& token);

}  // namespace qc::web
