#include "panel_requests.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdlib>

namespace corvane::tool {

namespace {

using nlohmann::json;

struct BadRequest {
    std::string text;
};

[[noreturn]] void refuse(const std::string& what) { throw BadRequest{what}; }

json parseObject(const std::string& body) {
    json root;
    try {
        root = json::parse(body);
    } catch (const json::parse_error& e) {
        refuse(std::string("the body is not JSON: ") + e.what());
    }
    if (!root.is_object()) {
        refuse("the body must be a JSON object");
    }
    return root;
}

void onlyKeys(const json& object, std::initializer_list<const char*> keys) {
    for (const auto& item : object.items()) {
        bool known = false;
        for (const char* key : keys) {
            known = known || item.key() == key;
        }
        if (!known) {
            refuse("unknown field " + json(item.key()).dump(-1, ' ', false, json::error_handler_t::replace));
        }
    }
}

const json& required(const json& object, const char* key) {
    if (!object.contains(key)) {
        refuse(std::string("needs \"") + key + "\"");
    }
    return object[key];
}

// A number as a JSON number or as a text in decimal, "0x" hexadecimal or "0b" binary.
int number(const json& value, const char* name, int low, int high) {
    std::int64_t n = 0;
    if (value.is_number_integer()) {
        n = value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX ? INT64_MAX
                                                                                 : value.get<std::int64_t>();
    } else if (value.is_string()) {
        std::string text = value.get<std::string>();
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            text.erase(0, 2);
        } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
            base = 2;
            text.erase(0, 2);
        }
        char* end = nullptr;
        const bool digits = !text.empty() && std::isalnum(static_cast<unsigned char>(text[0]));
        const unsigned long long parsed = digits ? std::strtoull(text.c_str(), &end, base) : 0;
        if (!digits || end == nullptr || *end != '\0' || text.size() > 20) {
            refuse(std::string(name) + ": " + value.dump(-1, ' ', false, json::error_handler_t::replace) +
                   " is not a number");
        }
        n = parsed > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(parsed);
    } else {
        refuse(std::string(name) + ": must be a whole number");
    }
    if (n < low || n > high) {
        refuse(std::string(name) + ": " + std::to_string(n) + " is outside " + std::to_string(low) + " to " +
               std::to_string(high));
    }
    return static_cast<int>(n);
}

void checkBlockLength(const std::vector<std::uint8_t>& block) {
    if (block.empty() || block.size() > kPanelMaxBlock) {
        refuse("block: " + std::to_string(block.size()) + " bytes is outside 1 to " + std::to_string(kPanelMaxBlock));
    }
}

std::vector<std::uint8_t> blockOf(const json& request) {
    const bool hex = request.contains("hex"), text = request.contains("text");
    if (hex == text) {
        refuse("a block needs either \"hex\" or \"text\"");
    }
    const json& value = request[hex ? "hex" : "text"];
    if (!value.is_string()) {
        refuse(std::string(hex ? "hex" : "text") + ": must be a text");
    }
    std::vector<std::uint8_t> block;
    if (hex) {
        std::string reason;
        if (!parseHexBytes(value.get<std::string>(), block, reason)) {
            refuse("hex: " + reason);
        }
    } else {
        const std::string& bytes = value.get_ref<const std::string&>();
        block.assign(bytes.begin(), bytes.end()); // the text's UTF-8 bytes
    }
    checkBlockLength(block);
    return block;
}

SendKind kindOf(const json& value) {
    const std::string kind = value.is_string() ? value.get<std::string>() : "";
    if (kind == "trigger") {
        return SendKind::Trigger;
    }
    if (kind == "byte") {
        return SendKind::Byte;
    }
    if (kind == "block") {
        return SendKind::Block;
    }
    if (kind == "control") {
        return SendKind::Control;
    }
    refuse("kind: must be \"trigger\", \"byte\", \"block\" or \"control\"");
}

template <typename Parse> bool guarded(std::string& reason, Parse parse) {
    try {
        parse();
        return true;
    } catch (const BadRequest& bad) {
        reason = bad.text;
    } catch (const json::exception& e) {
        reason = e.what();
    }
    return false;
}

} // namespace

bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes, std::string& reason) {
    bytes.clear();
    std::size_t i = 0;
    auto digit = [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0
                   ? (std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : (std::tolower(c) - 'a' + 10))
                   : -1;
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
        }
        if (i + 1 >= text.size() + 0 || digit(text[i]) < 0 || digit(text[i + 1]) < 0) {
            reason = "\"" + text.substr(i, 8) + "\" at character " + std::to_string(i + 1) +
                     " is not a byte in hexadecimal (two digits)";
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
        i += 2;
        if (bytes.size() > kPanelMaxBlock) {
            reason = "more than " + std::to_string(kPanelMaxBlock) + " bytes";
            return false;
        }
    }
    return true;
}

bool parseSendRequest(const std::string& body, SendAction& action, std::string& reason) {
    return guarded(reason, [&] {
        const json request = parseObject(body);
        onlyKeys(request, {"kind", "address", "value", "hex", "text"});
        SendAction result;
        result.kind = kindOf(required(request, "kind"));
        if (result.kind == SendKind::Trigger) {
            if (request.contains("address")) {
                refuse("address: a trigger goes to no address");
            }
        } else {
            result.address = number(required(request, "address"), "address", 0, kPanelAddresses - 1);
        }
        if (result.kind == SendKind::Block) {
            if (request.contains("value")) {
                refuse("value: a block takes \"hex\" or \"text\"");
            }
            result.block = blockOf(request);
        } else {
            if (request.contains("hex") || request.contains("text")) {
                refuse(std::string("a ") + sendKindName(result.kind) + " takes a \"value\", not bytes");
            }
            result.value = number(required(request, "value"), "value", 0, 255);
        }
        action = std::move(result);
    });
}

bool parseWidgetRequest(const std::string& body, const PanelFile& panel, SendAction& action, std::string& reason) {
    return guarded(reason, [&] {
        const json request = parseObject(body);
        onlyKeys(request, {"widget", "value", "text"});
        const int index = number(required(request, "widget"), "widget", 0, static_cast<int>(kPanelMaxWidgets));
        if (static_cast<std::size_t>(index) >= panel.widgets.size()) {
            refuse("widget: " + std::to_string(index) + " is no widget of the panel (it has " +
                   std::to_string(panel.widgets.size()) + ")");
        }
        const Widget& widget = panel.widgets[static_cast<std::size_t>(index)];
        SendAction result;
        result.kind = widget.send;
        result.address = widget.address;
        switch (widget.type) {
        case WidgetType::Button:
            if (request.contains("value") || request.contains("text")) {
                refuse("a button sends its own value");
            }
            result.value = widget.value;
            break;
        case WidgetType::Slider:
        case WidgetType::Number:
            if (request.contains("text")) {
                refuse(std::string("a ") + widgetTypeName(widget.type) + " takes a \"value\"");
            }
            result.value = number(required(request, "value"), "value", widget.min, widget.max);
            break;
        case WidgetType::Text: {
            if (request.contains("value")) {
                refuse("a text widget takes a \"text\"");
            }
            const json& text = required(request, "text");
            if (!text.is_string()) {
                refuse("text: must be a text");
            }
            if (widget.hex) {
                std::string hexReason;
                if (!parseHexBytes(text.get<std::string>(), result.block, hexReason)) {
                    refuse("text: " + hexReason);
                }
            } else {
                const std::string& bytes = text.get_ref<const std::string&>();
                result.block.assign(bytes.begin(), bytes.end());
            }
            checkBlockLength(result.block);
            break;
        }
        default:
            refuse("widget: " + std::to_string(index) + " is a " + widgetTypeName(widget.type) +
                   ", which sends nothing");
        }
        action = std::move(result);
    });
}

bool parseBoardRequest(const std::string& body, int boards, int& board, std::string& reason) {
    return guarded(reason, [&] {
        const json request = parseObject(body);
        onlyKeys(request, {"board"});
        if (boards <= 0) {
            refuse("no board is listed");
        }
        board = number(required(request, "board"), "board", 0, boards - 1);
    });
}

bool parseShowRequest(const std::string& body, ShowAction& action, std::string& reason) {
    return guarded(reason, [&] {
        const json request = parseObject(body);
        onlyKeys(request, {"steps", "delay", "repeats"});
        const json& steps = required(request, "steps");
        if (!steps.is_array() || steps.empty() || steps.size() > kPanelMaxShowSteps) {
            refuse("steps: must be a list of 1 to " + std::to_string(kPanelMaxShowSteps) + " step codes");
        }
        ShowAction result;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const std::string name = "steps[" + std::to_string(i) + "]";
            result.steps.push_back(static_cast<std::uint8_t>(number(steps[i], name.c_str(), 0, 255)));
        }
        if (request.contains("delay")) {
            result.delayMs = number(request["delay"], "delay", 1, kPanelMaxShowDelayMs);
        }
        if (request.contains("repeats")) {
            result.repeats = number(request["repeats"], "repeats", 1, kPanelMaxShowRepeats);
        }
        action = std::move(result);
    });
}

bool hostAllowed(const std::string& host, const std::vector<std::string>& allowed) {
    for (const std::string& name : allowed) {
        if (host.size() == name.size()) {
            bool same = true;
            for (std::size_t i = 0; i < host.size(); ++i) {
                same = same && std::tolower(static_cast<unsigned char>(host[i])) ==
                                   std::tolower(static_cast<unsigned char>(name[i]));
            }
            if (same) {
                return true;
            }
        }
    }
    return false;
}

bool originAllowed(const std::string& origin, const std::vector<std::string>& allowed) {
    const std::string scheme = "http://";
    return origin.size() > scheme.size() && origin.compare(0, scheme.size(), scheme) == 0 &&
           hostAllowed(origin.substr(scheme.size()), allowed);
}

bool tokenMatches(const std::string& given, const std::string& token) {
    unsigned difference = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < token.size(); ++i) {
        difference |=
            static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^ static_cast<unsigned char>(token[i]);
    }
    return difference == 0 && !token.empty();
}

} // namespace corvane::tool
