// The lookup helper's executable: one host-name lookup for a bridge that may
// kill it at any moment, answered on standard output as engine/resolver.h
// reads it: "OK 192.0.2.7", or "ERR <getaddrinfo code> <errno>". Linked with
// nothing of the engine, so that each lookup starts small and fast.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv)
{
    close_range(3, ~0U, 0);  // whatever the spawning program left open is not ours
    if (argc != 2)
        return 2;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    const int rc = getaddrinfo(argv[1], nullptr, &hints, &list);
    if (rc != 0)
        return printf("ERR %d %d\n", rc, errno) > 0 ? 0 : 1;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(list);
    return printf("OK %s\n", text) > 0 ? 0 : 1;
}
