"""The panel in a real browser against simulated boards, and its refusals to a plain HTTP client."""
from conftest import wait_for

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select


def text_of(browser, element_id):
    return browser.find_element(By.ID, element_id).text


def log_lines(browser):
    # Read in one go in the page: the list is redrawn with every update.
    return browser.execute_script(
        'return Array.from(document.querySelectorAll("#log-list li"), (item) => item.textContent);')


def open_page(browser, panel):
    browser.get(panel.url)
    wait_for(lambda: text_of(browser, "state") == "open", "the page shows the board open")


def fill(browser, element_id, value):
    field = browser.find_element(By.ID, element_id)
    field.clear()
    field.send_keys(value)


def test_the_page_lists_the_boards_and_shows_the_first_open(panel, browser):
    served = panel()
    open_page(browser, served)
    options = [option.text for option in Select(browser.find_element(By.ID, "board-select")).options]
    assert options == ["0: Corvane Eval Board B (CV000101B)", "1: Corvane Stream Board B (CV000102B)"]
    assert browser.title == "Corvane panel"


def test_a_light_show_lights_the_leds_in_order(panel, browser):
    served = panel()
    open_page(browser, served)
    # Every LED state the page shows, in order, recorded in the page as it changes.
    browser.execute_script("""
        window.ledStates = [];
        const leds = [0, 1, 2, 3].map((i) => document.getElementById(`led-${i}`));
        const note = () => {
          const mask = leds.reduce((m, led, i) => m | (led.classList.contains("on") ? 1 << i : 0), 0);
          if (window.ledStates[window.ledStates.length - 1] !== mask) window.ledStates.push(mask);
        };
        new MutationObserver(note).observe(document.getElementById("lights"), {attributes: true, subtree: true});
    """)
    fill(browser, "show-steps", "1 2 3 4")
    fill(browser, "show-delay", "400")  # steps long enough for a loaded machine's updates
    fill(browser, "show-repeats", "1")
    browser.find_element(By.ID, "show-button").click()

    def seen_in_order():
        states = browser.execute_script("return window.ledStates;")
        wanted = [1, 2, 4, 8]
        position = 0
        for state in states:
            if position < len(wanted) and state == wanted[position]:
                position += 1
        return position == len(wanted)

    wait_for(seen_in_order, "the LEDs 0, 1, 2, 3 lit one after the other")


def test_a_trigger_and_a_block_from_the_forms_reach_the_board_as_their_bytes(panel, browser):
    served = panel()
    open_page(browser, served)
    fill(browser, "send-trigger-value", "0x05")
    browser.find_element(By.ID, "send-trigger").click()
    # The simulated board lights the LEDs the trigger names, and answers with its trigger.
    wait_for(lambda: [browser.find_element(By.ID, f"led-{i}").get_attribute("class") for i in range(4)]
             == ["led on", "led", "led on", "led"], "LEDs 0 and 2 lit by trigger 0x05")
    fill(browser, "send-block-address", "2")
    fill(browser, "send-block-bytes", "Hello, board!")
    browser.find_element(By.ID, "send-block").click()
    # The echo board sends the block back as it received it.
    wanted = "ch2 block   E2 len=13 48 65 6C 6C 6F 2C 20 62 6F 61 72 64 21"
    wait_for(lambda: any(line.endswith(wanted) for line in log_lines(browser)), "the block's echo in the log")
    assert text_of(browser, "send-result") == "sent"


def test_a_bad_address_shows_the_reason_and_sends_nothing(panel, browser):
    served = panel()
    open_page(browser, served)
    fill(browser, "send-byte-address", "9")
    browser.find_element(By.ID, "send-byte").click()
    wait_for(lambda: text_of(browser, "send-result") == "400: address: 9 is outside 0 to 7", "the refusal shown")
    # A good send after it: only its echo arrives (address 9 would have come back on channel 1).
    fill(browser, "send-byte-address", "3")
    browser.find_element(By.ID, "send-byte").click()
    wait_for(lambda: text_of(browser, "ch-messages-3") == "1", "the good byte's echo")
    assert text_of(browser, "ch-messages-1") == "0"
    assert text_of(browser, "received").startswith("1 received")


def test_the_log_filter_shows_only_the_chosen_channel_and_kind(panel, browser):
    served = panel()
    open_page(browser, served)
    for body in ({"kind": "byte", "address": 3, "value": 1}, {"kind": "block", "address": 2, "text": "ab"},
                 {"kind": "byte", "address": 5, "value": 2}):
        assert served.post("/api/send", body) == (200, "ok")
    wait_for(lambda: len(log_lines(browser)) == 3, "three messages in the log")
    Select(browser.find_element(By.ID, "log-channel")).select_by_value("3")
    assert [line.split()[2:4] for line in log_lines(browser)] == [["ch3", "byte"]]
    Select(browser.find_element(By.ID, "log-channel")).select_by_value("")
    Select(browser.find_element(By.ID, "log-kind")).select_by_visible_text("byte")
    assert sorted(line.split()[2] for line in log_lines(browser)) == ["ch3", "ch5"]


def test_a_plain_client_without_the_token_or_from_elsewhere_is_refused(panel):
    served = panel()
    good = {"kind": "byte", "address": 3, "value": 1}
    assert served.post("/api/send", good, token=False) == (403, "refused: the request does not carry the panel's token")
    assert served.post("/api/send", good, headers={"X-Corvane-Token": "0" * 32})[0] == 403
    assert served.post("/api/send", good, headers={"Origin": "http://attacker.example"}) == (
        403, "refused: a page of another origin may not use this panel")
    assert served.post("/api/send", good, headers={"Host": f"rebound.example:{served.port}"}) == (
        403, "refused: the Host header names no address of this panel")
    status, text = served.post("/api/send", b"{\"kind\": ")
    assert status == 400 and text.startswith("the body is not JSON: ")
    assert served.post("/api/send", b"x" * (100 * 1024))[0] == 413
    assert served.post("/api/board", {"board": 5}) == (400, "board: 5 is outside 0 to 1")
    assert served.post("/api/nowhere", good) == (404, "no such path")
    # Nothing refused reached the board, and the server still serves.
    record = served.get(f"/api/record?token={served.token}").read().decode()
    assert record.splitlines()[0] == "# corvane panel: board 0, 0 messages received, the newest 0 kept"
    assert served.post("/api/send", good) == (200, "ok")


def snapshot_of(served):
    """The next update the panel sends, read by a plain client."""
    import json
    with served.get(f"/api/events?token={served.token}") as stream:
        for line in stream:
            if line.startswith(b"data: "):
                return json.loads(line[6:])
    raise AssertionError("the event stream ended without an update")


def test_the_stream_boards_rate_matches_what_the_library_delivered(panel, browser):
    import json
    import time
    served = panel(board="1", fast=True)
    open_page(browser, served)
    wait_for(lambda: float(browser.find_element(By.ID, "ch-rate-0").get_attribute("data-value") or 0) > 0,
             "the stream's rate shown on channel 0")
    # Every update for a few seconds: the messages delivered so far and the rate shown, with the
    # panel's own time.
    updates = []
    with served.get(f"/api/events?token={served.token}") as stream:
        start = time.monotonic()
        for line in stream:
            if line.startswith(b"data: "):
                update = json.loads(line[6:])
                updates.append((update["t"], sum(c["messages"] for c in update["channels"]),
                                sum(c["rate"] for c in update["channels"])))
            if time.monotonic() - start > 4:
                break
    # Each rate shown against the messages delivered in the second before it.
    compared = 0
    for t, messages, rate in updates:
        earlier = [u for u in updates if u[0] <= t - 1.0]
        if not earlier:
            continue
        t0, messages0, _ = earlier[-1]
        delivered = (messages - messages0) / (t - t0)
        assert delivered > 0
        assert abs(rate - delivered) <= 0.1 * delivered, (t, rate, delivered)
        compared += 1
    assert compared >= 10


def test_two_pages_see_the_same_messages(panel, browser):
    served = panel()
    open_page(browser, served)
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    open_page(browser, served)
    second = browser.current_window_handle
    for value in (1, 2, 3):
        assert served.post("/api/send", {"kind": "byte", "address": 3, "value": value}) == (200, "ok")
    seen = {}
    for handle in (first, second):
        browser.switch_to.window(handle)
        wait_for(lambda: text_of(browser, "ch-messages-3") == "3", "three echoes on both pages")
        # The counters are drawn with every update, the log at most 5 times a second: it may follow a moment later.
        wait_for(lambda: len(log_lines(browser)) == 3, "three messages in the log")
        seen[handle] = [line.split(None, 2)[2] for line in log_lines(browser)]  # without the arrival time
    assert seen[first] == seen[second]
    assert seen[first] == ["ch3 byte    D3 len=1 03", "ch3 byte    D3 len=1 02", "ch3 byte    D3 len=1 01"]


def test_a_page_closed_mid_stream_leaves_the_server_and_board_as_they_were(panel, browser):
    served = panel(board="1")
    open_page(browser, served)
    wait_for(lambda: int(text_of(browser, "ch-messages-0") or 0) > 0, "the stream on the page")
    browser.close()  # the only page goes away while the board streams
    before = snapshot_of(served)
    assert before["state"] == "open"
    wait_for(lambda: snapshot_of(served)["received"] > before["received"], "the panel still receiving")
    assert served.post("/api/send", {"kind": "trigger", "value": 1}) == (200, "ok")


def test_a_board_pulled_out_shows_lost_then_open_again(panel, browser):
    import os
    from conftest import ROOT
    served = panel(board="REPLUG01", sim_file=os.path.join(ROOT, "docs", "boards.replug.json"))
    browser.get(served.url)
    # Every state the page shows, in order.
    browser.execute_script("""
        window.states = [];
        const state = document.getElementById("state");
        new MutationObserver(() => {
          if (window.states[window.states.length - 1] !== state.textContent) window.states.push(state.textContent);
        }).observe(state, {childList: true, characterData: true, subtree: true});
    """)
    wait_for(lambda: "lost" in browser.execute_script("return window.states;"), "the board shown lost", 60)
    wait_for(lambda: browser.execute_script("return window.states;")[-1] == "open", "the board shown open again", 60)


def test_the_example_panels_widgets_send_their_messages(panel, browser):
    import os
    from conftest import ROOT
    served = panel(os.path.join(ROOT, "docs", "panel.example.json"))
    open_page(browser, served)
    assert browser.title == "Lab board"
    # "Register 3 = 0x41": a byte 0x41 to address 3, which the echo board sends back on channel 3.
    browser.find_element(By.CSS_SELECTOR, "#widget-6 button").click()
    wait_for(lambda: any(line.endswith("ch3 byte    D3 len=1 41") for line in log_lines(browser)), "the button's byte")
    # "Light LEDs 0 and 2": trigger 5; the grid's LED widgets follow the board.
    browser.find_element(By.CSS_SELECTOR, "#widget-4 button").click()
    wait_for(lambda: [browser.find_element(By.CSS_SELECTOR, f"#widget-{i} .led").get_attribute("class")
                      for i in range(4)] == ["led on", "led", "led on", "led"], "the LED widgets lit")
    # The text widget sends its text as a block to address 2.
    box = browser.find_element(By.CSS_SELECTOR, "#widget-10 input")
    box.send_keys("panel")
    browser.find_element(By.CSS_SELECTOR, "#widget-10 button").click()
    wait_for(lambda: any(line.endswith("ch2 block   E2 len=5 70 61 6E 65 6C") for line in log_lines(browser)),
             "the text widget's block")
    # A value outside the widget's range is refused by the server, whatever the page allows.
    status, text = served.post("/api/widget", {"widget": 8, "value": 256})
    assert (status, text) == (400, "value: 256 is outside 0 to 255")


def test_the_saved_record_file_replays_as_the_messages_received(panel):
    import subprocess
    from conftest import tool_command
    served = panel()
    # One at a time: a trigger's echo comes on the library's read thread and may overtake data
    # still queued for its write thread.
    for number, body in enumerate(({"kind": "byte", "address": 3, "value": 0x41},
                                   {"kind": "block", "address": 2, "text": "Hi"}, {"kind": "trigger", "value": 5})):
        assert served.post("/api/send", body) == (200, "ok")
        wait_for(lambda: snapshot_of(served)["received"] == number + 1, f"echo {number + 1} received")
    record = served.get(f"/api/record?token={served.token}").read().decode()
    lines = record.splitlines()
    assert lines[0] == "# corvane panel: board 0, 3 messages received, the newest 3 kept"
    assert [line.split(" ", 1)[1] for line in lines[1:]] == ["D3 1 41", "E2 2 48 69", "C8 5"]
    path = f"{served.work}/record.txt"
    with open(path, "w") as file:
        file.write(record)
    replayed = subprocess.run(tool_command() + ["--sim", "replay", path], capture_output=True, text=True, timeout=120)
    assert replayed.returncode == 0, replayed.stderr
    assert replayed.stdout.splitlines() == ["ch3 byte D3 41", "ch2 block E2 len=2: 48 69", "ch0 trigger C8 value=05"]


def test_listening_beyond_this_machine_needs_the_token_for_the_page_too(panel):
    import urllib.error
    token = "panel-test-token-0123456789"
    served = panel("--listen", "127.0.0.1", "--token", token)
    assert served.token == token
    try:
        served.get("/")
        raise AssertionError("the page was served without the token")
    except urllib.error.HTTPError as error:
        assert error.code == 403
    # Any name may reach it then; the token does the work.
    assert served.post("/api/send", {"kind": "trigger", "value": 1}, headers={"Host": "lab-pc:1"}) == (200, "ok")


def test_the_self_test_runs_with_its_progress(panel, browser):
    served = panel(environment={"CORVANE_SELFTEST_CYCLES": "3000"})
    open_page(browser, served)
    browser.execute_script("""
        window.progress = [];
        const bar = document.getElementById("selftest-progress");
        new MutationObserver(() => window.progress.push(bar.value))
          .observe(bar, {attributes: true});
    """)
    browser.find_element(By.ID, "selftest-button").click()
    wait_for(lambda: text_of(browser, "selftest-state") == "self test ran", "the self test's end", 120)
    progress = browser.execute_script("return window.progress;")
    assert progress[-1] == 100
    assert progress == sorted(progress)  # it only goes forward
    assert served.post("/api/selftest", {"cycles": 1}) == (400, "the self test takes no fields")


def test_switching_boards_opens_the_chosen_one_and_counts_afresh(panel, browser):
    served = panel()
    open_page(browser, served)
    assert served.post("/api/send", {"kind": "byte", "address": 3, "value": 1}) == (200, "ok")
    wait_for(lambda: text_of(browser, "ch-messages-3") == "1", "the echo on board 0")
    Select(browser.find_element(By.ID, "board-select")).select_by_value("1")
    # The stream board's channels fill; board 0's echo is no longer counted.
    wait_for(lambda: int(text_of(browser, "ch-messages-0") or 0) > 0, "the stream board's messages")
    # The log holds the stream board's messages only, newly numbered from its first.
    wait_for(lambda: any(" ch0 byte " in line for line in log_lines(browser)), "the stream in the log")
    assert not any(line.endswith("ch3 byte    D3 len=1 01") for line in log_lines(browser))
    assert snapshot_of(served)["board"] == 1
    assert snapshot_of(served)["state"] == "open"


def count_updates(served, seconds):
    """(updates, seconds): the updates one page's event stream brings in about `seconds`."""
    import time
    updates = 0
    with served.get(f"/api/events?token={served.token}") as stream:
        start = time.monotonic()
        for line in stream:
            if line.startswith(b"data: "):
                updates += 1
            if time.monotonic() - start > seconds:
                break
        return updates, time.monotonic() - start


def test_updates_are_coalesced_whatever_the_boards_rate(panel):
    served = panel(board="1", fast=True)  # a stream as fast as the host takes it
    updates, seconds = count_updates(served, 3)
    assert updates <= 21 * seconds + 1, (updates, seconds)
    assert updates >= 5  # and they do come


def test_an_idle_board_gets_an_update_a_second(panel):
    import time
    served = panel()  # the echo board sends nothing unasked
    time.sleep(1.5)  # past the rates' first second, which changes every update
    updates, _ = count_updates(served, 3)
    assert 2 <= updates <= 6, updates  # the first at once, then about one a second


def test_a_slider_and_a_number_send_the_value_set(panel, browser):
    import os
    from conftest import ROOT
    # The example board file's lab board keeps control values and acknowledges each one.
    served = panel(os.path.join(ROOT, "docs", "panel.example.json"),
                   sim_file=os.path.join(ROOT, "docs", "boards.example.json"))
    open_page(browser, served)
    slider = browser.find_element(By.CSS_SELECTOR, "#widget-8 input")
    browser.execute_script(
        "arguments[0].value = 200; arguments[0].dispatchEvent(new Event('change'));", slider)
    wait_for(lambda: any(line.endswith("ch1 byte    D1 len=1 C8") for line in log_lines(browser)),
             "control value 200 to address 1 acknowledged")
    number = browser.find_element(By.CSS_SELECTOR, "#widget-9 input")
    number.clear()
    number.send_keys("300")  # beyond the widget's range: the server refuses it
    browser.execute_script("arguments[0].dispatchEvent(new Event('change'));", number)
    wait_for(lambda: browser.find_element(By.CSS_SELECTOR, "#widget-9 .error").text ==
             "400: value: 300 is outside 0 to 255", "the number's refusal shown in its widget")
