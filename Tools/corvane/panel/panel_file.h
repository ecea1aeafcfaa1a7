// Panel files: a title and widgets placed on a grid, each tied to an LED, an address or a channel
// of the board. The whole file is read and checked before the panel starts, so a bad file is
// refused with one line naming the place ("panel.json: widgets[3].address: 9 is outside 0 to 7").
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::tool {

constexpr int kPanelAddresses = 8;   // addresses 0 to 7
constexpr int kPanelLeds = 4;        // LEDs 0 to 3
constexpr int kPanelMaxColumns = 12; // the grid's widest row
constexpr int kPanelMaxRows = 100;   // and its deepest column
constexpr std::size_t kPanelMaxWidgets = 256;
constexpr std::size_t kPanelMaxLabel = 64;   // characters of a title or label
constexpr std::size_t kPanelMaxBlock = 4096; // bytes of one block sent from the page

enum class WidgetType { Led, Button, Slider, Number, Text, Chart, Counter, Log };
// What a button, slider or number sends.
enum class SendKind { Trigger, Byte, Block, Control };

struct Widget {
    WidgetType type = WidgetType::Log;
    std::string label;
    int row = 1, column = 1, width = 1, height = 1; // 1-based grid cell and span
    int led = 0;                                    // led
    SendKind send = SendKind::Trigger;              // button, slider, number
    int address = 0;                                // button (byte, control), slider, number, text
    int value = 0;                                  // button: the value; slider, number: the first
    int min = 0, max = 255;                         // slider, number
    bool hex = false;                               // text: the entry is hex bytes, not text
    int channel = 0;                                // chart, counter
};

struct PanelFile {
    std::string title = "Corvane panel";
    int columns = 4;
    std::vector<Widget> widgets; // empty: the default panel
};

// Reads and checks a panel file; on failure returns nullopt and sets `error` to
// "<name>: <place>: <reason>".
std::optional<PanelFile> parsePanelFile(const std::string& text, const std::string& name, std::string& error);
std::optional<PanelFile> loadPanelFile(const std::string& path, std::string& error);

const char* widgetTypeName(WidgetType type);
const char* sendKindName(SendKind kind);
// The panel as the page receives it.
nlohmann::json panelJson(const PanelFile& panel);

} // namespace corvane::tool
