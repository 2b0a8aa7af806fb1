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
#include <memory>

#include "config/options_file.h"
#include "config/port_options.h"
#include "config/options_document.h"
#include "engine/bridge_side.h"
#include "engine/bridge.h"
#include "engine/port_table.h"
#include "ports/program.h"

namespace {

class NoWindow : public PortStateTarget {
public:
    void PostPortStateMessage(PortRecord*, int32_t) override {}
};

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
    NoWindow window;
    Program program(dir);
    if (program.Open(&window, true) != Program::Opened::kOwner) {
        fprintf(stderr, "bridge_host: cannot own the pairs of %s\n", dir.c_str());
        return 1;
    }
    for (PortRecord& r : PortTable)
        if (r.number >= 0 && r.name[0])
            StartBridge(&r);

    int sig = 0;
    sigwait(&ends, &sig);
    return program.Stop(true) ? 0 : 1;
}
