// The bridges of the program without its window: reads pairs.dat and
// options.dat beside the executable like the program does, starts every
// named port's bridge, and on SIGTERM, SIGINT or SIGHUP stops them all and
// writes options.dat. The benchmark uses it where the program itself (built
// with Qt) is not at hand: the bridges, their threads and their timings are
// the same code.
//
//   bridge_host [anything]   (arguments are ignored, like "-platform offscreen")
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "config/options_file.h"
#include "config/port_options.h"
#include "config/options_document.h"
#include "engine/bridge_side.h"
#include "engine/bridge.h"
#include "engine/port_table.h"
#include "ports/pair_setup.h"

namespace {

class NoWindow : public PortStateTarget {
public:
    void PostPortStateMessage(PortRecord*, int32_t) override {}
};

void ListPort(uint32_t pair, char* params, void*)
{
    if (pair >= static_cast<uint32_t>(kPortCount))
        return;
    const char* name = strstr(params, "PortName=");
    if (!name)
        return;
    PortRecord& r = PortTable[pair];
    r.number = static_cast<int32_t>(pair);
    name += strlen("PortName=");
    CopyField(r.name, sizeof r.name, name, strcspn(name, ",") < 7 ? strcspn(name, ",") : 0);
}

}  // namespace

int main()
{
    sigset_t ends;
    sigemptyset(&ends);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&ends, s);
    pthread_sigmask(SIG_BLOCK, &ends, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // 256 ports hold a pair, a socket and a bridge side each.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    const std::string dir = GetProgramDirectory();
    std::unique_ptr<PairSetup> pairs = PairSetup::Open(dir);
    if (!pairs) {
        fprintf(stderr, "bridge_host: cannot open the pairs of %s\n", dir.c_str());
        return 1;
    }
    SetBridgeSideProvider(pairs.get());
    NoWindow window;
    InitPortTable(&window);
    OptionsState state;
    LoadOptions(state, dir.c_str());
    pairs->List(&ListPort, nullptr);
    OptionsDocument options(state.optionsText);
    for (PortRecord& r : PortTable) {
        if (r.number < 0 || !r.name[0])
            continue;
        ReadPortOptions(options, &r);
        StartBridge(&r);
    }

    int sig = 0;
    sigwait(&ends, &sig);
    JoinAllBridges();
    int saved = SaveOptions(state, (dir + "/" + kOptionsFileName).c_str(), false);
    SetBridgeSideProvider(nullptr);
    return saved ? 0 : 1;
}
