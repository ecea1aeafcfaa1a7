// `corvane panel`: a page in the browser for the board, served on this machine.
#pragma once

#include "../tool.h"

#include <string>

namespace corvane::tool {

struct PanelOptions {
    std::string file;   // a panel file; empty: the default panel
    int port = 0;       // 0: a free one
    std::string listen; // an address beyond 127.0.0.1 to listen on; then the token is required
    std::string token;  // empty: a random one
    bool open = false;  // start the system's browser on the page (not yet)
};

int panelCommand(Session& session, const PanelOptions& options);

// The page's files, built into the tool from panel/assets.
struct PanelAsset {
    const char* path; // "/", "/panel.js"
    const char* type; // its content type
    const char* text;
};
extern const PanelAsset kPanelAssets[];
extern const int kPanelAssetCount;

} // namespace corvane::tool
