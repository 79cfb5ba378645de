#include "SimProgram.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SimControlFifo.h"
#include "SimEndpoint.h"
#include "SimPty.h"

namespace {

volatile sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int)
{
    g_stopRequested = 1;
}

// "none" turns an optional file off.
std::string OptionalPath(const std::string& path)
{
    return path == "none" ? std::string() : path;
}

} // namespace

void SimPrintUsage(const SimProgramInfo& info)
{
    fprintf(stderr,
            "usage: %s [options]\n"
            "%s\n"
            "  --root DIR          board root (default: $VELMAR_ROOT)\n"
            "  --link PATH         device link (default: ROOT/dev/%s)\n"
            "  --control PATH      control FIFO (default: ROOT/var/run/%s.ctl; none: no FIFO)\n"
            "  --traffic-log PATH  traffic log (default: ROOT/var/log/%s-traffic.log; none: no log)\n"
            "  --command CMD       control command to run at start (repeatable)\n"
            "Each line written into the control FIFO is a control command: a plain line is\n"
            "sent to the daemon with CR LF, '!help' logs the other commands in the traffic log.\n"
            "Runs until SIGINT, SIGTERM or SIGHUP; then removes the link and the FIFO.\n",
            info.program, info.purpose, info.device, info.program, info.program);
}

bool SimParseProgramArgs(int argc, char** argv, const SimProgramInfo& info, SimProgramPaths* paths,
                         bool* help)
{
    *help = false;
    const char* rootEnv = getenv("VELMAR_ROOT");
    std::string root = rootEnv != nullptr ? rootEnv : "";
    std::string link, control, trafficLog;
    bool controlGiven = false, logGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            *help = true;
            return true;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "%s: %s needs a value (or is unknown)\n", info.program, arg.c_str());
            return false;
        }
        std::string value = argv[++i];
        if (arg == "--root") {
            root = value;
        } else if (arg == "--link") {
            link = value;
        } else if (arg == "--control") {
            control = value;
            controlGiven = true;
        } else if (arg == "--traffic-log") {
            trafficLog = value;
            logGiven = true;
        } else if (arg == "--command") {
            paths->commands.push_back(value);
        } else {
            fprintf(stderr, "%s: unknown option %s\n", info.program, arg.c_str());
            return false;
        }
    }
    bool needRoot = link.empty() || !controlGiven || !logGiven;
    if (needRoot && root.empty()) {
        fprintf(stderr, "%s: no board root: set VELMAR_ROOT or give --root (or every path)\n",
                info.program);
        return false;
    }
    paths->link = !link.empty() ? link : root + "/dev/" + info.device;
    paths->control = OptionalPath(controlGiven ? control : root + "/var/run/" + info.program + ".ctl");
    paths->trafficLog =
        OptionalPath(logGiven ? trafficLog : root + "/var/log/" + info.program + "-traffic.log");
    return true;
}

int SimRunProgram(int argc, char** argv, SimEndpoint& sim, const SimProgramInfo& info)
{
    SimProgramPaths paths;
    bool help = false;
    if (!SimParseProgramArgs(argc, argv, info, &paths, &help)) {
        SimPrintUsage(info);
        return 2;
    }
    if (help) {
        SimPrintUsage(info);
        return 0;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!paths.trafficLog.empty()) {
        std::string directory = SimParentDirectory(paths.trafficLog);
        int made = SimMakeDirectories(directory);
        if (made != 0) {
            fprintf(stderr, "%s: cannot make %s: %s\n", info.program, directory.c_str(),
                    strerror(-made));
            return 1;
        }
    }
    SimEndpointOptions options;
    options.linkPath = paths.link;
    options.trafficLogPath = paths.trafficLog;
    int result = sim.Start(options);
    if (result != 0) {
        fprintf(stderr, "%s: cannot start on %s: %s\n", info.program, paths.link.c_str(),
                strerror(-result));
        return 1;
    }
    SimControlFifo fifo;
    if (!paths.control.empty() && (result = fifo.Open(paths.control)) != 0) {
        fprintf(stderr, "%s: cannot open control FIFO %s: %s\n", info.program, paths.control.c_str(),
                strerror(-result));
        sim.Stop();
        return 1;
    }
    for (const std::string& command : paths.commands) {
        std::string error = sim.Control(command);
        if (!error.empty())
            fprintf(stderr, "%s: %s\n", info.program, error.c_str());
    }
    printf("%s: %s linked at %s\n", info.program, sim.FollowerName().c_str(), paths.link.c_str());
    if (!paths.control.empty())
        printf("%s: control FIFO %s (try: echo '!help' > %s)\n", info.program, paths.control.c_str(),
               paths.control.c_str());
    if (!paths.trafficLog.empty())
        printf("%s: traffic log %s (watch: tail -f %s)\n", info.program, paths.trafficLog.c_str(),
               paths.trafficLog.c_str());
    fflush(stdout);

    while (!g_stopRequested)
        fifo.Poll(sim, 200);
    fifo.Close();
    sim.Stop();
    return 0;
}
