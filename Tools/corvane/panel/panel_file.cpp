#include "panel_file.h"

#include <fstream>
#include <initializer_list>
#include <sstream>

namespace corvane::tool {

namespace {

using nlohmann::json;

struct Refusal {
    std::string text;
};

[[noreturn]] void refuse(const std::string& where, const std::string& what) { throw Refusal{where + ": " + what}; }

// A text from the file inside a reason, with JSON's escapes: a line break in it cannot break the
// reason's one line.
std::string quoted(const std::string& text) { return json(text).dump(-1, ' ', false, json::error_handler_t::replace); }

void onlyKeys(const json& object, const std::string& where, std::initializer_list<const char*> keys) {
    for (const auto& item : object.items()) {
        bool known = false;
        for (const char* key : keys) {
            known = known || item.key() == key;
        }
        if (!known) {
            refuse(where, "unknown key " + quoted(item.key()));
        }
    }
}

int integer(const json& value, const std::string& where, int low, int high) {
    if (!value.is_number_integer()) {
        refuse(where, "must be a whole number");
    }
    // Compared as 64 bits: 4294967296 must not wrap into range.
    const std::int64_t number =
        value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX ? INT64_MAX : value.get<std::int64_t>();
    if (number < low || number > high) {
        refuse(where, std::to_string(number) + " is outside " + std::to_string(low) + " to " + std::to_string(high));
    }
    return static_cast<int>(number);
}

int optionalInteger(const json& object, const char* key, const std::string& where, int low, int high, int fallback) {
    return object.contains(key) ? integer(object[key], where + "." + key, low, high) : fallback;
}

std::string label(const json& value, const std::string& where) {
    if (!value.is_string()) {
        refuse(where, "must be a text");
    }
    const std::string text = value.get<std::string>();
    if (text.size() > kPanelMaxLabel) {
        refuse(where, "must have at most " + std::to_string(kPanelMaxLabel) + " characters");
    }
    return text;
}

const json& required(const json& object, const char* key, const std::string& where) {
    if (!object.contains(key)) {
        refuse(where, std::string("needs \"") + key + "\"");
    }
    return object[key];
}

SendKind sendKind(const json& value, const std::string& where, bool triggerAllowed) {
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (text == "trigger" && triggerAllowed) {
        return SendKind::Trigger;
    }
    if (text == "byte") {
        return SendKind::Byte;
    }
    if (text == "control") {
        return SendKind::Control;
    }
    refuse(where, std::string("must be ") + (triggerAllowed ? "\"trigger\", " : "") + "\"byte\" or \"control\"");
}

Widget widget(const json& object, const std::string& where, int columns) {
    if (!object.is_object()) {
        refuse(where, "must be an object");
    }
    const json& typeValue = required(object, "type", where);
    const std::string type = typeValue.is_string() ? typeValue.get<std::string>() : "";
    Widget w;
    const std::initializer_list<const char*> place = {"type", "label", "row", "column", "width", "height"};
    auto keys = [&](std::initializer_list<const char*> own) {
        std::vector<const char*> all(place);
        all.insert(all.end(), own);
        for (const auto& item : object.items()) {
            bool known = false;
            for (const char* key : all) {
                known = known || item.key() == key;
            }
            if (!known) {
                refuse(where, "unknown key " + quoted(item.key()) + " for a " + type);
            }
        }
    };
    if (type == "led") {
        keys({"led"});
        w.type = WidgetType::Led;
        w.led = integer(required(object, "led", where), where + ".led", 0, kPanelLeds - 1);
    } else if (type == "button") {
        keys({"send", "address", "value"});
        w.type = WidgetType::Button;
        w.send = sendKind(required(object, "send", where), where + ".send", true);
        if (w.send != SendKind::Trigger) {
            w.address = integer(required(object, "address", where), where + ".address", 0, kPanelAddresses - 1);
        } else if (object.contains("address")) {
            refuse(where + ".address", "a trigger goes to no address");
        }
        w.value = integer(required(object, "value", where), where + ".value", 0, 255);
    } else if (type == "slider" || type == "number") {
        keys({"send", "address", "min", "max", "value"});
        w.type = type == "slider" ? WidgetType::Slider : WidgetType::Number;
        w.send = sendKind(required(object, "send", where), where + ".send", false);
        w.address = integer(required(object, "address", where), where + ".address", 0, kPanelAddresses - 1);
        w.min = optionalInteger(object, "min", where, 0, 255, 0);
        w.max = optionalInteger(object, "max", where, 0, 255, 255);
        if (w.min > w.max) {
            refuse(where + ".min", std::to_string(w.min) + " is above max " + std::to_string(w.max));
        }
        w.value = optionalInteger(object, "value", where, w.min, w.max, w.min);
    } else if (type == "text") {
        keys({"address", "format"});
        w.type = WidgetType::Text;
        w.send = SendKind::Block;
        w.address = integer(required(object, "address", where), where + ".address", 0, kPanelAddresses - 1);
        if (object.contains("format")) {
            const json& format = object["format"];
            if (format != "text" && format != "hex") {
                refuse(where + ".format", "must be \"text\" or \"hex\"");
            }
            w.hex = format == "hex";
        }
    } else if (type == "chart" || type == "counter") {
        keys({"channel"});
        w.type = type == "chart" ? WidgetType::Chart : WidgetType::Counter;
        w.channel = integer(required(object, "channel", where), where + ".channel", 0, kPanelAddresses - 1);
    } else if (type == "log") {
        keys({});
        w.type = WidgetType::Log;
    } else {
        refuse(where + ".type", (typeValue.is_string() ? quoted(type) : typeValue.dump()) +
                                    " is no widget (led, button, slider, number, text, chart, counter, log)");
    }
    if (object.contains("label")) {
        w.label = label(object["label"], where + ".label");
    }
    w.width = optionalInteger(object, "width", where, 1, columns, 1);
    w.height = optionalInteger(object, "height", where, 1, kPanelMaxRows, 1);
    w.column = optionalInteger(object, "column", where, 1, columns - w.width + 1, 1);
    w.row = optionalInteger(object, "row", where, 1, kPanelMaxRows - w.height + 1, 1);
    return w;
}

PanelFile panel(const json& root) {
    if (!root.is_object()) {
        refuse("(top)", "must be an object");
    }
    onlyKeys(root, "(top)", {"comment", "title", "columns", "widgets"});
    PanelFile result;
    if (root.contains("title")) {
        result.title = label(root["title"], "title");
    }
    result.columns = optionalInteger(root, "columns", "", 1, kPanelMaxColumns, result.columns);
    const json& widgets = required(root, "widgets", "(top)");
    if (!widgets.is_array() || widgets.empty() || widgets.size() > kPanelMaxWidgets) {
        refuse("widgets", "must be a list of 1 to " + std::to_string(kPanelMaxWidgets) + " widgets");
    }
    for (std::size_t i = 0; i < widgets.size(); ++i) {
        result.widgets.push_back(widget(widgets[i], "widgets[" + std::to_string(i) + "]", result.columns));
    }
    return result;
}

} // namespace

std::optional<PanelFile> parsePanelFile(const std::string& text, const std::string& name, std::string& error) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        // The parser's text names the byte where the file stops being JSON.
        error = name + ": not JSON: " + e.what();
        return std::nullopt;
    }
    try {
        return panel(root);
    } catch (const Refusal& refusal) {
        // "columns" at the top reads better without a leading dot.
        std::string reason = refusal.text;
        if (reason.rfind('.', 0) == 0) {
            reason.erase(0, 1);
        }
        error = name + ": " + reason;
        return std::nullopt;
    }
}

std::optional<PanelFile> loadPanelFile(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parsePanelFile(text.str(), path, error);
}

const char* widgetTypeName(WidgetType type) {
    switch (type) {
    case WidgetType::Led:
        return "led";
    case WidgetType::Button:
        return "button";
    case WidgetType::Slider:
        return "slider";
    case WidgetType::Number:
        return "number";
    case WidgetType::Text:
        return "text";
    case WidgetType::Chart:
        return "chart";
    case WidgetType::Counter:
        return "counter";
    case WidgetType::Log:
        break;
    }
    return "log";
}

const char* sendKindName(SendKind kind) {
    switch (kind) {
    case SendKind::Trigger:
        return "trigger";
    case SendKind::Byte:
        return "byte";
    case SendKind::Block:
        return "block";
    case SendKind::Control:
        break;
    }
    return "control";
}

nlohmann::json panelJson(const PanelFile& panel) {
    json widgets = json::array();
    for (const Widget& w : panel.widgets) {
        json item = {{"type", widgetTypeName(w.type)},
                     {"label", w.label},
                     {"row", w.row},
                     {"column", w.column},
                     {"width", w.width},
                     {"height", w.height}};
        switch (w.type) {
        case WidgetType::Led:
            item["led"] = w.led;
            break;
        case WidgetType::Button:
            item["send"] = sendKindName(w.send);
            item["address"] = w.address;
            item["value"] = w.value;
            break;
        case WidgetType::Slider:
        case WidgetType::Number:
            item["send"] = sendKindName(w.send);
            item["address"] = w.address;
            item["min"] = w.min;
            item["max"] = w.max;
            item["value"] = w.value;
            break;
        case WidgetType::Text:
            item["address"] = w.address;
            item["format"] = w.hex ? "hex" : "text";
            break;
        case WidgetType::Chart:
        case WidgetType::Counter:
            item["channel"] = w.channel;
            break;
        case WidgetType::Log:
            break;
        }
        widgets.push_back(item);
    }
    return {{"title", panel.title}, {"columns", panel.columns}, {"widgets", widgets}};
}

} // namespace corvane::tool
