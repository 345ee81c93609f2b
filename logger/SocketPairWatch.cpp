#include "SocketPairWatch.h"

#include <dlfcn.h>
#include <sys/socket.h>

namespace {

thread_local int latestRead = -1;

} // namespace

// socketpair() of the process, seen here first: the executable's own
// definition comes before the C library's for every caller, libraries
// included. It makes the pair with the C library's and notes its read end.
extern "C" int socketpair(int domain, int type, int protocol, int pair[2])
{
    using TSocketPair = int (*)(int, int, int, int*);
    static const auto made = reinterpret_cast<TSocketPair>(::dlsym(RTLD_NEXT, "socketpair"));
    const int result = made(domain, type, protocol, pair);
    if (result == 0)
        latestRead = pair[0];
    return result;
}

int TakeSocketPairRead()
{
    const int read = latestRead;
    latestRead = -1;
    return read;
}
