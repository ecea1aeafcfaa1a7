// The panel's checks without a server: panel files refused with the place of the fault, and the
// page's requests turned into exactly the message they ask for, or refused with the reason.
#include "panel_file.h"
#include "panel_requests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace corvane::tool;

namespace {

std::string refusal(const std::string& text) {
    std::string error;
    const auto panel = parsePanelFile(text, "panel.json", error);
    EXPECT_FALSE(panel.has_value()) << text;
    return error;
}

PanelFile parsed(const std::string& text) {
    std::string error;
    const auto panel = parsePanelFile(text, "panel.json", error);
    EXPECT_TRUE(panel.has_value()) << error;
    return panel.value_or(PanelFile{});
}

std::string sendRefusal(const std::string& body) {
    SendAction action;
    std::string reason;
    EXPECT_FALSE(parseSendRequest(body, action, reason)) << body;
    return reason;
}

SendAction sent(const std::string& body) {
    SendAction action;
    std::string reason;
    EXPECT_TRUE(parseSendRequest(body, action, reason)) << body << ": " << reason;
    return action;
}

} // namespace

TEST(PanelFile, EveryWidgetIsReadWithItsPlaceAndFields) {
    const PanelFile panel = parsed(R"({"title": "Lab", "columns": 3, "widgets": [
        {"type": "led", "led": 3, "label": "run"},
        {"type": "button", "send": "trigger", "value": 8, "row": 2, "column": 3},
        {"type": "button", "send": "control", "address": 2, "value": 17},
        {"type": "slider", "send": "byte", "address": 7, "min": 10, "max": 20, "width": 2},
        {"type": "number", "send": "control", "address": 0},
        {"type": "text", "address": 5, "format": "hex"},
        {"type": "chart", "channel": 6, "height": 2},
        {"type": "counter", "channel": 0},
        {"type": "log"}]})");
    ASSERT_EQ(panel.widgets.size(), 9u);
    EXPECT_EQ(panel.title, "Lab");
    EXPECT_EQ(panel.columns, 3);
    EXPECT_EQ(panel.widgets[0].led, 3);
    EXPECT_EQ(panel.widgets[0].label, "run");
    EXPECT_EQ(panel.widgets[1].send, SendKind::Trigger);
    EXPECT_EQ(panel.widgets[1].value, 8);
    EXPECT_EQ(panel.widgets[1].row, 2);
    EXPECT_EQ(panel.widgets[1].column, 3);
    EXPECT_EQ(panel.widgets[3].min, 10);
    EXPECT_EQ(panel.widgets[3].value, 10); // a slider starts at its minimum
    EXPECT_EQ(panel.widgets[3].width, 2);
    EXPECT_TRUE(panel.widgets[5].hex);
    EXPECT_EQ(panel.widgets[6].channel, 6);
    EXPECT_EQ(panelJson(panel)["widgets"][3]["address"], 7);
    EXPECT_EQ(panelJson(panel)["widgets"][8]["type"], "log");
}

// A value given as a text is refused: a panel file says numbers as numbers.
TEST(PanelFile, ATextForANumberIsRefused) {
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "button", "send": "control", "address": 2, "value": "0x11"}]})"),
              "panel.json: widgets[0].value: must be a whole number");
}

TEST(PanelFile, AFaultIsRefusedNamingItsPlace) {
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "log"}, {"type": "log"}, {"type": "log"},
                                       {"type": "button", "send": "byte", "address": 9, "value": 1}]})"),
              "panel.json: widgets[3].address: 9 is outside 0 to 7");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "dial"}]})"),
              "panel.json: widgets[0].type: \"dial\" is no widget (led, button, slider, number, text, chart, counter, "
              "log)");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "led", "led": 4}]})"),
              "panel.json: widgets[0].led: 4 is outside 0 to 3");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "led"}]})"), "panel.json: widgets[0]: needs \"led\"");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "chart", "channel": 1, "address": 2}]})"),
              "panel.json: widgets[0]: unknown key \"address\" for a chart");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "button", "send": "trigger", "address": 1, "value": 1}]})"),
              "panel.json: widgets[0].address: a trigger goes to no address");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "slider", "send": "trigger", "address": 1}]})"),
              "panel.json: widgets[0].send: must be \"byte\" or \"control\"");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "slider", "send": "byte", "address": 1, "min": 9, "max": 3}]})"),
              "panel.json: widgets[0].min: 9 is above max 3");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "number", "send": "byte", "address": 1, "max": 3, "value": 4}]})"),
              "panel.json: widgets[0].value: 4 is outside 0 to 3");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "text", "address": 1, "format": "base64"}]})"),
              "panel.json: widgets[0].format: must be \"text\" or \"hex\"");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "log", "label": 5}]})"), "panel.json: widgets[0].label: must be a text");
}

TEST(PanelFile, AWidgetMustFitTheGrid) {
    EXPECT_EQ(refusal(R"({"columns": 4, "widgets": [{"type": "log", "column": 5}]})"),
              "panel.json: widgets[0].column: 5 is outside 1 to 4");
    EXPECT_EQ(refusal(R"({"columns": 4, "widgets": [{"type": "log", "width": 3, "column": 3}]})"),
              "panel.json: widgets[0].column: 3 is outside 1 to 2");
    EXPECT_EQ(refusal(R"({"columns": 13, "widgets": [{"type": "log"}]})"),
              "panel.json: columns: 13 is outside 1 to 12");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "log", "row": 0}]})"),
              "panel.json: widgets[0].row: 0 is outside 1 to 100");
}

TEST(PanelFile, TheFileAsAWholeIsChecked) {
    EXPECT_EQ(refusal(R"({"title": "x"})"), "panel.json: (top): needs \"widgets\"");
    EXPECT_EQ(refusal(R"({"widgets": []})"), "panel.json: widgets: must be a list of 1 to 256 widgets");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "log"}], "colour": "red"})"),
              "panel.json: (top): unknown key \"colour\"");
    EXPECT_EQ(refusal(R"([1, 2])"), "panel.json: (top): must be an object");
    EXPECT_EQ(refusal(R"({"title": "a\nb", "widgets": [{"type": "dial\nx"}]})"),
              "panel.json: widgets[0].type: \"dial\\nx\" is no widget (led, button, slider, number, text, chart, "
              "counter, log)");
    EXPECT_EQ(refusal(R"({"widgets": [{"type": "led", "led": 18446744073709551615}]})"),
              "panel.json: widgets[0].led: 9223372036854775807 is outside 0 to 3");
    EXPECT_EQ(refusal("{\"widgets\": [").rfind("panel.json: not JSON: ", 0), 0u);
    std::string error;
    EXPECT_FALSE(loadPanelFile("/nonexistent/panel.json", error));
    EXPECT_EQ(error, "/nonexistent/panel.json: cannot be read");
}

TEST(PanelRequests, EachKindOfSendBecomesItsMessage) {
    SendAction trigger = sent(R"({"kind": "trigger", "value": "0x05"})");
    EXPECT_EQ(trigger.kind, SendKind::Trigger);
    EXPECT_EQ(trigger.value, 5);
    SendAction byte = sent(R"({"kind": "byte", "address": "3", "value": 65})");
    EXPECT_EQ(byte.kind, SendKind::Byte);
    EXPECT_EQ(byte.address, 3);
    EXPECT_EQ(byte.value, 65);
    SendAction control = sent(R"({"kind": "control", "address": 2, "value": "0b10001"})");
    EXPECT_EQ(control.kind, SendKind::Control);
    EXPECT_EQ(control.value, 17);
    SendAction hex = sent(R"({"kind": "block", "address": 7, "hex": "48 65,6c 0x6C6f"})");
    EXPECT_EQ(hex.block, (std::vector<std::uint8_t>{0x48, 0x65, 0x6C, 0x6C, 0x6F}));
    SendAction text = sent(R"({"kind": "block", "address": 0, "text": "Hé"})");
    EXPECT_EQ(text.block, (std::vector<std::uint8_t>{'H', 0xC3, 0xA9}));
    EXPECT_EQ(sent(R"({"kind": "block", "address": 0, "text": ")" + std::string(4096, 'x') + "\"}").block.size(),
              4096u);
}

TEST(PanelRequests, ABadFieldIsRefusedWithTheReason) {
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 8, "value": 1})"), "address: 8 is outside 0 to 7");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": -1, "value": 1})"), "address: -1 is outside 0 to 7");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 1, "value": 256})"), "value: 256 is outside 0 to 255");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 1, "value": "0x100"})"), "value: 256 is outside 0 to 255");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 1, "value": "-1"})"), "value: \"-1\" is not a number");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 1, "value": "12abc"})"), "value: \"12abc\" is not a number");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 1, "value": 1.5})"), "value: must be a whole number");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "value": 1})"), "needs \"address\"");
    EXPECT_EQ(sendRefusal(R"({"kind": "trigger", "address": 1, "value": 1})"), "address: a trigger goes to no address");
    EXPECT_EQ(sendRefusal(R"({"kind": "poke", "value": 1})"),
              "kind: must be \"trigger\", \"byte\", \"block\" or \"control\"");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 1, "value": 1, "extra": 1})"), "unknown field \"extra\"");
    EXPECT_EQ(sendRefusal(R"({"kind": "block", "address": 1, "text": ""})"), "block: 0 bytes is outside 1 to 4096");
    EXPECT_EQ(sendRefusal(R"({"kind": "block", "address": 1, "text": ")" + std::string(4097, 'x') + "\"}"),
              "block: 4097 bytes is outside 1 to 4096");
    EXPECT_EQ(sendRefusal(R"({"kind": "block", "address": 1, "hex": "48 6"})"),
              "hex: \"6\" at character 4 is not a byte in hexadecimal (two digits)");
    EXPECT_EQ(sendRefusal(R"({"kind": "block", "address": 1, "hex": "zz"})"),
              "hex: \"zz\" at character 1 is not a byte in hexadecimal (two digits)");
    EXPECT_EQ(sendRefusal(R"({"kind": "block", "address": 1, "hex": "41", "text": "A"})"),
              "a block needs either \"hex\" or \"text\"");
    EXPECT_EQ(sendRefusal(R"({"kind": "byte", "address": 1, "hex": "41"})"), "a byte takes a \"value\", not bytes");
    EXPECT_EQ(sendRefusal("[1]"), "the body must be a JSON object");
    EXPECT_EQ(sendRefusal("").rfind("the body is not JSON: ", 0), 0u);
    EXPECT_EQ(sendRefusal("{\"kind\": \"byte\", ").rfind("the body is not JSON: ", 0), 0u);
}

TEST(PanelRequests, AWidgetSendsWhatThePanelFileSays) {
    const PanelFile panel = parsed(R"({"widgets": [
        {"type": "button", "send": "control", "address": 2, "value": 17},
        {"type": "slider", "send": "byte", "address": 4, "min": 10, "max": 20},
        {"type": "text", "address": 5, "format": "hex"},
        {"type": "chart", "channel": 1}]})");
    SendAction action;
    std::string reason;
    ASSERT_TRUE(parseWidgetRequest(R"({"widget": 0})", panel, action, reason)) << reason;
    EXPECT_EQ(action.kind, SendKind::Control);
    EXPECT_EQ(action.address, 2);
    EXPECT_EQ(action.value, 17);
    ASSERT_TRUE(parseWidgetRequest(R"({"widget": 1, "value": "15"})", panel, action, reason)) << reason;
    EXPECT_EQ(action.kind, SendKind::Byte);
    EXPECT_EQ(action.address, 4);
    EXPECT_EQ(action.value, 15);
    ASSERT_TRUE(parseWidgetRequest(R"({"widget": 2, "text": "01 02"})", panel, action, reason)) << reason;
    EXPECT_EQ(action.block, (std::vector<std::uint8_t>{1, 2}));

    const auto refused = [&](const std::string& body) {
        SendAction untouched;
        untouched.value = 99;
        std::string why;
        EXPECT_FALSE(parseWidgetRequest(body, panel, untouched, why)) << body;
        EXPECT_EQ(untouched.value, 99) << body; // nothing of a refused request is kept
        return why;
    };
    EXPECT_EQ(refused(R"({"widget": 1, "value": 21})"), "value: 21 is outside 10 to 20");
    EXPECT_EQ(refused(R"({"widget": 0, "value": 1})"), "a button sends its own value");
    EXPECT_EQ(refused(R"({"widget": 3})"), "widget: 3 is a chart, which sends nothing");
    EXPECT_EQ(refused(R"({"widget": 4})"), "widget: 4 is no widget of the panel (it has 4)");
    EXPECT_EQ(refused(R"({"widget": 2, "text": "0"})"),
              "text: \"0\" at character 1 is not a byte in hexadecimal (two digits)");
    EXPECT_EQ(refused(R"({"widget": 1})"), "needs \"value\"");
}

TEST(PanelRequests, BoardsAndLightShowsAreChecked) {
    int board = -1;
    std::string reason;
    EXPECT_TRUE(parseBoardRequest(R"({"board": 1})", 2, board, reason));
    EXPECT_EQ(board, 1);
    EXPECT_FALSE(parseBoardRequest(R"({"board": 2})", 2, board, reason));
    EXPECT_EQ(reason, "board: 2 is outside 0 to 1");
    EXPECT_FALSE(parseBoardRequest(R"({"board": 0})", 0, board, reason));
    EXPECT_EQ(reason, "no board is listed");

    ShowAction show;
    EXPECT_TRUE(parseShowRequest(R"({"steps": ["1", 2, "0x04", 0], "delay": "50", "repeats": 3})", show, reason));
    EXPECT_EQ(show.steps, (std::vector<std::uint8_t>{1, 2, 4, 0}));
    EXPECT_EQ(show.delayMs, 50);
    EXPECT_EQ(show.repeats, 3);
    EXPECT_FALSE(parseShowRequest(R"({"steps": [1, 256]})", show, reason));
    EXPECT_EQ(reason, "steps[1]: 256 is outside 0 to 255");
    EXPECT_FALSE(parseShowRequest(R"({"steps": []})", show, reason));
    EXPECT_EQ(reason, "steps: must be a list of 1 to 64 step codes");
    EXPECT_FALSE(parseShowRequest(R"({"steps": [1], "delay": 0})", show, reason));
    EXPECT_EQ(reason, "delay: 0 is outside 1 to 10000");
}

TEST(PanelRequests, OnlyThePanelsOwnHostAndOriginAreTaken) {
    const std::vector<std::string> hosts = {"127.0.0.1:8080", "localhost:8080"};
    EXPECT_TRUE(hostAllowed("127.0.0.1:8080", hosts));
    EXPECT_TRUE(hostAllowed("LocalHost:8080", hosts));
    EXPECT_FALSE(hostAllowed("127.0.0.1:8081", hosts));
    EXPECT_FALSE(hostAllowed("rebound.example:8080", hosts));
    EXPECT_FALSE(hostAllowed("127.0.0.1", hosts));
    EXPECT_FALSE(hostAllowed("", hosts));
    EXPECT_TRUE(originAllowed("http://localhost:8080", hosts));
    EXPECT_FALSE(originAllowed("https://localhost:8080", hosts));
    EXPECT_FALSE(originAllowed("http://localhost:8080.evil.example", hosts));
    EXPECT_FALSE(originAllowed("null", hosts));
    EXPECT_TRUE(tokenMatches("abc123", "abc123"));
    EXPECT_FALSE(tokenMatches("abc12", "abc123"));
    EXPECT_FALSE(tokenMatches("abc1234", "abc123"));
    EXPECT_FALSE(tokenMatches("", ""));
}
