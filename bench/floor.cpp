// The floor for telk's exchanges: bare request/reply round trips, one sendto and one recvfrom
// each, no standard I/O. Started as a process, like telk, so that both figures hold a start.
//   bench-floor port command count
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

int main(int argc, char *argv[])
{
    if (argc != 4) return 2;
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<in_port_t>(std::atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    constexpr std::string_view intro{"\xff\xff\xff\xff"
                                     "rcon pw "};
    std::array<char, 65536> request;
    std::memcpy(request.data(), intro.data(), intro.size());
    const std::size_t length = intro.size() + std::strlen(argv[2]);
    std::memcpy(&request[intro.size()], argv[2], length - intro.size());
    static std::array<char, 32768> reply;
    for (int i = std::atoi(argv[3]); i > 0; --i) {
        sendto(sock, request.data(), length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        if (recvfrom(sock, reply.data(), reply.size(), 0, nullptr, nullptr) <= 0) return 1;
    }
    return 0;
}
