// The lookup helper's executable: one host-name lookup, answered on standard
// output, for a bridge that may kill it at any moment.
#include <unistd.h>

#include "engine/resolver.h"

int main(int argc, char** argv)
{
    close_range(3, ~0U, 0);  // whatever the spawning program left open is not ours
    return argc == 2 ? RunLookupHelper(argv[1]) : 2;
}
