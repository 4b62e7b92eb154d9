#pragma once

#include "common/json.h"
#include "http/message.h"

namespace vellora {

// POST /v1/synctex: {"project", "forward": {"file", "line", "column"}} answers where that line is
// in the PDF ({"page", "x", "y", "width", "height"}, PDF points from the page's top-left corner);
// {"project", "reverse": {"page", "x", "y"}} answers the source place ({"file", "line", "column"}).
// Both read the SyncTeX file of the project's last compile.
Reply synctex_endpoint(const json::value& body, const AllowedOrigin& origin);

}  // namespace vellora
