#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what)
{
    throw std::runtime_error(std::string(what) + " failed: " + std::strerror(errno));
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void NoDelay(int socket)
{
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

TUniqueFd ListenOnLoopback()
{
    TUniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Loopback(0);
    if (s.Get() < 0 || ::bind(s.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(s.Get(), 16) != 0)
        Fail("listening on 127.0.0.1");
    return s;
}

uint16_t LocalPort(int socket)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        Fail("getsockname");
    return ntohs(a.sin_port);
}

TUniqueFd ConnectToLoopback(uint16_t port)
{
    TUniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Loopback(port);
    if (s.Get() < 0 || ::connect(s.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        Fail("connecting to 127.0.0.1");
    NoDelay(s.Get());
    return s;
}

TUniqueFd AcceptFrom(int listener)
{
    TUniqueFd s(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (s.Get() < 0)
        Fail("accept");
    NoDelay(s.Get());
    return s;
}
