// The panel's server: the page and its script from the tool itself, a stream of updates to each
// page (server-sent events), and the requests that act on the board. Every request that acts
// carries the page's token; Host and Origin must name the panel itself.
#include "../platform.h"
#include "../receiver.h"
#include "panel.h"
#include "panel_file.h"
#include "panel_requests.h"
#include "panel_state.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <mutex>
#include <random>
#include <thread>

namespace corvane::tool {

using nlohmann::json;

namespace {

constexpr int kUpdatesPerSecond = 20;       // at most, per page, whatever the board's rate
constexpr int kQuietUpdateSeconds = 1;      // an unchanged state is sent again this often
constexpr int kKeepAliveSeconds = 15;       // a comment line keeps an idle stream open
constexpr std::size_t kMaxBody = 64 * 1024; // bytes of a request body
constexpr int kServerThreads = 16;          // each open page holds one for its stream
constexpr std::size_t kDebugLines = 20;
constexpr const char* kDebugLogFile = "Corvane.log";
constexpr const char* kTokenHeader = "X-Corvane-Token";
constexpr double kReconnectingAfterSeconds = 1.0;

PanelState& panelState() {
    // Never destroyed: the library's threads may call back until the process is gone.
    static PanelState* state = new PanelState;
    return *state;
}

std::int32_t CORVANE_CALL onPanelReceived(std::int32_t board, std::int32_t channel, std::uint32_t command,
                                          std::uint32_t length, std::uint8_t* data, std::uint32_t) {
    panelState().take(board, channel, command, length, data);
    return 0;
}

std::string randomToken() {
    std::random_device random;
    std::string token;
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", random() & 0xFF);
        token += hex;
    }
    return token;
}

// The last lines of the library's debug log, when it writes one.
std::vector<std::string> debugTail() {
    std::ifstream file(kDebugLogFile, std::ios::binary);
    std::vector<std::string> lines;
    if (!file) {
        return lines;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(size > 8192 ? size - 8192 : 0);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    if (size > 8192 && !lines.empty()) {
        lines.erase(lines.begin()); // cut at the start of the window
    }
    if (lines.size() > kDebugLines) {
        lines.erase(lines.begin(), lines.end() - kDebugLines);
    }
    return lines;
}

class Panel {
  public:
    Panel(Session& session, const PanelOptions& options, PanelFile file)
        : session_(session), options_(options), file_(std::move(file)) {}
    int run();

  private:
    // Board actions, one at a time: switching boards, sends, shows and the self test's start.
    bool openBoard(int index, std::string& reason);
    // The board --board names (an index or a serial number), or -1 when it names none listed.
    int firstBoard() const;
    bool send(const SendAction& action, std::string& reason);
    void updateLoop();
    json snapshot();
    void publish(std::string text);
    void routes();
    bool allowed(const httplib::Request& request, httplib::Response& response, bool needsToken);
    void reply(httplib::Response& response, int status, const std::string& text);

    Session& session_;
    PanelOptions options_;
    PanelFile file_;
    std::string token_;
    std::vector<std::string> hosts_; // the names the panel answers to, with the port
    httplib::Server server_;

    std::mutex boardLock_;                           // held across every board action
    std::list<std::vector<std::uint8_t>> showSteps_; // under boardLock_; see /api/show
    int board_ = -1;                                 // under boardLock_; the update thread reads the atomic copy
    // Written under boardLock_ by the HTTP threads, read by the update thread for its snapshot:
    // relaxed, each is a value shown on its own.
    std::atomic<int> boardShown_{-1};
    std::atomic<int> simDevice_{-1};
    std::atomic<std::uint32_t> ledsSent_{0};
    std::atomic<bool> boardOpen_{false};
    // Counts the opens: the update thread starts the board's state afresh on a new count. Release
    // on the count, acquire on its load: boardOpen_, stored before, is then read as it was set.
    std::atomic<std::uint64_t> boardEpoch_{0};
    // Set by the HTTP thread that starts a light show, read by the update thread: relaxed, the
    // two only say whether to draw the show as playing, and a stale pair shows it a moment longer.
    std::atomic<bool> showRunning_{false};
    std::atomic<double> showEnds_{0};
    // The self test runs on a thread of its own. Release on its end: its result is written
    // before the update thread (acquire) sees it finished.
    std::atomic<bool> testRunning_{false};
    std::atomic<int> testResult_{-1};
    std::atomic<std::uint64_t> testStartTriggers_{0};
    std::atomic<double> testStarted_{0};
    std::thread testThread_;

    // The update thread's state of the board's connection.
    std::string state_ = "closed";
    double lostAt_ = 0;
    std::uint64_t epoch_ = ~std::uint64_t{0};
    // Whether the library looks for a lost board again (the panel asks for it unless told otherwise).
    const bool reconnects_ =
        std::getenv("CORVANE_RECONNECT") != nullptr && std::string(std::getenv("CORVANE_RECONNECT")) == "auto";
    ConnectionWatch watch_;

    // The newest update, handed from the update thread to every page's stream.
    std::mutex updateLock_;
    std::condition_variable updated_;
    std::string update_;             // under updateLock_
    std::uint64_t updateNumber_ = 0; // under updateLock_
    // Set when the server stops; read by the streams between updates: relaxed, the condition
    // variable's mutex publishes it.
    std::atomic<bool> stopping_{false};
};

bool Panel::openBoard(int index, std::string& reason) {
    if (board_ >= 0) {
        NRV_CV_CloseDeviceByIndex(board_); // waits for a light show still playing
        board_ = -1;
    }
    panelState().watch(index);
    boardShown_.store(index, std::memory_order_relaxed);
    // A listed board takes its callback before it opens, so its very first message is seen.
    if (!NRV_CV_SelectActiveDeviceByIndex(index) || !NRV_CV_RegisterReadCallback(onPanelReceived) ||
        !NRV_CV_OpenDeviceByIndex(index) || !NRV_CV_SelectActiveDeviceByIndex(index)) {
        reason = "cannot open board " + std::to_string(index) + ": " + lastErrorCopy();
        boardOpen_.store(false, std::memory_order_relaxed);
        boardEpoch_.fetch_add(1, std::memory_order_release);
        return false;
    }
    board_ = index;
    boardOpen_.store(true, std::memory_order_relaxed);
    boardEpoch_.fetch_add(1, std::memory_order_release);
    const SimControl* sim = session_.sim();
    const auto& boards = session_.boards();
    simDevice_.store(sim != nullptr && static_cast<std::size_t>(index) < boards.size()
                         ? sim->sim_find_device(boards[static_cast<std::size_t>(index)].serial.c_str())
                         : -1,
                     std::memory_order_relaxed);
    return true;
}

int Panel::firstBoard() const {
    const std::string& wanted = session_.options().board;
    for (const ListedBoard& listed : session_.boards()) {
        if (std::to_string(listed.index) == wanted || listed.serial == wanted) {
            return listed.index;
        }
    }
    std::fprintf(stderr, "corvane panel: no board %s is listed; choose one on the page\n", wanted.c_str());
    return -1;
}

bool Panel::send(const SendAction& action, std::string& reason) {
    if (board_ < 0) {
        reason = "no board is open";
        return false;
    }
    std::int32_t sent = 0;
    switch (action.kind) {
    case SendKind::Trigger:
        sent = NRV_CV_SendTrigger(static_cast<std::uint8_t>(action.value));
        if (sent) {
            ledsSent_.store(static_cast<std::uint32_t>(action.value) & 0xF, std::memory_order_relaxed);
        }
        break;
    case SendKind::Byte:
        sent = NRV_CV_SendByte(static_cast<std::uint32_t>(action.address), static_cast<std::uint8_t>(action.value));
        break;
    case SendKind::Block:
        sent = NRV_CV_SendBlock(static_cast<std::uint32_t>(action.address), action.block.data(),
                                static_cast<std::uint32_t>(action.block.size()));
        break;
    case SendKind::Control:
        sent = NRV_CV_SendTransferControlByte(static_cast<std::uint8_t>(action.address),
                                              static_cast<std::uint8_t>(action.value));
        break;
    }
    if (!sent) {
        reason = std::string("the ") + sendKindName(action.kind) + " was not sent: " + lastErrorCopy();
    }
    return sent != 0;
}

json Panel::snapshot() {
    const double now = nowSeconds();
    const std::string event = watch_.look();
    const int board = boardShown_.load(std::memory_order_relaxed);
    if (const std::uint64_t epoch = boardEpoch_.load(std::memory_order_acquire); epoch != epoch_) {
        epoch_ = epoch;
        state_ = boardOpen_.load(std::memory_order_relaxed) ? "open" : "closed";
    }
    if (state_ == "closed") {
        // nothing to watch
    } else if (event.rfind("lost", 0) == 0) {
        state_ = "lost";
        lostAt_ = now;
    } else if (event.rfind("reconnected", 0) == 0) {
        state_ = "open";
    } else if (state_ == "lost" && now - lostAt_ > kReconnectingAfterSeconds && reconnects_) {
        state_ = "reconnecting"; // the library tries to open it again by its serial number
    }
    json boards = json::array();
    for (const ListedBoard& listed : session_.boards()) {
        boards.push_back({{"index", listed.index}, {"name", listed.name}, {"serial", listed.serial}});
    }
    json leds = nullptr;
    const SimControl* sim = session_.sim();
    const int device = simDevice_.load(std::memory_order_relaxed);
    std::uint64_t triggers = 0;
    if (sim != nullptr && device >= 0) {
        leds = sim->sim_leds(device);
        SimBoardCounts counts{};
        sim->sim_board_counts(device, &counts);
        triggers = counts.triggers;
    }
    // Acquire: pairs with the test thread's release, so its result is read complete.
    const bool testing = testRunning_.load(std::memory_order_acquire);
    const std::uint64_t cycles = selfTestCycles();
    const std::uint64_t done =
        sim != nullptr && testing ? triggers - testStartTriggers_.load(std::memory_order_relaxed) : 0;
    json test = {{"running", testing},
                 {"cycles", cycles},
                 {"done", done},
                 {"counted", sim != nullptr},
                 {"seconds", testing ? now - testStarted_.load(std::memory_order_relaxed) : 0.0},
                 {"result", testResult_.load(std::memory_order_relaxed)}};
    const bool showing =
        showRunning_.load(std::memory_order_relaxed) && now < showEnds_.load(std::memory_order_relaxed);
    return {{"t", now},
            {"boards", boards},
            {"board", board},
            {"state", state_},
            {"lastError", lastErrorCopy()},
            {"debug", session_.options().debug ? json(debugTail()) : json::array()},
            {"leds", leds},
            {"ledsSent", ledsSent_.load(std::memory_order_relaxed)},
            {"show", showing},
            {"selftest", test},
            {"received", panelState().received()},
            {"kept", kPanelKeptMessages},
            {"channels", panelState().channels(now)},
            {"log", panelState().log(kPanelLogShown)}};
}

void Panel::publish(std::string text) {
    {
        std::lock_guard<std::mutex> guard(updateLock_);
        update_ = std::move(text);
        ++updateNumber_;
    }
    updated_.notify_all();
}

void Panel::updateLoop() {
    std::string last;
    double lastSent = 0;
    while (!stopping_.load(std::memory_order_relaxed) && !interrupted()) {
        const double now = nowSeconds();
        json update = snapshot();
        // Compared without its time, which changes on every pass: an idle board sends nothing new.
        const json time = update["t"];
        update.erase("t");
        std::string text = update.dump(-1, ' ', false, json::error_handler_t::replace);
        if (text != last || now - lastSent >= kQuietUpdateSeconds) {
            update["t"] = time;
            publish(update.dump(-1, ' ', false, json::error_handler_t::replace));
            last = std::move(text);
            lastSent = now;
        }
        sleepMs(1000 / kUpdatesPerSecond);
    }
    stopping_.store(true, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> guard(updateLock_); // a stream between its test and its wait sees it
    }
    updated_.notify_all();
    server_.stop();
}

void Panel::reply(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}

bool Panel::allowed(const httplib::Request& request, httplib::Response& response, bool needsToken) {
    // On 127.0.0.1 the Host must be one of the panel's own names, so a name rebound to 127.0.0.1
    // cannot reach it. Listening beyond this machine, the panel may be reached by any of its
    // names, and the token, needed by every request then, page included, does that work.
    const std::string host = request.get_header_value("Host");
    const bool listening = !options_.listen.empty();
    if (!listening && !hostAllowed(host, hosts_)) {
        reply(response, 403, "refused: the Host header names no address of this panel");
        return false;
    }
    if (request.has_header("Origin") &&
        !originAllowed(request.get_header_value("Origin"), listening ? std::vector<std::string>{host} : hosts_)) {
        reply(response, 403, "refused: a page of another origin may not use this panel");
        return false;
    }
    if (needsToken) {
        const std::string given = request.has_header(kTokenHeader) ? request.get_header_value(kTokenHeader)
                                                                   : request.get_param_value("token");
        if (!tokenMatches(given, token_)) {
            reply(response, 403, "refused: the request does not carry the panel's token");
            return false;
        }
    }
    return true;
}

void Panel::routes() {
    // The page is served to anybody who may reach the address, unless the panel listens beyond
    // this machine: then it too needs the token (in the printed URL).
    const bool pageNeedsToken = !options_.listen.empty();
    for (int i = 0; i < kPanelAssetCount; ++i) {
        const PanelAsset& asset = kPanelAssets[i];
        server_.Get(asset.path,
                    [this, &asset, pageNeedsToken](const httplib::Request& request, httplib::Response& response) {
                        if (!allowed(request, response, pageNeedsToken && std::string(asset.path) == "/")) {
                            return;
                        }
                        std::string text = asset.text;
                        if (std::string(asset.path) == "/") {
                            // The page learns the token from itself: a page of another origin cannot read it.
                            const std::string mark = "%CORVANE_TOKEN%";
                            if (const std::size_t at = text.find(mark); at != std::string::npos) {
                                text.replace(at, mark.size(), token_);
                            }
                        }
                        response.set_header("Cache-Control", "no-store");
                        response.set_header("X-Content-Type-Options", "nosniff");
                        response.set_content(text, asset.type);
                    });
    }
    server_.Get("/api/panel", [this](const httplib::Request& request, httplib::Response& response) {
        if (allowed(request, response, true)) {
            response.set_content(panelJson(file_).dump(-1, ' ', false, json::error_handler_t::replace),
                                 "application/json");
        }
    });
    server_.Get("/api/record", [this](const httplib::Request& request, httplib::Response& response) {
        if (allowed(request, response, true)) {
            response.set_header("Content-Disposition", "attachment; filename=\"corvane-record.txt\"");
            response.set_content(panelState().record(), "text/plain; charset=utf-8");
        }
    });
    server_.Get("/api/events", [this](const httplib::Request& request, httplib::Response& response) {
        if (!allowed(request, response, true)) {
            return;
        }
        response.set_header("Cache-Control", "no-store");
        auto seen = std::make_shared<std::uint64_t>(0);
        response.set_chunked_content_provider("text/event-stream", [this, seen](std::size_t, httplib::DataSink& sink) {
            std::string text;
            {
                std::unique_lock<std::mutex> guard(updateLock_);
                const bool fresh = updated_.wait_for(guard, std::chrono::seconds(kKeepAliveSeconds), [&] {
                    return updateNumber_ != *seen || stopping_.load(std::memory_order_relaxed);
                });
                if (stopping_.load(std::memory_order_relaxed)) {
                    return false;
                }
                if (fresh) {
                    // Only the newest update is sent: a slow page skips those it missed.
                    *seen = updateNumber_;
                    text = "data: " + update_ + "\n\n";
                } else {
                    text = ": still here\n\n";
                }
            }
            // A page that went away fails the write; its stream ends, nothing else changes.
            return sink.write(text.data(), text.size());
        });
    });
    auto action = [this](const char* path, auto handle) {
        server_.Post(path, [this, handle](const httplib::Request& request, httplib::Response& response) {
            if (!allowed(request, response, true)) {
                return;
            }
            std::string reason;
            const int status = handle(request.body, reason);
            reply(response, status, status == 200 ? (reason.empty() ? "ok" : reason) : reason);
        });
    };
    action("/api/send", [this](const std::string& body, std::string& reason) {
        SendAction request;
        if (!parseSendRequest(body, request, reason)) {
            return 400;
        }
        std::lock_guard<std::mutex> guard(boardLock_);
        return send(request, reason) ? 200 : 409;
    });
    action("/api/widget", [this](const std::string& body, std::string& reason) {
        SendAction request;
        if (!parseWidgetRequest(body, file_, request, reason)) {
            return 400;
        }
        std::lock_guard<std::mutex> guard(boardLock_);
        return send(request, reason) ? 200 : 409;
    });
    action("/api/board", [this](const std::string& body, std::string& reason) {
        int index = 0;
        if (!parseBoardRequest(body, static_cast<int>(session_.boards().size()), index, reason)) {
            return 400;
        }
        std::lock_guard<std::mutex> guard(boardLock_);
        if (testRunning_.load(std::memory_order_acquire)) {
            reason = "the self test is running";
            return 409;
        }
        return openBoard(index, reason) ? 200 : 409;
    });
    action("/api/show", [this](const std::string& body, std::string& reason) {
        ShowAction show;
        if (!parseShowRequest(body, show, reason)) {
            return 400;
        }
        std::lock_guard<std::mutex> guard(boardLock_);
        if (board_ < 0) {
            reason = "no board is open";
            return 409;
        }
        // The library plays the steps from the caller's memory until the show ends, which may be
        // after a later show's start: every show's steps are kept for the panel's life (at most
        // 64 bytes a show).
        const std::vector<std::uint8_t>& steps = showSteps_.emplace_back(std::move(show.steps));
        if (!NRV_CV_LEDBlinky(static_cast<std::uint32_t>(show.delayMs), show.repeats, steps.data(),
                              static_cast<std::int32_t>(steps.size()))) {
            reason = "the light show did not start: " + lastErrorCopy();
            return 409;
        }
        showEnds_.store(nowSeconds() + show.delayMs * show.repeats * static_cast<double>(steps.size()) / 1000.0,
                        std::memory_order_relaxed);
        showRunning_.store(true, std::memory_order_relaxed);
        return 200;
    });
    action("/api/selftest", [this](const std::string& body, std::string& reason) {
        if (!body.empty() && body != "{}") {
            reason = "the self test takes no fields";
            return 400;
        }
        std::lock_guard<std::mutex> guard(boardLock_);
        if (board_ < 0) {
            reason = "no board is open";
            return 409;
        }
        if (testRunning_.load(std::memory_order_acquire)) {
            reason = "the self test is running";
            return 409;
        }
        if (testThread_.joinable()) {
            testThread_.join();
        }
        const SimControl* sim = session_.sim();
        const int device = simDevice_.load(std::memory_order_relaxed);
        SimBoardCounts counts{};
        if (sim != nullptr && device >= 0) {
            sim->sim_board_counts(device, &counts);
        }
        testStartTriggers_.store(counts.triggers, std::memory_order_relaxed);
        testStarted_.store(nowSeconds(), std::memory_order_relaxed);
        testResult_.store(-1, std::memory_order_relaxed);
        // Relaxed: the test thread started below sees these through the thread's start.
        testRunning_.store(true, std::memory_order_relaxed);
        testThread_ = std::thread([this] {
            const std::int32_t result = NRV_CV_PerformSelfTest();
            testResult_.store(result, std::memory_order_relaxed);
            // Release: the result is stored before anybody sees the test finished.
            testRunning_.store(false, std::memory_order_release);
        });
        return 200;
    });
    server_.set_error_handler([this](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            const char* reason = response.status == 404   ? "no such path"
                                 : response.status == 413 ? "the body is too long"
                                 : response.status == 400 ? "malformed request"
                                                          : "refused";
            reply(response, response.status, std::string(reason));
        }
    });
}

int Panel::run() {
    token_ = options_.token.empty() ? randomToken() : options_.token;
    server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server_.set_payload_max_length(kMaxBody);
    const std::string address = options_.listen.empty() ? "127.0.0.1" : options_.listen;
    const int port = options_.port > 0 ? (server_.bind_to_port(address, options_.port) ? options_.port : -1)
                                       : server_.bind_to_any_port(address);
    if (port <= 0) {
        return fail("panel: cannot listen on " + address + ":" + std::to_string(options_.port));
    }
    const std::string portText = std::to_string(port);
    hosts_ = {"127.0.0.1:" + portText, "localhost:" + portText, "[::1]:" + portText};
    routes();
    {
        std::lock_guard<std::mutex> guard(boardLock_);
        std::string reason;
        const int first = firstBoard();
        if (first >= 0 && !openBoard(first, reason)) {
            std::fprintf(stderr, "corvane panel: %s\n", reason.c_str());
        }
    }
    catchInterrupt();
    std::printf("corvane panel: http://%s:%d/%s%s\n", options_.listen.empty() ? "127.0.0.1" : address.c_str(), port,
                options_.listen.empty() ? "" : "?token=", options_.listen.empty() ? "" : token_.c_str());
    std::fflush(stdout);
    std::thread updates([this] { updateLoop(); });
    server_.listen_after_bind();
    stopping_.store(true, std::memory_order_relaxed);
    updated_.notify_all();
    updates.join();
    if (testThread_.joinable()) {
        testThread_.join();
    }
    std::lock_guard<std::mutex> guard(boardLock_);
    if (board_ >= 0) {
        NRV_CV_CloseDeviceByIndex(board_);
    }
    return 0;
}

} // namespace

int panelCommand(Session& session, const PanelOptions& options) {
    PanelFile file;
    if (!options.file.empty()) {
        std::string error;
        auto loaded = loadPanelFile(options.file, error);
        if (!loaded) {
            std::fprintf(stderr, "corvane panel: %s\n", error.c_str());
            return kExitUsage;
        }
        file = std::move(*loaded);
    }
    Panel panel(session, options, std::move(file));
    return panel.run();
}

} // namespace corvane::tool
