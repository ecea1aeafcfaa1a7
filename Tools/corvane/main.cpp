// corvane: list, talk to and diagnose the boards behind FTDI bridge chips, through the Corvane
// library, on real boards or on simulated ones (--sim).
#include "commands.h"
#include "platform.h"
#if defined(CORVANE_HAVE_PANEL)
#include "panel.h"
#endif

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

using namespace corvane::tool;

namespace {

constexpr const char* kToolVersion = CORVANE_TOOL_VERSION;

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"corvane: list, talk to and diagnose boards behind FTDI bridge chips through the Corvane library.\n"
                 "A failure prints the library's last error and exits 1; a usage error exits 2."};
    app.require_subcommand(1);
    app.allow_windows_style_options(false); // a path such as /tmp/x is an argument, not an option
    app.set_version_flag("--version", std::string("corvane ") + kToolVersion);
    GlobalOptions global;
    app.add_option("--board", global.board, "the board to use: its index in `list`, or its serial number")
        ->capture_default_str();
    auto* simOption = app.add_option("--sim", global.simFile,
                                     "use simulated boards: the default set, or those of a board file (JSON)")
                          ->expected(0, 1);
    app.add_option("--driver", global.driver,
                   "the D2XX driver the library binds (CORVANE_DRIVER): vendor (the default), open (Corvane's own "
                   "driver, Linux) or the path of a driver file; with --sim the simulated driver wins")
        ->check([](const std::string& value) {
            DriverRoad road;
            return chooseDriverRoad(value, road) ? std::string()
                                                 : std::string("expected vendor, open or the path of a D2XX driver");
        });
    app.add_flag("--fast", global.fast, "the library's fast profile (CORVANE_PROFILE=fast)");
    app.add_flag("--debug", global.debug, "the library writes Corvane.log in the current folder");

    auto* list = app.add_subcommand("list", "the boards the library finds, and the devices it skips");
    list->add_flag("--json", global.json, "as JSON");

    SendOptions send;
    auto* sendCommandApp = app.add_subcommand("send", "send one message to the board");
    sendCommandApp
        ->add_option("kind", send.kind,
                     "trigger VALUE | byte ADDRESS VALUE | block ADDRESS HEX...|@FILE | "
                     "control ADDRESS VALUE")
        ->required()
        ->check(CLI::IsMember({"trigger", "byte", "block", "control"}));
    sendCommandApp->add_option("values", send.values, "the address and the value or bytes")->required();
    sendCommandApp->add_option("--wait", send.waitMs, "milliseconds to show the board's answers")
        ->capture_default_str();

    MonitorOptions monitor;
    auto* monitorApp = app.add_subcommand("monitor", "show what the board sends: a live view per channel");
    monitorApp->add_option("--channel", monitor.channel, "only this channel")->check(CLI::Range(0, 7));
    monitorApp->add_flag("--raw", monitor.raw, "one line per message");
    monitorApp->add_option("--record", monitor.record, "also write every message to this file, for `replay`");
    auto* seconds = monitorApp->add_option("--seconds", monitor.seconds, "stop after this many seconds")
                        ->check(CLI::PositiveNumber);
    monitorApp->add_option("--count", monitor.count, "stop after this many messages")
        ->check(CLI::PositiveNumber)
        ->excludes(seconds);

    std::string replayFile;
    auto* replay =
        app.add_subcommand("replay", "feed a recording to the simulated board; print what the callbacks get");
    replay->add_option("file", replayFile, "a file written by `monitor --record`")->required();

    BlinkOptions blink;
    auto* blinkApp = app.add_subcommand("blink", "play a light show (codes 1-4 light one LED, 0 the control pair)");
    blinkApp->add_option("--delay", blink.delayMs, "milliseconds after every step")->capture_default_str();
    blinkApp->add_option("--repeats", blink.repeats, "passes through the steps")->capture_default_str();
    blinkApp->add_option("steps", blink.steps, "step codes 0 to 255")->required();

    auto* selftest =
        app.add_subcommand("selftest", "run the library's self test (100000 cycles, or CORVANE_SELFTEST_CYCLES)");

    double benchSeconds = 5;
    auto* bench = app.add_subcommand("bench", "measure the board's receive rate: messages/s, MB/s, drops");
    bench->add_option("--seconds", benchSeconds, "how long to measure")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    bench->add_flag("--json", global.json, "as JSON");

    DoctorOptions doctor;
    auto* doctorApp = app.add_subcommand("doctor", "check the driver and the system for what keeps a board from use");
    doctorApp->add_option("--driver", doctor.driver, "the driver to check, as the global --driver takes it");
    doctorApp->add_option("--sys-root", doctor.sysRoot, "where sysfs is")->capture_default_str();
    doctorApp->add_option("--dev-root", doctor.devRoot, "where /dev is")->capture_default_str();
    doctorApp->add_option("--proc-modules", doctor.procModules, "the list of loaded kernel modules")
        ->capture_default_str();
    doctorApp->add_option("--udev-rules", doctor.udevRules, "folders of udev rules");

    bool demoSelftest = false;
    auto* demo = app.add_subcommand("demo", "a guided tour of the library on the board (best with --sim)");
    demo->add_flag("--selftest", demoSelftest, "end with the self test");

#if defined(CORVANE_HAVE_PANEL)
    PanelOptions panel;
    auto* panelApp = app.add_subcommand(
        "panel", "a page in the browser for the board: LEDs, sends, counts, charts and the message log");
    panelApp->add_option("file", panel.file, "a panel file (JSON; docs/panel.md); without one, the default panel");
    panelApp->add_option("--port", panel.port, "the port to serve on; default a free one")->check(CLI::Range(1, 65535));
    auto* listenOption = panelApp->add_option(
        "--listen", panel.listen,
        "serve on this address instead of 127.0.0.1 (0.0.0.0: all); every request then needs the token");
    panelApp->add_option("--token", panel.token, "the token of --listen; default a random one, printed with the URL")
        ->needs(listenOption)
        ->check([](const std::string& token) {
            return token.size() >= 16 &&
                           token.find_first_not_of(
                               "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_") == std::string::npos
                       ? std::string()
                       : std::string("a token has at least 16 letters, digits, '-' or '_'");
        });
#else
    auto* panelApp = app.add_subcommand("panel", "(this build has no panel: cpp-httplib was not found)");
    panelApp->allow_extras();
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "corvane: %s\n\n", e.what());
        const CLI::App* failed = &app;
        for (const CLI::App* sub : app.get_subcommands()) {
            failed = sub;
        }
        std::fputs(failed->help().c_str(), stderr);
        return kExitUsage;
    }
    global.sim = simOption->count() != 0;

    if (doctorApp->parsed()) {
        return doctorCommand(global, doctor);
    }
    if (replay->parsed() && !global.sim) {
        std::fprintf(stderr, "corvane replay: needs --sim (a recording is fed to a simulated board)\n");
        return kExitUsage;
    }
#if defined(CORVANE_HAVE_PANEL)
    if (panelApp->parsed() && std::getenv("CORVANE_RECONNECT") == nullptr) {
        setEnvironment("CORVANE_RECONNECT", "auto"); // the panel shows a board pulled out and put back
    }
#endif
    Session session(global);
    if (!session.start()) {
        return kExitFailure;
    }
    if (panelApp->parsed()) {
#if defined(CORVANE_HAVE_PANEL)
        return panelCommand(session, panel);
#else
        return fail("this corvane was built without its panel");
#endif
    }
    if (list->parsed()) {
        return listCommand(session);
    }
    if (sendCommandApp->parsed()) {
        return sendCommand(session, send);
    }
    if (monitorApp->parsed()) {
        return monitorCommand(session, monitor);
    }
    if (replay->parsed()) {
        return replayCommand(session, replayFile);
    }
    if (blinkApp->parsed()) {
        return blinkCommand(session, blink);
    }
    if (selftest->parsed()) {
        return selftestCommand(session);
    }
    if (bench->parsed()) {
        return benchCommand(session, benchSeconds);
    }
    const int status = demoCommand(session);
    return status == 0 && demoSelftest ? selftestCommand(session) : status;
}
